// Type declarations for three-kvx-loader. The three.js types come from
// @types/three.
import { BufferGeometry, LineSegments, Loader, LoadingManager, Material, Mesh, Points } from 'three';

/** How a colour word is read: 'argb' takes bits 24-31 as alpha, then red,
 * green and blue; 'rgba' takes them as red, green, blue and alpha. */
export type KVXColorOrder = 'argb' | 'rgba';

/** What a layout's index groups make: triangles (versions 1 to 4, for a
 * Mesh), lines (version -2, index pairs, for LineSegments), points (version
 * -1, no index, for Points), or records (version -3: six values per group
 * that make no known geometry; such a file is refused). */
export type KVXPrimitive = 'triangles' | 'lines' | 'points' | 'records';

/** The primitive of a file the loader accepts. */
export type KVXKind = Exclude<KVXPrimitive, 'records'>;

/** The version codes that carry geometry the loader knows. */
export type KVXVersion = 1 | 2 | 3 | 4 | -1 | -2;

/** One record layout, as meshcore's table has it. */
export interface KVXLayout {
    readonly version: KVXVersion | -3;
    /** Bytes per vertex record. */
    readonly recordSize: number;
    /** The byte offset of each field within a record; a field that is not
     * stored is absent. */
    readonly fields: Readonly<{ color: number; position: number; normal?: number; uv?: number }>;
    /** 16-bit index values per group: 3 per triangle, 2 per edge, 0 for a
     * point set (no index block). */
    readonly indexValuesPerGroup: number;
    readonly primitive: KVXPrimitive;
    /** Whether a name trailer (at most 255 bytes) follows the index block. */
    readonly hasName: boolean;
}

export interface KVXParseOptions {
    /** Overrides the loader's colorOrder for one call. */
    colorOrder?: KVXColorOrder;
}

/** What a geometry's userData.kvx says of its file. */
export interface KVXInfo {
    version: KVXVersion;
    /** Version 4: the name trailer up to its first zero byte, as UTF-8;
     * otherwise ''. Also the geometry's name. */
    name: string;
    /** The header's vertex count. */
    vertexCount: number;
    /** The header's face count: triangles (1 to 4), edges (-2); for a point
     * set (-1) it describes nothing in the file. */
    groupCount: number;
    kind: KVXKind;
    /** What did not stop the load: a file that does not start with "KVX",
     * bytes after the index block. */
    warnings: string[];
}

/** What KVXLoader.parse, load and loadAsync give. Attributes:
 *  - position: Float32, 3 per vertex;
 *  - normal: Float32, 3 (versions 3 and 4);
 *  - color: Uint8, normalized, 4: red, green and blue turned from the sRGB
 *    bytes of the file into the working colour space (linear by default)
 *    through ColorManagement, as three.js's PLYLoader does; alpha as stored
 *    (a transparent material draws it, the default ones do not);
 *  - uv: Float32, 2 (version 4): three.js's convention, v up, which is the
 *    text mesh's (u, v). KVX stores 1 - v (glTF's TEXCOORD_0 convention), and
 *    the loader gives back 1 - the stored v;
 *  - index: Uint16, 3 per triangle or 2 per edge, each below vertexCount;
 *    none for a point set. */
export interface KVXGeometry extends BufferGeometry {
    userData: { kvx: KVXInfo; [key: string]: unknown };
}

/** What readKVX returns: the file's contents as plain typed arrays. */
export interface KVXData extends KVXInfo {
    /** Version 4: the name trailer's bytes as stored (0 to 255); otherwise
     * empty. */
    nameBytes: Uint8Array;
    /** Whether the file starts with "KVX". A file that does not is loaded
     * all the same, with a warning. */
    magicOk: boolean;
    /** The first three bytes, one character per byte. */
    magic: string;
    /** The size of the buffer that was parsed. */
    byteLength: number;
    /** Versions other than 4: bytes after the index block (ignored). */
    trailingBytes: number;
    colorOrder: KVXColorOrder;
    /** x, y, z per vertex. */
    positions: Float32Array;
    /** Versions 3 and 4: nx, ny, nz per vertex; otherwise null. */
    normals: Float32Array | null;
    /** Version 4: u, v per vertex, v = 1 - the stored v; otherwise null. */
    uvs: Float32Array | null;
    /** The colour word of each vertex, as stored. */
    colorWords: Uint32Array;
    /** Red, green, blue, alpha bytes per vertex, read in colorOrder, as
     * stored (sRGB). */
    colors: Uint8Array;
    /** Three indices per triangle or two per edge, each below vertexCount;
     * null for a point set. */
    index: Uint16Array | null;
}

export const KVX_HEADER_SIZE: 15;
export const KVX_MAX_NAME_BYTES: 255;
/** Every version code's layout, -3 included; the loader's only table. */
export const KVX_LAYOUTS: readonly KVXLayout[];
export const KVX_SUPPORTED_VERSIONS: readonly KVXVersion[];
export const KVX_COLOR_ORDERS: readonly KVXColorOrder[];

/** Reads a KVX file without making three.js objects. Throws an Error whose
 * message starts with "KVXLoader: " when the file is refused. */
export function readKVX(data: ArrayBufferLike | ArrayBufferView, options?: KVXParseOptions | null): KVXData;

/** Four bytes (r, g, b, a) per colour word. */
export function decodeKVXColors(words: Uint32Array, colorOrder?: KVXColorOrder): Uint8Array;

/** The object to draw a KVXLoader geometry with: a Mesh for triangles,
 * LineSegments for edges, Points for a point set. Without a material: a
 * double-sided MeshLambertMaterial (flat-shaded where there are no normals),
 * a LineBasicMaterial or a 5-pixel PointsMaterial, with vertexColors where
 * the geometry has colours. Throws for a geometry without userData.kvx. */
export function createKVXObject(geometry: BufferGeometry, material?: Material): Mesh | LineSegments | Points;

export class KVXLoader extends Loader<KVXGeometry> {
    constructor(manager?: LoadingManager);

    /** Default 'argb', as kvxexport and kvxrender. */
    colorOrder: KVXColorOrder;

    setColorOrder(colorOrder: KVXColorOrder): this;

    load(
        url: string,
        onLoad: (geometry: KVXGeometry) => void,
        onProgress?: (event: ProgressEvent) => void,
        onError?: (err: unknown) => void,
    ): void;

    /** Throws an Error whose message starts with "KVXLoader: " when the file
     * is refused. */
    parse(data: ArrayBufferLike | ArrayBufferView, options?: KVXParseOptions | null): KVXGeometry;
}

export default KVXLoader;

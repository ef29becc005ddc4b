// Type declarations for three-kvx-loader. The three.js types come from
// @types/three.
import { BufferGeometry, Loader, LoadingManager } from 'three';

/** How a colour word is read: 'argb' takes bits 24-31 as alpha, then red,
 * green and blue; 'rgba' takes them as red, green, blue and alpha. */
export type KVXColorOrder = 'argb' | 'rgba';

/** The three.js object a file's geometry is meant for: Mesh (versions 1 to
 * 4, indexed triangles), LineSegments (version -2, index pairs) or Points
 * (version -1, no index). */
export type KVXKind = 'mesh' | 'lines' | 'points';

/** The version codes that carry geometry the loader knows. */
export type KVXVersion = 1 | 2 | 3 | 4 | -1 | -2;

export interface KVXParseOptions {
    /** Overrides the loader's colorOrder for one call. */
    colorOrder?: KVXColorOrder;
}

/** What readKVX returns: the file's contents as plain typed arrays. */
export interface KVXData {
    version: KVXVersion;
    kind: KVXKind;
    /** The header's vertex count. */
    vertexCount: number;
    /** The header's face count: triangles (1 to 4), edges (-2); for a
     * point set (-1) it describes nothing in the file. */
    faceCount: number;
    /** Triangles or edges in the index block; 0 for a point set. */
    groupCount: number;
    /** Version 4: the name trailer up to its first zero byte, as UTF-8;
     * otherwise ''. */
    name: string;
    /** Version 4: the name trailer's bytes as stored (0 to 255); otherwise
     * empty. */
    nameBytes: Uint8Array;
    /** Whether the file starts with "KVX". A file that does not is loaded
     * all the same, with a warning. */
    magicOk: boolean;
    /** The first three bytes, one character per byte. */
    magic: string;
    /** Things worth knowing that did not stop the load. */
    warnings: string[];
    /** The size of the buffer that was parsed. */
    byteLength: number;
    /** Versions other than 4: bytes after the index block (ignored). */
    trailingBytes: number;
    colorOrder: KVXColorOrder;
    /** x, y, z per vertex. */
    positions: Float32Array;
    /** Versions 3 and 4: nx, ny, nz per vertex; otherwise null. */
    normals: Float32Array | null;
    /** Version 4: s, t per vertex, t = 1 - the stored v; otherwise null. */
    uvs: Float32Array | null;
    /** The colour word of each vertex, as stored. */
    colorWords: Uint32Array;
    /** Red, green, blue, alpha bytes per vertex, read in colorOrder. */
    colors: Uint8Array;
    /** Three indices per triangle or two per edge, each below vertexCount;
     * null for a point set. */
    index: Uint16Array | null;
}

/** What parse, load and loadAsync give. */
export interface KVXResult {
    /** Attributes: position (Float32, 3), normal (Float32, 3; versions 3
     * and 4), color (normalized Uint8, 4: r, g, b, a), uv (Float32, 2;
     * version 4); index (Uint16) except for a point set. */
    geometry: BufferGeometry;
    kind: KVXKind;
    version: KVXVersion;
    name: string;
    nameBytes: Uint8Array;
    vertexCount: number;
    faceCount: number;
    groupCount: number;
    hasNormals: boolean;
    hasUvs: boolean;
    colorOrder: KVXColorOrder;
    colorWords: Uint32Array;
    magicOk: boolean;
    magic: string;
    warnings: string[];
    byteLength: number;
    trailingBytes: number;
}

export const KVX_HEADER_SIZE: 15;
export const KVX_MAX_NAME_BYTES: 255;
export const KVX_SUPPORTED_VERSIONS: readonly KVXVersion[];
export const KVX_COLOR_ORDERS: readonly KVXColorOrder[];

/** Reads a KVX file without making three.js objects. Throws an Error whose
 * message starts with "KVXLoader: " when the file is refused. */
export function readKVX(data: ArrayBufferLike | ArrayBufferView, options?: KVXParseOptions | null): KVXData;

/** Four bytes (r, g, b, a) per colour word. */
export function decodeKVXColors(words: Uint32Array, colorOrder?: KVXColorOrder): Uint8Array;

export class KVXLoader extends Loader<KVXResult> {
    constructor(manager?: LoadingManager);

    /** Default 'argb', as kvxexport and kvxrender. */
    colorOrder: KVXColorOrder;

    setColorOrder(colorOrder: KVXColorOrder): this;

    load(
        url: string,
        onLoad: (result: KVXResult) => void,
        onProgress?: (event: ProgressEvent) => void,
        onError?: (err: unknown) => void,
    ): void;

    /** Throws an Error whose message starts with "KVXLoader: " when the file
     * is refused. */
    parse(data: ArrayBufferLike | ArrayBufferView, options?: KVXParseOptions | null): KVXResult;
}

export default KVXLoader;

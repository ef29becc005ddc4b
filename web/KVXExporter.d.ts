// Type declarations for three-kvx-loader/KVXExporter. The three.js types come
// from @types/three.
import { BufferGeometry, Object3D } from 'three';
import { KVXColorOrder, KVXVersion } from './KVXLoader.js';

/** The most vertices a file with an index block holds (16-bit indices). A
 * point set (version -1) has no index and may hold more. */
export const KVX_MAX_INDEXED_VERTICES: 65536;

export interface KVXExportOptions {
    /** Default: 4 for Meshes, -2 for LineSegments, -1 for Points; for a
     * BufferGeometry, the version KVXLoader read it from (userData.kvx),
     * else 4. Versions 1 to 4 take triangles, -2 line segments, -1 points. */
    version?: KVXVersion;
    /** How the colour word is packed, as KVXLoader reads it. Default 'argb'. */
    colorOrder?: KVXColorOrder;
    /** Version 4's name: at most 255 bytes of UTF-8, one word (no white
     * space, no zero byte). Default: the first object's name (else its
     * geometry's; for a geometry, its own) when it is such a word, else
     * none. Another version takes no name but ''. */
    name?: string;
    /** Versions 3 and 4: 'compute' (default) writes the normals kvxconv3 and
     * kvxconv4 compute, to the bit; 'geometry' the geometry's normal
     * attribute through each object's normal matrix (computed where a
     * geometry has none). */
    normals?: 'compute' | 'geometry';
}

/** Writes KVX files, as three.js's PLYExporter and STLExporter write theirs.
 *  - An Object3D: its Mesh, LineSegments or Points (one kind), each position
 *    through its matrixWorld, merged into one file in traversal order.
 *  - A BufferGeometry: written as it is.
 *  Colours (the working colour space, linear by default) become sRGB bytes
 *  through ColorManagement, rounded: the inverse of KVXLoader; no colour
 *  attribute is opaque white. uv is three.js's (v up); the file gets 1 - v.
 *  A geometry without an index gets 0 1 2, 3 4 5, ...
 *  Throws an Error whose message starts with "KVXExporter: " for what no
 *  KVX file holds: more than 65,536 vertices with an index, a version that
 *  does not match the objects, a bad name, no position attribute. */
export class KVXExporter {
    constructor();
    parse(input: Object3D | BufferGeometry, options?: KVXExportOptions | null): ArrayBuffer;
}

/** The smooth normals kvxconv3 and kvxconv4 write, to the bit: nx, ny, nz per
 * vertex of `positions` (x, y, z per vertex) for the triangles of `index`. */
export function computeKVXNormals(positions: Float32Array, index: ArrayLike<number>): Float32Array;

/** The UTF-8 bytes of a version-4 name; throws for a name a KVX file cannot
 * hold (more than 255 bytes, white space, a zero byte, a lone surrogate). */
export function encodeKVXName(name: string): Uint8Array;

export default KVXExporter;

/**
 * A three.js loader for KVX files, the binary triangle-mesh format of the KVX
 * tools (kvxconv1 to kvxconv4, kvxpoints, kvxwire).
 *
 * A KVX file is a 15-byte little-endian header ("KVX", vertex count, face
 * count, signed version code), the vertex records, the 16-bit index block
 * and, in version 4 only, the mesh name up to the end of the file. The
 * format is described byte by byte in docs/format.md and kvx(5).
 *
 * The checks follow the C++ loader (meshcore's OKVX::load) and the tools
 * that draw or export a mesh (kvxrender, kvxexport):
 *
 * - the magic bytes are not required: a file that does not start with "KVX"
 *   still loads, with `magicOk` false and a warning, when its version is one
 *   the loader knows; with neither, it is "not a KVX file";
 * - only the versions that carry known geometry are accepted: 1 to 4
 *   (triangles), -2 (lines) and -1 (points); -3, 0 and unknown codes are
 *   refused;
 * - the size the header promises is checked against the buffer before any
 *   array is made;
 * - a version-4 name trailer holds at most 255 bytes;
 * - every index must be below the vertex count.
 *
 * Every refusal is a plain Error whose message starts with "KVXLoader: ",
 * bad arguments too (a detached buffer, options that are no object).
 *
 * @module three-kvx-loader
 */

import {
	BufferAttribute,
	BufferGeometry,
	FileLoader,
	Loader
} from 'three';

/** The size of the header in bytes. */
export const KVX_HEADER_SIZE = 15;

/** The longest version-4 name, in bytes. */
export const KVX_MAX_NAME_BYTES = 255;

/** The version codes this loader accepts. */
export const KVX_SUPPORTED_VERSIONS = Object.freeze( [ 1, 2, 3, 4, - 1, - 2 ] );

// Per supported version: bytes per vertex record, byte offsets of its fields
// within the record (-1: absent), 16-bit indices per group (3 per triangle,
// 2 per edge, none for a point set) and what the groups make.
const LAYOUTS = {
	1: { recordSize: 16, color: 0, position: 4, normal: - 1, uv: - 1, groupSize: 3, kind: 'mesh' },
	2: { recordSize: 16, color: 0, position: 4, normal: - 1, uv: - 1, groupSize: 3, kind: 'mesh' },
	3: { recordSize: 28, color: 0, position: 16, normal: 4, uv: - 1, groupSize: 3, kind: 'mesh' },
	4: { recordSize: 36, color: 8, position: 24, normal: 12, uv: 0, groupSize: 3, kind: 'mesh' },
	[ - 1 ]: { recordSize: 16, color: 0, position: 4, normal: - 1, uv: - 1, groupSize: 0, kind: 'points' },
	[ - 2 ]: { recordSize: 16, color: 0, position: 4, normal: - 1, uv: - 1, groupSize: 2, kind: 'lines' }
};

/** The two ways to read a colour word (see meshtext/color.h). */
export const KVX_COLOR_ORDERS = Object.freeze( [ 'argb', 'rgba' ] );

function fail( message ) {

	return new Error( 'KVXLoader: ' + message );

}

// How a bad argument is named in a message: its type, or for a plain object
// its tag ("[object Object]").
function describe( value ) {

	return value === null ? 'null' : typeof value === 'object' ? Object.prototype.toString.call( value ) : typeof value;

}

function checkColorOrder( order ) {

	if ( order !== 'argb' && order !== 'rgba' ) {

		const shown = typeof order === 'string' || typeof order === 'number' || typeof order === 'boolean'
			? JSON.stringify( String( order ) ) : describe( order );
		throw fail( 'colorOrder must be "argb" or "rgba", not ' + shown );

	}

	return order;

}

// The colour order that `options` asks for, or `fallback`. No options, null
// or undefined, is none, as three.js's own loaders take it.
function colorOrderOf( options, fallback ) {

	if ( options === undefined || options === null ) return fallback;
	if ( typeof options !== 'object' ) throw fail( 'options must be an object, not ' + describe( options ) );
	return options.colorOrder === undefined ? fallback : checkColorOrder( options.colorOrder );

}

// The brand checks of the engine itself, which hold for buffers of another
// realm (a frame, a vm context) and cannot be fooled by a prototype.
const arrayBufferLength = Object.getOwnPropertyDescriptor( ArrayBuffer.prototype, 'byteLength' ).get;
const sharedBufferLength = typeof SharedArrayBuffer === 'undefined' ? null
	: Object.getOwnPropertyDescriptor( SharedArrayBuffer.prototype, 'byteLength' ).get;

function isBuffer( data, byteLength ) {

	if ( byteLength === null || data === null || typeof data !== 'object' ) return false;
	try {

		byteLength.call( data );
		return true;

	} catch {

		return false;

	}

}

// The bytes of `data` as a Uint8Array over the same memory (no copy). A
// detached buffer (its bytes transferred to a worker, by structuredClone or
// by ArrayBuffer.prototype.transfer) has none to give.
function bytesOf( data ) {

	const buffer = isBuffer( data, arrayBufferLength ) || isBuffer( data, sharedBufferLength );
	if ( ! buffer && ! ArrayBuffer.isView( data ) ) {

		throw fail( 'expected an ArrayBuffer or a typed array, got ' + describe( data ) );

	}

	try {

		return buffer ? new Uint8Array( data ) : new Uint8Array( data.buffer, data.byteOffset, data.byteLength );

	} catch {

		throw fail( 'the buffer is detached: its bytes were transferred and are no longer readable here' );

	}

}

// Makes a typed array, turning a failed allocation (a RangeError in most
// engines) into the loader's kind of error.
function allocate( Type, length ) {

	try {

		return new Type( length );

	} catch ( e ) {

		throw fail( 'out of memory (' + length * Type.BYTES_PER_ELEMENT + ' bytes)' );

	}

}

function hexByte( b ) {

	return b.toString( 16 ).padStart( 2, '0' );

}

// The name: the trailer's bytes up to the first zero byte (where the C++
// tools end it), read as UTF-8 with U+FFFD for invalid sequences.
function decodeName( bytes ) {

	let end = bytes.indexOf( 0 );
	if ( end < 0 ) end = bytes.length;
	if ( end === 0 ) return '';
	const part = bytes.subarray( 0, end );
	if ( typeof TextDecoder !== 'undefined' ) return new TextDecoder( 'utf-8' ).decode( part );
	let text = '';
	for ( let i = 0; i < part.length; i ++ ) text += String.fromCharCode( part[ i ] );
	return text;

}

/**
 * Decodes colour words into four bytes per vertex, red, green, blue and
 * alpha, as the C++ tools' DecodeColor does: "argb" reads bits 24-31 as
 * alpha, then red, green and blue; "rgba" reads them as red, green, blue and
 * alpha.
 *
 * @param {Uint32Array} words - One colour word per vertex.
 * @param {'argb'|'rgba'} [colorOrder='argb']
 * @return {Uint8Array} Four bytes per vertex.
 */
export function decodeKVXColors( words, colorOrder = 'argb' ) {

	checkColorOrder( colorOrder );
	if ( words === null || typeof words !== 'object' || typeof words.length !== 'number' ) {

		throw fail( 'expected a Uint32Array of colour words, got ' + describe( words ) );

	}

	const rgba = allocate( Uint8Array, words.length * 4 );
	const argb = colorOrder === 'argb';
	for ( let i = 0, o = 0; i < words.length; i ++, o += 4 ) {

		const w = words[ i ];
		if ( argb ) {

			rgba[ o ] = ( w >>> 16 ) & 0xff;
			rgba[ o + 1 ] = ( w >>> 8 ) & 0xff;
			rgba[ o + 2 ] = w & 0xff;
			rgba[ o + 3 ] = w >>> 24;

		} else {

			rgba[ o ] = w >>> 24;
			rgba[ o + 1 ] = ( w >>> 16 ) & 0xff;
			rgba[ o + 2 ] = ( w >>> 8 ) & 0xff;
			rgba[ o + 3 ] = w & 0xff;

		}

	}

	return rgba;

}

/**
 * Reads a KVX file into plain typed arrays, without three.js objects. Throws
 * an Error whose message starts with "KVXLoader: " when the file is refused.
 *
 * @param {ArrayBuffer|ArrayBufferView} data - The whole file.
 * @param {{colorOrder?: 'argb'|'rgba'}|null} [options] - null is none.
 * @return {Object} The header fields and typed arrays (KVXData in KVXLoader.d.ts).
 */
export function readKVX( data, options ) {

	const colorOrder = colorOrderOf( options, 'argb' );
	const bytes = bytesOf( data );
	const length = bytes.length;
	const view = new DataView( bytes.buffer, bytes.byteOffset, bytes.byteLength );

	// The magic is not required where the version is one that loads; a
	// buffer with neither is not a KVX file, however long it is. One too
	// short for either is not a KVX file when the bytes it has differ from
	// the magic, and truncated when they begin it ("", "K", "KV").
	const magic = bytes.subarray( 0, Math.min( 3, length ) );
	const magicOk = magic.length === 3 && magic[ 0 ] === 0x4b && magic[ 1 ] === 0x56 && magic[ 2 ] === 0x58;
	const magicBegun = Array.prototype.every.call( magic, ( b, k ) => b === 'KVX'.charCodeAt( k ) );
	const version = length >= KVX_HEADER_SIZE ? view.getInt32( 11, true ) : 0;
	const accepted = LAYOUTS[ version ] !== undefined || version === - 3;
	if ( ! magicBegun && ( length < KVX_HEADER_SIZE || ! accepted ) ) throw fail( 'not a KVX file' );

	if ( length < KVX_HEADER_SIZE ) {

		throw fail( 'truncated: the buffer has ' + length + ' bytes, fewer than the 15 of a header' );

	}

	const vertexCount = view.getUint32( 3, true );
	const faceCount = view.getUint32( 7, true );

	// A refusal says so where the first three bytes are not "KVX", as the
	// tools do: such a file is often no KVX file at all.
	const refuse = ( message ) => fail( magicOk ? message : message + ' (the file does not begin with "KVX")' );
	const unsupported = 'version ' + version + ' is not supported (versions 1 to 4, -1 and -2 are)';
	const layout = LAYOUTS[ version ];
	if ( layout === undefined && version !== - 3 ) throw refuse( unsupported );

	// Everything the header promises, checked before any array is made. The
	// products stay below 2^39, so Numbers hold them exactly. Version -3 (28
	// bytes per record, six values per group) is measured too, as the C++
	// loader does, and then refused: its groups carry no known geometry.
	const recordSize = layout === undefined ? 28 : layout.recordSize;
	const groupSize = layout === undefined ? 6 : layout.groupSize;
	const vertexBytes = vertexCount * recordSize;
	const indexCount = faceCount * groupSize;
	const blocksEnd = KVX_HEADER_SIZE + vertexBytes + indexCount * 2;
	if ( length < blocksEnd ) {

		throw refuse( 'truncated: the header promises ' + blocksEnd + ' bytes, the buffer has ' + length );

	}

	if ( layout === undefined ) throw refuse( unsupported );
	const kind = layout.kind;

	const warnings = [];
	if ( ! magicOk ) {

		warnings.push( 'the file starts with the bytes ' + Array.from( magic, hexByte ).join( ' ' ) +
			', not "KVX" (4b 56 58); loaded all the same' );

	}

	let nameBytes = new Uint8Array( 0 );
	let trailingBytes = 0;
	if ( version === 4 ) {

		const nameLength = length - blocksEnd;
		if ( nameLength > KVX_MAX_NAME_BYTES ) {

			throw refuse( 'the name is ' + nameLength + ' bytes long; at most 255 fit' );

		}

		nameBytes = bytes.slice( blocksEnd, length );

	} else {

		trailingBytes = length - blocksEnd;
		if ( trailingBytes > 0 ) {

			warnings.push( trailingBytes + ' bytes after the ' + ( groupSize === 0 ? 'vertex records' : 'index block' ) + ' ignored' );

		}

	}

	// Indices, each checked against the vertex count.
	let index = null;
	if ( groupSize !== 0 ) {

		index = allocate( Uint16Array, indexCount );
		const base = KVX_HEADER_SIZE + vertexBytes;
		const what = kind === 'lines' ? 'edge ' : 'face ';
		for ( let i = 0; i < indexCount; i ++ ) {

			const value = view.getUint16( base + 2 * i, true );
			if ( value >= vertexCount ) {

				throw refuse( what + Math.floor( i / groupSize ) + ' names vertex ' + value + ' of ' + vertexCount );

			}

			index[ i ] = value;

		}

	}

	const positions = allocate( Float32Array, vertexCount * 3 );
	const colorWords = allocate( Uint32Array, vertexCount );
	const normals = layout.normal >= 0 ? allocate( Float32Array, vertexCount * 3 ) : null;
	const uvs = layout.uv >= 0 ? allocate( Float32Array, vertexCount * 2 ) : null;
	for ( let i = 0, r = KVX_HEADER_SIZE; i < vertexCount; i ++, r += recordSize ) {

		const p = r + layout.position;
		positions[ 3 * i ] = view.getFloat32( p, true );
		positions[ 3 * i + 1 ] = view.getFloat32( p + 4, true );
		positions[ 3 * i + 2 ] = view.getFloat32( p + 8, true );
		colorWords[ i ] = view.getUint32( r + layout.color, true );
		if ( normals !== null ) {

			const n = r + layout.normal;
			normals[ 3 * i ] = view.getFloat32( n, true );
			normals[ 3 * i + 1 ] = view.getFloat32( n + 4, true );
			normals[ 3 * i + 2 ] = view.getFloat32( n + 8, true );

		}

		if ( uvs !== null ) {

			// The file stores 1 - v; t = 1 - stored v gives back the text's
			// coordinate, as kvxexport and kvxrender do (in single precision).
			const t = r + layout.uv;
			uvs[ 2 * i ] = view.getFloat32( t, true );
			uvs[ 2 * i + 1 ] = Math.fround( 1 - view.getFloat32( t + 4, true ) );

		}

	}

	return {
		version,
		kind,
		vertexCount,
		faceCount,
		groupCount: groupSize === 0 ? 0 : faceCount,
		name: decodeName( nameBytes ),
		nameBytes,
		magicOk,
		magic: Array.from( magic, ( b ) => String.fromCharCode( b ) ).join( '' ),
		warnings,
		byteLength: length,
		trailingBytes,
		colorOrder,
		positions,
		normals,
		uvs,
		colorWords,
		colors: decodeKVXColors( colorWords, colorOrder ),
		index
	};

}

/**
 * Loads KVX files into a BufferGeometry.
 *
 * ```js
 * const { geometry, kind } = await new KVXLoader().loadAsync( 'model.kvx' );
 * ```
 *
 * The result of `parse` (and of `load` and `loadAsync`) is an object with
 * the geometry and what the file says about it; see KVXLoader.d.ts.
 *
 * @augments Loader
 */
class KVXLoader extends Loader {

	/**
	 * @param {LoadingManager} [manager] - The loading manager.
	 */
	constructor( manager ) {

		super( manager );

		/**
		 * How colour words are read: 'argb' (the tools' default: bits 24-31
		 * are alpha) or 'rgba' (bits 24-31 are red).
		 *
		 * @type {'argb'|'rgba'}
		 * @default 'argb'
		 */
		this.colorOrder = 'argb';

	}

	/**
	 * Sets how colour words are read.
	 *
	 * @param {'argb'|'rgba'} colorOrder
	 * @return {KVXLoader} A reference to this loader.
	 */
	setColorOrder( colorOrder ) {

		this.colorOrder = checkColorOrder( colorOrder );
		return this;

	}

	/**
	 * Starts loading from the given URL and passes the parsed result to
	 * `onLoad`.
	 *
	 * @param {string} url - The path or URL of the file.
	 * @param {function(Object)} onLoad - Receives the parse result.
	 * @param {onProgressCallback} [onProgress]
	 * @param {onErrorCallback} [onError]
	 */
	load( url, onLoad, onProgress, onError ) {

		const scope = this;

		const loader = new FileLoader( this.manager );
		// setPriority and setCache came with three r18x; older releases lack them.
		if ( typeof loader.setPriority === 'function' ) loader.setPriority( this.priority );
		if ( typeof loader.setCache === 'function' ) loader.setCache( this.cache );
		loader.setPath( this.path );
		loader.setResponseType( 'arraybuffer' );
		loader.setRequestHeader( this.requestHeader );
		loader.setWithCredentials( this.withCredentials );

		loader.load( url, function ( buffer ) {

			try {

				onLoad( scope.parse( buffer ) );

			} catch ( e ) {

				if ( onError ) {

					onError( e );

				} else {

					console.error( e );

				}

				scope.manager.itemError( url );

			}

		}, onProgress, onError );

	}

	/**
	 * Parses a whole KVX file.
	 *
	 * @param {ArrayBuffer|ArrayBufferView} data - The file's bytes.
	 * @param {{colorOrder?: 'argb'|'rgba'}|null} [options] - Overrides the
	 * loader's colour order for this call; null is none.
	 * @return {Object} The parse result.
	 */
	parse( data, options ) {

		const kvx = readKVX( data, { colorOrder: colorOrderOf( options, this.colorOrder ) } );

		const geometry = new BufferGeometry();
		geometry.name = kvx.name;
		geometry.setAttribute( 'position', new BufferAttribute( kvx.positions, 3 ) );
		if ( kvx.normals !== null ) geometry.setAttribute( 'normal', new BufferAttribute( kvx.normals, 3 ) );
		geometry.setAttribute( 'color', new BufferAttribute( kvx.colors, 4, true ) );
		if ( kvx.uvs !== null ) geometry.setAttribute( 'uv', new BufferAttribute( kvx.uvs, 2 ) );
		if ( kvx.index !== null ) geometry.setIndex( new BufferAttribute( kvx.index, 1 ) );
		geometry.userData.kvx = { version: kvx.version, kind: kvx.kind, name: kvx.name };

		return {
			geometry,
			kind: kvx.kind,
			version: kvx.version,
			name: kvx.name,
			nameBytes: kvx.nameBytes,
			vertexCount: kvx.vertexCount,
			faceCount: kvx.faceCount,
			groupCount: kvx.groupCount,
			hasNormals: kvx.normals !== null,
			hasUvs: kvx.uvs !== null,
			colorOrder: kvx.colorOrder,
			colorWords: kvx.colorWords,
			magicOk: kvx.magicOk,
			magic: kvx.magic,
			warnings: kvx.warnings,
			byteLength: kvx.byteLength,
			trailingBytes: kvx.trailingBytes
		};

	}

}

export { KVXLoader };
export default KVXLoader;

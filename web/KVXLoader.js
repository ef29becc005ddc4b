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
 *   still loads, with a warning, when its version is one the loader knows;
 *   with neither, it is "not a KVX file";
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
	Color,
	ColorManagement,
	DoubleSide,
	FileLoader,
	LineBasicMaterial,
	LineSegments,
	Loader,
	Mesh,
	MeshLambertMaterial,
	Points,
	PointsMaterial,
	SRGBColorSpace
} from 'three';

/** The size of the header in bytes. */
export const KVX_HEADER_SIZE = 15;

/** The longest version-4 name, in bytes. */
export const KVX_MAX_NAME_BYTES = 255;

/**
 * The record layouts, one per version code, as meshcore's table has them
 * (a test compares the two field by field): bytes per vertex record, the byte
 * offset of each field within a record, 16-bit index values per group (3 per
 * triangle, 2 per edge, none for a point set), what the groups make, and
 * whether a name trailer follows the index block. Version -3's records carry
 * no geometry the loader knows ('records'): its size is measured, as the C++
 * loader measures it, and the file is then refused.
 */
export const KVX_LAYOUTS = Object.freeze( [
	{ version: 1, recordSize: 16, fields: { color: 0, position: 4 }, indexValuesPerGroup: 3, primitive: 'triangles', hasName: false },
	{ version: 2, recordSize: 16, fields: { color: 0, position: 4 }, indexValuesPerGroup: 3, primitive: 'triangles', hasName: false },
	{ version: 3, recordSize: 28, fields: { color: 0, normal: 4, position: 16 }, indexValuesPerGroup: 3, primitive: 'triangles', hasName: false },
	{ version: 4, recordSize: 36, fields: { uv: 0, color: 8, normal: 12, position: 24 }, indexValuesPerGroup: 3, primitive: 'triangles', hasName: true },
	{ version: - 1, recordSize: 16, fields: { color: 0, position: 4 }, indexValuesPerGroup: 0, primitive: 'points', hasName: false },
	{ version: - 2, recordSize: 16, fields: { color: 0, position: 4 }, indexValuesPerGroup: 2, primitive: 'lines', hasName: false },
	{ version: - 3, recordSize: 28, fields: { color: 0, normal: 4, position: 16 }, indexValuesPerGroup: 6, primitive: 'records', hasName: false }
].map( ( layout ) => Object.freeze( { ...layout, fields: Object.freeze( layout.fields ) } ) ) );

const LAYOUT_OF = new Map( KVX_LAYOUTS.map( ( layout ) => [ layout.version, layout ] ) );

/** The version codes this loader accepts: those whose groups make geometry. */
export const KVX_SUPPORTED_VERSIONS = Object.freeze( KVX_LAYOUTS.filter( ( l ) => l.primitive !== 'records' ).map( ( l ) => l.version ) );

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

// Whether this machine stores numbers little end first, as a KVX file does;
// typed arrays use the machine's order.
const LITTLE_ENDIAN = new Uint8Array( Uint16Array.of( 1 ).buffer )[ 0 ] === 1;

// Turns little-endian words of `size` bytes into the machine's order.
function swapWords( bytes, size ) {

	for ( let i = 0; i + size <= bytes.length; i += size ) bytes.subarray( i, i + size ).reverse();

}

// `count` little-endian words of `Type` from `bytes` at `offset`, copied
// whole into an aligned array of their own, in one copy.
function copyWords( bytes, offset, count, Type ) {

	const words = allocate( Type, count );
	const copy = new Uint8Array( words.buffer );
	copy.set( bytes.subarray( offset, offset + copy.length ) );
	if ( ! LITTLE_ENDIAN ) swapWords( copy, Type.BYTES_PER_ELEMENT );
	return words;

}

// The bytes of the records copied at a time (a whole number of records).
const RUN_BYTES = 1 << 16;

// Hands the vertex records to `visit( words, first, count )` as 32-bit words
// (every field is one or more of them) in the machine's order, `count`
// records from record `first`: all at once as a view of the caller's bytes
// where they start on a 4-byte boundary and the machine is little-endian
// (the loader only reads them); otherwise a run of whole records at a time,
// copied into one small aligned buffer that stays in the cache.
function eachRun( bytes, vertexCount, recordSize, visit ) {

	const offset = bytes.byteOffset + KVX_HEADER_SIZE;
	if ( LITTLE_ENDIAN && offset % 4 === 0 ) {

		visit( new Uint32Array( bytes.buffer, offset, vertexCount * recordSize / 4 ), 0, vertexCount );
		return;

	}

	const perRun = Math.max( 1, Math.floor( RUN_BYTES / recordSize ) );
	const scratchBytes = new Uint8Array( Math.min( perRun, vertexCount ) * recordSize );
	const scratch = new Uint32Array( scratchBytes.buffer );
	for ( let first = 0; first < vertexCount; first += perRun ) {

		const count = Math.min( perRun, vertexCount - first );
		const start = KVX_HEADER_SIZE + first * recordSize;
		const run = scratchBytes.subarray( 0, count * recordSize );
		run.set( bytes.subarray( start, start + run.length ) );
		if ( ! LITTLE_ENDIAN ) swapWords( run, 4 );
		visit( scratch, first, count );

	}

}

// Copies `width` consecutive 32-bit words of each of `count` records,
// `stride` words apart from word `w`, into `bits` from record `first` on, as
// bits, so that even a NaN keeps its payload.
function gather( words, w, stride, width, count, bits, first ) {

	if ( width === 3 ) {

		for ( let o = 3 * first, end = 3 * ( first + count ); o < end; o += 3, w += stride ) {

			bits[ o ] = words[ w ];
			bits[ o + 1 ] = words[ w + 1 ];
			bits[ o + 2 ] = words[ w + 2 ];

		}

	} else if ( width === 2 ) {

		for ( let o = 2 * first, end = 2 * ( first + count ); o < end; o += 2, w += stride ) {

			bits[ o ] = words[ w ];
			bits[ o + 1 ] = words[ w + 1 ];

		}

	} else {

		for ( let o = first, end = first + count; o < end; o ++, w += stride ) bits[ o ] = words[ w ];

	}

}

// The position of the first index at or past `vertexCount`, or -1 when every
// one is below it. One pass without a branch looks at every index; only a
// file that fails it is searched again for the first such.
function firstIndexPast( index, vertexCount ) {

	// A 16-bit index is below any larger count.
	if ( vertexCount > 0xffff ) return - 1;
	const limit = vertexCount - 1;
	let past = 0;
	for ( let i = 0; i < index.length; i ++ ) past |= limit - index[ i ];
	return past < 0 ? index.findIndex( ( value ) => value > limit ) : - 1;

}

// Everything readKVX and KVXLoader.parse share: the header read and checked,
// the name, the index copied and checked. Throws for a refused file.
function decodeKVX( data ) {

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
	const layout = LAYOUT_OF.get( version );
	if ( ! magicBegun && ( length < KVX_HEADER_SIZE || layout === undefined ) ) throw fail( 'not a KVX file' );

	if ( length < KVX_HEADER_SIZE ) {

		throw fail( 'truncated: the buffer has ' + length + ' bytes, fewer than the 15 of a header' );

	}

	const vertexCount = view.getUint32( 3, true );
	const groupCount = view.getUint32( 7, true );

	// A refusal says so where the first three bytes are not "KVX", as the
	// tools do: such a file is often no KVX file at all.
	const refuse = ( message ) => fail( magicOk ? message : message + ' (the file does not begin with "KVX")' );
	const unsupported = 'version ' + version + ' is not supported (versions 1 to 4, -1 and -2 are)';
	if ( layout === undefined ) throw refuse( unsupported );

	// Everything the header promises, checked before any array is made. The
	// products stay below 2^39, so Numbers hold them exactly. A layout whose
	// records make no known geometry (version -3) is measured too, as the
	// C++ loader does, and then refused.
	const { recordSize, indexValuesPerGroup } = layout;
	const vertexBytes = vertexCount * recordSize;
	const indexCount = groupCount * indexValuesPerGroup;
	const blocksEnd = KVX_HEADER_SIZE + vertexBytes + indexCount * 2;
	if ( length < blocksEnd ) {

		throw refuse( 'truncated: the header promises ' + blocksEnd + ' bytes, the buffer has ' + length );

	}

	if ( layout.primitive === 'records' ) throw refuse( unsupported );

	const warnings = [];
	if ( ! magicOk ) {

		warnings.push( 'the file starts with the bytes ' + Array.from( magic, hexByte ).join( ' ' ) +
			', not "KVX" (4b 56 58); loaded all the same' );

	}

	let nameBytes = new Uint8Array( 0 );
	let trailingBytes = 0;
	if ( layout.hasName ) {

		const nameLength = length - blocksEnd;
		if ( nameLength > KVX_MAX_NAME_BYTES ) {

			throw refuse( 'the name is ' + nameLength + ' bytes long; at most 255 fit' );

		}

		nameBytes = bytes.slice( blocksEnd, length );

	} else {

		trailingBytes = length - blocksEnd;
		if ( trailingBytes > 0 ) {

			warnings.push( trailingBytes + ' bytes after the ' + ( indexValuesPerGroup === 0 ? 'vertex records' : 'index block' ) + ' ignored' );

		}

	}

	// The indices, copied whole into an array of their own (the geometry
	// does not share the caller's buffer), then checked.
	let index = null;
	if ( indexValuesPerGroup !== 0 ) {

		index = copyWords( bytes, KVX_HEADER_SIZE + vertexBytes, indexCount, Uint16Array );
		const i = firstIndexPast( index, vertexCount );
		if ( i >= 0 ) {

			const what = layout.primitive === 'lines' ? 'edge ' : 'face ';
			throw refuse( what + Math.floor( i / indexValuesPerGroup ) + ' names vertex ' + index[ i ] + ' of ' + vertexCount );

		}

	}

	return {
		layout,
		bytes,
		info: {
			version,
			kind: layout.primitive,
			vertexCount,
			groupCount,
			name: decodeName( nameBytes ),
			nameBytes,
			magicOk,
			magic: Array.from( magic, ( b ) => String.fromCharCode( b ) ).join( '' ),
			warnings,
			byteLength: length,
			trailingBytes
		},
		index
	};

}

// The records' fields in arrays of their own: positions, normals and texture
// coordinates, and the colour words handed to `visitColors( words, w,
// stride, count, first )` run by run (w: the first colour word). The texture
// coordinates are three.js's: u as stored, v = 1 - the stored v, which gives
// back the text's coordinate as kvxexport and kvxrender do (in single
// precision).
function vertexArrays( { layout, bytes, info }, visitColors ) {

	const { recordSize, fields } = layout;
	const n = info.vertexCount, stride = recordSize / 4;
	const positions = allocate( Float32Array, n * 3 );
	const normals = fields.normal === undefined ? null : allocate( Float32Array, n * 3 );
	const uvs = fields.uv === undefined ? null : allocate( Float32Array, n * 2 );
	const positionBits = new Uint32Array( positions.buffer );
	const normalBits = normals === null ? null : new Uint32Array( normals.buffer );
	const uvBits = uvs === null ? null : new Uint32Array( uvs.buffer );
	eachRun( bytes, n, recordSize, ( words, first, count ) => {

		gather( words, fields.position / 4, stride, 3, count, positionBits, first );
		if ( normalBits !== null ) gather( words, fields.normal / 4, stride, 3, count, normalBits, first );
		if ( uvBits !== null ) gather( words, fields.uv / 4, stride, 2, count, uvBits, first );
		visitColors( words, fields.color / 4, stride, count, first );

	} );
	for ( let i = 1; uvs !== null && i < uvs.length; i += 2 ) uvs[ i ] = 1 - uvs[ i ];
	return { positions, normals, uvs };

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
	const decoded = decodeKVX( data );
	const { info, index } = decoded;
	const colorWords = allocate( Uint32Array, info.vertexCount );
	const arrays = vertexArrays( decoded, ( words, w, stride, count, first ) => gather( words, w, stride, 1, count, colorWords, first ) );
	return {
		...info,
		colorOrder,
		...arrays,
		colorWords,
		colors: decodeKVXColors( colorWords, colorOrder ),
		index
	};

}

const _color = new Color();

// One sRGB colour, its channels given as bytes, in the working colour space
// as three.js's PLYLoader reads a PLY file's colour bytes: setRGB from sRGB
// through ColorManagement, then back to bytes, rounded.
function workingBytes( r, g, b ) {

	const scale = 1 / 255;
	const invScale = 1 / scale;
	_color.setRGB( r * scale, g * scale, b * scale, SRGBColorSpace );
	return [ Math.round( _color.r * invScale ), Math.round( _color.g * invScale ), Math.round( _color.b * invScale ) ];

}

// Where each channel stands in a colour word, as decodeKVXColors reads it:
// the shifts of red, green, blue and alpha.
const CHANNEL_SHIFTS = { argb: [ 16, 8, 0, 24 ], rgba: [ 24, 16, 8, 0 ] };

// How the working colour space takes sRGB bytes: whether it mixes the
// channels (other primaries than sRGB's), and where it does not, each
// channel's 256 values as workingBytes makes them. Where the working space
// has sRGB's primaries (as linear sRGB has), ColorManagement turns each
// channel on its own, so a table of the 256 values gives the same bytes as a
// call per vertex.
function workingTables() {

	const mixes = [ [ 255, 0, 0 ], [ 0, 255, 0 ], [ 0, 0, 255 ] ].some( ( unit ) => workingBytes( ...unit ).some( ( v, k ) => unit[ k ] === 0 && v !== 0 ) );
	if ( mixes ) return { mixes, red: null, green: null, blue: null };
	const red = new Uint8Array( 256 ), green = new Uint8Array( 256 ), blue = new Uint8Array( 256 );
	for ( let k = 0; k < 256; k ++ ) [ red[ k ], green[ k ], blue[ k ] ] = workingBytes( k, k, k );
	return { mixes, red, green, blue };

}

// What workingTables depends on: ColorManagement's switch, its working space,
// and the definitions of that space and of sRGB (three.js releases without
// ColorManagement.spaces cannot redefine them).
function workingSpaceKey() {

	const spaces = ColorManagement.spaces;
	const working = ColorManagement.workingColorSpace;
	return [ ColorManagement.enabled, working, spaces?.[ working ], spaces?.[ SRGBColorSpace ] ];

}

// The colours of the records, four bytes per vertex in `out`, read from each
// colour word in `colorOrder` (as decodeKVXColors does) with red, green and
// blue turned into the working colour space (linear by default) as
// workingBytes makes them, through `tables` (workingTables); alpha is no
// colour and stays as stored. Gives the visitor vertexArrays hands the
// colour words to. Where the working space mixes the channels, each colour
// is turned on its own.
function workingColors( out, colorOrder, tables ) {

	const [ rs, gs, bs, as ] = CHANNEL_SHIFTS[ colorOrder ];
	if ( tables.mixes ) {

		return ( words, w, stride, count, first ) => {

			for ( let o = 4 * first, end = 4 * ( first + count ); o < end; o += 4, w += stride ) {

				const x = words[ w ];
				out.set( workingBytes( ( x >>> rs ) & 0xff, ( x >>> gs ) & 0xff, ( x >>> bs ) & 0xff ), o );
				out[ o + 3 ] = ( x >>> as ) & 0xff;

			}

		};

	}

	const { red, green, blue } = tables;
	if ( LITTLE_ENDIAN ) {

		// One word per vertex, its bytes red, green, blue, alpha in memory.
		const out32 = new Uint32Array( out.buffer, out.byteOffset, out.length / 4 );
		return ( words, w, stride, count, first ) => {

			for ( let i = first, end = first + count; i < end; i ++, w += stride ) {

				const x = words[ w ];
				out32[ i ] = red[ ( x >>> rs ) & 0xff ] | ( green[ ( x >>> gs ) & 0xff ] << 8 ) |
					( blue[ ( x >>> bs ) & 0xff ] << 16 ) | ( ( ( x >>> as ) & 0xff ) << 24 );

			}

		};

	}

	return ( words, w, stride, count, first ) => {

		for ( let o = 4 * first, end = 4 * ( first + count ); o < end; o += 4, w += stride ) {

			const x = words[ w ];
			out[ o ] = red[ ( x >>> rs ) & 0xff ];
			out[ o + 1 ] = green[ ( x >>> gs ) & 0xff ];
			out[ o + 2 ] = blue[ ( x >>> bs ) & 0xff ];
			out[ o + 3 ] = ( x >>> as ) & 0xff;

		}

	};

}

/**
 * Makes the three.js object a KVXLoader geometry is drawn with: a `Mesh` for
 * triangles, `LineSegments` for edges, `Points` for a point set. Without a
 * material it gets one that takes the vertex colours where the geometry has
 * them: for a mesh a double-sided `MeshLambertMaterial` (the C++ renderer's
 * ambient and diffuse light), flat-shaded where there are no normals; a
 * `LineBasicMaterial`; a `PointsMaterial` of 5 pixels. None is transparent,
 * so alpha is not drawn.
 *
 * @param {BufferGeometry} geometry - As `KVXLoader.parse` makes it.
 * @param {Material} [material] - Used instead of the default one.
 * @return {Mesh|LineSegments|Points}
 */
export function createKVXObject( geometry, material ) {

	const kind = geometry?.userData?.kvx?.kind;
	const vertexColors = geometry.attributes.color !== undefined;
	switch ( kind ) {

		case 'triangles':
			return new Mesh( geometry, material ?? new MeshLambertMaterial( {
				vertexColors, side: DoubleSide, flatShading: geometry.attributes.normal === undefined
			} ) );
		case 'lines':
			return new LineSegments( geometry, material ?? new LineBasicMaterial( { vertexColors } ) );
		case 'points':
			return new Points( geometry, material ?? new PointsMaterial( { vertexColors, size: 5, sizeAttenuation: false } ) );
		default:
			throw fail( 'createKVXObject needs a geometry made by KVXLoader (userData.kvx.kind is ' + describe( kind ) + ')' );

	}

}

/**
 * Loads KVX files into a BufferGeometry, as three.js's PLYLoader and
 * STLLoader do.
 *
 * ```js
 * const geometry = await new KVXLoader().loadAsync( 'model.kvx' );
 * scene.add( createKVXObject( geometry ) );
 * ```
 *
 * The geometry has `position`, `normal` (versions 3 and 4), `color` (four
 * normalized bytes: red, green, blue in the working colour space, alpha as
 * stored), `uv` (version 4) and, but for a point set, an index;
 * `geometry.userData.kvx` says what the file is (see KVXLoader.d.ts).
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

		// workingTables for the working space of workingSpaceKey, made again
		// when any of that changes.
		this._workingTables = null;

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
	 * Starts loading from the given URL and passes the geometry to `onLoad`.
	 *
	 * @param {string} url - The path or URL of the file.
	 * @param {function(BufferGeometry)} onLoad - Receives the geometry.
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
	 * @return {BufferGeometry} The geometry, with `userData.kvx`.
	 */
	parse( data, options ) {

		const colorOrder = colorOrderOf( options, this.colorOrder );
		const decoded = decodeKVX( data );
		const { info: kvx, index } = decoded;
		const colors = allocate( Uint8Array, kvx.vertexCount * 4 );
		const key = workingSpaceKey();
		const cached = this._workingTables;
		if ( cached === null || cached.key.some( ( value, k ) => value !== key[ k ] ) ) this._workingTables = { key, tables: workingTables() };
		const { positions, normals, uvs } = vertexArrays( decoded, workingColors( colors, colorOrder, this._workingTables.tables ) );

		const geometry = new BufferGeometry();
		geometry.name = kvx.name;
		geometry.setAttribute( 'position', new BufferAttribute( positions, 3 ) );
		if ( normals !== null ) geometry.setAttribute( 'normal', new BufferAttribute( normals, 3 ) );
		geometry.setAttribute( 'color', new BufferAttribute( colors, 4, true ) );
		if ( uvs !== null ) geometry.setAttribute( 'uv', new BufferAttribute( uvs, 2 ) );
		if ( index !== null ) geometry.setIndex( new BufferAttribute( index, 1 ) );
		geometry.userData.kvx = {
			version: kvx.version,
			name: kvx.name,
			vertexCount: kvx.vertexCount,
			groupCount: kvx.groupCount,
			kind: kvx.kind,
			warnings: kvx.warnings
		};
		return geometry;

	}

}

export { KVXLoader };
export default KVXLoader;

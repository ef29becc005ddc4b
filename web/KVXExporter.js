/**
 * A three.js exporter for KVX files, the binary triangle-mesh format of the
 * KVX tools, in the shape of three.js's PLYExporter and STLExporter:
 *
 * ```js
 * const buffer = new KVXExporter().parse( mesh, { version: 3 } );
 * ```
 *
 * `parse` takes an Object3D, whose Mesh, LineSegments and Points are merged
 * into one file (positions through each one's matrixWorld, as PLYExporter
 * does), or a lone BufferGeometry, and returns an ArrayBuffer:
 *
 * - triangles (Mesh) make versions 1 to 4, line segments version -2 and
 *   points version -1; objects of two kinds cannot share a file;
 * - the colours (linear, red, green and blue in the working colour space) are
 *   turned back into the file's sRGB bytes through ColorManagement, the
 *   inverse of KVXLoader; a geometry without colours is opaque white;
 * - version 4 stores u and 1 - v, as kvxconv4 does; KVXLoader gives v back;
 * - the normals of versions 3 and 4 are computed as kvxconv3 and kvxconv4
 *   compute them, to the bit (computeKVXNormals);
 * - a geometry without an index gets the sequential one (0 1 2, 3 4 5 ...),
 *   so that no vertex is merged and every value stays as it was.
 *
 * Every refusal is a plain Error whose message starts with "KVXExporter: ".
 *
 * @module three-kvx-loader/KVXExporter
 */

import { Color, ColorManagement, Matrix3, Matrix4, SRGBColorSpace, Vector3 } from 'three';

import { KVX_HEADER_SIZE, KVX_LAYOUTS, KVX_MAX_NAME_BYTES } from './KVXLoader.js';

/** The most vertices that 16-bit indices address. */
export const KVX_MAX_INDEXED_VERTICES = 65536;

/** The versions the exporter writes, by what their groups make. */
const DEFAULT_VERSION = { triangles: 4, lines: - 2, points: - 1 };

function fail( message ) {

	return new Error( 'KVXExporter: ' + message );

}

// ---------------------------------------------------------------------------
// The converters' normals. They form the cross products and the sums of
// squares in the x87 extended format (a 64-bit significand), round them to
// single precision (through double for the sums) and do everything else in
// single precision. A product of two floats is exact in a double; the rest
// is done here on exact values held as unevaluated sums of doubles, rounded
// to a 64-bit significand, then to the float or double that the extended
// value would round to.

const _bits = new Float64Array( 1 );
const _words = new Uint32Array( _bits.buffer );
const HIGH = new Uint8Array( Uint16Array.of( 1 ).buffer )[ 0 ] === 1 ? 1 : 0;

// The exponent of a normal double (x = m 2^e, 1 <= |m| < 2).
function exponentOf( x ) {

	_bits[ 0 ] = x;
	return ( ( _words[ HIGH ] >>> 20 ) & 0x7ff ) - 1023;

}

function isPowerOfTwo( x ) {

	_bits[ 0 ] = x;
	return ( _words[ HIGH ] & 0xfffff ) === 0 && _words[ 1 - HIGH ] === 0;

}

// 2^n for -1022 <= n <= 1023, exactly.
function powerOfTwo( n ) {

	_words[ HIGH ] = ( n + 1023 ) << 20;
	_words[ 1 - HIGH ] = 0;
	return _bits[ 0 ];

}

// The result of roundExtended: the extended value as hi + lo, hi the double
// nearest to it.
const _extended = new Float64Array( 2 );

// Rounds the exact value s + r1 + r2 to a 64-bit significand, ties to even,
// into _extended. Preconditions: the terms are finite, |r1| is at most about
// one unit in the last place of s, |r2| at most half a unit of r1's, and
// the value lies where doubles are normal. Zero terms give s itself (its
// sign too).
function roundExtended( s, r1, r2 ) {

	if ( r1 === 0 && r2 === 0 ) {

		_extended[ 0 ] = s;
		_extended[ 1 ] = 0;
		return;

	}

	// s + r1 = h + t exactly, h the double nearest to it.
	const h = s + r1;
	const v = h - s;
	const t = ( s - ( h - v ) ) + ( r1 - v );
	if ( t === 0 && r2 === 0 ) {

		_extended[ 0 ] = h;
		_extended[ 1 ] = 0;
		return;

	}

	if ( h === 0 ) {

		_extended[ 0 ] = r2;
		_extended[ 1 ] = 0;
		return;

	}

	// The grid of 64-bit significands where the value lies: below a power of
	// two h when the rest pulls it down.
	const rest = t !== 0 ? t : r2;
	let exponent = exponentOf( h );
	if ( isPowerOfTwo( h ) && ( rest < 0 ) !== ( h < 0 ) ) exponent -= 1;
	const unit = powerOfTwo( exponent - 63 );

	// t + r2 rounded to a whole number of units; r2 decides ties, and with no
	// r2 the even unit wins (h is a whole even number of units).
	const q = t / unit;
	let n = Math.floor( q );
	const fraction = q - n;
	if ( fraction > 0.5 || ( fraction === 0.5 && ( r2 > 0 || ( r2 === 0 && n % 2 !== 0 ) ) ) ) n += 1;
	const e = n * unit;

	const hi = h + e;
	const w = hi - h;
	_extended[ 0 ] = hi;
	_extended[ 1 ] = ( h - ( hi - w ) ) + ( e - w );

}

const FLOAT_MAX = 3.4028234663852886e38;
// Halfway between FLOAT_MAX and 2^128: from here on a float overflows.
const FLOAT_OVERFLOW = 3.4028235677973366e38;

// The float nearest to the exact value hi + lo (hi the double nearest to it),
// ties to even. Every halfway point between two floats is a double, so only
// a hi exactly halfway needs lo to decide.
function roundToFloat( hi, lo ) {

	const f = Math.fround( hi );
	if ( lo === 0 || f === hi ) return f;
	if ( ! Number.isFinite( f ) ) {

		return Math.abs( hi ) === FLOAT_OVERFLOW && ( lo < 0 ) !== ( hi < 0 ) ? Math.sign( hi ) * FLOAT_MAX : f;

	}

	const g = 2 * hi - f;
	if ( g !== f && Math.fround( g ) === g && g - hi === hi - f ) return ( lo > 0 ) === ( g > f ) ? g : f;
	return f;

}

// a b - c d of four floats, as the converters compute a cross product's
// component: two exact products, their difference rounded to a 64-bit
// significand, then to a float.
function crossTerm( a, b, c, d ) {

	const p = a * b;
	const q = c * d;
	const s = p - q;
	if ( ! Number.isFinite( s ) ) return Math.fround( s );
	const v = s - p;
	const e = ( p - ( s - v ) ) + ( - q - v );
	roundExtended( s, e, 0 );
	return roundToFloat( _extended[ 0 ], _extended[ 1 ] );

}

// The converters' unit vector of the floats (x, y, z) into out at o: the sum
// of squares (x x + y y) + z z in extended precision, rounded to a double,
// its square root rounded to a float, each value divided by it in single
// precision; a length of zero gives (0, 0, 0).
function normalizeInto( x, y, z, out, o ) {

	const a = x * x, b = y * y, c = z * z;
	let sum = ( a + b ) + c;
	if ( Number.isFinite( sum ) ) {

		const s = a + b;
		const v = s - a;
		roundExtended( s, ( a - ( s - v ) ) + ( b - v ), 0 );
		const h = _extended[ 0 ], l = _extended[ 1 ];
		const s2 = h + c;
		const w = s2 - h;
		const e2 = ( h - ( s2 - w ) ) + ( c - w );
		const r1 = e2 + l;
		const u = r1 - e2;
		const r2 = ( e2 - ( r1 - u ) ) + ( l - u );
		roundExtended( s2, r1, r2 );
		// The double nearest to the extended sum.
		sum = _extended[ 0 ];

	}

	const length = Math.fround( Math.sqrt( sum ) );
	if ( length === 0 ) {

		out[ o ] = 0;
		out[ o + 1 ] = 0;
		out[ o + 2 ] = 0;
		return;

	}

	out[ o ] = Math.fround( x / length );
	out[ o + 1 ] = Math.fround( y / length );
	out[ o + 2 ] = Math.fround( z / length );

}

/**
 * The smooth vertex normals that kvxconv3 and kvxconv4 write, to the bit:
 * each triangle i0 i1 i2 gets the unit vector of (P2 - P1) x (P0 - P1) (or
 * (0, 0, 0)), each vertex the normalised sum of the normals of the triangles
 * that name it, added in triangle order in single precision.
 *
 * @param {Float32Array} positions - x, y, z per vertex.
 * @param {ArrayLike<number>} index - Three vertex indices per triangle, each
 * below the vertex count.
 * @return {Float32Array} nx, ny, nz per vertex.
 */
export function computeKVXNormals( positions, index ) {

	const vertexCount = Math.floor( positions.length / 3 );
	const normals = new Float32Array( vertexCount * 3 );
	const face = new Float32Array( 3 );
	for ( let k = 0; k + 2 < index.length; k += 3 ) {

		const i0 = 3 * index[ k ], i1 = 3 * index[ k + 1 ], i2 = 3 * index[ k + 2 ];
		if ( i0 >= normals.length || i1 >= normals.length || i2 >= normals.length ) {

			throw fail( 'triangle ' + k / 3 + ' names a vertex beyond the ' + vertexCount + ' there are' );

		}

		const x1 = positions[ i1 ], y1 = positions[ i1 + 1 ], z1 = positions[ i1 + 2 ];
		// e1 = P2 - P1, e2 = P0 - P1, in single precision.
		const ax = Math.fround( positions[ i2 ] - x1 ), ay = Math.fround( positions[ i2 + 1 ] - y1 ), az = Math.fround( positions[ i2 + 2 ] - z1 );
		const bx = Math.fround( positions[ i0 ] - x1 ), by = Math.fround( positions[ i0 + 1 ] - y1 ), bz = Math.fround( positions[ i0 + 2 ] - z1 );
		normalizeInto( crossTerm( ay, bz, az, by ), crossTerm( az, bx, ax, bz ), crossTerm( ax, by, ay, bx ), face, 0 );
		// A Float32Array rounds each sum to single precision.
		for ( const i of [ i0, i1, i2 ] ) {

			normals[ i ] += face[ 0 ];
			normals[ i + 1 ] += face[ 1 ];
			normals[ i + 2 ] += face[ 2 ];

		}

	}

	for ( let i = 0; i < normals.length; i += 3 ) normalizeInto( normals[ i ], normals[ i + 1 ], normals[ i + 2 ], normals, i );
	return normals;

}

// ---------------------------------------------------------------------------
// Names.

// The characters that end a text mesh's name (C's isspace).
const WHITE_SPACE = /[ \t\n\v\f\r]/;
const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

/**
 * The bytes of a version-4 name (UTF-8), or an Error for a name no KVX
 * tool could write or read back: more than 255 bytes, a zero byte, white
 * space (a text mesh's name is one word), or a lone surrogate (no UTF-8).
 *
 * @param {string} name
 * @return {Uint8Array}
 */
export function encodeKVXName( name ) {

	if ( typeof name !== 'string' ) throw fail( 'the name must be a string, not ' + ( name === null ? 'null' : typeof name ) );
	const shown = JSON.stringify( name.length > 40 ? name.slice( 0, 40 ) + '...' : name );
	if ( name.includes( '\0' ) ) throw fail( 'the name ' + shown + ' holds a zero byte, which ends a name' );
	if ( WHITE_SPACE.test( name ) ) throw fail( 'the name ' + shown + ' holds white space; a KVX name is one word, as in a text mesh' );
	if ( LONE_SURROGATE.test( name ) ) throw fail( 'the name ' + shown + ' holds a lone surrogate, which UTF-8 cannot hold' );
	const bytes = new TextEncoder().encode( name );
	if ( bytes.length > KVX_MAX_NAME_BYTES ) {

		throw fail( 'the name is ' + bytes.length + ' bytes long in UTF-8; at most ' + KVX_MAX_NAME_BYTES + ' fit' );

	}

	return bytes;

}

function isAllowedName( name ) {

	try {

		encodeKVXName( name );
		return true;

	} catch {

		return false;

	}

}

// ---------------------------------------------------------------------------
// Gathering the geometry.

const KIND_OF_OBJECT = ( object ) => object.isMesh ? 'triangles' : object.isLineSegments ? 'lines' : object.isPoints ? 'points' : null;
const GROUP_SIZE = { triangles: 3, lines: 2, points: 0 };
const _identity = new Matrix4();

// The parts to write: { geometry, matrix (null: none), kind }.
function partsOf( input ) {

	if ( input !== null && typeof input === 'object' && input.isBufferGeometry === true ) {

		if ( input.getAttribute( 'position' ) === undefined ) throw fail( 'the geometry has no position attribute' );
		// A geometry says what its index holds only where KVXLoader made it.
		const kind = input.userData?.kvx?.kind;
		return [ { geometry: input, matrix: null, kind: GROUP_SIZE[ kind ] === undefined ? null : kind, name: input.name } ];

	}

	if ( input === null || typeof input !== 'object' || input.isObject3D !== true ) {

		throw fail( 'expected an Object3D or a BufferGeometry, got ' + ( input === null ? 'null' : typeof input === 'object' ? Object.prototype.toString.call( input ) : typeof input ) );

	}

	const parts = [];
	input.traverse( ( object ) => {

		const kind = KIND_OF_OBJECT( object );
		if ( kind === null || object.geometry?.getAttribute( 'position' ) === undefined ) return;
		const matrix = object.matrixWorld.equals( _identity ) ? null : object.matrixWorld;
		parts.push( { geometry: object.geometry, matrix, kind, name: object.name || object.geometry.name } );

	} );
	if ( parts.length === 0 ) throw fail( 'nothing to export: no Mesh, LineSegments or Points with a position attribute' );
	const kinds = [ ...new Set( parts.map( ( p ) => p.kind ) ) ];
	if ( kinds.length > 1 ) throw fail( 'the object holds ' + kinds.join( ' and ' ) + '; a KVX file holds one kind' );
	return parts;

}

function versionOf( options, parts ) {

	const kind = parts[ 0 ].kind;
	let version = options.version;
	if ( version === undefined ) {

		// The version KVXLoader read the first geometry from, where it holds
		// this kind, else the fullest of the kind.
		const loaded = KVX_LAYOUTS.find( ( l ) => l.version === parts[ 0 ].geometry.userData?.kvx?.version );
		const fits = loaded !== undefined && loaded.primitive !== 'records' && ( kind === null || loaded.primitive === kind );
		version = fits ? loaded.version : DEFAULT_VERSION[ kind ?? 'triangles' ];

	}

	const layout = KVX_LAYOUTS.find( ( l ) => l.version === version );
	if ( layout === undefined || layout.primitive === 'records' ) {

		throw fail( 'version ' + String( version ) + ' cannot be written (versions 1 to 4, -1 and -2 can)' );

	}

	if ( kind !== null && kind !== layout.primitive ) {

		throw fail( 'version ' + version + ' holds ' + layout.primitive + ', and the object holds ' + kind );

	}

	return layout;

}

const _vector = new Vector3();
const _color = new Color();
const _normalMatrix = new Matrix3();

// A normal that is not a number (from a position that is not finite) as the
// converters write it: the x86 default NaN, 0xFFC00000, which JavaScript's
// NaN (0x7FC00000 here) is not.
function nanAsX86( bits ) {

	return ( bits & 0x7fffffff ) > 0x7f800000 ? 0xffc00000 : bits;

}

function byteOf( value ) {

	const b = Math.round( value * 255 );
	return b >= 0 ? ( b <= 255 ? b : 255 ) : 0; // NaN gives 0

}

/**
 * Writes KVX files from three.js geometry.
 */
class KVXExporter {

	/**
	 * Makes a KVX file of an object or a geometry.
	 *
	 * @param {Object3D|BufferGeometry} input - An object whose Mesh,
	 * LineSegments or Points (one kind) are merged, each through its
	 * matrixWorld, or a geometry, written as it is.
	 * @param {Object} [options]
	 * @param {1|2|3|4|-1|-2} [options.version] - Default: 4 for a Mesh, -2
	 * for LineSegments, -1 for Points; for a geometry, the version KVXLoader
	 * read it from, else 4.
	 * @param {'argb'|'rgba'} [options.colorOrder='argb'] - How the colour word
	 * is packed, as KVXLoader reads it.
	 * @param {string} [options.name] - Version 4's name. Default: the name of
	 * the first object (else of its geometry; for a geometry, its own) where
	 * it is one a KVX file holds, else none.
	 * @param {'compute'|'geometry'} [options.normals='compute'] - Versions 3
	 * and 4: the converters' normals, or the geometry's own normal attribute
	 * through the normal matrix (computed where a geometry has none).
	 * @return {ArrayBuffer} The file.
	 */
	parse( input, options = {} ) {

		if ( options === null || options === undefined ) options = {};
		if ( typeof options !== 'object' ) throw fail( 'options must be an object, not ' + typeof options );
		const colorOrder = options.colorOrder ?? 'argb';
		if ( colorOrder !== 'argb' && colorOrder !== 'rgba' ) throw fail( 'colorOrder must be "argb" or "rgba", not ' + JSON.stringify( String( colorOrder ) ) );
		const normalsFrom = options.normals ?? 'compute';
		if ( normalsFrom !== 'compute' && normalsFrom !== 'geometry' ) throw fail( 'normals must be "compute" or "geometry", not ' + JSON.stringify( String( normalsFrom ) ) );

		const parts = partsOf( input );
		const layout = versionOf( options, parts );
		const kind = layout.primitive;
		const groupSize = GROUP_SIZE[ kind ];

		let nameBytes = new Uint8Array( 0 );
		if ( options.name !== undefined ) {

			nameBytes = encodeKVXName( options.name );
			if ( ! layout.hasName && nameBytes.length > 0 ) throw fail( 'version ' + layout.version + ' holds no name; version 4 does' );

		} else if ( layout.hasName && isAllowedName( parts[ 0 ].name ?? '' ) ) {

			nameBytes = encodeKVXName( parts[ 0 ].name ?? '' );

		}

		// The counts, checked before anything is made.
		let vertexCount = 0, indexCount = 0;
		for ( const part of parts ) {

			const count = part.geometry.getAttribute( 'position' ).count;
			const index = part.geometry.getIndex();
			const values = groupSize === 0 ? 0 : index !== null ? index.count : count;
			if ( groupSize !== 0 && values % groupSize !== 0 ) {

				throw fail( ( index !== null ? 'the index has ' : 'the geometry has no index and ' ) + values +
					( index !== null ? ' values' : ' vertices' ) + ', not a whole number of ' + ( groupSize === 3 ? 'triangles' : 'line segments' ) );

			}

			part.base = vertexCount;
			vertexCount += count;
			indexCount += values;

		}

		if ( groupSize !== 0 && vertexCount > KVX_MAX_INDEXED_VERTICES ) {

			throw fail( vertexCount + ' vertices: a KVX file of ' + kind + ' holds at most 65,536 (its indices are 16-bit)' );

		}

		const groupCount = groupSize === 0 ? vertexCount : indexCount / groupSize;
		if ( groupCount > 0xffffffff || vertexCount > 0xffffffff ) throw fail( 'more than 4,294,967,295 vertices' );

		// Positions as float bits (a NaN keeps its payload), the index, the
		// colour words and the texture coordinates of every part.
		const positions = new Float32Array( vertexCount * 3 );
		const positionBits = new Uint32Array( positions.buffer );
		const index = groupSize === 0 ? null : new Uint16Array( indexCount );
		const colors = new Uint32Array( vertexCount );
		const uvs = layout.fields.uv === undefined ? null : new Float32Array( vertexCount * 2 );
		let at = 0;
		for ( const part of parts ) {

			const { geometry, matrix, base } = part;
			const position = geometry.getAttribute( 'position' );
			const count = position.count;
			const array = position.array;
			if ( matrix === null && array instanceof Float32Array && ! position.isInterleavedBufferAttribute && position.itemSize === 3 ) {

				positionBits.set( new Uint32Array( array.buffer, array.byteOffset, count * 3 ), base * 3 );

			} else {

				for ( let i = 0; i < count; i ++ ) {

					_vector.fromBufferAttribute( position, i );
					if ( matrix !== null ) _vector.applyMatrix4( matrix );
					_vector.toArray( positions, ( base + i ) * 3 );

				}

			}

			const color = geometry.getAttribute( 'color' );
			for ( let i = 0; i < count; i ++ ) {

				let r = 255, g = 255, b = 255, a = 255;
				if ( color !== undefined ) {

					_color.fromBufferAttribute( color, i );
					ColorManagement.workingToColorSpace( _color, SRGBColorSpace );
					r = byteOf( _color.r );
					g = byteOf( _color.g );
					b = byteOf( _color.b );
					if ( color.itemSize === 4 ) a = byteOf( color.getW( i ) );

				}

				colors[ base + i ] = colorOrder === 'argb' ? ( a << 24 | r << 16 | g << 8 | b ) >>> 0 : ( r << 24 | g << 16 | b << 8 | a ) >>> 0;

			}

			const uv = geometry.getAttribute( 'uv' );
			if ( uvs !== null && uv !== undefined ) {

				for ( let i = 0; i < count; i ++ ) {

					uvs[ 2 * ( base + i ) ] = uv.getX( i );
					uvs[ 2 * ( base + i ) + 1 ] = uv.getY( i );

				}

			}

			const source = geometry.getIndex();
			if ( index !== null ) {

				if ( source === null ) {

					for ( let i = 0; i < count; i ++ ) index[ at ++ ] = base + i;

				} else {

					for ( let i = 0; i < source.count; i ++ ) {

						const value = source.getX( i );
						if ( ! ( value >= 0 && value < count && Number.isInteger( value ) ) ) {

							throw fail( 'index value ' + i + ' names vertex ' + value + ' of ' + count );

						}

						index[ at ++ ] = base + value;

					}

				}

			}

		}

		let normals = null;
		if ( layout.fields.normal !== undefined ) {

			normals = computeKVXNormals( positions, index );
			if ( normalsFrom === 'geometry' ) {

				for ( const { geometry, matrix, base } of parts ) {

					const normal = geometry.getAttribute( 'normal' );
					if ( normal === undefined ) continue;
					if ( matrix !== null ) _normalMatrix.getNormalMatrix( matrix );
					for ( let i = 0; i < normal.count; i ++ ) {

						_vector.fromBufferAttribute( normal, i );
						if ( matrix !== null ) _vector.applyMatrix3( _normalMatrix ).normalize();
						_vector.toArray( normals, ( base + i ) * 3 );

					}

				}

			}

		}

		// The file.
		const recordSize = layout.recordSize;
		const indexStart = KVX_HEADER_SIZE + vertexCount * recordSize;
		const nameStart = indexStart + indexCount * 2;
		const buffer = new ArrayBuffer( nameStart + nameBytes.length );
		const view = new DataView( buffer );
		view.setUint8( 0, 0x4b );
		view.setUint8( 1, 0x56 );
		view.setUint8( 2, 0x58 );
		view.setUint32( 3, vertexCount, true );
		view.setUint32( 7, groupCount, true );
		view.setInt32( 11, layout.version, true );
		const { position: p, color: c, normal: n, uv: t } = layout.fields;
		const normalBits = normals === null ? null : new Uint32Array( normals.buffer );
		for ( let i = 0, o = KVX_HEADER_SIZE; i < vertexCount; i ++, o += recordSize ) {

			view.setUint32( o + c, colors[ i ], true );
			view.setUint32( o + p, positionBits[ 3 * i ], true );
			view.setUint32( o + p + 4, positionBits[ 3 * i + 1 ], true );
			view.setUint32( o + p + 8, positionBits[ 3 * i + 2 ], true );
			if ( normalBits !== null ) {

				view.setUint32( o + n, nanAsX86( normalBits[ 3 * i ] ), true );
				view.setUint32( o + n + 4, nanAsX86( normalBits[ 3 * i + 1 ] ), true );
				view.setUint32( o + n + 8, nanAsX86( normalBits[ 3 * i + 2 ] ), true );

			}

			if ( uvs !== null ) {

				// The file stores 1 - v, rounded to single precision.
				view.setFloat32( o + t, uvs[ 2 * i ], true );
				view.setFloat32( o + t + 4, Math.fround( 1 - uvs[ 2 * i + 1 ] ), true );

			}

		}

		for ( let k = 0; index !== null && k < indexCount; k ++ ) view.setUint16( indexStart + 2 * k, index[ k ], true );
		new Uint8Array( buffer, nameStart ).set( nameBytes );
		return buffer;

	}

}

export { KVXExporter };
export default KVXExporter;

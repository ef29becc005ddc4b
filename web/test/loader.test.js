// The loader on files made byte by byte: the layouts of docs/format.md, the
// three.js objects it makes, what it accepts besides an ArrayBuffer, and what
// it loads with a warning.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { runInNewContext } from 'node:vm';

import {
	BufferGeometry, Color, ColorManagement, LineBasicMaterial, LineSegments, Loader, Mesh, MeshBasicMaterial, MeshLambertMaterial,
	Points, PointsMaterial, SRGBColorSpace
} from 'three';

import { PLYLoader } from 'three/addons/loaders/PLYLoader.js';
import { LinearRec2020ColorSpace, LinearRec2020ColorSpaceImpl } from 'three/addons/math/ColorSpaces.js';

import { KVXLoader, createKVXObject, decodeKVXColors, readKVX } from '../KVXLoader.js';
import { kvxBytes } from './kvxbytes.js';

// docs/format.md, "A file byte by byte": kvxconv1 on one triangle.
const TRIANGLE_HEX =
	'4b 56 58 03 00 00 00 01 00 00 00 01 00 00 00 00 ' +
	'00 ff ff 00 00 00 00 00 00 00 00 00 00 00 00 00 ' +
	'00 ff ff 00 00 80 3f 00 00 00 00 00 00 00 00 00 ' +
	'00 ff ff 00 00 00 00 00 00 80 3f 00 00 00 00 00 ' +
	'00 01 00 02 00';
const triangle = () => Uint8Array.from( TRIANGLE_HEX.split( ' ' ), ( h ) => parseInt( h, 16 ) );

describe( 'layouts', () => {

	test( 'the triangle of the format guide', () => {

		const geometry = new KVXLoader().parse( triangle() );
		assert.deepEqual( geometry.userData.kvx, { version: 1, name: '', vertexCount: 3, groupCount: 1, kind: 'triangles', warnings: [] } );
		const { position, color } = geometry.attributes;
		assert.deepEqual( Array.from( position.array ), [ 0, 0, 0, 1, 0, 0, 0, 1, 0 ] );
		// 0xFFFF0000 read as argb: alpha 255, red 255, green 0, blue 0.
		assert.deepEqual( Array.from( readKVX( triangle() ).colorWords ), [ 0xffff0000, 0xffff0000, 0xffff0000 ] );
		assert.deepEqual( Array.from( color.array.subarray( 0, 4 ) ), [ 255, 0, 0, 255 ] );
		assert.deepEqual( Array.from( geometry.index.array ), [ 0, 1, 2 ] );
		// ... and as rgba: red 255, green 255, blue 0, alpha 0.
		const rgba = new KVXLoader().setColorOrder( 'rgba' ).parse( triangle() );
		assert.deepEqual( Array.from( rgba.attributes.color.array.subarray( 0, 4 ) ), [ 255, 255, 0, 0 ] );

	} );

	test( 'the attribute types three.js expects', () => {

		const g = new KVXLoader().parse( triangle() );
		assert.ok( g instanceof BufferGeometry );
		assert.ok( g.attributes.position.array instanceof Float32Array );
		assert.equal( g.attributes.position.itemSize, 3 );
		assert.ok( g.attributes.color.array instanceof Uint8Array );
		assert.equal( g.attributes.color.itemSize, 4 );
		assert.equal( g.attributes.color.normalized, true );
		assert.ok( g.index.array instanceof Uint16Array );
		assert.equal( g.attributes.normal, undefined );
		assert.equal( g.attributes.uv, undefined );

	} );

	test( 'the file sizes of the format guide, and one byte less', () => {

		const cases = [
			// The empty version-1 file: exactly the header.
			[ 15, { version: 1, faceCount: 0 } ],
			// A point set of 5 vertices.
			[ 95, { version: - 1, faceCount: 5, records: Array( 5 ).fill( [ 0, 1, 2, 3 ] ) } ],
			// A wireframe of 2 vertices and 3 edges.
			[ 59, { version: - 2, faceCount: 3, records: Array( 2 ).fill( [ 0, 1, 2, 3 ] ), indices: [ 0, 1, 1, 0, 1, 1 ] } ],
			// A version-3 triangle.
			[ 105, { version: 3, faceCount: 1, records: Array( 3 ).fill( [ 0, 0, 0, 1, 4, 5, 6 ] ), indices: [ 0, 1, 2 ] } ]
		];
		for ( const [ size, fields ] of cases ) {

			const bytes = kvxBytes( fields );
			assert.equal( bytes.length, size );
			const { attributes, userData } = new KVXLoader().parse( bytes );
			assert.equal( userData.kvx.version, fields.version );
			assert.equal( attributes.position.count, userData.kvx.vertexCount );
			assert.throws( () => new KVXLoader().parse( bytes.subarray( 0, size - 1 ) ), { message: /^KVXLoader: truncated: / } );

		}

	} );

	test( 'version 3: normals between colour and position', () => {

		const bytes = kvxBytes( { version: 3, faceCount: 1, records: [ [ 0x11223344, 0.5, - 0.25, 1, 7, 8, 9 ], [ 1, 0, 0, - 1, - 7, - 8, - 9 ] ], indices: [ 0, 1, 1 ] } );
		const { attributes } = new KVXLoader().parse( bytes );
		assert.equal( attributes.uv, undefined );
		assert.deepEqual( Array.from( attributes.normal.array ), [ 0.5, - 0.25, 1, 0, 0, - 1 ] );
		assert.deepEqual( Array.from( attributes.position.array ), [ 7, 8, 9, - 7, - 8, - 9 ] );
		assert.deepEqual( Array.from( readKVX( bytes ).colors.subarray( 0, 4 ) ), [ 0x22, 0x33, 0x44, 0x11 ] );

	} );

	test( 'version 4: u, v, colour, normal, position, then the name', () => {

		const name = new TextEncoder().encode( 'flag' );
		const bytes = kvxBytes( {
			version: 4, faceCount: 1, ints: [ 2 ], trailer: name, indices: [ 0, 0, 0 ],
			records: [ [ 0.25, 0.75, 0x80ff4020, 0, 1, 0, 3, 4, 5 ] ]
		} );
		const g = new KVXLoader().parse( bytes );
		// t = 1 - stored v.
		assert.deepEqual( Array.from( g.attributes.uv.array ), [ 0.25, 0.25 ] );
		assert.deepEqual( Array.from( g.attributes.normal.array ), [ 0, 1, 0 ] );
		assert.deepEqual( Array.from( g.attributes.position.array ), [ 3, 4, 5 ] );
		assert.deepEqual( Array.from( readKVX( bytes ).colors ), [ 0xff, 0x40, 0x20, 0x80 ] );
		assert.equal( g.userData.kvx.name, 'flag' );
		assert.equal( g.name, 'flag' );
		assert.deepEqual( Array.from( readKVX( bytes ).nameBytes ), Array.from( name ) );

	} );

	test( 'a name ends at its first zero byte; its bytes are kept whole', () => {

		const trailer = Uint8Array.of( 0x6e, 0xc3, 0xbc, 0, 0x78 );
		const bytes = kvxBytes( { version: 4, faceCount: 0, ints: [ 2 ], trailer, records: [ [ 0, 0, 0, 0, 0, 0, 0, 0, 0 ] ] } );
		assert.equal( new KVXLoader().parse( bytes ).userData.kvx.name, 'nü' );
		assert.deepEqual( Array.from( readKVX( bytes ).nameBytes ), Array.from( trailer ) );

	} );

	test( 'lines and points', () => {

		const records = [ [ 0, 0, 0, 0 ], [ 0, 1, 0, 0 ], [ 0, 0, 1, 0 ] ];
		const lines = new KVXLoader().parse( kvxBytes( { version: - 2, faceCount: 2, records, indices: [ 0, 1, 2, 1 ] } ) );
		assert.equal( lines.userData.kvx.kind, 'lines' );
		assert.equal( lines.userData.kvx.groupCount, 2 );
		assert.deepEqual( Array.from( lines.index.array ), [ 0, 1, 2, 1 ] );
		// A point set has no index block, whatever its face count says.
		const points = new KVXLoader().parse( kvxBytes( { version: - 1, faceCount: 0xffffffff, records } ) );
		assert.equal( points.userData.kvx.kind, 'points' );
		assert.equal( points.userData.kvx.groupCount, 0xffffffff );
		assert.equal( points.index, null );
		assert.deepEqual( points.userData.kvx.warnings, [] );

	} );

} );

// The triangle's colour word 0xFFFF0000 as the attribute has it in each
// order: red, green, blue, alpha.
const RED = [ 255, 0, 0, 255 ];
const YELLOW = [ 255, 255, 0, 0 ];
const firstColor = ( geometry ) => Array.from( geometry.attributes.color.array.subarray( 0, 4 ) );

describe( 'colours and objects', () => {

	// 256 vertices whose colour words run red 0 to 255, green down, blue in
	// steps of 7, alpha with red; and the same colours as an ASCII PLY file.
	const words = Array.from( { length: 256 }, ( _, i ) => ( ( i << 24 ) | ( i << 16 ) | ( ( 255 - i ) << 8 ) | ( ( i * 7 ) & 255 ) ) >>> 0 );
	const ramp = kvxBytes( { version: - 1, faceCount: 0, records: words.map( ( w ) => [ w, 0, 0, 0 ] ) } );
	const ply = [ 'ply', 'format ascii 1.0', 'element vertex 256', 'property float x', 'property float y', 'property float z',
		'property uchar red', 'property uchar green', 'property uchar blue', 'end_header',
		...words.map( ( w ) => `0 0 0 ${( w >>> 16 ) & 255} ${( w >>> 8 ) & 255} ${w & 255}` ), '' ].join( '\n' );

	test( 'sRGB bytes become linear bytes as three.js\'s PLYLoader makes them; alpha stays', () => {

		const color = new KVXLoader().parse( ramp ).attributes.color.array;
		const reference = new PLYLoader().parse( ply ).attributes.color.array;
		assert.equal( reference.length, 3 * 256 );
		for ( let i = 0; i < 256; i ++ ) {

			assert.deepEqual( Array.from( color.subarray( 4 * i, 4 * i + 4 ) ), [ ...reference.subarray( 3 * i, 3 * i + 3 ), i ], `vertex ${i}` );

		}

		// Not the bytes as stored: 0x80 is 55 in linear light.
		assert.equal( color[ 4 * 128 ], 55 );

	} );

	test( 'the conversion goes through ColorManagement: off, or into a working space of other primaries', () => {

		ColorManagement.enabled = false;
		try {

			const color = new KVXLoader().parse( ramp ).attributes.color.array;
			assert.deepEqual( Array.from( color ), Array.from( readKVX( ramp ).colors ) );

		} finally {

			ColorManagement.enabled = true;

		}

		// Linear Rec. 2020 mixes the channels: pure sRGB red has some green.
		const working = ColorManagement.workingColorSpace;
		ColorManagement.define( { [ LinearRec2020ColorSpace ]: LinearRec2020ColorSpaceImpl } );
		ColorManagement.workingColorSpace = LinearRec2020ColorSpace;
		try {

			const color = new KVXLoader().parse( ramp ).attributes.color.array;
			const reference = new PLYLoader().parse( ply ).attributes.color.array;
			assert.deepEqual( Array.from( color ).filter( ( _, k ) => k % 4 !== 3 ), Array.from( reference ) );
			// Vertex 255, 0xFFFF00F9, has no green; in Rec. 2020 it has some.
			assert.ok( color[ 4 * 255 + 1 ] > 0, 'green ' + color[ 4 * 255 + 1 ] );

		} finally {

			ColorManagement.workingColorSpace = working;

		}

	} );

	test( 'one loader follows ColorManagement from parse to parse', () => {

		const loader = new KVXLoader();
		const linear = Array.from( new PLYLoader().parse( ply ).attributes.color.array );
		const rgb = ( geometry ) => Array.from( geometry.attributes.color.array ).filter( ( _, k ) => k % 4 !== 3 );
		assert.deepEqual( rgb( loader.parse( ramp ) ), linear );
		const working = ColorManagement.workingColorSpace;
		try {

			ColorManagement.enabled = false;
			assert.deepEqual( Array.from( loader.parse( ramp ).attributes.color.array ), Array.from( readKVX( ramp ).colors ) );
			ColorManagement.enabled = true;
			ColorManagement.define( { [ LinearRec2020ColorSpace ]: LinearRec2020ColorSpaceImpl } );
			ColorManagement.workingColorSpace = LinearRec2020ColorSpace;
			const rec2020 = rgb( loader.parse( ramp ) );
			assert.deepEqual( rec2020, Array.from( new PLYLoader().parse( ply ).attributes.color.array ) );
			assert.notDeepEqual( rec2020, linear );
			// A space defined anew under the same name: linear sRGB's
			// definition, then sRGB's own, whose bytes are those stored.
			ColorManagement.define( { 'kvx-test': ColorManagement.spaces[ working ] } );
			ColorManagement.workingColorSpace = 'kvx-test';
			assert.deepEqual( rgb( loader.parse( ramp ) ), linear );
			ColorManagement.define( { 'kvx-test': ColorManagement.spaces[ SRGBColorSpace ] } );
			assert.deepEqual( Array.from( loader.parse( ramp ).attributes.color.array ), Array.from( readKVX( ramp ).colors ) );

		} finally {

			ColorManagement.enabled = true;
			ColorManagement.define( { [ LinearRec2020ColorSpace ]: LinearRec2020ColorSpaceImpl } );
			ColorManagement.workingColorSpace = working;

		}

		assert.deepEqual( rgb( loader.parse( ramp ) ), linear );

	} );

	test( 'createKVXObject: the object and material for each kind', () => {

		const records = [ [ 0, 0, 0, 0 ], [ 0, 1, 0, 0 ], [ 0, 0, 1, 0 ] ];
		const mesh = createKVXObject( new KVXLoader().parse( triangle() ) );
		assert.ok( mesh instanceof Mesh );
		assert.ok( mesh.material instanceof MeshLambertMaterial );
		assert.deepEqual( [ mesh.material.vertexColors, mesh.material.flatShading, mesh.material.transparent ], [ true, true, false ] );
		// With normals, smooth.
		const v3 = kvxBytes( { version: 3, faceCount: 1, records: Array( 3 ).fill( [ 0, 0, 0, 1, 4, 5, 6 ] ), indices: [ 0, 1, 2 ] } );
		assert.equal( createKVXObject( new KVXLoader().parse( v3 ) ).material.flatShading, false );
		const lines = createKVXObject( new KVXLoader().parse( kvxBytes( { version: - 2, faceCount: 1, records, indices: [ 0, 1 ] } ) ) );
		assert.ok( lines instanceof LineSegments && lines.material instanceof LineBasicMaterial && lines.material.vertexColors );
		const points = createKVXObject( new KVXLoader().parse( kvxBytes( { version: - 1, faceCount: 0, records } ) ) );
		assert.ok( points instanceof Points && points.material instanceof PointsMaterial && points.material.vertexColors );

		// A material of one's own, and a geometry without colours.
		const material = new MeshBasicMaterial();
		const geometry = new KVXLoader().parse( triangle() );
		assert.equal( createKVXObject( geometry, material ).material, material );
		geometry.deleteAttribute( 'color' );
		assert.equal( createKVXObject( geometry ).material.vertexColors, false );
		assert.throws( () => createKVXObject( new BufferGeometry() ), { message: 'KVXLoader: createKVXObject needs a geometry made by KVXLoader (userData.kvx.kind is undefined)' } );

	} );

} );

describe( 'what parse accepts', () => {

	test( 'an ArrayBuffer, a Node Buffer, a view at an odd offset, a DataView', () => {

		const bytes = triangle();
		const expected = new KVXLoader().parse( bytes.buffer );
		const padded = new Uint8Array( bytes.length + 3 );
		padded.set( bytes, 1 );
		const inputs = [
			Buffer.from( bytes ),
			padded.subarray( 1, 1 + bytes.length ),
			new DataView( padded.buffer, 1, bytes.length )
		];
		for ( const input of inputs ) {

			const result = new KVXLoader().parse( input );
			for ( const name of [ 'position', 'color' ] ) {

				assert.deepEqual( result.attributes[ name ].array, expected.attributes[ name ].array );

			}

			assert.deepEqual( result.index.array, expected.index.array );

		}

		// The bytes around the view are not read: a trailing byte would show.
		assert.deepEqual( new KVXLoader().parse( padded.subarray( 1, 1 + bytes.length ) ).userData.kvx.warnings, [] );

	} );

	test( 'the arrays are copies', () => {

		const bytes = triangle();
		const result = new KVXLoader().parse( bytes );
		bytes.fill( 0 );
		assert.deepEqual( Array.from( result.index.array ), [ 0, 1, 2 ] );
		assert.deepEqual( Array.from( result.attributes.position.array ), [ 0, 0, 0, 1, 0, 0, 0, 1, 0 ] );

	} );

	test( 'anything else is refused', () => {

		for ( const value of [ undefined, null, 'KVX', 15, {}, [ 0x4b, 0x56, 0x58 ] ] ) {

			assert.throws( () => new KVXLoader().parse( value ), { name: 'Error', message: /^KVXLoader: expected an ArrayBuffer or a typed array, got / } );

		}

	} );

	test( 'a detached buffer, and views of one', () => {

		const message = 'KVXLoader: the buffer is detached: its bytes were transferred and are no longer readable here';
		const views = [ ( b ) => b, ( b ) => new Uint8Array( b ), ( b ) => new DataView( b ), ( b ) => new Uint16Array( b, 2, 4 ) ];
		for ( const make of views ) {

			// Made before the transfer, as a caller would hold them.
			const buffer = triangle().buffer;
			const input = make( buffer );
			structuredClone( buffer, { transfer: [ buffer ] } );
			assert.throws( () => new KVXLoader().parse( input ), { name: 'Error', message } );
			assert.throws( () => readKVX( input ), { name: 'Error', message } );

		}

		// An empty buffer is no detached one.
		assert.throws( () => new KVXLoader().parse( new ArrayBuffer( 0 ) ), { message: /truncated: the buffer has 0 bytes/ } );

	} );

	test( 'shared buffers and buffers of another realm', () => {

		const shared = new SharedArrayBuffer( triangle().length );
		new Uint8Array( shared ).set( triangle() );
		assert.equal( new KVXLoader().parse( shared ).userData.kvx.vertexCount, 3 );
		assert.equal( new KVXLoader().parse( new Uint8Array( shared ) ).userData.kvx.vertexCount, 3 );
		// A buffer of a vm context (as of a frame) fails instanceof; it is
		// an ArrayBuffer all the same.
		const foreign = runInNewContext( `new ArrayBuffer( ${triangle().length} )` );
		new Uint8Array( foreign ).set( triangle() );
		assert.deepEqual( Array.from( new KVXLoader().parse( foreign ).index.array ), [ 0, 1, 2 ] );
		// What only looks like one is refused.
		for ( const fake of [ Object.create( ArrayBuffer.prototype ), new Proxy( triangle().buffer, {} ), Object.create( Uint8Array.prototype ) ] ) {

			assert.throws( () => new KVXLoader().parse( fake ), { name: 'Error', message: /^KVXLoader: expected an ArrayBuffer or a typed array, got \[object / } );

		}

	} );

	test( 'options: null is none, anything but an object is refused', () => {

		const loader = new KVXLoader().setColorOrder( 'rgba' );
		for ( const options of [ null, undefined, {} ] ) {

			assert.deepEqual( firstColor( loader.parse( triangle(), options ) ), YELLOW );
			assert.equal( readKVX( triangle(), options ).colorOrder, 'argb' );

		}

		for ( const [ options, what ] of [ [ 'rgba', 'string' ], [ 5, 'number' ], [ true, 'boolean' ], [ () => {}, 'function' ] ] ) {

			const error = { name: 'Error', message: 'KVXLoader: options must be an object, not ' + what };
			assert.throws( () => loader.parse( triangle(), options ), error );
			assert.throws( () => readKVX( triangle(), options ), error );

		}

		assert.throws( () => loader.parse( triangle(), { colorOrder: null } ), { name: 'Error', message: 'KVXLoader: colorOrder must be "argb" or "rgba", not null' } );
		assert.throws( () => loader.parse( triangle(), { colorOrder: Object.create( null ) } ), { name: 'Error', message: 'KVXLoader: colorOrder must be "argb" or "rgba", not [object Object]' } );
		assert.throws( () => decodeKVXColors( null ), { name: 'Error', message: 'KVXLoader: expected a Uint32Array of colour words, got null' } );
		assert.throws( () => decodeKVXColors( 7 ), { name: 'Error', message: 'KVXLoader: expected a Uint32Array of colour words, got number' } );

	} );

	test( 'colour orders', () => {

		assert.throws( () => new KVXLoader().setColorOrder( 'bgra' ), { message: 'KVXLoader: colorOrder must be "argb" or "rgba", not "bgra"' } );
		assert.throws( () => new KVXLoader().parse( triangle(), { colorOrder: 'ARGB' } ), { message: /colorOrder/ } );
		const loader = new KVXLoader().setColorOrder( 'rgba' );
		assert.equal( loader.colorOrder, 'rgba' );
		assert.deepEqual( firstColor( loader.parse( triangle() ) ), YELLOW );
		// The option wins over the loader's setting for one call.
		assert.deepEqual( firstColor( loader.parse( triangle(), { colorOrder: 'argb' } ) ), RED );
		assert.equal( loader.colorOrder, 'rgba' );
		assert.deepEqual( Array.from( decodeKVXColors( Uint32Array.of( 0x01020304 ), 'argb' ) ), [ 2, 3, 4, 1 ] );
		assert.deepEqual( Array.from( decodeKVXColors( Uint32Array.of( 0x01020304 ), 'rgba' ) ), [ 1, 2, 3, 4 ] );

	} );

	test( 'a three.js Loader', () => {

		const loader = new KVXLoader();
		assert.ok( loader instanceof Loader );
		assert.equal( typeof loader.loadAsync, 'function' );
		assert.equal( loader.setPath( '/meshes/' ), loader );

	} );

	test( 'readKVX gives the arrays without three.js objects', () => {

		const data = readKVX( triangle(), { colorOrder: 'rgba' } );
		assert.deepEqual( Array.from( data.index ), [ 0, 1, 2 ] );
		assert.deepEqual( Array.from( data.colors.subarray( 0, 4 ) ), [ 255, 255, 0, 0 ] );
		assert.equal( data.normals, null );
		assert.equal( data.uvs, null );

	} );

} );

describe( 'loaded with a warning', () => {

	test( 'a file that does not start with "KVX"', () => {

		const bytes = triangle();
		bytes.set( [ 0x50, 0x4c, 0x59 ], 0 );
		const { kvx } = new KVXLoader().parse( bytes ).userData;
		assert.deepEqual( kvx.warnings, [ 'the file starts with the bytes 50 4c 59, not "KVX" (4b 56 58); loaded all the same' ] );
		assert.equal( kvx.vertexCount, 3 );
		const data = readKVX( bytes );
		assert.equal( data.magicOk, false );
		assert.equal( data.magic, 'PLY' );
		assert.deepEqual( data.warnings, kvx.warnings );

	} );

	test( 'neither the magic nor a known version: not a KVX file', () => {

		const message = ( bytes ) => {

			try {

				new KVXLoader().parse( bytes );

			} catch ( error ) {

				return error.message;

			}

			return null;

		};
		const text = new TextEncoder().encode( '8 12\n1 1 1 1 0 0 0\n1 1 1 1 1 0 0\n' );
		assert.equal( message( text ), 'KVXLoader: not a KVX file' );
		assert.equal( message( new TextEncoder().encode( 'PL' ) ), 'KVXLoader: not a KVX file' );
		// Bytes that begin the magic are a truncated file; the magic with an
		// unknown version keeps its own message.
		assert.equal( message( new TextEncoder().encode( 'KV' ) ), 'KVXLoader: truncated: the buffer has 2 bytes, fewer than the 15 of a header' );
		assert.equal( message( new Uint8Array( 0 ) ), 'KVXLoader: truncated: the buffer has 0 bytes, fewer than the 15 of a header' );
		const unknown = triangle();
		new DataView( unknown.buffer ).setInt32( 11, 7, true );
		assert.equal( message( unknown ), 'KVXLoader: version 7 is not supported (versions 1 to 4, -1 and -2 are)' );
		unknown.set( [ 0x50, 0x4c, 0x59 ], 0 );
		assert.equal( message( unknown ), 'KVXLoader: not a KVX file' );

	} );

	test( 'bytes after the index block', () => {

		const bytes = new Uint8Array( triangle().length + 2 );
		bytes.set( triangle() );
		assert.equal( readKVX( bytes ).trailingBytes, 2 );
		assert.deepEqual( new KVXLoader().parse( bytes ).userData.kvx.warnings, [ '2 bytes after the index block ignored' ] );
		const points = new KVXLoader().parse( kvxBytes( { version: - 1, faceCount: 0, records: [ [ 0, 0, 0, 0 ] ], indices: [ 7 ] } ) );
		assert.deepEqual( points.userData.kvx.warnings, [ '2 bytes after the vertex records ignored' ] );

	} );

} );

describe( 'refused', () => {

	test( 'a file shorter than the header', () => {

		for ( let n = 0; n < 15; n ++ ) {

			assert.throws( () => new KVXLoader().parse( triangle().subarray( 0, n ) ),
				{ message: `KVXLoader: truncated: the buffer has ${n} bytes, fewer than the 15 of a header` } );

		}

	} );

	test( 'sizes past 2^32 bytes are computed exactly', () => {

		// 0xFFFFFFFF records of 36 bytes: more than any 32-bit sum could hold.
		const bytes = kvxBytes( { version: 4, vertexCount: 0xffffffff, faceCount: 0 } );
		assert.throws( () => new KVXLoader().parse( bytes ), { message: 'KVXLoader: truncated: the header promises 154618822635 bytes, the buffer has 15' } );
		// A count that wraps to a small number in 32 bits: 0x40000001 * 16 = 2^34 + 16, plus the header.
		const wrap = kvxBytes( { version: 1, vertexCount: 0x40000001, faceCount: 0, records: [ [ 0, 0, 0, 0 ] ] } );
		assert.throws( () => new KVXLoader().parse( wrap ), { message: 'KVXLoader: truncated: the header promises 17179869215 bytes, the buffer has 31' } );

	} );

} );

// The fields of each version's record as docs/format.md has them: byte
// offsets of the colour word, the normal, the texture coordinates and the
// position, the record size and the index values per group.
const RECORDS = {
	1: { size: 16, color: 0, position: 4, group: 3 },
	2: { size: 16, color: 0, position: 4, group: 3 },
	3: { size: 28, color: 0, normal: 4, position: 16, group: 3 },
	4: { size: 36, uv: 0, color: 8, normal: 12, position: 24, group: 3 },
	[ - 1 ]: { size: 16, color: 0, position: 4, group: 0 },
	[ - 2 ]: { size: 16, color: 0, position: 4, group: 2 }
};

// A small deterministic generator of 32-bit words (xorshift).
function words( seed ) {

	let x = seed >>> 0 || 1;
	return () => {

		x ^= x << 13; x >>>= 0;
		x ^= x >>> 17;
		x ^= x << 5; x >>>= 0;
		return x;

	};

}

// A file of `vertexCount` records of random words in every field (NaN
// payloads, infinities and subnormals among them) and `groups` groups of
// random indices below the vertex count, placed `offset` bytes into a larger
// buffer whose other bytes are 0xEE.
function randomFile( version, vertexCount, groups, offset, seed ) {

	const { size, group } = RECORDS[ version ];
	const next = words( seed );
	const length = 15 + vertexCount * size + groups * group * 2;
	const buffer = new Uint8Array( offset + length + 5 ).fill( 0xee );
	const view = new DataView( buffer.buffer, offset, length );
	buffer.set( [ 0x4b, 0x56, 0x58 ], offset );
	view.setUint32( 3, vertexCount, true );
	view.setUint32( 7, groups, true );
	view.setInt32( 11, version, true );
	for ( let at = 15; at < 15 + vertexCount * size; at += 4 ) view.setUint32( at, next(), true );
	for ( let at = 15 + vertexCount * size; at < length; at += 2 ) view.setUint16( at, next() % vertexCount, true );
	return buffer.subarray( offset, offset + length );

}

// What a file holds, read value by value with a DataView, and the colours
// turned one by one as three.js's PLYLoader turns colour bytes.
function referenceOf( bytes, colorOrder ) {

	const view = new DataView( bytes.buffer, bytes.byteOffset, bytes.byteLength );
	const n = view.getUint32( 3, true ), groups = view.getUint32( 7, true ), version = view.getInt32( 11, true );
	const r = RECORDS[ version ];
	const bits = ( field, width ) => Uint32Array.from( { length: n * width }, ( _, k ) => view.getUint32( 15 + Math.floor( k / width ) * r.size + field + 4 * ( k % width ), true ) );
	const colorWords = bits( r.color, 1 );
	const shifts = colorOrder === 'argb' ? [ 16, 8, 0, 24 ] : [ 24, 16, 8, 0 ];
	const colors = Uint8Array.from( { length: 4 * n }, ( _, k ) => ( colorWords[ k >> 2 ] >>> shifts[ k & 3 ] ) & 255 );
	const linear = new Uint8Array( 4 * n );
	const c = new Color();
	for ( let i = 0; i < n; i ++ ) {

		c.setRGB( colors[ 4 * i ] / 255, colors[ 4 * i + 1 ] / 255, colors[ 4 * i + 2 ] / 255, SRGBColorSpace );
		linear.set( [ Math.round( c.r * 255 ), Math.round( c.g * 255 ), Math.round( c.b * 255 ), colors[ 4 * i + 3 ] ], 4 * i );

	}

	const start = 15 + n * r.size;
	return {
		positions: bits( r.position, 3 ),
		normals: r.normal === undefined ? null : bits( r.normal, 3 ),
		// u as its bits, v as 1 - the stored value.
		uBits: r.uv === undefined ? null : Uint32Array.from( { length: n }, ( _, i ) => view.getUint32( 15 + i * r.size + r.uv, true ) ),
		v: r.uv === undefined ? null : Float32Array.from( { length: n }, ( _, i ) => 1 - view.getFloat32( 15 + i * r.size + r.uv + 4, true ) ),
		colorWords, colors, linear,
		index: r.group === 0 ? null : Uint16Array.from( { length: groups * r.group }, ( _, k ) => view.getUint16( start + 2 * k, true ) )
	};

}

const bitsOf = ( array ) => array === null || array === undefined ? null : new Uint32Array( array.buffer, array.byteOffset, array.length );

describe( 'every value as stored', () => {

	test( 'each version at each alignment, from one record to several thousand, in both colour orders', () => {

		let seed = 1;
		for ( const version of [ 1, 2, 3, 4, - 1, - 2 ] ) {

			for ( const vertexCount of [ 1, 1820, 2341, 4096, 4097, 9001 ] ) {

				for ( const offset of [ 0, 1, 2, 3 ] ) {

					const bytes = randomFile( version, vertexCount, 5 + ( vertexCount % 7 ), offset, seed ++ );
					const what = `version ${version}, ${vertexCount} vertices, offset ${offset}`;
					for ( const colorOrder of offset === 0 ? [ 'argb', 'rgba' ] : [ 'argb' ] ) {

						const expected = referenceOf( bytes, colorOrder );
						const data = readKVX( bytes, { colorOrder } );
						const geometry = new KVXLoader().parse( bytes, { colorOrder } );
						const a = geometry.attributes;
						assert.deepEqual( bitsOf( data.positions ), expected.positions, what );
						assert.deepEqual( bitsOf( a.position.array ), expected.positions, what );
						assert.deepEqual( bitsOf( data.normals ), expected.normals, what );
						assert.deepEqual( bitsOf( a.normal?.array ) ?? null, expected.normals, what );
						// u as stored, bit for bit; v = 1 - stored v, a NaN staying a NaN.
						for ( const uvs of [ data.uvs, a.uv?.array ?? null ] ) {

							assert.equal( uvs?.length, expected.v === null ? undefined : 2 * vertexCount, what );
							for ( let i = 0; uvs !== null && i < vertexCount; i ++ ) {

								assert.equal( bitsOf( uvs )[ 2 * i ], expected.uBits[ i ], what );
								assert.ok( Object.is( uvs[ 2 * i + 1 ], expected.v[ i ] ), `${what}: v ${i}` );

							}

						}

						assert.deepEqual( data.colorWords, expected.colorWords, what );
						assert.deepEqual( data.colors, expected.colors, what );
						assert.deepEqual( a.color.array, expected.linear, what );
						assert.deepEqual( data.index, expected.index, what );
						assert.deepEqual( geometry.index?.array ?? null, expected.index, what );

					}

				}

			}

		}

	} );

	test( 'the geometry keeps its values when the caller\'s buffer changes, at any alignment', () => {

		for ( const offset of [ 0, 1, 2, 3 ] ) {

			const bytes = randomFile( 3, 100, 40, offset, 7 + offset );
			const expected = referenceOf( bytes, 'argb' );
			const geometry = new KVXLoader().parse( bytes );
			const data = readKVX( bytes );
			bytes.fill( 0 );
			assert.deepEqual( bitsOf( geometry.attributes.position.array ), expected.positions );
			assert.deepEqual( bitsOf( geometry.attributes.normal.array ), expected.normals );
			assert.deepEqual( geometry.attributes.color.array, expected.linear );
			assert.deepEqual( geometry.index.array, expected.index );
			assert.deepEqual( data.index, expected.index );
			assert.deepEqual( data.colorWords, expected.colorWords );

		}

	} );

} );

describe( 'the index check', () => {

	// A file of `vertexCount` point records whose groups hold `indices`.
	const withIndices = ( version, vertexCount, indices ) => kvxBytes( {
		version, faceCount: indices.length / RECORDS[ version ].group, indices,
		records: Array.from( { length: vertexCount }, ( _, i ) => [ i, i, 0, 0 ] )
	} );

	test( 'an index equal to the vertex count is refused wherever it stands; the last vertex is accepted', () => {

		// 3 to 33 indices, so that some counts are not a multiple of any
		// grouping a pass over the indices might use.
		for ( const groups of [ 1, 2, 3, 4, 5, 11 ] ) {

			const count = 3 * groups;
			for ( const at of [ 0, 1, count - 2, count - 1, Math.floor( count / 2 ) ] ) {

				const indices = Array.from( { length: count }, ( _, k ) => ( k * 5 ) % 9 );
				indices[ at ] = 9;
				assert.throws( () => new KVXLoader().parse( withIndices( 1, 9, indices ) ),
					{ message: `KVXLoader: face ${Math.floor( at / 3 )} names vertex 9 of 9` }, `${count} indices, at ${at}` );
				indices[ at ] = 8;
				assert.deepEqual( Array.from( new KVXLoader().parse( withIndices( 1, 9, indices ) ).index.array ), indices );

			}

		}

		// The first bad index is named, not the largest.
		assert.throws( () => new KVXLoader().parse( withIndices( 1, 9, [ 0, 1, 2, 3, 40, 5, 6, 7, 10 ] ) ), { message: 'KVXLoader: face 1 names vertex 40 of 9' } );
		assert.throws( () => new KVXLoader().parse( withIndices( - 2, 3, [ 0, 1, 2, 3 ] ) ), { message: 'KVXLoader: edge 1 names vertex 3 of 3' } );
		// No vertices: every index is past the end.
		assert.throws( () => new KVXLoader().parse( withIndices( 2, 0, [ 0, 0, 0 ] ) ), { message: 'KVXLoader: face 0 names vertex 0 of 0' } );
		assert.equal( new KVXLoader().parse( withIndices( 2, 0, [] ) ).index.count, 0 );

	} );

	test( 'at the edge of the 16-bit range', () => {

		const big = ( vertexCount, indices ) => {

			const bytes = randomFile( 1, vertexCount, 0, 0, 3 );
			const out = new Uint8Array( bytes.length + 2 * indices.length );
			out.set( bytes );
			const view = new DataView( out.buffer );
			view.setUint32( 7, indices.length / 3, true );
			indices.forEach( ( v, k ) => view.setUint16( bytes.length + 2 * k, v, true ) );
			return out;

		};

		assert.throws( () => new KVXLoader().parse( big( 65535, [ 0, 65534, 65535 ] ) ), { message: 'KVXLoader: face 0 names vertex 65535 of 65535' } );
		for ( const vertexCount of [ 65535, 65536, 65537 ] ) {

			const indices = [ 0, 65534, vertexCount > 65535 ? 65535 : 1 ];
			assert.deepEqual( Array.from( new KVXLoader().parse( big( vertexCount, indices ) ).index.array ), indices, `${vertexCount} vertices` );

		}

	} );

} );

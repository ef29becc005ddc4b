// The loader against the C++ programs: every file that the converters write,
// from the bundled examples and from generated meshes, is parsed and compared
// value by value with what kvxdump prints and with what kvxexport writes as
// PLY, its colours as three.js's PLYLoader reads them from that PLY; and
// files that the tools refuse are refused with the same reason.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';

import { PLYLoader } from 'three/addons/loaders/PLYLoader.js';

import { KVXLoader, readKVX } from '../KVXLoader.js';
import { kvxBytes } from './kvxbytes.js';
import {
	convert, examplesDir, fixed, hex, kvxdump, missingPrograms, readPly, run, tempDir, torusText, writeText
} from './support.js';

const skip = missingPrograms() ?? false;

// The name kvxconv4 is given for the generated mesh: UTF-8, no white space.
const TORUS_NAME = 'tørus·ring_ü';

// Positions and colour values at the edges of what the text reads: infinities,
// a NaN, signed zero, the smallest subnormal, the largest float, values whose
// sixth decimal is a tie (1/128), and colour values just outside 0 to 1 whose
// truncated products are still 0 and 255.
const SPECIAL_TEXT = `10 4
1 0 0 0        inf -inf nan
0 0 0 -0.003   -0 0 1e-45
0 1.003 0 0    3.4028235e38 -3.4028235e38 1.17549435e-38
0.2 0.4 0.6 0.8  0.0078125 -0.0078125 0.0234375
1 1 1 1        5e-7 -5e-7 2.5e-7
0 0 0 0        1e10 -123456.789 0.1
1 0.5 0.3 0.999  1.5 2.5 -0.5
0.999 0.3 0.5 1  65535 65536 -1e-6
1 0.25 0.75 0  1e-7 9.9999995e-7 0.99999994
0 0 1 0        0x1.8p1 .5 -2.5e-3
0 1 2
2 3 4
9 8 7
5 6 9
`;

// What the loader makes of a file: the geometry of parse, what it says of
// the file (userData.kvx), and readKVX's plain arrays, which hold the colour
// words and bytes as stored.
function load( file, colorOrder = 'argb' ) {

	const bytes = readFileSync( file );
	const geometry = new KVXLoader().parse( bytes, { colorOrder } );
	const a = geometry.attributes;
	return {
		geometry,
		...geometry.userData.kvx,
		data: readKVX( bytes, { colorOrder } ),
		position: a.position.array,
		normal: a.normal?.array,
		color: a.color.array,
		uv: a.uv?.array,
		index: geometry.index?.array
	};

}

// The line kvxdump prints for vertex i, from what the loader read. Version 4
// prints the stored v, which the loader turned back; it is checked apart.
function vertexLine( result, i ) {

	const { position, normal, uv } = result;
	const xyz = [ 0, 1, 2 ].map( ( k ) => fixed( position[ 3 * i + k ] ) ).join( ' ' );
	const color = hex( result.data.colorWords[ i ] );
	switch ( result.version ) {

		case 3:
			return [ 0, 1, 2 ].map( ( k ) => fixed( normal[ 3 * i + k ] ) ).join( ' ' ) + ' ' + color + ' ' + xyz;
		case 4:
			return fixed( uv[ 2 * i ] ) + ' <v> ' +
				[ 0, 1, 2 ].map( ( k ) => fixed( normal[ 3 * i + k ] ) ).join( ' ' ) + ' ' + color + ' ' + xyz;
		default:
			return color + ' ' + xyz;

	}

}

function compareWithDump( file ) {

	const result = load( file );
	const dump = kvxdump( file );
	assert.equal( result.version, dump.version );
	assert.equal( result.vertexCount, dump.vertexCount );
	assert.equal( result.groupCount, dump.faceCount );
	const { uv, index } = result;
	const lines = dump.lines;
	const groupSize = result.kind === 'triangles' ? 3 : result.kind === 'lines' ? 2 : 0;
	const groups = groupSize === 0 ? 0 : result.groupCount;
	assert.equal( lines.length, result.vertexCount + groups + ( result.version === 4 ? 1 : 0 ) );
	for ( let i = 0; i < result.vertexCount; i ++ ) {

		const expected = vertexLine( result, i );
		let actual = lines[ i ].replace( /(^| )-?nan/g, '$1nan' );
		if ( result.version === 4 ) {

			const fields = actual.split( ' ' );
			// The file holds v = 1 - t; the dump shows it to six decimals.
			const storedV = Number( fields[ 1 ] );
			assert.ok( Math.abs( ( 1 - uv[ 2 * i + 1 ] ) - storedV ) <= 6e-7, `${file}: vertex ${i}: t = ${uv[ 2 * i + 1 ]}, stored v ${fields[ 1 ]}` );
			fields[ 1 ] = '<v>';
			actual = fields.join( ' ' );

		}

		assert.equal( expected, actual, `${file}: vertex ${i}` );

	}

	if ( groupSize === 0 ) {

		assert.equal( index, undefined );

	} else {

		assert.equal( index.length, groups * groupSize );
		for ( let g = 0; g < groups; g ++ ) {

			const expected = Array.from( index.subarray( g * groupSize, ( g + 1 ) * groupSize ) ).join( ' ' );
			assert.equal( expected, lines[ result.vertexCount + g ], `${file}: group ${g}` );

		}

	}

	if ( result.version === 4 ) {

		const { nameBytes } = result.data;
		const zero = nameBytes.indexOf( 0 );
		const shown = zero < 0 ? nameBytes : nameBytes.subarray( 0, zero );
		assert.equal( Buffer.from( shown ).toString( 'latin1' ), lines.at( - 1 ) );

	}

}

// kvxexport's PLY file holds what the C++ tools make of a file: positions,
// normals, colours decoded in a colour order, s and t = 1 - stored v, and the
// index groups. Every value must match to the bit: readKVX's colour bytes
// those of the PLY file, and the geometry's red, green and blue those that
// three.js's PLYLoader makes of that file (linear, as bytes); alpha is kept.
function compareWithPly( file, dir, colorOrder ) {

	const result = load( file, colorOrder );
	const ply = join( dir, 'out.ply' );
	const r = run( 'kvxexport', [ file, ply, '--colour-order', colorOrder ] );
	assert.equal( r.status, 0, r.stderr );
	const { vertex, face = [], edge = [] } = readPly( ply );
	const plyBytes = readFileSync( ply );
	const linear = new PLYLoader().parse( plyBytes.buffer.slice( plyBytes.byteOffset, plyBytes.byteOffset + plyBytes.length ) ).attributes.color;
	const { position, normal, color, uv, index } = result;
	assert.equal( vertex.length, result.vertexCount );
	assert.equal( linear.count, result.vertexCount );
	const same = ( a, b, what ) => assert.ok( Object.is( a, b ), `${file} (${colorOrder}): ${what}: ${a} is not ${b}` );
	vertex.forEach( ( v, i ) => {

		[ 'x', 'y', 'z' ].forEach( ( k, j ) => same( position[ 3 * i + j ], v[ k ], `vertex ${i} ${k}` ) );
		if ( normal ) [ 'nx', 'ny', 'nz' ].forEach( ( k, j ) => same( normal[ 3 * i + j ], v[ k ], `vertex ${i} ${k}` ) );
		else assert.equal( v.nx, undefined );
		[ 'red', 'green', 'blue', 'alpha' ].forEach( ( k, j ) => same( result.data.colors[ 4 * i + j ], v[ k ], `vertex ${i} ${k}` ) );
		[ 'red', 'green', 'blue' ].forEach( ( k, j ) => same( color[ 4 * i + j ], linear.array[ 3 * i + j ], `vertex ${i} linear ${k}` ) );
		same( color[ 4 * i + 3 ], v.alpha, `vertex ${i} attribute alpha` );
		if ( uv ) [ 's', 't' ].forEach( ( k, j ) => same( uv[ 2 * i + j ], v[ k ], `vertex ${i} ${k}` ) );
		else assert.equal( v.s, undefined );

	} );
	const groups = result.kind === 'triangles' ? face.map( ( f ) => f.vertex_indices ) : edge.map( ( e ) => [ e.vertex1, e.vertex2 ] );
	assert.equal( groups.length, result.kind === 'points' ? 0 : result.groupCount );
	assert.deepEqual( groups.flat(), index ? Array.from( index ) : [] );

}

describe( 'files written by the converters', { skip }, () => {

	let temp;
	const files = [];

	before( () => {

		temp = tempDir( 'programs' );
		const dir = temp.dir;
		const add = ( program, input, label ) => files.push( { label, program, file: convert( program, input, join( dir, label + '.kvx' ) ) } );

		// Each writer on the example cube and on a generated torus, both with
		// the values per vertex it reads.
		const torus = {
			3: writeText( dir, 'torus3.cmsh', torusText( 48, 40, 3 ) ),
			7: writeText( dir, 'torus7.cmsh', torusText( 48, 40, 7 ) ),
			9: writeText( dir, 'torus9.cmsh', torusText( 48, 40, 9, TORUS_NAME ) )
		};
		const writers = [ [ 'kvxconv1', 3, 'v1' ], [ 'kvxconv2', 7, 'v2' ], [ 'kvxconv3', 7, 'v3' ], [ 'kvxconv4', 9, 'v4' ], [ 'kvxpoints', 7, 'points' ], [ 'kvxwire', 7, 'wire' ] ];
		for ( const [ program, values, suffix ] of writers ) {

			add( program, join( examplesDir, `cube${values}.cmsh` ), 'cube-' + suffix );
			add( program, torus[ values ], 'torus-' + suffix );

		}

		const special = writeText( dir, 'special.cmsh', SPECIAL_TEXT );
		add( 'kvxconv2', special, 'special-v2' );
		add( 'kvxpoints', special, 'special-points' );
		add( 'kvxwire', special, 'special-wire' );

	} );

	after( () => temp?.remove() );

	test( 'every version is among the files', () => {

		const versions = files.map( ( f ) => load( f.file ).version );
		assert.deepEqual( [ ...new Set( versions ) ].sort(), [ - 1, - 2, 1, 2, 3, 4 ] );

	} );

	test( 'every value is what kvxdump prints', () => {

		for ( const { file } of files ) compareWithDump( file );

	} );

	test( 'every value, colours in both orders and t = 1 - v, is what kvxexport writes', () => {

		for ( const { file } of files ) {

			compareWithPly( file, temp.dir, 'argb' );
			compareWithPly( file, temp.dir, 'rgba' );

		}

	} );

	test( 'userData.kvx describes each file, and nothing more', () => {

		// kvxpoints writes the vertex count as the face count.
		const expected = {
			'cube-v1': [ 'triangles', 8, 12, '' ], 'cube-v2': [ 'triangles', 8, 12, '' ], 'cube-v3': [ 'triangles', 8, 12, '' ],
			'cube-v4': [ 'triangles', 8, 12, 'cube' ], 'cube-points': [ 'points', 8, 8, '' ], 'cube-wire': [ 'lines', 8, 18, '' ],
			'torus-v4': [ 'triangles', 1920, 3840, TORUS_NAME ]
		};
		for ( const { label, file } of files ) {

			const { geometry, data } = load( file );
			const kvx = geometry.userData.kvx;
			assert.deepEqual( Object.keys( kvx ).sort(), [ 'groupCount', 'kind', 'name', 'version', 'vertexCount', 'warnings' ] );
			assert.equal( data.magicOk, true );
			assert.deepEqual( kvx.warnings, [] );
			assert.equal( geometry.name, kvx.name );
			if ( expected[ label ] ) {

				assert.deepEqual( [ kvx.kind, kvx.vertexCount, kvx.groupCount, kvx.name ], expected[ label ], label );

			}

		}

	} );

	test( 'the texture coordinates are those of the text', () => {

		// cube9.cmsh gives vertex 4 the coordinates (0, 0.5) and vertex 1 (1, 0).
		const file = files.find( ( f ) => f.label === 'cube-v4' ).file;
		const { uv } = load( file );
		assert.deepEqual( Array.from( uv.subarray( 0, 4 ) ), [ 0, 0, 1, 0 ] );
		assert.deepEqual( Array.from( uv.subarray( 8, 10 ) ), [ 0, 0.5 ] );

	} );

} );

// The reason kvxexport gives for refusing a file, as the loader words it.
function exportReason( file, dir ) {

	const r = run( 'kvxexport', [ file, join( dir, 'refused.ply' ) ] );
	assert.notEqual( r.status, 0, file + ' was exported' );
	const prefix = 'kvxexport: ' + file + ': ';
	assert.ok( r.stderr.startsWith( prefix ), r.stderr );
	return 'KVXLoader: ' + r.stderr.slice( prefix.length ).trimEnd().replace( 'the file has', 'the buffer has' );

}

describe( 'files the tools refuse', { skip }, () => {

	let temp;
	before( () => {

		temp = tempDir( 'refused' );

	} );
	after( () => temp?.remove() );

	// The loader refuses `bytes` as kvxexport does, and, where given, with
	// `message`.
	function refusedAlike( label, bytes, message ) {

		const file = join( temp.dir, label + '.kvx' );
		writeFileSync( file, bytes );
		const reason = exportReason( file, temp.dir );
		if ( message !== undefined ) assert.equal( reason, message, label );
		assert.throws( () => new KVXLoader().parse( bytes ), { message: reason }, label );

	}

	test( 'an index at or past the vertex count', () => {

		// The converters refuse such a text, so the files are made by hand.
		const text = writeText( temp.dir, 'far.cmsh', '3 2\n0 0 0\n1 0 0\n0 1 0\n0 1 2\n0 1 3\n' );
		assert.throws( () => convert( 'kvxconv1', text, join( temp.dir, 'far-v1.kvx' ) ) );
		const records = [ [ 0, 0, 0, 0 ], [ 0, 1, 0, 0 ], [ 0, 0, 1, 0 ] ];
		refusedAlike( 'face', kvxBytes( { version: 1, faceCount: 2, records, indices: [ 0, 1, 2, 0, 1, 3 ] } ), 'KVXLoader: face 1 names vertex 3 of 3' );
		refusedAlike( 'edge', kvxBytes( { version: - 2, faceCount: 2, records: records.slice( 0, 2 ), indices: [ 0, 1, 1, 2 ] } ), 'KVXLoader: edge 1 names vertex 2 of 2' );
		// The first bad index is named, not the largest.
		refusedAlike( 'first', kvxBytes( { version: 1, faceCount: 3, records, indices: [ 0, 1, 2, 0, 4, 1, 9, 0, 1 ] } ), 'KVXLoader: face 1 names vertex 4 of 3' );

		// The last index of the last triangle, and the largest index.
		refusedAlike( 'last', kvxBytes( { version: 2, faceCount: 2, records: [ [ 0, 0, 0, 0 ], [ 0, 1, 0, 0 ] ], indices: [ 0, 1, 1, 1, 0, 2 ] } ) );
		refusedAlike( 'largest', kvxBytes( { version: 3, faceCount: 1, records: [ [ 0, 0, 0, 0, 0, 0, 0 ] ], indices: [ 0, 65535, 0 ] } ) );

	} );

	test( 'versions without known geometry', () => {

		for ( const version of [ - 3, 0, 5, - 4, 2147483647, - 2147483648 ] ) {

			const bytes = kvxBytes( { version, faceCount: 1, records: [ [ 0, 0, 0, 0, 0, 0, 0 ] ], indices: [ 0, 0, 0, 0, 0, 0 ] } );
			refusedAlike( 'version' + version, bytes, `KVXLoader: version ${version} is not supported (versions 1 to 4, -1 and -2 are)` );

		}

		// Version -3 is measured first, as the C++ loader measures it: 28
		// bytes per record and 12 per group.
		const short = kvxBytes( { version: - 3, faceCount: 2, records: [ [ 0, 0, 0, 0, 0, 0, 0 ] ], indices: [ 0, 0, 0, 0, 0, 0 ] } );
		refusedAlike( 'short-3', short, 'KVXLoader: truncated: the header promises 67 bytes, the buffer has 55' );

	} );

	test( 'a file shorter than its header promises', () => {

		const whole = kvxBytes( { version: 3, faceCount: 1, records: [ [ 0, 0, 0, 0, 0, 0, 0 ] ], indices: [ 0, 0, 0 ] } );
		for ( let n = 15; n < whole.length; n ++ ) refusedAlike( 'short' + n, whole.subarray( 0, n ) );
		const huge = kvxBytes( { version: 4, vertexCount: 0xffffffff, faceCount: 0xffffffff } );
		refusedAlike( 'huge', huge, 'KVXLoader: truncated: the header promises 180388626405 bytes, the buffer has 15' );

	} );

	test( 'a name longer than 255 bytes', () => {

		const record = [ 0, 0, 0xff000000, 0, 0, 0, 0, 0, 0 ];
		const long = kvxBytes( { version: 4, faceCount: 0, records: [ record ], ints: [ 2 ], trailer: new Uint8Array( 256 ).fill( 0x61 ) } );
		refusedAlike( 'name256', long, 'KVXLoader: the name is 256 bytes long; at most 255 fit' );
		const longest = kvxBytes( { version: 4, faceCount: 0, records: [ record ], ints: [ 2 ], trailer: new Uint8Array( 255 ).fill( 0x61 ) } );
		assert.equal( new KVXLoader().parse( longest ).userData.kvx.name, 'a'.repeat( 255 ) );

	} );

} );

// KVXExporter: its bytes against the converters' (kvxconv1 to kvxconv4,
// kvxpoints, kvxwire) for the same values, normals to the bit, on the
// bundled examples, on OBJ models of assimp's test set and on generated
// meshes full of near-degenerate triangles; the round trip through
// KVXLoader in every version and colour order; objects, transforms and
// merging; and every refusal.
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { describe, test } from 'node:test';

import {
	BufferAttribute, BufferGeometry, Color, Group, LineSegments, Matrix3, Mesh, Points, SRGBColorSpace, Vector3
} from 'three';

import { KVXLoader, readKVX } from '../KVXLoader.js';
import { KVXExporter, computeKVXNormals, encodeKVXName } from '../KVXExporter.js';
import { convert, examplesDir, missingPrograms, programPath, random, run, tempDir, writeText } from './support.js';

const skip = missingPrograms() ?? false;
const exporter = new KVXExporter();
const bytes = ( buffer ) => Buffer.from( new Uint8Array( buffer ) );

// A float as text that reads back as the same float (and -0 as -0).
const floatText = ( v ) => Object.is( v, - 0 ) ? '-0' : Number.isInteger( v ) ? String( v ) : v.toPrecision( 9 );

// The four bytes of a colour word from its top byte down.
const wordBytes = ( w ) => [ w >>> 24, ( w >>> 16 ) & 0xff, ( w >>> 8 ) & 0xff, w & 0xff ];

// A mesh as plain values: positions (floats), colour words, uvs (or null),
// the triangle index and the name, as the text of the converter that reads
// `valuesPerVertex` values. A colour byte B is written as (B + 0.5) / 255,
// which the converters' truncation turns back into B.
function cmshText( mesh, valuesPerVertex ) {

	const { positions, words, uvs, index, name = '' } = mesh;
	const count = positions.length / 3;
	const lines = [ count + ' ' + index.length / 3 ];
	for ( let i = 0; i < count; i ++ ) {

		const xyz = Array.from( positions.subarray( 3 * i, 3 * i + 3 ), floatText );
		const c = wordBytes( words[ i ] ).map( ( b ) => ( ( b + 0.5 ) / 255 ).toPrecision( 9 ) );
		const uv = uvs === null ? [ '0', '0' ] : [ floatText( uvs[ 2 * i ] ), floatText( uvs[ 2 * i + 1 ] ) ];
		lines.push( ( valuesPerVertex === 3 ? xyz : valuesPerVertex === 7 ? [ ...c, ...xyz ] : [ ...uv, ...c, ...xyz ] ).join( ' ' ) );

	}

	for ( let k = 0; k < index.length; k += 3 ) lines.push( index[ k ] + ' ' + index[ k + 1 ] + ' ' + index[ k + 2 ] );
	if ( name !== '' ) lines.push( name );
	return lines.join( '\n' ) + '\n';

}

// The same values as a three.js geometry: colours as linear floats made
// from the sRGB bytes through ColorManagement (red, green, blue, alpha as the
// word is read in `colorOrder`).
function geometryOf( mesh, colorOrder = 'argb' ) {

	const { positions, words, uvs, index } = mesh;
	const geometry = new BufferGeometry();
	geometry.setAttribute( 'position', new BufferAttribute( Float32Array.from( positions ), 3 ) );
	const color = new Float32Array( words.length * 4 );
	const c = new Color();
	for ( let i = 0; i < words.length; i ++ ) {

		const [ b1, b2, b3, b4 ] = wordBytes( words[ i ] );
		const [ r, g, b, a ] = colorOrder === 'argb' ? [ b2, b3, b4, b1 ] : [ b1, b2, b3, b4 ];
		c.setRGB( r / 255, g / 255, b / 255, SRGBColorSpace );
		color.set( [ c.r, c.g, c.b, a / 255 ], 4 * i );

	}

	geometry.setAttribute( 'color', new BufferAttribute( color, 4 ) );
	if ( uvs !== null ) geometry.setAttribute( 'uv', new BufferAttribute( Float32Array.from( uvs ), 2 ) );
	geometry.setIndex( new BufferAttribute( Uint16Array.from( index ), 1 ) );
	return geometry;

}

// The values of a KVX file, with the text's v (the loader's).
function meshOfFile( file ) {

	const k = readKVX( readFileSync( file ) );
	return { positions: k.positions, words: k.colorWords, uvs: k.uvs, index: k.index, name: k.name };

}

// A sphere of `rings` x `segments` quads, each split in two, with a band of
// slivers (three corners nearly on a line) and collapsed triangles, random
// colours and texture coordinates; plus the triangles of `extra`.
function sphere( rings, segments, seed, extra = [] ) {

	const next = random( seed );
	const positions = [], uvs = [], index = [];
	for ( let i = 0; i <= rings; i ++ ) {

		for ( let j = 0; j < segments; j ++ ) {

			const a = Math.PI * i / rings, b = 2 * Math.PI * j / segments;
			positions.push( Math.sin( a ) * Math.cos( b ), Math.cos( a ), Math.sin( a ) * Math.sin( b ) );
			uvs.push( j / segments, i / rings );

		}

	}

	for ( let i = 0; i < rings; i ++ ) {

		for ( let j = 0; j < segments; j ++ ) {

			const v00 = i * segments + j, v01 = i * segments + ( j + 1 ) % segments;
			const v10 = v00 + segments, v11 = v01 + segments;
			index.push( v00, v10, v11, v00, v11, v01 );

		}

	}

	// Slivers: a corner a few units in the last place off the line between two
	// others, and corners that coincide.
	for ( let k = 0; k < 400; k ++ ) {

		const base = positions.length / 3;
		const p = [ next() * 4 - 2, next() * 4 - 2, next() * 4 - 2 ];
		const d = [ next() - 0.5, next() - 0.5, next() - 0.5 ];
		const t = next();
		const wobble = 1 + ( Math.floor( next() * 7 ) - 3 ) * 2 ** - 23;
		positions.push( ...p, p[ 0 ] + d[ 0 ], p[ 1 ] + d[ 1 ], p[ 2 ] + d[ 2 ],
			p[ 0 ] + t * d[ 0 ] * wobble, p[ 1 ] + t * d[ 1 ], p[ 2 ] + t * d[ 2 ] );
		uvs.push( next(), next(), next(), next(), next(), next() );
		index.push( base, base + 1, base + 2, base + 2, base + 2, base, base, base + 1, base + 1 );

	}

	for ( const triangle of extra ) {

		const base = positions.length / 3;
		positions.push( ...triangle.flat() );
		uvs.push( 0, 0, 0, 0, 0, 0 );
		index.push( base, base + 1, base + 2 );

	}

	const count = positions.length / 3;
	const words = new Uint32Array( count );
	for ( let i = 0; i < count; i ++ ) words[ i ] = ( next() * 2 ** 32 ) >>> 0;
	return { positions: Float32Array.from( positions ), words, uvs: Float32Array.from( uvs ), index, name: 'sphere-' + seed };

}

// Triangles whose cross products land within half a unit of a 64-bit
// significand from a point halfway between two floats, where rounding first
// to 64 bits and then to a float differs from rounding once (both ways), and
// whose sums of squares do the same between 64 bits and a double.
const P = 3, Q = 2 ** 23 + 1; // P Q = 25165827: halfway, the float below it odd
const E = 14900000; // the normal's x near 0.49, where a unit of the cross product shows
const TIES = [
	[ [ E, 2 ** - 17, Q ], [ 0, 0, 0 ], [ 0, P, 2 ** - 17 ] ], // P Q - 2^-34: the float below
	[ [ E, - ( 2 ** - 17 ), 2 ** 23 + 3 ], [ 0, 0, 0 ], [ 0, P, 2 ** - 17 ] ], // P (Q + 2) + 2^-34: the float above
	[ [ E, 2 ** - 21, Q ], [ 0, 0, 0 ], [ 0, P, 2 ** - 21 ] ], // P Q - 2^-42: halfway at 64 bits, up to the even float
	[ [ E, - ( 2 ** - 21 ), 2 ** 23 + 3 ], [ 0, 0, 0 ], [ 0, P, 2 ** - 21 ] ], // halfway at 64 bits, down to the even float
	[ [ E, 2 ** - 20, Q ], [ 0, 0, 0 ], [ 0, P, 2 ** - 20 ] ], // P Q - 2^-40: halfway between 64-bit values, to the even one
	[ [ E, - ( 2 ** - 20 ), 2 ** 23 + 3 ], [ 0, 0, 0 ], [ 0, P, 2 ** - 20 ] ], // P (Q + 2) + 2^-40
	[ [ 1, 2 ** - 30, 1 + 2 ** - 23 ], [ 0, 0, 0 ], [ 2 ** - 30, 1 + 2 ** - 23, 2 ** - 31 ] ],
	[ [ 2 ** 60, 1, 2 ** 60 ], [ 0, 0, 0 ], [ 1, 2 ** 60, 3 ] ],
	[ [ 1e-20, 3e-21, 7e-22 ], [ 0, 0, 0 ], [ 2e-21, 5e-20, 1e-22 ] ]
];

// The same normals in plain double arithmetic (what a simpler exporter
// would do): each tie triangle above must come out otherwise, or the
// comparison below would not look at the ties at all.
function naiveNormals( positions, index ) {

	const f = Math.fround;
	const out = new Float32Array( positions.length );
	const unit = ( x, y, z ) => {

		const l = f( Math.sqrt( x * x + y * y + z * z ) );
		return l === 0 ? [ 0, 0, 0 ] : [ f( x / l ), f( y / l ), f( z / l ) ];

	};

	for ( let k = 0; k < index.length; k += 3 ) {

		const [ i0, i1, i2 ] = [ index[ k ], index[ k + 1 ], index[ k + 2 ] ].map( ( i ) => 3 * i );
		const a = [ 0, 1, 2 ].map( ( c ) => f( positions[ i2 + c ] - positions[ i1 + c ] ) );
		const b = [ 0, 1, 2 ].map( ( c ) => f( positions[ i0 + c ] - positions[ i1 + c ] ) );
		const n = unit( f( a[ 1 ] * b[ 2 ] - a[ 2 ] * b[ 1 ] ), f( a[ 2 ] * b[ 0 ] - a[ 0 ] * b[ 2 ] ), f( a[ 0 ] * b[ 1 ] - a[ 1 ] * b[ 0 ] ) );
		for ( const i of [ i0, i1, i2 ] ) for ( let c = 0; c < 3; c ++ ) out[ i + c ] += n[ c ];

	}

	for ( let i = 0; i < out.length; i += 3 ) out.set( unit( out[ i ], out[ i + 1 ], out[ i + 2 ] ), i );
	return out;

}

// Coordinates beyond what squares and cross products hold in single
// precision, infinities (whose normals are NaN: the converters' is the x86
// default NaN), the smallest subnormal, among small ones.
function extremes( seed ) {

	const next = random( seed );
	const special = [ Infinity, - Infinity, 0, - 0, 1e38, - 3e38, 3.4028234663852886e38, 1e-45, 1e-30, 2e19, - 1.8e19 ];
	const count = 200;
	const positions = new Float32Array( count * 3 ).map( () => next() < 0.3 ? special[ Math.floor( next() * special.length ) ] : Math.round( next() * 100 ) / 10 );
	const index = [];
	for ( let k = 0; k < 300; k ++ ) index.push( ...[ 0, 1, 2 ].map( () => Math.floor( next() * count ) ) );
	return { positions, words: new Uint32Array( count ).fill( 0xff804020 ), uvs: null, index, name: 'extremes' };

}

// The meshes compared with the converters: name -> values.
function meshesToCompare( dir ) {

	const meshes = {};
	for ( const [ program, example ] of [ [ 'kvxconv3', 'cube7' ], [ 'kvxconv4', 'cube9' ], [ 'kvxconv1', 'cube3' ] ] ) {

		meshes[ example ] = meshOfFile( convert( program, join( examplesDir, example + '.cmsh' ), join( dir, example + '.kvx' ) ) );

	}

	for ( const model of [ 'spider', 'WusonOBJ', 'regr01' ] ) {

		const obj = '/usr/share/assimp/models/OBJ/' + model + '.obj';
		if ( ! existsSync( obj ) || ! existsSync( programPath( 'kvximport' ) ) ) continue;
		const out = join( dir, model + '.kvx' );
		const r = run( 'kvximport', [ '--layout', '4', obj, out ] );
		assert.equal( r.status, 0, r.stderr );
		meshes[ model ] = meshOfFile( out );

	}

	meshes.sphere = sphere( 40, 64, 7, TIES );
	meshes.extremes = extremes( 13 );
	meshes.flat = sphere( 3, 5, 11 );
	return meshes;

}

describe( 'the exporter writes the converters\' bytes', { skip }, () => {

	test( 'the bundled examples, as the converters wrote them', () => {

		const { dir, remove } = tempDir( 'exporter-examples' );
		try {

			for ( const [ program, example, version ] of [
				[ 'kvxconv1', 'cube3', 1 ], [ 'kvxconv2', 'cube7', 2 ], [ 'kvxconv3', 'cube7', 3 ], [ 'kvxconv4', 'cube9', 4 ],
				[ 'kvxpoints', 'cube7', - 1 ], [ 'kvxwire', 'cube7', - 2 ]
			] ) {

				const file = readFileSync( convert( program, join( examplesDir, example + '.cmsh' ), join( dir, program + '.kvx' ) ) );
				const k = readKVX( file );
				const mesh = { positions: k.positions, words: k.colorWords, uvs: k.uvs, index: k.index ?? [] };
				const geometry = geometryOf( mesh );
				if ( k.index === null ) geometry.setIndex( null );
				if ( version === - 2 ) geometry.setIndex( new BufferAttribute( k.index, 1 ) );
				assert.deepEqual( bytes( exporter.parse( geometry, { version, name: k.name } ) ), file, program );

			}

		} finally {

			remove();

		}

	} );

	test( 'kvxconv3 and kvxconv4: examples, assimp\'s OBJ models, slivers and ties', () => {

		const { dir, remove } = tempDir( 'exporter-normals' );
		try {

			const meshes = meshesToCompare( dir );
			let vertices = 0;
			for ( const [ name, mesh ] of Object.entries( meshes ) ) {

				for ( const [ program, version, values ] of [ [ 'kvxconv3', 3, 7 ], [ 'kvxconv4', 4, 9 ] ] ) {

					const text = writeText( dir, name + '-' + values + '.cmsh', cmshText( version === 4 ? mesh : { ...mesh, name: '' }, values ) );
					const expected = readFileSync( convert( program, text, join( dir, name + '-' + version + '.kvx' ) ) );
					const actual = bytes( exporter.parse( geometryOf( mesh ), { version, name: version === 4 ? mesh.name : undefined } ) );
					assert.equal( actual.length, expected.length, name + ' ' + program );
					assert.ok( actual.equals( expected ), name + ' ' + program + ': byte ' + actual.findIndex( ( b, i ) => b !== expected[ i ] ) + ' differs' );
					vertices += mesh.positions.length / 3;

				}

			}

			// Every model that is installed took part.
			const models = [ 'spider', 'WusonOBJ', 'regr01' ].filter( ( m ) => existsSync( '/usr/share/assimp/models/OBJ/' + m + '.obj' ) );
			assert.deepEqual( Object.keys( meshes ).filter( ( m ) => models.includes( m ) ), existsSync( programPath( 'kvximport' ) ) ? models : [] );
			assert.ok( vertices > 5000, vertices + ' vertices compared' );

		} finally {

			remove();

		}

	} );

	test( 'the tie triangles are ones that plain double arithmetic gets wrong', () => {

		const mesh = sphere( 1, 3, 1, TIES );
		const exact = computeKVXNormals( mesh.positions, mesh.index );
		const naive = naiveNormals( mesh.positions, mesh.index );
		const count = mesh.positions.length / 3;
		const differs = ( v ) => [ 0, 1, 2 ].some( ( c ) => ! Object.is( exact[ 3 * v + c ], naive[ 3 * v + c ] ) );
		for ( const t of [ 0, 1 ] ) {

			const corners = [ 0, 1, 2 ].map( ( c ) => count - 3 * ( TIES.length - t ) + c );
			assert.ok( corners.some( differs ), 'tie triangle ' + t + ' gives the plain normals' );

		}

	} );

	test( 'the worked example of docs/format.md', () => {

		const n = computeKVXNormals( Float32Array.of( 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1 ), [ 0, 1, 2, 0, 2, 3 ] );
		const h = Math.fround( Math.SQRT1_2 );
		assert.deepEqual( Array.from( n ), [ h, 0, h, 0, 0, 1, h, 0, h, 1, 0, 0 ] );

	} );

} );

// Every sRGB byte once, in a word per vertex, and its alpha.
function everyByte( count ) {

	const words = new Uint32Array( count );
	for ( let i = 0; i < count; i ++ ) words[ i ] = ( ( i * 7 ) & 0xff ) << 24 | ( i & 0xff ) << 16 | ( ( 255 - i ) & 0xff ) << 8 | ( ( i * 13 + 5 ) & 0xff );
	return words.map( ( w ) => w >>> 0 );

}

describe( 'the round trip through KVXLoader', () => {

	const mesh = sphere( 8, 16, 3 );
	const count = mesh.positions.length / 3;
	mesh.words = everyByte( count );
	// Texture coordinates that 1 - v keeps exactly.
	mesh.uvs = mesh.uvs.map( ( v ) => Math.round( v * 64 ) / 64 );
	// -0 and a NaN with a payload stay as they are.
	mesh.positions[ 0 ] = - 0;
	new Uint32Array( mesh.positions.buffer )[ 4 ] = 0x7fa00001;

	for ( const version of [ 1, 2, 3, 4, - 1, - 2 ] ) {

		for ( const colorOrder of [ 'argb', 'rgba' ] ) {

			test( `version ${version}, ${colorOrder}`, () => {

				const geometry = geometryOf( mesh, colorOrder );
				if ( version === - 1 ) geometry.setIndex( null );
				// The edges of the triangles, as pairs.
				const pairs = [];
				for ( let k = 0; k < mesh.index.length; k += 3 ) pairs.push( mesh.index[ k ], mesh.index[ k + 1 ], mesh.index[ k + 1 ], mesh.index[ k + 2 ] );
				if ( version === - 2 ) geometry.setIndex( pairs );
				const name = version === 4 ? 'naïve-€' : undefined;
				const buffer = exporter.parse( geometry, { version, colorOrder, name } );
				const k = readKVX( buffer, { colorOrder } );

				assert.deepEqual( [ k.version, k.vertexCount, k.warnings ], [ version, count, [] ] );
				assert.deepEqual( new Uint32Array( k.positions.buffer ), new Uint32Array( mesh.positions.buffer ) );
				assert.deepEqual( k.colorWords, mesh.words );
				assert.deepEqual( k.index === null ? null : Array.from( k.index ), version === - 1 ? null : version === - 2 ? pairs : mesh.index );
				assert.equal( k.groupCount, version === - 1 ? count : version === - 2 ? pairs.length / 2 : mesh.index.length / 3 );
				assert.deepEqual( k.uvs, version === 4 ? mesh.uvs : null );
				assert.equal( k.name, version === 4 ? name : '' );
				// (Numbers: a NaN normal is written as the converters write it.)
				if ( version >= 3 ) assert.deepEqual( Array.from( k.normals ), Array.from( computeKVXNormals( mesh.positions, mesh.index ) ) );

				// The loader's geometry (colours as linear bytes) gives the
				// same file back.
				const loaded = new KVXLoader().parse( buffer, { colorOrder } );
				const again = exporter.parse( loaded, { colorOrder } );
				const linear = loaded.getAttribute( 'color' ).array;
				const reloaded = new KVXLoader().parse( again, { colorOrder } );
				assert.deepEqual( reloaded.getAttribute( 'color' ).array, linear );
				assert.equal( reloaded.userData.kvx.version, version );
				assert.equal( reloaded.name, version === 4 ? name : '' );

			} );

		}

	}

	test( 'a loaded file comes back byte for byte where its colours survive the linear bytes', () => {

		// sRGB bytes that stay distinct as linear bytes: those from 125 up.
		const geometry = geometryOf( { ...mesh, words: mesh.words.map( ( w ) => ( w | 0x80808080 ) >>> 0 ) } );
		for ( const version of [ 1, 2, 3, 4 ] ) {

			const file = exporter.parse( geometry, { version, name: version === 4 ? 'kept' : undefined } );
			const again = exporter.parse( new KVXLoader().parse( file ) );
			assert.ok( bytes( again ).equals( bytes( file ) ), 'version ' + version );

		}

	} );

	test( 'three-component and normalized colours, and none', () => {

		const geometry = new BufferGeometry();
		geometry.setAttribute( 'position', new BufferAttribute( new Float32Array( 9 ), 3 ) );
		geometry.setAttribute( 'color', new BufferAttribute( Uint8Array.of( 255, 0, 0, 0, 255, 0, 188, 55, 0 ), 3, true ) );
		const file = exporter.parse( geometry, { version: 1 } );
		let k = readKVX( file );
		assert.deepEqual( Array.from( k.colorWords.subarray( 0, 2 ) ), [ 0xffff0000, 0xff00ff00 ] );
		// Linear 188 and 55 come back from the sRGB bytes written.
		assert.deepEqual( Array.from( new KVXLoader().parse( file ).getAttribute( 'color' ).array ), [ 255, 0, 0, 255, 0, 255, 0, 255, 188, 55, 0, 255 ] );
		geometry.deleteAttribute( 'color' );
		k = readKVX( exporter.parse( geometry, { version: 2, colorOrder: 'rgba' } ) );
		assert.deepEqual( Array.from( k.colorWords ), [ 0xffffffff, 0xffffffff, 0xffffffff ] );
		// Out of range and NaN values are clamped.
		geometry.setAttribute( 'color', new BufferAttribute( Float32Array.of( 2, - 1, NaN, 0.5, 0.5, 0.5, 0, 0, 0 ), 3 ) );
		k = readKVX( exporter.parse( geometry, { version: 2 } ) );
		assert.deepEqual( Array.from( k.colorWords ), [ 0xffff0000, 0xffbcbcbc, 0xff000000 ] );

	} );

} );

describe( 'objects', () => {

	const triangle = ( offset = 0 ) => {

		const g = new BufferGeometry();
		g.setAttribute( 'position', new BufferAttribute( Float32Array.of( offset, 0, 0, 1, offset, 0, 0, 1, offset, 2, 2, 2 ), 3 ) );
		g.setIndex( [ 0, 1, 2, 2, 1, 3 ] );
		return g;

	};

	test( 'meshes are merged through their world matrices; normals follow the written positions', () => {

		const group = new Group();
		const a = new Mesh( triangle() );
		const b = new Mesh( triangle( 0.5 ) );
		b.position.set( 1, 2, 3 );
		b.rotation.set( 0.3, 0.2, 0.1 );
		b.scale.set( 2, 1, 0.5 );
		group.add( a, b );
		group.position.set( - 4, 0, 0 );
		group.updateMatrixWorld( true );

		const k = readKVX( exporter.parse( group, { version: 3 } ) );
		assert.deepEqual( [ k.vertexCount, k.groupCount ], [ 8, 4 ] );
		assert.deepEqual( Array.from( k.index ), [ 0, 1, 2, 2, 1, 3, 4, 5, 6, 6, 5, 7 ] );
		const expected = [];
		for ( const mesh of [ a, b ] ) {

			const p = mesh.geometry.getAttribute( 'position' );
			for ( let i = 0; i < 4; i ++ ) expected.push( ...new Vector3().fromBufferAttribute( p, i ).applyMatrix4( mesh.matrixWorld ).toArray() );

		}

		assert.deepEqual( k.positions, Float32Array.from( expected ) );
		assert.deepEqual( k.normals, computeKVXNormals( k.positions, k.index ) );

		// The geometry's own normals, through the normal matrix.
		b.geometry.setAttribute( 'normal', new BufferAttribute( Float32Array.of( 0, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0 ), 3 ) );
		const own = readKVX( exporter.parse( group, { version: 3, normals: 'geometry' } ) );
		const normalMatrix = new Matrix3().getNormalMatrix( b.matrixWorld );
		const n = new Vector3( 0, 1, 0 ).applyMatrix3( normalMatrix ).normalize();
		assert.deepEqual( Array.from( own.normals.subarray( 18, 21 ) ), Array.from( Float32Array.from( n.toArray() ) ) );
		// a has none: computed.
		assert.deepEqual( own.normals.subarray( 0, 12 ), k.normals.subarray( 0, 12 ) );

	} );

	test( 'line segments, points, non-indexed geometry, and the defaults', () => {

		const lines = new LineSegments( triangle() );
		let k = readKVX( exporter.parse( lines ) );
		assert.deepEqual( [ k.version, k.groupCount ], [ - 2, 3 ] );
		const points = new Points( triangle() );
		k = readKVX( exporter.parse( points ) );
		assert.deepEqual( [ k.version, k.vertexCount, k.groupCount, k.index ], [ - 1, 4, 4, null ] );
		// A non-indexed geometry gets 0 1 2, 3 4 5: no vertex is merged.
		const soup = triangle().toNonIndexed();
		k = readKVX( exporter.parse( new Mesh( soup ) ) );
		assert.deepEqual( [ k.version, k.vertexCount, Array.from( k.index ) ], [ 4, 6, [ 0, 1, 2, 3, 4, 5 ] ] );
		// A mesh's geometry's name is the default name; a loaded geometry
		// keeps its version.
		const named = triangle();
		named.name = 'tri';
		assert.equal( readKVX( exporter.parse( new Mesh( named ) ) ).name, 'tri' );
		const mesh = new Mesh( named );
		mesh.name = 'first';
		assert.equal( readKVX( exporter.parse( new Group().add( mesh ) ) ).name, 'first' );
		named.name = 'not one word';
		assert.equal( readKVX( exporter.parse( new Mesh( named ) ) ).name, '' );
		assert.equal( readKVX( exporter.parse( named ) ).name, '' );
		const loaded = new KVXLoader().parse( exporter.parse( triangle(), { version: 2 } ) );
		assert.equal( readKVX( exporter.parse( loaded ) ).version, 2 );
		assert.equal( readKVX( exporter.parse( new Mesh( loaded ) ) ).version, 2 );
		// ... and what its index holds.
		assert.throws( () => exporter.parse( loaded, { version: - 2 } ), /version -2 holds lines, and the object holds triangles/ );
		const wire = new KVXLoader().parse( exporter.parse( new LineSegments( triangle() ) ) );
		assert.equal( readKVX( exporter.parse( new Mesh( wire ) ) ).version, 4 );
		// Two calls of one exporter give the same file.
		assert.deepEqual( bytes( exporter.parse( new Mesh( triangle() ) ) ), bytes( exporter.parse( new Mesh( triangle() ) ) ) );

	} );

} );

describe( 'refusals', () => {

	const positions = ( count ) => {

		const g = new BufferGeometry();
		g.setAttribute( 'position', new BufferAttribute( new Float32Array( count * 3 ), 3 ) );
		return g;

	};

	const refuses = ( f, pattern ) => assert.throws( f, ( e ) => e.constructor === Error && pattern.test( e.message ) && e.message.startsWith( 'KVXExporter: ' ) );

	test( 'more than 65,536 vertices', () => {

		const big = positions( 65538 );
		refuses( () => exporter.parse( big, { version: 3 } ), /65538 vertices: .* at most 65,536/ );
		refuses( () => exporter.parse( new LineSegments( positions( 65538 ) ) ), /65538 vertices/ );
		// Two meshes that are too many together.
		const group = new Group().add( new Mesh( positions( 32769 ) ), new Mesh( positions( 32769 ) ) );
		refuses( () => exporter.parse( group, { version: 1 } ), /65538 vertices/ );
		// 65,536 fit; 65,539 do not.
		const most = positions( 65535 + 1 );
		most.setIndex( [ 0, 65535, 1 ] );
		assert.equal( readKVX( exporter.parse( most, { version: 1 } ) ).index[ 1 ], 65535 );
		const over = positions( 65539 );
		over.setIndex( [ 0, 1, 2 ] );
		refuses( () => exporter.parse( over, { version: 1 } ), /65539 vertices/ );
		// A point set has no index: it may have more.
		assert.equal( readKVX( exporter.parse( positions( 70000 ), { version: - 1 } ) ).vertexCount, 70000 );

	} );

	test( 'versions, names, missing positions and bad indices', () => {

		const g = positions( 3 );
		for ( const version of [ 0, 5, - 3, '3', 3.5, null ] ) refuses( () => exporter.parse( g, { version } ), /cannot be written/ );
		refuses( () => exporter.parse( new Mesh( g ), { version: - 2 } ), /version -2 holds lines, and the object holds triangles/ );
		refuses( () => exporter.parse( new Points( g ), { version: 3 } ), /holds triangles, and the object holds points/ );
		refuses( () => exporter.parse( new Group().add( new Mesh( g ), new Points( g ) ) ), /triangles and points; a KVX file holds one kind/ );

		for ( const name of [ 'two words', 'tab\there', 'new\nline', 'zero\0', 'é'.repeat( 128 ), '\ud800x', 'x\udc00', 7 ] ) {

			refuses( () => exporter.parse( g, { version: 4, name } ), /name/ );

		}

		assert.equal( readKVX( exporter.parse( g, { version: 4, name: '€'.repeat( 85 ) } ) ).name, '€'.repeat( 85 ) );
		assert.equal( encodeKVXName( '😀' ).length, 4 );
		refuses( () => exporter.parse( g, { version: 3, name: 'flag' } ), /version 3 holds no name/ );
		assert.equal( exporter.parse( g, { version: 3, name: '' } ).byteLength, 15 + 3 * 28 + 6 );

		refuses( () => exporter.parse( new BufferGeometry() ), /no position attribute/ );
		refuses( () => exporter.parse( new Group() ), /nothing to export/ );
		refuses( () => exporter.parse( new Mesh( new BufferGeometry() ) ), /nothing to export/ );
		refuses( () => exporter.parse( null ), /expected an Object3D or a BufferGeometry, got null/ );
		refuses( () => exporter.parse( new ArrayBuffer( 4 ) ), /got \[object ArrayBuffer\]/ );
		refuses( () => exporter.parse( g, { colorOrder: 'bgra' } ), /colorOrder must be "argb" or "rgba", not "bgra"/ );
		refuses( () => exporter.parse( g, 'fast' ), /options must be an object/ );
		refuses( () => exporter.parse( g, { normals: 'smooth' } ), /normals must be/ );

		const bad = positions( 3 );
		bad.setIndex( [ 0, 1, 3 ] );
		refuses( () => exporter.parse( bad ), /index value 2 names vertex 3 of 3/ );
		bad.setIndex( [ 0, 1, 2, 0 ] );
		refuses( () => exporter.parse( bad ), /the index has 4 values, not a whole number of triangles/ );
		refuses( () => exporter.parse( positions( 4 ) ), /no index and 4 vertices, not a whole number of triangles/ );
		refuses( () => exporter.parse( new LineSegments( positions( 3 ) ) ), /not a whole number of line segments/ );
		refuses( () => computeKVXNormals( new Float32Array( 6 ), [ 0, 1, 2 ] ), /triangle 0 names a vertex beyond the 2/ );

	} );

} );

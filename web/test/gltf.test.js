// kvxexport's glTF against two independent readers: every file the
// converters write (the bundled examples, a generated torus, and a point set
// holding every colour byte) is exported as .glb and .gltf, checked by the
// Khronos glTF-Validator (no error, no warning; the one note allowed is that
// texture coordinates no material uses may be unused), and loaded with
// three.js's GLTFLoader, whose positions, normals, texture coordinates,
// indices and colours (linear, brought back to sRGB bytes as three.js does)
// must be what kvxdump prints.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { after, before, describe, test } from 'node:test';

import { Color, ColorManagement, LinearSRGBColorSpace, SRGBColorSpace } from 'three';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';

import { convert, examplesDir, fixed, hex, kvxdump, missingPrograms, run, tempDir, torusText, writeText } from './support.js';

const validator = createRequire( import.meta.url )( 'gltf-validator' );
const skip = missingPrograms() ?? false;

// A point set of 256 vertices whose red runs through every byte, green
// backwards, blue and alpha in other orders: (k + 0.5) / 255 is packed as k.
function everyByteText() {

	const lines = [ '256 0' ];
	const value = ( k ) => String( ( k + 0.5 ) / 255 );
	for ( let i = 0; i < 256; i ++ ) {

		lines.push( [ value( i ), value( 255 - i ), value( ( i * 7 ) % 256 ), value( ( i * 13 + 5 ) % 256 ), i, - i / 8, i % 3 ].join( ' ' ) );

	}

	return lines.join( '\n' ) + '\n';

}

async function validate( file ) {

	const bytes = new Uint8Array( readFileSync( file ) );
	return validator.validateBytes( bytes, {
		uri: file,
		maxIssues: 100,
		externalResourceFunction: async ( uri ) => new Uint8Array( readFileSync( join( dirname( file ), decodeURIComponent( uri ) ) ) )
	} );

}

function parseGlb( file ) {

	const bytes = readFileSync( file );
	const buffer = bytes.buffer.slice( bytes.byteOffset, bytes.byteOffset + bytes.byteLength );
	return new Promise( ( resolve, reject ) => new GLTFLoader().parse( buffer, '', resolve, reject ) );

}

// What kvxdump prints, split: vertex lines into tokens, then the groups and
// the name.
function dumpOf( file ) {

	const dump = kvxdump( file );
	const vertices = dump.lines.slice( 0, dump.vertexCount ).map( ( line ) => line.split( ' ' ) );
	const groups = dump.version === - 1 ? [] : dump.lines.slice( dump.vertexCount, dump.vertexCount + dump.faceCount );
	const name = dump.version === 4 ? dump.lines[ dump.vertexCount + dump.faceCount ] : undefined;
	return { ...dump, vertices, groups, name };

}

// The sRGB bytes three.js makes of a linear colour: red, green, blue, alpha.
function srgbBytes( color, i ) {

	const c = new Color( color.getX( i ), color.getY( i ), color.getZ( i ) );
	ColorManagement.convert( c, LinearSRGBColorSpace, SRGBColorSpace );
	return [ c.r, c.g, c.b, color.getW( i ) ].map( ( v ) => Math.round( v * 255 ) );

}

function wordBytes( word, colorOrder ) {

	const b = [ 24, 16, 8, 0 ].map( ( shift ) => ( word >>> shift ) & 0xff );
	return colorOrder === 'argb' ? [ b[ 1 ], b[ 2 ], b[ 3 ], b[ 0 ] ] : b;

}

function compareWithDump( gltf, dump, colorOrder ) {

	const object = gltf.scene.children[ 0 ];
	const type = dump.version === - 1 ? 'Points' : dump.version === - 2 ? 'LineSegments' : 'Mesh';
	assert.equal( object.type, type );
	const a = object.geometry.attributes;
	assert.equal( a.position.count, dump.vertexCount );
	for ( let i = 0; i < dump.vertexCount; i ++ ) {

		const t = dump.vertices[ i ];
		const xyz = [ a.position.getX( i ), a.position.getY( i ), a.position.getZ( i ) ].map( fixed );
		assert.deepEqual( xyz, t.slice( - 3 ), `position ${ i }` );
		const word = t.find( ( token ) => token.startsWith( '0x' ) );
		assert.deepEqual( srgbBytes( a.color, i ), wordBytes( Number( word ), colorOrder ), `colour ${ i } (${ word })` );
		if ( dump.version === 3 || dump.version === 4 ) {

			const n = [ a.normal.getX( i ), a.normal.getY( i ), a.normal.getZ( i ) ].map( fixed );
			assert.deepEqual( n, t.slice( dump.version === 4 ? 2 : 0, dump.version === 4 ? 5 : 3 ), `normal ${ i }` );

		}

		if ( dump.version === 4 ) assert.deepEqual( [ a.uv.getX( i ), a.uv.getY( i ) ].map( fixed ), t.slice( 0, 2 ), `uv ${ i }` );

	}

	assert.equal( a.normal !== undefined, dump.version === 3 || dump.version === 4 );
	assert.equal( a.uv !== undefined, dump.version === 4 );
	if ( dump.version === - 1 ) {

		assert.equal( object.geometry.index, null );

	} else {

		const index = Array.from( object.geometry.index.array );
		const size = dump.version === - 2 ? 2 : 3;
		assert.equal( index.length, size * dump.faceCount );
		dump.groups.forEach( ( line, g ) => assert.equal( index.slice( size * g, size * g + size ).join( ' ' ), line, `group ${ g }` ) );

	}

	// kvxdump's text is read as Latin-1; the name's bytes are UTF-8.
	if ( dump.name !== undefined ) assert.equal( gltf.parser.json.meshes[ 0 ].name, Buffer.from( dump.name, 'latin1' ).toString( 'utf8' ) );

}

// Every issue but texture coordinates that no material uses (KVX holds no
// image to use them with).
function unexpectedIssues( report ) {

	return report.issues.messages.filter( ( m ) =>
		! ( m.code === 'UNUSED_OBJECT' && m.pointer === '/meshes/0/primitives/0/attributes/TEXCOORD_0' ) );

}

describe( 'kvxexport glTF', { skip }, () => {

	let temp;
	const files = [];
	before( () => {

		temp = tempDir( 'gltf' );
		const torus7 = writeText( temp.dir, 'torus7.cmsh', torusText( 9, 7, 7 ) );
		const torus9 = writeText( temp.dir, 'torus9.cmsh', torusText( 9, 7, 9, 'tørus·ring_ü' ) );
		const every = writeText( temp.dir, 'every.cmsh', everyByteText() );
		const sources = [
			[ 'kvxconv1', join( examplesDir, 'cube3.cmsh' ) ],
			[ 'kvxconv2', join( examplesDir, 'cube7.cmsh' ) ],
			[ 'kvxconv3', join( examplesDir, 'cube7.cmsh' ) ],
			[ 'kvxconv4', join( examplesDir, 'cube9.cmsh' ) ],
			[ 'kvxpoints', join( examplesDir, 'cube7.cmsh' ) ],
			[ 'kvxwire', join( examplesDir, 'cube7.cmsh' ) ],
			[ 'kvxconv3', torus7 ], [ 'kvxconv4', torus9 ], [ 'kvxwire', torus7 ], [ 'kvxpoints', every ]
		];
		sources.forEach( ( [ program, input ], k ) => files.push( convert( program, input, join( temp.dir, `${ k }-${ program }.kvx` ) ) ) );

	} );
	after( () => temp?.remove() );

	test( 'every export passes the validator with no error and no warning', async () => {

		for ( const kvx of files ) {

			for ( const [ extension, options ] of [ [ '.glb', [] ], [ '.gltf', [] ], [ '.glb', [ '--colour-order', 'rgba' ] ] ] ) {

				const out = kvx.replace( /\.kvx$/, extension );
				const r = run( 'kvxexport', [ ...options, kvx, out ] );
				assert.equal( r.status, 0, r.stderr );
				assert.equal( r.stderr, '' );
				const report = await validate( out );
				assert.equal( report.issues.numErrors, 0, JSON.stringify( report.issues.messages ) );
				assert.equal( report.issues.numWarnings, 0, JSON.stringify( report.issues.messages ) );
				assert.deepEqual( unexpectedIssues( report ), [], out );
				assert.equal( report.info.generator, 'kvxexport ' + run( 'kvxexport', [ '--version' ] ).stdout.toString().trim().split( ' ' )[ 1 ] );

			}

		}

	} );

	test( 'three.js reads back what kvxdump prints, colours byte for byte', async () => {

		for ( const kvx of files ) {

			const dump = dumpOf( kvx );
			for ( const colorOrder of [ 'argb', 'rgba' ] ) {

				const out = kvx.replace( /\.kvx$/, `-${ colorOrder }.glb` );
				assert.equal( run( 'kvxexport', [ '--colour-order', colorOrder, kvx, out ] ).status, 0 );
				compareWithDump( await parseGlb( out ), dump, colorOrder );

			}

		}

	} );

	test( 'the .gltf names its buffer beside it, escaped as a URI', async () => {

		const out = join( temp.dir, 'a b#1.gltf' );
		assert.equal( run( 'kvxexport', [ files[ 3 ], out ] ).status, 0 );
		const json = JSON.parse( readFileSync( out, 'utf8' ) );
		assert.equal( json.buffers[ 0 ].uri, 'a%20b%231.bin' );
		assert.equal( json.buffers[ 0 ].byteLength, readFileSync( join( temp.dir, 'a b#1.bin' ) ).length );
		const report = await validate( out );
		assert.equal( report.issues.numErrors + report.issues.numWarnings, 0, JSON.stringify( report.issues.messages ) );
		// The .glb holds the same document, but for the buffer's URI.
		const glb = readFileSync( files[ 3 ].replace( /\.kvx$/, '.glb' ) );
		const chunk = glb.readUInt32LE( 12 );
		const glbJson = JSON.parse( glb.subarray( 20, 20 + chunk ).toString( 'utf8' ) );
		delete json.buffers[ 0 ].uri;
		assert.deepEqual( glbJson, json );

	} );

} );

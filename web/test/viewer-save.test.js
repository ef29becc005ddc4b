// The viewer's "Save as KVX" in headless Chromium (puppeteer-core): a KVX
// file saved in its own version comes back byte for byte, and in another
// version as KVXExporter writes it; dropped OBJ, PLY, STL and glTF files are
// read with three.js's loaders and saved as KVXExporter writes them in Node;
// a bad name is refused in the error panel. The downloads are caught in a
// folder of their own.
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';

import { Mesh } from 'three';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
import { OBJLoader } from 'three/addons/loaders/OBJLoader.js';
import { PLYLoader } from 'three/addons/loaders/PLYLoader.js';
import { STLLoader } from 'three/addons/loaders/STLLoader.js';

import { KVXExporter } from '../KVXExporter.js';
import { readKVX } from '../KVXLoader.js';
import { startServer } from '../server.js';
import { browserSkip, launchChromium } from './chromium.js';
import { convert, examplesDir, random, run, tempDir, torusText, writeText } from './support.js';

const skip = browserSkip;

const exporter = new KVXExporter();

// three.js's FileLoader, which GLTFLoader reads a data URI with, reports
// progress with a browser's ProgressEvent, which Node lacks.
globalThis.ProgressEvent ??= class ProgressEvent extends Event {

	constructor( type, init = {} ) {

		super( type );
		Object.assign( this, { lengthComputable: false, loaded: 0, total: 0, ...init } );

	}

};

// Two OBJ objects with vertex colours, texture coordinates and a quad.
const OBJ_TEXT = `# two objects
o first
v 0 0 0 1 0 0
v 1 0 0 0.02 0.5 0
v 1 1 0 0 0 1
v 0 1 0 0.9 0.9 0.9
vt 0 0
vt 1 0
vt 1 1
vt 0 1
f 1/1 2/2 3/3 4/4
o second
v 0 0 1 0.1 0.2 0.3
v 1 0 2 0.4 0.5 0.6
v 0 1 3 0.7 0.8 0.004
vt 0.25 0.5
f 5/5 6/5 7/5
`;

// A glTF document of one triangle in a node moved, turned and scaled, its
// buffer a data URI.
function movedTriangleGltf() {

	const data = Buffer.alloc( 44 );
	[ 0, 0, 0, 1, 0, 0, 0, 1, 0 ].forEach( ( v, i ) => data.writeFloatLE( v, 4 * i ) );
	[ 0, 1, 2 ].forEach( ( v, i ) => data.writeUInt16LE( v, 36 + 2 * i ) );
	return JSON.stringify( {
		asset: { version: '2.0' },
		scene: 0,
		scenes: [ { nodes: [ 0 ] } ],
		nodes: [ { mesh: 0, name: 'moved', translation: [ 1, 2, 3 ], rotation: [ 0, 0.6, 0, 0.8 ], scale: [ 2, 2, 2 ] } ],
		meshes: [ { primitives: [ { attributes: { POSITION: 0 }, indices: 1 } ] } ],
		buffers: [ { byteLength: 44, uri: 'data:application/octet-stream;base64,' + data.toString( 'base64' ) } ],
		bufferViews: [ { buffer: 0, byteOffset: 0, byteLength: 36 }, { buffer: 0, byteOffset: 36, byteLength: 6 } ],
		accessors: [
			{ bufferView: 0, componentType: 5126, count: 3, type: 'VEC3', min: [ 0, 0, 0 ], max: [ 1, 1, 0 ] },
			{ bufferView: 1, componentType: 5123, count: 3, type: 'SCALAR' }
		]
	} );

}

describe( 'the viewer saves KVX files', { skip, timeout: 180000 }, () => {

	let temp, server, browser, page, downloads;
	const files = {};
	const pageErrors = [];

	before( async () => {

		temp = tempDir( 'viewer-save' );
		const dir = temp.dir;
		downloads = mkdtempSync( join( dir, 'downloads-' ) );
		// A version-4 file with dark colours (which linear bytes would merge)
		// and stored texture coordinates v below 0.5 in every bit, as a glTF
		// import stores them (whose last bits 1 - v loses; a text mesh's never
		// have them).
		files.torus = convert( 'kvxconv4', writeText( dir, 'torus.cmsh', torusText( 12, 16, 9, 'ring' ) ), join( dir, 'torus.kvx' ) );
		const torus = readFileSync( files.torus );
		const next = random( 5 );
		for ( let i = 0; i < 192; i ++ ) torus.writeFloatLE( Math.fround( next() * 0.4 ), 15 + 36 * i + 4 );
		writeFileSync( files.torus, torus );
		files.cube = convert( 'kvxconv3', join( examplesDir, 'cube7.cmsh' ), join( dir, 'cube.kvx' ) );
		files.obj = writeText( dir, 'two parts.obj', OBJ_TEXT );
		files.gltf = writeText( dir, 'moved.gltf', movedTriangleGltf() );
		for ( const extension of [ 'ply', 'stl', 'glb' ] ) {

			files[ extension ] = join( dir, 'torus-copy.' + extension );
			const r = run( 'kvxexport', [ files.torus, files[ extension ] ] );
			assert.equal( r.status, 0, r.stderr );

		}

		server = await startServer( { port: 0, filesDir: dir } );
		browser = await launchChromium( dir );
		page = await browser.newPage();
		page.on( 'pageerror', ( error ) => pageErrors.push( error.message ) );
		const session = await page.createCDPSession();
		await session.send( 'Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads, eventsEnabled: true } );
		await page.setViewport( { width: 1000, height: 640, deviceScaleFactor: 1 } );
		await page.goto( `${server.url}/viewer/` );

	} );

	after( async () => {

		await browser?.close();
		await server?.close();
		temp?.remove();

	} );

	async function settled( loads, errors = 0 ) {

		await page.waitForFunction(
			( l, e ) => window.__kvxViewer && window.__kvxViewer.loads === l && window.__kvxViewer.errors === e &&
				( window.__kvxViewer.state === 'ready' || window.__kvxViewer.state === 'error' ),
			{ timeout: 30000 }, loads, errors );
		return page.evaluate( () => window.__kvxViewer );

	}

	// Drops the file on the picture, as a user would.
	async function drop( path, name ) {

		await page.evaluate( ( data, fileName ) => {

			const transfer = new DataTransfer();
			transfer.items.add( new File( [ new Uint8Array( data ) ], fileName ) );
			document.getElementById( 'stage' ).dispatchEvent( new DragEvent( 'drop', { dataTransfer: transfer, bubbles: true, cancelable: true } ) );

		}, Array.from( readFileSync( path ) ), name );

	}

	// Clicks "Save as KVX" and returns the downloaded file's name and bytes.
	async function save( version ) {

		if ( version !== undefined ) await page.select( '#save-version', String( version ) );
		const saves = await page.evaluate( () => window.__kvxViewer.saves );
		await page.click( '#save-kvx' );
		await page.waitForFunction( ( n ) => window.__kvxViewer.saves === n, { timeout: 10000 }, saves + 1 );
		const { file } = await page.evaluate( () => window.__kvxViewer.saved );
		const path = join( downloads, file );
		const start = Date.now();
		while ( ! existsSync( path ) || readdirSync( downloads ).some( ( f ) => f.endsWith( '.crdownload' ) ) ) {

			if ( Date.now() - start > 10000 ) throw new Error( 'no download of ' + file + ': ' + readdirSync( downloads ) );
			await new Promise( ( done ) => setTimeout( done, 50 ) );

		}

		const bytes = readFileSync( path );
		rmSync( path );
		return { file, bytes };

	}

	test( 'a KVX file saved in its version is the file; in another, as KVXExporter writes it', async () => {

		await page.goto( `${server.url}/viewer/?file=/files/torus.kvx` );
		await settled( 1 );
		assert.deepEqual( await page.$$eval( '#save-version option', ( os ) => os.map( ( o ) => [ o.value, o.selected ] ) ),
			[ [ '4', true ], [ '3', false ], [ '2', false ], [ '1', false ] ] );
		assert.equal( await page.$eval( '#save-name', ( e ) => e.value ), 'ring' );

		const original = readFileSync( files.torus );
		let saved = await save();
		assert.equal( saved.file, 'torus.kvx' );
		assert.ok( saved.bytes.equals( original ), 'the saved file differs from the loaded one' );

		// In the other colour order too: the words are read and packed alike.
		await page.select( '#color-order', 'rgba' );
		await settled( 2 );
		assert.ok( ( await save() ).bytes.equals( original ) );
		await page.select( '#color-order', 'argb' );
		await settled( 3 );

		// Version 3: the same records without texture coordinates or name.
		saved = await save( 3 );
		const k = readKVX( original );
		const v3 = readKVX( saved.bytes );
		assert.deepEqual( [ v3.version, v3.vertexCount, v3.groupCount, v3.name ], [ 3, k.vertexCount, k.groupCount, '' ] );
		assert.deepEqual( [ v3.positions, v3.normals, v3.colorWords, v3.index ], [ k.positions, k.normals, k.colorWords, k.index ] );
		assert.equal( await page.$eval( '#save-name', ( e ) => e.disabled ), true );

		// A wireframe offers its one version.
		await page.goto( `${server.url}/viewer/?file=/files/cube.kvx` );
		await settled( 1 );
		assert.equal( await page.$eval( '#save-name', ( e ) => e.value ), 'cube' );
		assert.deepEqual( pageErrors, [] );

	} );

	// What the viewer should save for a file that three.js's loader reads.
	async function expectedKvx( extension, path, name ) {

		const buffer = readFileSync( path );
		const bytes = buffer.buffer.slice( buffer.byteOffset, buffer.byteOffset + buffer.byteLength );
		let object;
		if ( extension === 'obj' ) object = new OBJLoader().parse( buffer.toString( 'utf8' ) );
		if ( extension === 'ply' ) object = new Mesh( new PLYLoader().parse( bytes ) );
		if ( extension === 'stl' ) object = new Mesh( new STLLoader().parse( bytes ) );
		if ( extension === 'glb' || extension === 'gltf' ) object = ( await new GLTFLoader().parseAsync( bytes, '' ) ).scene;
		object.updateMatrixWorld( true );
		return Buffer.from( exporter.parse( object, { name } ) );

	}

	test( 'dropped OBJ, PLY, STL and glTF files are shown and saved as KVXExporter writes them', async () => {

		await page.goto( `${server.url}/viewer/` );
		let loads = 0;
		for ( const [ extension, name, kvxName, vertices ] of [
			[ 'obj', 'two parts.obj', 'first', 9 ], [ 'ply', 'torus-copy.ply', 'torus-copy', 192 ],
			[ 'stl', 'torus-copy.stl', 'torus-copy', 384 * 3 ], [ 'glb', 'torus-copy.glb', 'ring', 192 ],
			[ 'gltf', 'moved.gltf', 'moved', 3 ]
		] ) {

			await drop( files[ extension ], name );
			const viewer = await settled( ++ loads );
			assert.equal( viewer.state, 'ready', extension + ': ' + viewer.error );
			assert.deepEqual( [ viewer.info.source, viewer.info.version, viewer.info.kind ], [ name, 4, 'triangles' ] );
			assert.match( viewer.info.warnings[ 0 ], /^read as (OBJ|PLY|STL|glTF) by three\.js's (OBJ|PLY|STL|GLTF)Loader/ );
			const saved = await save();
			assert.equal( saved.file, name.replace( /\.[^.]*$/, '' ) + '.kvx' );
			// The name: the file's own (glTF), else the file's stem where that
			// is one word.
			assert.equal( readKVX( saved.bytes ).name, kvxName );
			const expected = await expectedKvx( extension, files[ extension ], kvxName );
			assert.ok( saved.bytes.equals( expected ), extension + ': the saved file differs from KVXExporter\'s' );
			assert.equal( readKVX( saved.bytes ).vertexCount, vertices, extension );

		}

		// The glTF node's transform is in the positions: (1, 0, 0) scaled by 2,
		// turned about y and moved.
		const moved = readKVX( await expectedKvx( 'gltf', files.gltf, 'moved' ) );
		assert.deepEqual( Array.from( moved.positions.subarray( 3, 6 ) ), [ 1 + 2 * ( 0.8 * 0.8 - 0.6 * 0.6 ), 2, 3 - 2 * 2 * 0.6 * 0.8 ].map( Math.fround ) );
		assert.deepEqual( pageErrors, [] );

	} );

	test( 'a name a KVX file cannot hold is refused, and the mesh stays', async () => {

		await page.goto( `${server.url}/viewer/?file=/files/torus.kvx` );
		await settled( 1 );
		await page.$eval( '#save-name', ( e ) => {

			e.value = 'two words';

		} );
		await page.click( '#save-kvx' );
		await page.waitForFunction( () => window.__kvxViewer.errors === 1 );
		assert.equal( await page.$eval( '#error-title', ( e ) => e.textContent ), 'Not saved' );
		assert.match( await page.$eval( '#error-message', ( e ) => e.textContent ), /^KVXExporter: the name "two words" holds white space/ );
		assert.equal( await page.evaluate( () => window.__kvxViewer.saves ), 0 );
		assert.equal( ( await page.evaluate( () => window.__kvxViewer.info ) ).source, 'torus.kvx' );

		// Corrected, it saves and the message goes.
		await page.$eval( '#save-name', ( e ) => {

			e.value = 'ring';

		} );
		assert.ok( ( await save() ).bytes.equals( readFileSync( files.torus ) ) );
		assert.equal( await page.$eval( '#error', ( e ) => e.hidden ), true );

		// A file the loader of its format refuses shows why.
		await drop( files.cube, 'broken.stl' );
		await page.waitForFunction( () => window.__kvxViewer.errors === 2 );
		assert.match( await page.evaluate( () => window.__kvxViewer.error ), /STLLoader|KVXExporter/ );
		assert.deepEqual( pageErrors, [] );

	} );

} );

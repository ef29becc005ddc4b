// The viewer in headless Chromium, driven by puppeteer-core: the example cube
// from ?file=, a file through the file input, a dropped file, the toggles,
// and a corrupt file whose message appears in the error panel while the page
// stays usable; and KVXLoader.load, which needs a browser's fetch.
//
// Chromium is /usr/bin/chromium or $CHROMIUM. With KVX_WEB_SCREENSHOT=path
// the picture of the cube is also saved there (docs/viewer.png is made so).
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';

import { KVXLoader } from '../KVXLoader.js';
import { startServer } from '../server.js';
import { browserSkip, launchChromium } from './chromium.js';
import { decodePng } from './png.js';
import { convert, examplesDir, repoDir, tempDir, writeText } from './support.js';

const skip = browserSkip;

// kvxrender's background, which the viewer shares.
const BACKGROUND = [ 0x20, 0x20, 0x28 ];

const near = ( a, b, tolerance ) => a.every( ( v, i ) => Math.abs( v - b[ i ] ) <= tolerance );

test( 'the PNG decoder reads a picture kvxrender wrote', () => {

	// docs/cube.png: kvxrender's cube on its background.
	const png = decodePng( readFileSync( join( repoDir, 'docs', 'cube.png' ) ) );
	assert.deepEqual( [ png.width, png.height ], [ 320, 320 ] );
	assert.deepEqual( png.at( 0, 0 ), BACKGROUND );
	assert.deepEqual( png.at( 319, 319 ), BACKGROUND );
	assert.notDeepEqual( png.at( 160, 160 ), BACKGROUND );

} );

describe( 'the viewer in Chromium', { skip, timeout: 180000 }, () => {

	let temp, server, browser, page;
	const files = {};
	const pageErrors = [];

	before( async () => {

		temp = tempDir( 'browser' );
		const dir = temp.dir;
		files.v3 = convert( 'kvxconv3', join( examplesDir, 'cube7.cmsh' ), join( dir, 'cube-v3.kvx' ) );
		files.v1 = convert( 'kvxconv1', join( examplesDir, 'cube3.cmsh' ), join( dir, 'cube-v1.kvx' ) );
		files.wire = convert( 'kvxwire', join( examplesDir, 'cube7.cmsh' ), join( dir, 'cube-wire.kvx' ) );
		// Long figures, for the bounding box.
		files.wide = convert( 'kvxconv1', writeText( dir, 'wide.cmsh', '3 1\n-123456.789 7.70432 -0.000123457\n1.23457 -5 7.7043\n0 0 0\n0 1 2\n' ), join( dir, 'wide.kvx' ) );
		files.corrupt = join( dir, 'corrupt.kvx' );
		writeFileSync( files.corrupt, readFileSync( files.v3 ).subarray( 0, 100 ) );

		server = await startServer( { port: 0, filesDir: dir } );
		browser = await launchChromium( dir );
		page = await browser.newPage();
		page.on( 'pageerror', ( error ) => pageErrors.push( error.message ) );
		await page.setViewport( { width: 1000, height: 640, deviceScaleFactor: 1 } );

	} );

	after( async () => {

		await browser?.close();
		await server?.close();
		temp?.remove();

	} );

	// Waits until the viewer has drawn `loads` meshes, or refused `errors` files.
	async function settled( { loads, errors = 0 } ) {

		await page.waitForFunction(
			( l, e ) => window.__kvxViewer && window.__kvxViewer.loads === l && window.__kvxViewer.errors === e &&
				( window.__kvxViewer.state === 'ready' || window.__kvxViewer.state === 'error' ),
			{ timeout: 30000 }, loads, errors );
		return page.evaluate( () => window.__kvxViewer );

	}

	// The canvas as pixels, and its centre and corners.
	async function picture() {

		const box = await page.$eval( '#stage canvas', ( c ) => {

			const r = c.getBoundingClientRect();
			return { x: r.x, y: r.y, width: r.width, height: r.height };

		} );
		const png = decodePng( await page.screenshot( { type: 'png' } ) );
		const at = ( fx, fy ) => png.at( box.x + fx * ( box.width - 1 ), box.y + fy * ( box.height - 1 ) );
		const pixels = [];
		for ( let y = Math.ceil( box.y ); y < box.y + box.height; y ++ ) {

			for ( let x = Math.ceil( box.x ); x < box.x + box.width; x ++ ) pixels.push( png.at( x, y ) );

		}

		return { png, box, at, pixels, covered: pixels.filter( ( p ) => ! near( p, BACKGROUND, 3 ) ).length };

	}

	const nextFrame = () => page.evaluate( () => new Promise( ( done ) => requestAnimationFrame( () => requestAnimationFrame( done ) ) ) );

	const open = ( input, file ) => page.$( input ).then( ( handle ) => handle.uploadFile( file ) );

	test( 'the cube from ?file= fills the centre on the background, in its colours', async () => {

		await page.goto( `${server.url}/viewer/?file=/files/cube-v3.kvx` );
		const viewer = await settled( { loads: 1 } );
		assert.equal( viewer.state, 'ready' );
		assert.deepEqual( [ viewer.info.version, viewer.info.kind, viewer.info.vertexCount, viewer.info.groupCount ], [ 3, 'triangles', 8, 12 ] );
		assert.deepEqual( [ viewer.info.min, viewer.info.max ], [ [ 0, 0, 0 ], [ 1, 1, 1 ] ] );
		assert.equal( await page.$eval( '#version', ( e ) => e.textContent ), '3 (triangles with vertex normals)' );
		assert.equal( await page.$eval( '#box-max', ( e ) => e.textContent ), '1, 1, 1' );

		const { at, pixels, covered } = await picture();
		for ( const [ fx, fy ] of [ [ 0, 0 ], [ 1, 0 ], [ 0, 1 ], [ 1, 1 ] ] ) {

			assert.ok( near( at( fx, fy ), BACKGROUND, 2 ), `corner ${fx},${fy}: ${at( fx, fy )}` );

		}

		// The centre shows the corner (1, 1, 1), coloured 0xFFFFFFFF: white, lit.
		const centre = at( 0.5, 0.5 );
		assert.ok( centre.every( ( v ) => v > 200 ), `centre: ${centre}` );
		assert.ok( covered > pixels.length / 5, `${covered} of ${pixels.length} pixels covered` );
		// The corners coloured 0xFFFF0000, 0xFF00FF00 and 0xFF0000FF show red,
		// green and blue.
		const has = ( test ) => pixels.some( test );
		assert.ok( has( ( [ r, g, b ] ) => r > 120 && g < 50 && b < 50 ), 'no red' );
		assert.ok( has( ( [ r, g, b ] ) => g > 120 && r < 50 && b < 50 ), 'no green' );
		assert.ok( has( ( [ r, g, b ] ) => b > 120 && r < 50 && g < 50 ), 'no blue' );

		if ( process.env.KVX_WEB_SCREENSHOT ) writeFileSync( process.env.KVX_WEB_SCREENSHOT, await page.screenshot( { type: 'png' } ) );

	} );

	test( 'wireframe and normals', async () => {

		const solid = ( await picture() ).covered;
		await page.click( '#wireframe' );
		await nextFrame();
		const wire = ( await picture() ).covered;
		assert.ok( wire < solid / 4 && wire > 0, `solid ${solid}, wireframe ${wire} pixels` );
		await page.click( '#wireframe' );

		// The normals, drawn in 0xffd040, stick out of the cube's corners.
		const yellow = ( p ) => p.pixels.filter( ( [ r, g, b ] ) => r > 200 && g > 150 && g < 240 && b < 120 ).length;
		const before = yellow( await picture() );
		await page.click( '#normals' );
		await nextFrame();
		const after = yellow( await picture() );
		assert.ok( after > before + 20, `normal-coloured pixels: ${before} without the normals, ${after} with` );
		await page.click( '#normals' );

	} );

	test( 'a file through the file input, then the other colour order', async () => {

		await open( '#file-input', files.v1 );
		let viewer = await settled( { loads: 2 } );
		assert.deepEqual( [ viewer.info.source, viewer.info.version, viewer.info.hasNormals ], [ 'cube-v1.kvx', 1, false ] );
		// No normals in version 1: the toggle is off.
		assert.equal( await page.$eval( '#normals', ( e ) => e.disabled ), true );
		// 0xFFFF0000 read as argb is red ...
		let centre = ( await picture() ).at( 0.5, 0.5 );
		assert.ok( centre[ 0 ] > 100 && centre[ 1 ] < 30 && centre[ 2 ] < 30, `argb centre ${centre}` );

		// ... and as rgba yellow.
		await page.select( '#color-order', 'rgba' );
		viewer = await settled( { loads: 3 } );
		assert.equal( viewer.info.colorOrder, 'rgba' );
		centre = ( await picture() ).at( 0.5, 0.5 );
		assert.ok( centre[ 0 ] > 100 && centre[ 1 ] > 100 && centre[ 2 ] < 30, `rgba centre ${centre}` );
		await page.select( '#color-order', 'argb' );
		await settled( { loads: 4 } );

	} );

	test( 'a corrupt file shows the loader\'s message and leaves the page usable', async () => {

		let expected;
		try {

			new KVXLoader().parse( readFileSync( files.corrupt ) );

		} catch ( e ) {

			expected = e.message;

		}

		assert.equal( expected, 'KVXLoader: truncated: the header promises 311 bytes, the buffer has 100' );

		await open( '#file-input', files.corrupt );
		let viewer = await settled( { loads: 4, errors: 1 } );
		assert.equal( viewer.state, 'error' );
		assert.equal( await page.$eval( '#error-message', ( e ) => e.textContent ), expected );
		assert.equal( await page.$eval( '#error-source', ( e ) => e.textContent ), 'corrupt.kvx' );
		assert.equal( await page.$eval( '#error', ( e ) => e.hidden ), false );
		// The red cube is still on show, and still described; drawn anew
		// (the wireframe toggle asks for a frame) it is still there.
		assert.equal( viewer.info.source, 'cube-v1.kvx' );
		await page.click( '#wireframe' );
		await page.click( '#wireframe' );
		await nextFrame();
		const centre = ( await picture() ).at( 0.5, 0.5 );
		assert.ok( centre[ 0 ] > 100 && centre[ 1 ] < 30 && centre[ 2 ] < 30, `centre ${centre}` );

		// A good file afterwards loads and clears the message.
		await open( '#file-input', files.v3 );
		viewer = await settled( { loads: 5, errors: 1 } );
		assert.equal( viewer.state, 'ready' );
		assert.equal( viewer.info.source, 'cube-v3.kvx' );
		assert.equal( await page.$eval( '#error', ( e ) => e.hidden ), true );

	} );

	test( 'a dropped file', async () => {

		const bytes = Array.from( readFileSync( files.wire ) );
		await page.evaluate( ( data ) => {

			const transfer = new DataTransfer();
			transfer.items.add( new File( [ new Uint8Array( data ) ], 'dropped.kvx' ) );
			document.getElementById( 'stage' ).dispatchEvent( new DragEvent( 'drop', { dataTransfer: transfer, bubbles: true, cancelable: true } ) );

		}, bytes );
		const viewer = await settled( { loads: 6, errors: 1 } );
		assert.deepEqual( [ viewer.info.source, viewer.info.kind, viewer.info.groupCount ], [ 'dropped.kvx', 'lines', 18 ] );
		assert.equal( await page.$eval( '#group-label', ( e ) => e.textContent ), 'Edges' );
		assert.equal( await page.$eval( '#wireframe', ( e ) => e.disabled ), true );

	} );

	test( 'a ?file= that cannot be fetched', async () => {

		await page.goto( `${server.url}/viewer/?file=/files/missing.kvx` );
		const viewer = await settled( { loads: 0, errors: 1 } );
		assert.equal( viewer.state, 'error' );
		assert.match( viewer.error, /^could not fetch \/files\/missing\.kvx: .*404/ );
		assert.deepEqual( pageErrors, [] );
		// A name with a bad percent sequence still reaches the error panel.
		await page.goto( `${server.url}/viewer/?file=/files/bad%25E0.kvx` );
		const bad = await settled( { loads: 0, errors: 1 } );
		assert.equal( bad.state, 'error' );
		assert.match( bad.error, /^could not fetch \/files\/bad%E0\.kvx: .*400/ );
		assert.deepEqual( pageErrors, [] );

	} );

	test( 'KVXLoader.load and loadAsync in the page', async () => {

		const outcome = await page.evaluate( async () => {

			const { KVXLoader } = await import( 'three-kvx-loader' );
			const { LoadingManager } = await import( 'three' );
			const cube = await new KVXLoader().setPath( '/files/' ).loadAsync( 'cube-v3.kvx' );
			const failed = [];
			const manager = new LoadingManager();
			manager.onError = ( url ) => failed.push( url );
			const corrupt = await new Promise( ( resolve ) => new KVXLoader( manager ).load( '/files/corrupt.kvx', () => resolve( 'loaded' ), undefined, ( e ) => resolve( e.message ) ) );
			const missing = await new KVXLoader().loadAsync( '/files/missing.kvx' ).then( () => 'loaded', ( e ) => e.message );
			return { isGeometry: cube.isBufferGeometry, ...cube.userData.kvx, triangles: cube.index.count / 3, corrupt, failed, missing };

		} );
		assert.deepEqual( [ outcome.isGeometry, outcome.version, outcome.kind, outcome.triangles ], [ true, 3, 'triangles', 12 ] );
		assert.equal( outcome.corrupt, 'KVXLoader: truncated: the header promises 311 bytes, the buffer has 100' );
		assert.deepEqual( outcome.failed, [ '/files/corrupt.kvx' ] );
		assert.match( outcome.missing, /404/ );

	} );

	test( 'the bounding box breaks its lines between figures, never inside one', async () => {

		await page.goto( `${server.url}/viewer/?file=/files/wide.kvx` );
		await settled( { loads: 1 } );
		const boxes = await page.$$eval( '#box-min, #box-max, #box-size', ( elements ) => elements.map( ( dd ) => ( {
			text: dd.textContent,
			lines: Math.round( dd.getBoundingClientRect().height / parseFloat( getComputedStyle( dd ).lineHeight ) ),
			figures: Array.from( dd.querySelectorAll( '.figure' ), ( f ) => [ f.textContent, f.getClientRects().length ] )
		} ) ) );
		assert.deepEqual( boxes.map( ( b ) => b.text ), [ '-123457, -5, -0.000123457', '1.23457, 7.70432, 7.7043', '123458, 12.7043, 7.70442' ] );
		// The minimum is too wide for the panel: it takes two lines ...
		assert.ok( boxes[ 0 ].lines >= 2, JSON.stringify( boxes[ 0 ] ) );
		// ... and each figure stays on one.
		for ( const box of boxes ) {

			assert.deepEqual( box.figures.map( ( [ text ] ) => text ).join( ', ' ), box.text );
			for ( const [ text, rects ] of box.figures ) assert.equal( rects, 1, `${text} in ${box.text}` );

		}

	} );

} );

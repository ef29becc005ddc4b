// The viewer's server: what it serves, and what it does not.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';

import { startServer } from '../server.js';
import { tempDir, webDir } from './support.js';

describe( 'server', () => {

	let temp, server;

	before( async () => {

		temp = tempDir( 'server' );
		writeFileSync( join( temp.dir, 'a b.kvx' ), Uint8Array.of( 1, 2, 3 ) );
		server = await startServer( { port: 0, filesDir: temp.dir } );

	} );

	after( async () => {

		await server?.close();
		temp?.remove();

	} );

	const get = ( path, init ) => fetch( server.url + path, { redirect: 'manual', ...init } );

	test( 'listens on 127.0.0.1', () => {

		assert.match( server.url, /^http:\/\/127\.0\.0\.1:\d+$/ );

	} );

	test( 'the page, its modules and three.js', async () => {

		const root = await get( '/' );
		assert.equal( root.status, 302 );
		assert.equal( root.headers.get( 'location' ), '/viewer/' );

		const page = await get( '/viewer/' );
		assert.equal( page.status, 200 );
		assert.match( page.headers.get( 'content-type' ), /^text\/html/ );
		assert.equal( await page.text(), readFileSync( join( webDir, 'viewer', 'index.html' ), 'utf8' ) );

		for ( const path of [ '/viewer/viewer.js', '/KVXLoader.js', '/node_modules/three/build/three.module.js', '/node_modules/three/examples/jsm/controls/OrbitControls.js' ] ) {

			const r = await get( path );
			assert.equal( r.status, 200, path );
			assert.match( r.headers.get( 'content-type' ), /^text\/javascript/, path );
			await r.arrayBuffer();

		}

	} );

	test( 'the files of the folder, byte for byte', async () => {

		const r = await get( '/files/a%20b.kvx' );
		assert.equal( r.status, 200 );
		assert.equal( r.headers.get( 'content-type' ), 'application/octet-stream' );
		assert.deepEqual( new Uint8Array( await r.arrayBuffer() ), Uint8Array.of( 1, 2, 3 ) );
		const head = await get( '/files/a%20b.kvx', { method: 'HEAD' } );
		assert.equal( head.status, 200 );
		assert.equal( head.headers.get( 'content-length' ), '3' );

	} );

	test( 'nothing outside its folders', async () => {

		const refused = [
			'/files/missing.kvx', '/package.json', '/server.js', '/test/support.js',
			'/files/..%2f..%2fetc%2fpasswd', '/viewer/%2e%2e/server.js', '/node_modules/three/..%2F..%2Fpackage.json',
			'/files/%00', '/KVXLoader.js/x'
		];
		for ( const path of refused ) {

			const r = await get( path );
			assert.equal( r.status, 404, path );
			await r.text();

		}

		const bad = await get( '/viewer/%E0%A4%A' );
		assert.equal( bad.status, 400 );
		await bad.text();
		const post = await get( '/viewer/', { method: 'POST', body: 'x' } );
		assert.equal( post.status, 405 );
		await post.text();

	} );

} );

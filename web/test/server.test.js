// The viewer's server: what it serves, and what it does not: nothing through
// a link out of its folders, nothing to a Host header but its own.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { closeSync, constants, mkdirSync, openSync, readFileSync, symlinkSync, writeFileSync } from 'node:fs';
import { request as httpRequest } from 'node:http';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';

import { isInside, isLoopback, startServer } from '../server.js';
import { tempDir, webDir } from './support.js';

describe( 'server', () => {

	let temp, server, port, fifo;

	before( async () => {

		// temp/a is served through the link temp/served; temp/ab is its
		// neighbour with a common prefix.
		temp = tempDir( 'server' );
		const served = join( temp.dir, 'a' );
		mkdirSync( served );
		mkdirSync( join( temp.dir, 'ab' ) );
		writeFileSync( join( served, 'a b.kvx' ), Uint8Array.of( 1, 2, 3 ) );
		writeFileSync( join( temp.dir, 'ab', 'secret.kvx' ), 'SECRET' );
		writeFileSync( join( temp.dir, 'outside.kvx' ), 'SECRET' );
		mkdirSync( join( served, 'sub' ) );
		symlinkSync( '/', join( served, 'root' ) );
		symlinkSync( '/etc/passwd', join( served, 'passwd.kvx' ) );
		symlinkSync( '../ab', join( served, 'neighbour' ) );
		symlinkSync( '../ab/secret.kvx', join( served, 'neighbour.kvx' ) );
		symlinkSync( '../outside.kvx', join( served, 'up.kvx' ) );
		symlinkSync( join( temp.dir, 'outside.kvx' ), join( served, 'sub', 'absolute.kvx' ) );
		// Links that stay inside are followed.
		symlinkSync( 'a b.kvx', join( served, 'same.kvx' ) );
		symlinkSync( '../a b.kvx', join( served, 'sub', 'up.kvx' ) );
		symlinkSync( served, join( temp.dir, 'served' ) );
		fifo = spawnSync( 'mkfifo', [ join( served, 'fifo.kvx' ) ] ).status === 0;
		server = await startServer( { port: 0, filesDir: join( temp.dir, 'served' ) } );
		port = Number( new URL( server.url ).port );

	} );

	after( async () => {

		// A server that waits in open() for a writer would never end.
		try {

			closeSync( openSync( join( temp.dir, 'a', 'fifo.kvx' ), constants.O_WRONLY | constants.O_NONBLOCK ) );

		} catch {

			// No reader waits: as it should be.

		}

		await server?.close();
		temp?.remove();

	} );

	const get = ( path, init ) => fetch( server.url + path, { redirect: 'manual', ...init } );

	// One request as sent, path and Host untouched (fetch would normalise
	// the one and refuse to set the other); no Host header when host is
	// null. Bounded by a few seconds.
	const raw = ( path, { host = `127.0.0.1:${port}`, method = 'GET' } = {} ) => new Promise( ( done, fail ) => {

		const headers = host === null ? {} : { Host: host };
		const r = httpRequest( { host: '127.0.0.1', port, path, method, headers, setHost: false, timeout: 5000 }, ( response ) => {

			const chunks = [];
			response.on( 'data', ( chunk ) => chunks.push( chunk ) );
			response.on( 'end', () => done( { status: response.statusCode, headers: response.headers, body: Buffer.concat( chunks ).toString( 'latin1' ) } ) );

		} );
		r.on( 'timeout', () => r.destroy( new Error( 'no answer to ' + path ) ) );
		r.on( 'error', fail );
		r.end();

	} );

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

	test( 'a link out of the folder serves nothing', async () => {

		const passwd = readFileSync( '/etc/passwd', 'latin1' );
		const refused = [
			'/files/root/etc/passwd', '/files/root', '/files/root/', '/files/passwd.kvx',
			'/files/neighbour/secret.kvx', '/files/neighbour.kvx', '/files/up.kvx', '/files/sub/absolute.kvx'
		];
		for ( const path of refused ) {

			const r = await raw( path );
			assert.equal( r.status, 404, path );
			assert.equal( r.body, 'not found\n', path );
			assert.ok( ! r.body.includes( 'SECRET' ) && ! r.body.includes( passwd ) );

		}

		// Links that stay inside, and the folder named through a link.
		for ( const path of [ '/files/same.kvx', '/files/sub/up.kvx', '/files/a%20b.kvx' ] ) {

			const r = await raw( path );
			assert.equal( r.status, 200, path );
			assert.equal( r.body, '\x01\x02\x03', path );

		}

	} );

	test( 'inside means below the resolved folder, not a common prefix', () => {

		assert.equal( isInside( '/srv/a', '/srv/a' ), true );
		assert.equal( isInside( '/srv/a', '/srv/a/x.kvx' ), true );
		assert.equal( isInside( '/srv/a', '/srv/ab' ), false );
		assert.equal( isInside( '/srv/a', '/srv/ab/x.kvx' ), false );
		assert.equal( isInside( '/srv/a', '/srv' ), false );
		assert.equal( isInside( '/', '/etc/passwd' ), true );

	} );

	test( 'encoded and raw traversal, and paths that are no paths', async () => {

		const refused = [
			'/files/../outside.kvx', '/files/%2e%2e/outside.kvx', '/files/%2E%2E/ab/secret.kvx', '/files/..%2fab%2fsecret.kvx',
			'/files/sub/..%2f..%2foutside.kvx', '/files/..%5coutside.kvx', '/viewer/../server.js', '/viewer/./../package.json',
			'/files/a%20b.kvx%00', '/files/%00/a%20b.kvx', '/files/.', '/files/sub/%2e',
			// Refused even where they would stay inside.
			'/files/sub/../a%20b.kvx', '/files/sub/%2e%2e/a%20b.kvx', '/files/./a%20b.kvx'
		];
		for ( const path of refused ) {

			const r = await raw( path );
			assert.equal( r.status, 404, path );
			assert.equal( r.body, 'not found\n', path );

		}

		// An absolute URL, or one that a URL parser reads as a host.
		for ( const path of [ `http://127.0.0.1:${port}/files/a%20b.kvx`, '//etc/passwd', '/files/%zz' ] ) {

			assert.equal( ( await raw( path ) ).status, 400, path );

		}

	} );

	test( 'no listings, and no FIFO that would hang', async () => {

		for ( const path of [ '/files/', '/files', '/files/sub/', '/node_modules/three/', '/node_modules/three/build/' ] ) {

			const r = await raw( path );
			assert.equal( r.status, 404, path );

		}

		if ( fifo ) assert.equal( ( await raw( '/files/fifo.kvx' ) ).status, 404 );

	} );

	test( 'only its own Host', async () => {

		// Names a rebinding page would send, or none at all.
		const refused = [
			`evil.example:${port}`, 'evil.example', '127.0.0.1', `127.0.0.1:${port + 1}`, `localhost.evil.example:${port}`,
			`127.0.0.1:${port}.evil.example`, `127.0.0.2:${port}`, `[::2]:${port}`, `0.0.0.0:${port}`, ''
		];
		for ( const host of refused ) {

			const r = await raw( '/files/a%20b.kvx', { host } );
			assert.equal( r.status, 421, JSON.stringify( host ) );
			assert.match( r.body, /^this server answers only to 127\.0\.0\.1:\d+, localhost:\d+, \[::1\]:\d+\n$/ );
			assert.equal( ( await raw( '/viewer/', { host, method: 'HEAD' } ) ).status, 421 );

		}

		// No Host at all: Node's own 400, with no body.
		assert.deepEqual( ( ( { status, body } ) => ( { status, body } ) )( await raw( '/files/a%20b.kvx', { host: null } ) ), { status: 400, body: '' } );

		for ( const host of [ `127.0.0.1:${port}`, `localhost:${port}`, `LocalHost:${port}`, `[::1]:${port}` ] ) {

			const r = await raw( '/files/a%20b.kvx', { host } );
			assert.equal( r.status, 200, host );
			assert.equal( r.body, '\x01\x02\x03', host );

		}

	} );

	test( 'the headers of every answer', async () => {

		for ( const path of [ '/viewer/', '/files/a%20b.kvx', '/files/missing.kvx' ] ) {

			const { headers } = await raw( path );
			assert.equal( headers[ 'x-content-type-options' ], 'nosniff', path );
			assert.equal( headers[ 'cross-origin-resource-policy' ], 'same-origin', path );
			assert.match( headers[ 'content-security-policy' ], /^default-src 'self'; script-src 'self' 'sha256-[A-Za-z0-9+/]+=*'; .*frame-ancestors 'none'$/, path );

		}

		const post = await raw( '/files/a%20b.kvx', { method: 'PUT' } );
		assert.equal( post.status, 405 );
		assert.equal( post.headers.allow, 'GET, HEAD' );

	} );

} );

describe( 'server addresses', () => {

	test( 'loopback only', async () => {

		for ( const host of [ '0.0.0.0', '::', '192.168.1.1', '127.0.0.1.example', 'example.com' ] ) {

			assert.equal( isLoopback( host ), false, host );
			await assert.rejects( startServer( { host, port: 0 } ), { message: `${host} is not a loopback address: the server listens on 127.0.0.1, ::1 or localhost only` } );

		}

		for ( const host of [ '127.0.0.1', '127.1.2.3', '::1', 'localhost' ] ) assert.equal( isLoopback( host ), true, host );

	} );

	test( 'on ::1, with the IPv6 Host', async ( t ) => {

		let server;
		try {

			server = await startServer( { host: '::1', port: 0 } );

		} catch ( e ) {

			return t.skip( 'no IPv6 loopback here: ' + e.message );

		}

		try {

			assert.match( server.url, /^http:\/\/\[::1\]:\d+$/ );
			const r = await fetch( server.url + '/KVXLoader.js' );
			assert.equal( r.status, 200 );
			assert.equal( await r.text(), readFileSync( join( webDir, 'KVXLoader.js' ), 'utf8' ) );

		} finally {

			await server.close();

		}

	} );

} );

test( 'stopping npm start by its process id stops the server', { timeout: 30000 }, async ( t ) => {

	if ( spawnSync( 'npm', [ '--version' ] ).status !== 0 ) return t.skip( 'npm is not installed' );
	const npm = spawn( 'npm', [ 'start', '--silent' ], { cwd: webDir, env: { ...process.env, PORT: '0' }, stdio: [ 'ignore', 'pipe', 'inherit' ] } );
	const ended = new Promise( ( done ) => npm.on( 'exit', done ) );
	let text = '';
	const url = await new Promise( ( done, fail ) => {

		npm.stdout.on( 'data', ( chunk ) => {

			text += chunk;
			const m = /KVX viewer: (http:\/\/127\.0\.0\.1:\d+)\//.exec( text );
			if ( m ) done( m[ 1 ] );

		} );
		npm.on( 'exit', () => fail( new Error( 'npm start ended: ' + text ) ) );

	} );
	// Not held open by a server that outlives npm.
	npm.stdout.destroy();
	assert.equal( ( await fetch( url + '/KVXLoader.js' ).then( ( r ) => r.arrayBuffer().then( () => r.status ) ) ), 200 );
	npm.kill( 'SIGTERM' );
	await ended;
	await assert.rejects( fetch( url + '/KVXLoader.js' ), { message: 'fetch failed' } );

} );

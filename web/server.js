// Serves the KVX viewer on 127.0.0.1 with Node's own http module:
//   /viewer/            the page (viewer/)
//   /KVXLoader.js       the loader
//   /KVXExporter.js     the exporter, for "Save as KVX"
//   /node_modules/three/ three.js, for the page's import map (its loaders
//                       of other formats too, under examples/jsm/)
//   /files/             the .kvx files of a folder, for ?file=/files/NAME
//
// Usage: node server.js [--port N] [folder]
// The port is also read from PORT (default 8080; 0 picks a free one). The
// folder defaults to ../build/examples, where examples/run.sh writes its files.
//
// What it serves: regular files whose resolved path (after every symbolic
// link) lies inside the resolved path of their folder, checked before the
// file is opened and again on the opened file (same device and inode), so a
// link swapped in between is refused too. No listings: a folder gives its
// index.html or nothing. It listens on a loopback address only and answers
// only requests whose Host header names that address or localhost with its
// port, so that a page whose host name was rebound to 127.0.0.1 reads
// nothing (421).
import { constants, existsSync, readdirSync, readFileSync, statSync } from 'node:fs';
import { open, realpath, stat } from 'node:fs/promises';
import { createHash } from 'node:crypto';
import { createServer } from 'node:http';
import { dirname, extname, join, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname( fileURLToPath( import.meta.url ) );

const TYPES = {
	'.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
	'.json': 'application/json', '.png': 'image/png', '.svg': 'image/svg+xml', '.map': 'application/json'
};

// Opening never waits: a FIFO opens at once and is then refused as no
// regular file.
const OPEN_FLAGS = constants.O_RDONLY | ( constants.O_NONBLOCK ?? 0 );

// Whether the resolved path `file` is `root` or lies below it: `/srv/ab` is
// not inside `/srv/a`.
export function isInside( root, file ) {

	return file === root || file.startsWith( root.endsWith( sep ) ? root : root + sep );

}

// Whether `host` is a loopback address (or localhost), the only kind the
// server listens on.
export function isLoopback( host ) {

	return host === 'localhost' || host === '::1' || /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test( host );

}

// The URL path of a request as a path relative to the routes, or null when
// it is not one: each segment is decoded on its own, and one that decodes to
// "." or "..", or holds "/", "\" or a zero byte, is refused. Throws URIError
// for a bad percent sequence.
function requestPath( url ) {

	const raw = url.split( /[?#]/, 1 )[ 0 ];
	const segments = raw.split( '/' ).map( decodeURIComponent );
	if ( segments.some( ( s ) => s === '.' || s === '..' || /[/\\\0]/.test( s ) ) ) return null;
	return segments.join( '/' );

}

// The content security policy of every answer. The page's one inline script
// is its import map, allowed by its hash; ?file= may name a file of any
// origin.
function contentSecurityPolicy() {

	let scripts = "'self'";
	try {

		const page = readFileSync( join( here, 'viewer', 'index.html' ), 'utf8' );
		for ( const [ , body ] of page.matchAll( /<script type="importmap">([\s\S]*?)<\/script>/g ) ) {

			scripts += ` 'sha256-${createHash( 'sha256' ).update( body ).digest( 'base64' )}'`;

		}

	} catch {

		// Without the page there is no import map to allow.

	}

	return [
		"default-src 'self'", `script-src ${scripts}`, "style-src 'self'", "img-src 'self' data: blob:",
		"connect-src 'self' http: https: data: blob:", "object-src 'none'", "base-uri 'none'",
		"form-action 'none'", "frame-ancestors 'none'"
	].join( '; ' );

}

// Opens `file` if its resolved path lies inside the resolved folder `root`
// and it is a regular file (a folder: with `index`, its index.html). Returns
// { handle, size, real } or null.
async function openInside( root, file, index ) {

	let real, handle;
	try {

		real = await realpath( file );
		if ( ! isInside( root, real ) ) return null;
		handle = await open( real, OPEN_FLAGS );
		const [ opened, named ] = await Promise.all( [ handle.stat( { bigint: true } ), stat( real, { bigint: true } ) ] );
		// The opened file must be the one checked: a link swapped in
		// between names another.
		if ( opened.dev !== named.dev || opened.ino !== named.ino ) throw new Error( 'replaced' );
		if ( opened.isDirectory() && index ) {

			await handle.close();
			return openInside( root, join( real, 'index.html' ), false );

		}

		if ( ! opened.isFile() ) throw new Error( 'not a regular file' );
		return { handle, size: Number( opened.size ), real };

	} catch {

		await handle?.close().catch( () => {} );
		return null;

	}

}

export function startServer( { host = '127.0.0.1', port = 8080, filesDir = null } = {} ) {

	if ( ! isLoopback( host ) ) {

		return Promise.reject( new Error( `${host} is not a loopback address: the server listens on 127.0.0.1, ::1 or localhost only` ) );

	}

	// [ URL prefix, folder, file ]: a prefix ending in "/" serves the files
	// under the folder; the others serve one file.
	const routes = [
		[ '/viewer/', join( here, 'viewer' ) ],
		[ '/node_modules/three/', join( here, 'node_modules', 'three' ) ],
		[ '/KVXLoader.js', here, join( here, 'KVXLoader.js' ) ],
		[ '/KVXExporter.js', here, join( here, 'KVXExporter.js' ) ]
	];
	if ( filesDir ) routes.push( [ '/files/', resolve( filesDir ) ] );

	const headers = {
		'X-Content-Type-Options': 'nosniff',
		'Content-Security-Policy': contentSecurityPolicy(),
		'Cross-Origin-Resource-Policy': 'same-origin',
		'Referrer-Policy': 'no-referrer',
		'Cache-Control': 'no-cache'
	};

	// The Host headers answered, set once the port is known.
	let hosts = new Set();

	async function answer( request, response ) {

		for ( const [ name, value ] of Object.entries( headers ) ) response.setHeader( name, value );
		const reply = ( status, text, more = {} ) => {

			response.writeHead( status, { 'Content-Type': 'text/plain; charset=utf-8', ...more } );
			response.end( text + '\n' );

		};

		if ( ! hosts.has( String( request.headers.host ).toLowerCase() ) ) {

			return reply( 421, 'this server answers only to ' + [ ...hosts ].join( ', ' ) );

		}

		if ( request.method !== 'GET' && request.method !== 'HEAD' ) return reply( 405, 'only GET and HEAD', { Allow: 'GET, HEAD' } );
		// Only a path: an absolute URL would name another host.
		if ( ! request.url.startsWith( '/' ) || request.url.startsWith( '//' ) ) return reply( 400, 'bad path' );
		let path;
		try {

			path = requestPath( request.url );

		} catch {

			return reply( 400, 'bad path' );

		}

		if ( path === '/' || path === '/viewer' ) {

			response.writeHead( 302, { Location: '/viewer/' } );
			return response.end();

		}

		const route = path === null ? undefined
			: routes.find( ( [ prefix ] ) => prefix.endsWith( '/' ) ? path.startsWith( prefix ) : path === prefix );
		let opened = null;
		if ( route ) {

			const [ prefix, folder, file ] = route;
			const root = await realpath( folder ).catch( () => null );
			if ( root !== null ) opened = await openInside( root, file ?? join( root, path.slice( prefix.length ) ), ! file );

		}

		if ( opened === null ) return reply( 404, 'not found' );
		const { handle, size, real } = opened;
		response.writeHead( 200, {
			'Content-Type': TYPES[ extname( real ) ] || 'application/octet-stream',
			'Content-Length': size
		} );
		if ( request.method === 'HEAD' || size === 0 ) {

			await handle.close();
			return response.end();

		}

		// No more than the length sent; a file that shrank meanwhile ends the
		// connection rather than leave the client waiting.
		const stream = handle.createReadStream( { start: 0, end: size - 1 } );
		response.on( 'close', () => stream.destroy() );
		stream.on( 'error', () => response.destroy() );
		stream.on( 'end', () => stream.bytesRead === size ? response.end() : response.destroy() );
		stream.pipe( response, { end: false } );

	}

	const server = createServer( ( request, response ) => {

		answer( request, response ).catch( () => response.destroy() );

	} );

	return new Promise( ( resolvePromise, reject ) => {

		server.once( 'error', reject );
		server.listen( port, host, () => {

			const { address, port: actual } = server.address();
			const named = address.includes( ':' ) ? `[${address}]` : address;
			const names = [ named, '127.0.0.1', 'localhost', '[::1]' ];
			hosts = new Set( names.map( ( name ) => `${name}:${actual}` ) );
			// A browser leaves out the default port.
			if ( actual === 80 ) for ( const name of names ) hosts.add( name );
			const url = `http://${named}:${actual}`;
			resolvePromise( { server, url, close: () => new Promise( ( done ) => server.close( done ) ) } );

		} );

	} );

}

// Run as a program: start, and print where to look.
if ( process.argv[ 1 ] && resolve( process.argv[ 1 ] ) === fileURLToPath( import.meta.url ) ) {

	const args = process.argv.slice( 2 );
	let port = Number( process.env.PORT ?? 8080 );
	const at = args.indexOf( '--port' );
	if ( at >= 0 ) port = Number( args.splice( at, 2 )[ 1 ] );
	if ( ! Number.isInteger( port ) || port < 0 || port > 65535 ) {

		console.error( 'server.js: the port must be a number from 0 to 65535' );
		process.exit( 1 );

	}

	const fallback = join( here, '..', 'build', 'examples' );
	const filesDir = args[ 0 ] ?? ( existsSync( fallback ) ? fallback : null );
	if ( filesDir !== null && ! statSync( filesDir, { throwIfNoEntry: false } )?.isDirectory() ) {

		console.error( `server.js: ${filesDir}: no such folder` );
		process.exit( 1 );

	}

	startServer( { port, filesDir } ).then( ( { url } ) => {

		console.log( `KVX viewer: ${url}/viewer/` );
		if ( filesDir !== null ) {

			const files = readdirSync( filesDir ).filter( ( name ) => name.endsWith( '.kvx' ) ).sort();
			if ( files.length > 0 ) console.log( `files of ${filesDir}:` );
			for ( const name of files ) console.log( `  ${url}/viewer/?file=/files/${encodeURIComponent( name )}` );

		}

		console.log( 'Ctrl-C stops the server.' );

	}, ( error ) => {

		console.error( 'server.js: ' + error.message );
		process.exit( 1 );

	} );

}

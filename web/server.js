// Serves the KVX viewer on 127.0.0.1 with Node's own http module:
//   /viewer/            the page (viewer/)
//   /KVXLoader.js       the loader
//   /node_modules/three/ three.js, for the page's import map
//   /files/             the .kvx files of a folder, for ?file=/files/NAME
//
// Usage: node server.js [--port N] [folder]
// The port is also read from PORT (default 8080; 0 picks a free one). The
// folder defaults to ../build/examples, where examples/run.sh writes its files.
import { createReadStream, existsSync, readdirSync, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { dirname, extname, isAbsolute, join, relative, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname( fileURLToPath( import.meta.url ) );

const TYPES = {
	'.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
	'.json': 'application/json', '.png': 'image/png', '.svg': 'image/svg+xml', '.map': 'application/json'
};

// The file under `root` that a URL path names, or null when it leaves root.
function inside( root, path ) {

	const file = resolve( root, '.' + path );
	const rel = relative( root, file );
	return rel === '..' || rel.startsWith( '..' + '/' ) || isAbsolute( rel ) ? null : file;

}

export function startServer( { host = '127.0.0.1', port = 8080, filesDir = null } = {} ) {

	const routes = [
		[ '/viewer/', join( here, 'viewer' ) ],
		[ '/node_modules/three/', join( here, 'node_modules', 'three' ) ],
		[ '/KVXLoader.js', join( here, 'KVXLoader.js' ) ]
	];
	if ( filesDir ) routes.push( [ '/files/', resolve( filesDir ) ] );

	const server = createServer( ( request, response ) => {

		const reply = ( status, text ) => {

			response.writeHead( status, { 'Content-Type': 'text/plain; charset=utf-8' } );
			response.end( text + '\n' );

		};

		if ( request.method !== 'GET' && request.method !== 'HEAD' ) return reply( 405, 'only GET and HEAD' );
		let path;
		try {

			path = decodeURIComponent( new URL( request.url, 'http://localhost' ).pathname );

		} catch {

			return reply( 400, 'bad path' );

		}

		if ( path === '/' || path === '/viewer' ) {

			response.writeHead( 302, { Location: '/viewer/' } );
			return response.end();

		}

		const route = routes.find( ( [ prefix ] ) => prefix.endsWith( '/' ) ? path.startsWith( prefix ) : path === prefix );
		if ( ! route ) return reply( 404, 'not found' );
		let file = route[ 0 ].endsWith( '/' ) ? inside( route[ 1 ], path.slice( route[ 0 ].length - 1 ) ) : route[ 1 ];
		if ( file === null ) return reply( 404, 'not found' );
		try {

			if ( statSync( file ).isDirectory() ) file = join( file, 'index.html' );
			const size = statSync( file ).size;
			response.writeHead( 200, {
				'Content-Type': TYPES[ extname( file ) ] || 'application/octet-stream',
				'Content-Length': size,
				'Cache-Control': 'no-cache'
			} );

		} catch {

			return reply( 404, 'not found' );

		}

		if ( request.method === 'HEAD' ) return response.end();
		createReadStream( file ).on( 'error', () => response.destroy() ).pipe( response );

	} );

	return new Promise( ( resolvePromise, reject ) => {

		server.once( 'error', reject );
		server.listen( port, host, () => {

			const url = `http://${host}:${server.address().port}`;
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
	if ( filesDir !== null && ! existsSync( filesDir ) ) {

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

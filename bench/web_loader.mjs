// Times three.js loaders side by side in one Node process: KVXLoader on a KVX
// file, GLTFLoader on the GLB that kvxexport writes of it (the same
// positions, normals, texture coordinates, colours and indices), and
// PLYLoader on kvxexport's binary PLY of it, for reference.
//
//     node bench/web_loader.mjs [--build build] [--rounds 41] [--old OLD_LOADER.js]
//
// Run from the repository with web/node_modules installed (cd web && npm ci).
// The meshes: real ones first (the Stanford bunny of bench/bunny.py where npm
// can fetch it, assimp's test models Wuson.ply and 2CylinderEngine.glb where
// /usr/share/assimp/models holds them, imported by kvximport), then the knot
// surfaces of kvxcorpus from 1,000 to 65,536 vertices (kvxconv3), and the
// 65,536-vertex knot with texture coordinates and a name (kvxconv4). Each
// round parses every file with every loader in turn, as many times as fill
// about 5 ms; the figures are the fastest round's time per parse (on a
// shared machine, the round least disturbed) and the median round's, and
// each ratio divides two figures of the same run. --old adds a
// column for another copy of KVXLoader.js (the loader before a change, say).
// Prints a Markdown table, the command and the load average at the top.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { loadavg, tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { performance } from 'node:perf_hooks';

const repo = resolve( new URL( '..', import.meta.url ).pathname );
const threeUrl = ( path ) => pathToFileURL( join( repo, 'web', 'node_modules', 'three', 'examples', 'jsm', path ) ).href;

const args = process.argv.slice( 2 );
const option = ( name, fallback ) => {

	const k = args.indexOf( name );
	return k < 0 ? fallback : args[ k + 1 ];

};

const build = resolve( option( '--build', join( repo, 'build' ) ) );
const rounds = Number( option( '--rounds', 41 ) );
const oldLoader = option( '--old', null );

const { GLTFLoader } = await import( threeUrl( 'loaders/GLTFLoader.js' ) );
const { PLYLoader } = await import( threeUrl( 'loaders/PLYLoader.js' ) );
const { KVXLoader } = await import( pathToFileURL( join( repo, 'web', 'KVXLoader.js' ) ).href );
const Old = oldLoader === null ? null : ( await import( pathToFileURL( resolve( oldLoader ) ).href ) ).KVXLoader;

const bin = ( name ) => join( build, 'bin', name );
const scratch = mkdtempSync( join( tmpdir(), 'kvx-bench-web-' ) );
const quiet = { stdio: [ 'ignore', 'ignore', 'pipe' ] };

// The meshes as [ label, kvx file ].
function meshes() {

	const list = [];
	const bunnyText = join( scratch, 'bunny.cmsh' );
	try {

		execFileSync( '/usr/bin/python3', [ join( repo, 'bench', 'bunny.py' ), '--values', '7', bunnyText ], quiet );
		execFileSync( bin( 'kvxconv3' ), [ bunnyText, join( scratch, 'bunny.kvx' ) ], quiet );
		list.push( [ 'bunny (real)', join( scratch, 'bunny.kvx' ) ] );

	} catch {

		console.error( 'bench/web_loader.mjs: the bunny could not be fetched; going on without it' );

	}

	const models = '/usr/share/assimp/models';
	for ( const [ label, path ] of [ [ 'Wuson.ply (real)', 'PLY/Wuson.ply' ], [ '2CylinderEngine.glb (real)', 'glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb' ] ] ) {

		const source = join( models, path );
		if ( ! existsSync( source ) ) continue;
		const out = join( scratch, label.split( ' ' )[ 0 ] + '.kvx' );
		execFileSync( bin( 'kvximport' ), [ source, out ], quiet );
		list.push( [ label, out ] );

	}

	const corpus = join( build, 'bench', 'bin', 'kvxcorpus' );
	for ( const [ values, vertices, converter ] of [ [ 7, 1000, 'kvxconv3' ], [ 7, 4000, 'kvxconv3' ], [ 7, 16000, 'kvxconv3' ], [ 7, 65536, 'kvxconv3' ], [ 9, 65536, 'kvxconv4' ] ] ) {

		const text = join( scratch, `knot${values}-${vertices}.cmsh` );
		writeFileSync( text, execFileSync( corpus, [ 'mesh', String( values ), 'knot', String( vertices ), 'f6' ], { maxBuffer: 1 << 30 } ) );
		const out = text.replace( /\.cmsh$/, '.kvx' );
		execFileSync( bin( converter ), [ text, out ], quiet );
		list.push( [ `knot ${vertices}, ${converter}`, out ] );

	}

	return list;

}

const arrayBufferOf = ( bytes ) => bytes.buffer.slice( bytes.byteOffset, bytes.byteOffset + bytes.byteLength );

// Milliseconds per call of `work` (which may return a promise), over a batch.
async function perCall( work, batch ) {

	const start = performance.now();
	for ( let i = 0; i < batch; i ++ ) await work();
	return ( performance.now() - start ) / batch;

}

const median = ( values ) => values.slice().sort( ( a, b ) => a - b )[ Math.floor( values.length / 2 ) ];

const before = loadavg()[ 0 ].toFixed( 2 );
const rows = [];
try {

	for ( const [ label, kvxFile ] of meshes() ) {

		const glbFile = kvxFile.replace( /\.kvx$/, '.glb' );
		const plyFile = kvxFile.replace( /\.kvx$/, '.ply' );
		execFileSync( bin( 'kvxexport' ), [ kvxFile, glbFile ], quiet );
		execFileSync( bin( 'kvxexport' ), [ kvxFile, plyFile ], quiet );
		const kvx = arrayBufferOf( readFileSync( kvxFile ) );
		const glb = arrayBufferOf( readFileSync( glbFile ) );
		const ply = arrayBufferOf( readFileSync( plyFile ) );
		const kvxLoader = new KVXLoader(), gltfLoader = new GLTFLoader(), plyLoader = new PLYLoader();
		const loaders = {
			kvx: () => kvxLoader.parse( kvx ),
			gltf: () => new Promise( ( done, fail ) => gltfLoader.parse( glb, '', done, fail ) ),
			ply: () => plyLoader.parse( ply )
		};
		if ( Old !== null ) {

			const oldKvx = new Old();
			loaders.old = () => oldKvx.parse( kvx );

		}

		// Warm up, and size each batch to about 5 ms.
		const batch = {};
		for ( const [ name, work ] of Object.entries( loaders ) ) {

			for ( let i = 0; i < 5; i ++ ) await work();
			batch[ name ] = Math.max( 1, Math.round( 5 / await perCall( work, 3 ) ) );

		}

		const times = Object.fromEntries( Object.keys( loaders ).map( ( name ) => [ name, [] ] ) );
		for ( let r = 0; r < rounds; r ++ ) {

			for ( const [ name, work ] of Object.entries( loaders ) ) times[ name ].push( await perCall( work, batch[ name ] ) );

		}

		const t = Object.fromEntries( Object.entries( times ).map( ( [ name, list ] ) => [ name, { best: Math.min( ...list ), median: median( list ) } ] ) );
		const geometry = kvxLoader.parse( kvx );
		rows.push( { label, vertices: geometry.userData.kvx.vertexCount, version: geometry.userData.kvx.version, bytes: kvx.byteLength, glbBytes: glb.byteLength, ...t } );

	}

} finally {

	rmSync( scratch, { recursive: true, force: true } );

}

const ms = ( v ) => v.toFixed( 3 );
const both = ( r, name ) => `${ms( r[ name ].best )} (${ms( r[ name ].median )})`;
const ratio = ( r, a, b ) => `${( r[ a ].best / r[ b ].best ).toFixed( 2 )} (${( r[ a ].median / r[ b ].median ).toFixed( 2 )})`;
console.log( '`node bench/web_loader.mjs' + args.map( ( a ) => ' ' + a ).join( '' ) + '`' + ` (Node ${process.version}, ${rounds} rounds, load average ${before} before, ${loadavg()[ 0 ].toFixed( 2 )} after); ms per parse, fastest round (median round)\n` );
const oldHead = Old === null ? '' : ' old KVXLoader | KVX / old |';
const oldRule = Old === null ? '' : '---:|---:|';
console.log( '| mesh | vertices | version | KVX bytes | KVXLoader | GLTFLoader (GLB) | KVX / GLTF | PLYLoader |' + oldHead );
console.log( '|---|---:|---:|---:|---:|---:|---:|---:|' + oldRule );
for ( const r of rows ) {

	const old = Old === null ? '' : ` ${both( r, 'old' )} | ${ratio( r, 'kvx', 'old' )} |`;
	console.log( `| ${r.label} | ${r.vertices} | ${r.version} | ${r.bytes} | ${both( r, 'kvx' )} | ${both( r, 'gltf' )} | ${ratio( r, 'kvx', 'gltf' )} | ${both( r, 'ply' )} |${old}` );

}

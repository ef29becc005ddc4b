// Shared by the tests: where the C++ programs are, running them, reading
// kvxdump's text and kvxexport's PLY files, "%f" formatting, generated meshes
// and temporary folders.
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const webDir = resolve( dirname( fileURLToPath( import.meta.url ) ), '..' );
export const repoDir = resolve( webDir, '..' );

// The programs: <NAME>_PATH (CTest sets them), else ../build/bin/<name>.
const PROGRAMS = [ 'kvxconv1', 'kvxconv2', 'kvxconv3', 'kvxconv4', 'kvxpoints', 'kvxwire', 'kvxdump', 'kvxexport' ];

export function programPath( name ) {

	return process.env[ name.toUpperCase() + '_PATH' ] || join( repoDir, 'build', 'bin', name );

}

// Why the programs cannot be run, or null when they all can.
export function missingPrograms() {

	const missing = PROGRAMS.filter( ( name ) => ! existsSync( programPath( name ) ) );
	if ( missing.length === 0 ) return null;
	return 'not built: ' + missing.map( programPath ).join( ', ' ) +
		' (build the C++ programs, or set KVXCONV1_PATH ... KVXEXPORT_PATH)';

}

export const examplesDir = process.env.KVX_EXAMPLES || join( repoDir, 'examples' );

export function tempDir( tag ) {

	const dir = mkdtempSync( join( tmpdir(), 'kvx-web-' + tag + '-' ) );
	return { dir, remove: () => rmSync( dir, { recursive: true, force: true } ) };

}

// Runs a program; returns { status, stdout, stderr } (stdout as a Buffer).
export function run( name, args ) {

	const r = spawnSync( programPath( name ), args, { maxBuffer: 1 << 30 } );
	if ( r.error ) throw r.error;
	return { status: r.status, stdout: r.stdout, stderr: r.stderr.toString() };

}

// Runs a converter, which echoes what it reads on standard output; throws
// unless it succeeds.
export function convert( program, input, output ) {

	execFileSync( programPath( program ), [ input, output ], { stdio: [ 'ignore', 'ignore', 'pipe' ] } );
	return output;

}

// The text of kvxdump for a file: the three header numbers and the other lines.
export function kvxdump( file ) {

	const r = run( 'kvxdump', [ file ] );
	if ( r.status !== 0 ) throw new Error( 'kvxdump failed: ' + r.stderr );
	const text = r.stdout.toString( 'latin1' );
	const lines = text.split( '\n' );
	if ( lines.pop() !== '' ) throw new Error( 'kvxdump output does not end in a line break' );
	const header = lines.splice( 0, 3 ).map( ( line ) => {

		const m = /^(vertexCount|faceCount|version) = (-?\d+)$/.exec( line );
		if ( ! m ) throw new Error( 'unexpected kvxdump header line ' + JSON.stringify( line ) );
		return Number( m[ 2 ] );

	} );
	return { vertexCount: header[ 0 ], faceCount: header[ 1 ], version: header[ 2 ], lines };

}

// Exactly what C's printf("%f") prints for a float given by its bits: the
// exact binary value rounded to six decimals, ties to even.
export function formatFixed( bits ) {

	const negative = bits >>> 31 !== 0;
	const exponent = ( bits >>> 23 ) & 0xff;
	const fraction = bits & 0x7fffff;
	const sign = negative ? '-' : '';
	if ( exponent === 0xff ) return sign + ( fraction !== 0 ? 'nan' : 'inf' );
	const mantissa = BigInt( exponent !== 0 ? ( fraction | 0x800000 ) : fraction );
	const e = exponent !== 0 ? exponent - 150 : - 149;
	let q;
	if ( e >= 0 ) {

		q = ( mantissa << BigInt( e ) ) * 1000000n;

	} else {

		const k = BigInt( - e );
		const scaled = mantissa * 1000000n;
		q = scaled >> k;
		const rest = scaled - ( q << k );
		const half = 1n << ( k - 1n );
		if ( rest > half || ( rest === half && ( q & 1n ) === 1n ) ) q += 1n;

	}

	return sign + ( q / 1000000n ).toString() + '.' + ( q % 1000000n ).toString().padStart( 6, '0' );

}

const f32 = new Float32Array( 1 );
const u32 = new Uint32Array( f32.buffer );

// "%f" of a float held in a Number (exactly representable in single
// precision); a NaN prints as "nan" whatever its sign.
export function fixed( value ) {

	f32[ 0 ] = value;
	const text = formatFixed( u32[ 0 ] );
	return text.endsWith( 'nan' ) ? 'nan' : text;

}

export function bitsOf( value ) {

	f32[ 0 ] = value;
	return u32[ 0 ];

}

// "0x%X" of a colour word.
export function hex( word ) {

	return '0x' + ( word >>> 0 ).toString( 16 ).toUpperCase();

}

// A binary little-endian PLY file as kvxexport writes it: the vertex
// properties (float or uchar) and the face or edge list.
export function readPly( file ) {

	const bytes = readFileSync( file );
	const end = bytes.indexOf( 'end_header\n' );
	if ( end < 0 ) throw new Error( file + ': no end_header' );
	const header = bytes.subarray( 0, end ).toString( 'latin1' ).split( '\n' );
	const elements = [];
	for ( const line of header ) {

		const w = line.split( ' ' );
		if ( w[ 0 ] === 'element' ) elements.push( { name: w[ 1 ], count: Number( w[ 2 ] ), properties: [] } );
		if ( w[ 0 ] === 'property' ) elements.at( - 1 ).properties.push( w.slice( 1 ) );

	}

	const view = new DataView( bytes.buffer, bytes.byteOffset, bytes.byteLength );
	let at = end + 'end_header\n'.length;
	const out = {};
	for ( const element of elements ) {

		const rows = [];
		for ( let i = 0; i < element.count; i ++ ) {

			const row = {};
			for ( const p of element.properties ) {

				if ( p[ 0 ] === 'list' ) {

					const n = view.getUint8( at ++ );
					row[ p[ 3 ] ] = [];
					for ( let k = 0; k < n; k ++, at += 4 ) row[ p[ 3 ] ].push( view.getUint32( at, true ) );

				} else if ( p[ 0 ] === 'float' ) {

					row[ p[ 1 ] ] = view.getFloat32( at, true );
					at += 4;

				} else if ( p[ 0 ] === 'uchar' ) {

					row[ p[ 1 ] ] = view.getUint8( at ++ );

				} else if ( p[ 0 ] === 'uint' ) {

					row[ p[ 1 ] ] = view.getUint32( at, true );
					at += 4;

				} else if ( p[ 0 ] === 'int' ) {

					row[ p[ 1 ] ] = view.getInt32( at, true );
					at += 4;

				} else {

					throw new Error( file + ': property type ' + p[ 0 ] );

				}

			}

			rows.push( row );

		}

		out[ element.name ] = rows;

	}

	if ( at !== bytes.length ) throw new Error( file + ': ' + ( bytes.length - at ) + ' bytes after the elements' );
	return out;

}

// A deterministic generator (mulberry32).
export function random( seed ) {

	let a = seed >>> 0;
	return function () {

		a = ( a + 0x6d2b79f5 ) >>> 0;
		let t = a;
		t = Math.imul( t ^ ( t >>> 15 ), t | 1 );
		t ^= t + Math.imul( t ^ ( t >>> 7 ), t | 61 );
		return ( ( t ^ ( t >>> 14 ) ) >>> 0 ) / 4294967296;

	};

}

// A torus of rings x segments vertices with varied colours and texture
// coordinates, as a text mesh of 3, 7 or 9 values per vertex (kvxconv1;
// kvxconv2, kvxconv3, kvxpoints, kvxwire; kvxconv4). Returns the text.
export function torusText( rings, segments, valuesPerVertex, name = '' ) {

	const next = random( 20240611 );
	const lines = [ rings * segments + ' ' + rings * segments * 2 ];
	for ( let i = 0; i < rings; i ++ ) {

		for ( let j = 0; j < segments; j ++ ) {

			const a = ( 2 * Math.PI * i ) / rings;
			const b = ( 2 * Math.PI * j ) / segments;
			const r = 3 + Math.cos( b );
			const xyz = [ r * Math.cos( a ), r * Math.sin( a ), Math.sin( b ) * 1.25 ].map( ( v ) => v.toPrecision( 9 ) );
			// Colour values in 0 to 1, with a few exact ones.
			const c = [ 1, next(), ( i % 4 ) / 4, next() < 0.1 ? 1 : next() ].map( ( v ) => String( v ) );
			const uv = [ ( j / segments ).toString(), ( i / rings ).toString() ];
			const fields = valuesPerVertex === 3 ? xyz : valuesPerVertex === 7 ? [ ...c, ...xyz ] : [ ...uv, ...c, ...xyz ];
			lines.push( fields.join( ' ' ) );

		}

	}

	for ( let i = 0; i < rings; i ++ ) {

		for ( let j = 0; j < segments; j ++ ) {

			const i1 = ( i + 1 ) % rings;
			const j1 = ( j + 1 ) % segments;
			const v00 = i * segments + j, v01 = i * segments + j1, v10 = i1 * segments + j, v11 = i1 * segments + j1;
			lines.push( v00 + ' ' + v10 + ' ' + v11, v00 + ' ' + v11 + ' ' + v01 );

		}

	}

	if ( name !== '' ) lines.push( name );
	return lines.join( '\n' ) + '\n';

}

// Writes `text` to `dir/file` and returns the path.
export function writeText( dir, file, text ) {

	const path = join( dir, file );
	writeFileSync( path, text );
	return path;

}

// Bad buffers: every byte prefix of a valid file of each version, and
// thousands of seeded random corruptions, either load into a consistent
// result or throw a plain Error saying what is wrong; never a RangeError or
// TypeError from a typed array, never a hang. A sample of the corruptions is
// also given to kvxexport, which must accept and refuse the same files for
// the same reasons.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';

import { KVXLoader, readKVX } from '../KVXLoader.js';
import { convert, examplesDir, missingPrograms, random, run, tempDir, torusText, writeText } from './support.js';

const skip = missingPrograms() ?? false;

// Parses `bytes`; returns the geometry, what it says of the file and
// readKVX's arrays, or the Error after checking its kind.
function attempt( bytes, what ) {

	let geometry;
	try {

		geometry = new KVXLoader().parse( bytes );

	} catch ( e ) {

		assert.ok( e instanceof Error, what + ': threw ' + e );
		assert.ok( ! ( e instanceof RangeError ) && ! ( e instanceof TypeError ), what + ': ' + e.name + ': ' + e.message );
		assert.equal( e.name, 'Error', what );
		assert.match( e.message, /^KVXLoader: [a-z]/, what );
		return e;

	}

	// A loaded result: arrays of the announced sizes, indices in range.
	const kvx = geometry.userData.kvx;
	assert.equal( geometry.attributes.position.count, kvx.vertexCount, what );
	assert.equal( geometry.attributes.color.count, kvx.vertexCount, what );
	if ( kvx.kind === 'points' ) {

		assert.equal( geometry.index, null, what );

	} else {

		assert.equal( geometry.index.count, kvx.groupCount * ( kvx.kind === 'triangles' ? 3 : 2 ), what );
		for ( const i of geometry.index.array ) assert.ok( i < kvx.vertexCount, what );

	}

	const data = readKVX( bytes );
	assert.ok( data.nameBytes.length <= 255, what );
	return { geometry, kvx, data };

}

// kvxexport's verdict on a file: null when it exports it, else its reason
// worded as the loader words it.
function exportVerdict( file, dir ) {

	const r = run( 'kvxexport', [ file, join( dir, 'out.ply' ) ] );
	if ( r.status === 0 ) return null;
	const prefix = 'kvxexport: ' + file + ': ';
	assert.ok( r.stderr.startsWith( prefix ), r.stderr );
	return 'KVXLoader: ' + r.stderr.slice( prefix.length ).trimEnd().replace( 'the file has', 'the buffer has' );

}

describe( 'bad buffers', { skip }, () => {

	let temp;
	const valid = {};

	before( () => {

		temp = tempDir( 'corrupt' );
		const dir = temp.dir;
		const cube7 = join( examplesDir, 'cube7.cmsh' );
		const torus9 = writeText( dir, 'torus9.cmsh', torusText( 6, 5, 9, 'ring' ) );
		const make = ( program, input, label ) => {

			valid[ label ] = new Uint8Array( readFileSync( convert( program, input, join( dir, label + '.kvx' ) ) ) );

		};

		make( 'kvxconv1', join( examplesDir, 'cube3.cmsh' ), 'v1' );
		make( 'kvxconv2', cube7, 'v2' );
		make( 'kvxconv3', cube7, 'v3' );
		make( 'kvxconv4', join( examplesDir, 'cube9.cmsh' ), 'v4' );
		make( 'kvxconv4', torus9, 'v4-ring' );
		make( 'kvxpoints', cube7, 'points' );
		make( 'kvxwire', cube7, 'wire' );

	} );

	after( () => temp?.remove() );

	test( 'every byte prefix', () => {

		for ( const [ label, bytes ] of Object.entries( valid ) ) {

			const full = attempt( bytes, label );
			assert.ok( ! ( full instanceof Error ), label + ': ' + full.message );
			// Version 4's name runs to the end: a prefix that cuts it is a
			// shorter name, and loads.
			const blocksEnd = bytes.length - full.data.nameBytes.length;
			for ( let n = 0; n < bytes.length; n ++ ) {

				const what = `${label}, first ${n} bytes`;
				const outcome = attempt( bytes.subarray( 0, n ), what );
				if ( n < 15 ) {

					assert.equal( outcome.message, `KVXLoader: truncated: the buffer has ${n} bytes, fewer than the 15 of a header`, what );

				} else if ( n < blocksEnd ) {

					assert.equal( outcome.message, `KVXLoader: truncated: the header promises ${blocksEnd} bytes, the buffer has ${n}`, what );

				} else {

					assert.deepEqual( outcome.data.nameBytes, full.data.nameBytes.subarray( 0, n - blocksEnd ), what );

				}

			}

		}

	} );

	// One corruption of a valid file, chosen by `next`.
	function corrupt( source, next ) {

		const pick = ( n ) => Math.floor( next() * n );
		let bytes = new Uint8Array( source );
		const edits = 1 + pick( 4 );
		for ( let e = 0; e < edits; e ++ ) {

			const view = new DataView( bytes.buffer, bytes.byteOffset, bytes.byteLength );
			const kind = pick( 9 );
			if ( kind === 0 && bytes.length > 0 ) {

				bytes[ pick( bytes.length ) ] ^= 1 << pick( 8 );

			} else if ( kind === 1 && bytes.length > 0 ) {

				bytes[ pick( bytes.length ) ] = pick( 256 );

			} else if ( kind === 2 && bytes.length >= 15 ) {

				// A huge, random or slightly wrong count.
				const counts = [ 0xffffffff, 0x80000000, 0x40000001, pick( 0x100000000 ), view.getUint32( 3, true ) + 1, 0 ];
				view.setUint32( pick( 2 ) === 0 ? 3 : 7, counts[ pick( counts.length ) ], true );

			} else if ( kind === 3 && bytes.length >= 15 ) {

				const versions = [ - 3, - 2, - 1, 0, 1, 2, 3, 4, 5, - 4, pick( 0x100000000 ) | 0 ];
				view.setInt32( 11, versions[ pick( versions.length ) ], true );

			} else if ( kind === 4 ) {

				bytes = bytes.slice( 0, pick( bytes.length + 1 ) );

			} else if ( kind === 5 ) {

				const longer = new Uint8Array( bytes.length + 1 + pick( 300 ) );
				longer.set( bytes );
				for ( let i = bytes.length; i < longer.length; i ++ ) longer[ i ] = pick( 256 );
				bytes = longer;

			} else if ( kind === 6 && bytes.length > 16 ) {

				// An index-sized word near the end set to a large value.
				const at = bytes.length - 2 - 2 * pick( Math.min( 20, ( bytes.length - 15 ) >> 1 ) );
				view.setUint16( at, [ 0xffff, 8, 7, pick( 0x10000 ) ][ pick( 4 ) ], true );

			} else if ( kind === 7 && bytes.length > 15 ) {

				// A float field set to a special value.
				const at = 15 + 4 * pick( ( bytes.length - 15 ) >> 2 );
				if ( at + 4 <= bytes.length ) view.setFloat32( at, [ NaN, Infinity, - Infinity, - 0, 1e-45, 3.4e38 ][ pick( 6 ) ], true );

			} else if ( kind === 8 ) {

				bytes = bytes.slice( pick( Math.min( 4, bytes.length + 1 ) ) );

			}

		}

		return bytes;

	}

	test( 'random corruptions', { timeout: 120000 }, () => {

		const next = random( 1234567 );
		const labels = Object.keys( valid );
		let loaded = 0, refused = 0;
		for ( let k = 0; k < 6000; k ++ ) {

			const label = labels[ k % labels.length ];
			const bytes = corrupt( valid[ label ], next );
			const outcome = attempt( bytes, `${label}, corruption ${k}` );
			if ( outcome instanceof Error ) refused ++; else loaded ++;

		}

		// Both outcomes are common enough for the test to mean something.
		assert.ok( loaded > 500 && refused > 1500, `${loaded} loaded, ${refused} refused` );

	} );

	test( 'kvxexport accepts and refuses the same corruptions', { timeout: 120000 }, () => {

		const next = random( 7654321 );
		const labels = Object.keys( valid );
		const file = join( temp.dir, 'corrupt.kvx' );
		for ( let k = 0; k < 400; k ++ ) {

			const label = labels[ k % labels.length ];
			const bytes = corrupt( valid[ label ], next );
			const outcome = attempt( bytes, `${label}, corruption ${k}` );
			writeFileSync( file, bytes );
			const verdict = exportVerdict( file, temp.dir );
			const what = `${label}, corruption ${k}: kvxexport says ${verdict}, the loader ${outcome.message ?? 'loads it'}`;
			if ( verdict === null ) {

				assert.ok( ! ( outcome instanceof Error ), what );

			} else {

				assert.ok( outcome instanceof Error, what );
				assert.equal( outcome.message, verdict, what );

			}

		}

	} );

} );

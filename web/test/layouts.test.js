// The loader's layout table against meshcore's, which the build writes as
// JSON (target layouts_json, <build>/kvx-layouts.json; CTest passes its path
// in KVX_LAYOUTS_JSON): the same header size, the same versions both ways,
// and for each the same record size, field offsets, index values per group,
// primitive and name trailer. The C++ table also says which program writes
// a version and how many values a text vertex has; those are the tools'
// business, not the loader's.
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { describe, test } from 'node:test';

import { KVX_HEADER_SIZE, KVX_LAYOUTS, KVX_SUPPORTED_VERSIONS } from '../KVXLoader.js';
import { repoDir } from './support.js';

const TOOL_KEYS = [ 'program', 'valuesPerVertex' ];

// Named by CTest, the file must be there; else ../build's, where one was built.
const named = process.env.KVX_LAYOUTS_JSON;
const path = named || join( repoDir, 'build', 'kvx-layouts.json' );
const skip = named || existsSync( path ) ? false : `${path} is missing (build the layouts_json target, or set KVX_LAYOUTS_JSON)`;

describe( 'the layout table', { skip }, () => {

	const cpp = skip ? null : JSON.parse( readFileSync( path, 'utf8' ) );

	test( 'the JSON has the header size and one layout per version', () => {

		assert.deepEqual( Object.keys( cpp ).sort(), [ 'headerSize', 'layouts' ] );
		assert.equal( cpp.headerSize, KVX_HEADER_SIZE );
		const versions = cpp.layouts.map( ( l ) => l.version );
		assert.equal( new Set( versions ).size, versions.length, 'a version twice: ' + versions );

	} );

	test( 'every version of either table is in the other', () => {

		const sorted = ( layouts ) => layouts.map( ( l ) => l.version ).sort( ( a, b ) => a - b );
		assert.deepEqual( sorted( KVX_LAYOUTS ), sorted( cpp.layouts ) );

	} );

	test( 'each layout is the same, field by field', () => {

		for ( const layout of cpp.layouts ) {

			const mine = KVX_LAYOUTS.find( ( l ) => l.version === layout.version );
			const shared = Object.fromEntries( Object.entries( layout ).filter( ( [ key ] ) => ! TOOL_KEYS.includes( key ) ) );
			// Key sets compared both ways: a property either table adds fails.
			assert.deepEqual( Object.keys( mine ).sort(), Object.keys( shared ).sort(), `version ${layout.version}` );
			for ( const key of Object.keys( shared ) ) {

				assert.deepEqual( mine[ key ], shared[ key ], `version ${layout.version}: ${key}` );

			}

		}

	} );

	test( 'the loader accepts exactly the versions whose groups make geometry', () => {

		const geometric = cpp.layouts.filter( ( l ) => l.primitive !== 'records' ).map( ( l ) => l.version );
		assert.deepEqual( [ ...KVX_SUPPORTED_VERSIONS ].sort(), geometric.sort() );
		assert.ok( Object.isFrozen( KVX_LAYOUTS ) && KVX_LAYOUTS.every( ( l ) => Object.isFrozen( l ) && Object.isFrozen( l.fields ) ) );

	} );

} );

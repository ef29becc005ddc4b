// Builds KVX files byte by byte for the tests, independently of the loader:
// a header and whatever records, indices and trailer a case needs.

// vertices: arrays of record fields in file order (colour words as
// integers, every other field a float), each field written as 4 bytes:
// `ints` names the positions within a record that are 32-bit words.
export function kvxBytes( { magic = 'KVX', vertexCount, faceCount, version, records = [], ints = [ 0 ], indices = [], trailer = [] } ) {

	const fields = records.reduce( ( n, r ) => n + r.length, 0 );
	const size = 15 + fields * 4 + indices.length * 2 + trailer.length;
	const bytes = new Uint8Array( size );
	const view = new DataView( bytes.buffer );
	for ( let i = 0; i < 3; i ++ ) bytes[ i ] = magic.charCodeAt( i );
	view.setUint32( 3, vertexCount ?? records.length, true );
	view.setUint32( 7, faceCount, true );
	view.setInt32( 11, version, true );
	let at = 15;
	for ( const record of records ) {

		record.forEach( ( value, k ) => {

			if ( ints.includes( k ) ) view.setUint32( at, value >>> 0, true );
			else view.setFloat32( at, value, true );
			at += 4;

		} );

	}

	for ( const index of indices ) {

		view.setUint16( at, index, true );
		at += 2;

	}

	bytes.set( trailer, at );
	return bytes;

}

// A small PNG decoder for the browser test's screenshots: 8-bit greyscale,
// RGB, grey with alpha or RGBA, not interlaced. Returns RGBA pixels.
import { inflateSync } from 'node:zlib';

const CHANNELS = { 0: 1, 2: 3, 4: 2, 6: 4 };

export function decodePng( buffer ) {

	const bytes = Buffer.from( buffer );
	if ( bytes.readUInt32BE( 0 ) !== 0x89504e47 || bytes.readUInt32BE( 4 ) !== 0x0d0a1a0a ) throw new Error( 'not a PNG file' );
	let at = 8;
	let width = 0, height = 0, depth = 0, type = 0, interlace = 0;
	const data = [];
	while ( at < bytes.length ) {

		const length = bytes.readUInt32BE( at );
		const chunk = bytes.toString( 'latin1', at + 4, at + 8 );
		const body = bytes.subarray( at + 8, at + 8 + length );
		if ( chunk === 'IHDR' ) {

			width = body.readUInt32BE( 0 );
			height = body.readUInt32BE( 4 );
			depth = body[ 8 ];
			type = body[ 9 ];
			interlace = body[ 12 ];

		} else if ( chunk === 'IDAT' ) {

			data.push( body );

		} else if ( chunk === 'IEND' ) {

			break;

		}

		at += 12 + length;

	}

	const channels = CHANNELS[ type ];
	if ( depth !== 8 || channels === undefined || interlace !== 0 ) {

		throw new Error( `PNG of depth ${depth}, colour type ${type}, interlace ${interlace}: not decoded here` );

	}

	const raw = inflateSync( Buffer.concat( data ) );
	const stride = width * channels;
	const rows = Buffer.alloc( stride * height );
	for ( let y = 0; y < height; y ++ ) {

		const filter = raw[ y * ( stride + 1 ) ];
		const line = raw.subarray( y * ( stride + 1 ) + 1, ( y + 1 ) * ( stride + 1 ) );
		const out = y * stride;
		for ( let x = 0; x < stride; x ++ ) {

			const a = x >= channels ? rows[ out + x - channels ] : 0;
			const b = y > 0 ? rows[ out - stride + x ] : 0;
			const c = x >= channels && y > 0 ? rows[ out - stride + x - channels ] : 0;
			let predictor;
			switch ( filter ) {

				case 0: predictor = 0; break;
				case 1: predictor = a; break;
				case 2: predictor = b; break;
				case 3: predictor = ( a + b ) >> 1; break;
				case 4: {

					const p = a + b - c;
					const pa = Math.abs( p - a ), pb = Math.abs( p - b ), pc = Math.abs( p - c );
					predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
					break;

				}

				default: throw new Error( 'PNG filter ' + filter );

			}

			rows[ out + x ] = ( line[ x ] + predictor ) & 0xff;

		}

	}

	const rgba = new Uint8Array( width * height * 4 );
	for ( let i = 0; i < width * height; i ++ ) {

		const s = i * channels;
		const grey = channels <= 2;
		rgba[ 4 * i ] = rows[ s ];
		rgba[ 4 * i + 1 ] = grey ? rows[ s ] : rows[ s + 1 ];
		rgba[ 4 * i + 2 ] = grey ? rows[ s ] : rows[ s + 2 ];
		rgba[ 4 * i + 3 ] = channels === 4 ? rows[ s + 3 ] : channels === 2 ? rows[ s + 1 ] : 255;

	}

	return {
		width,
		height,
		pixels: rgba,
		at( x, y ) {

			const i = 4 * ( Math.round( y ) * width + Math.round( x ) );
			return [ rgba[ i ], rgba[ i + 1 ], rgba[ i + 2 ] ];

		}
	};

}

// Shared by the browser tests: headless Chromium through puppeteer-core
// (/usr/bin/chromium or $CHROMIUM), the reason to skip where either is
// missing, and the launch with software WebGL.
import { existsSync, mkdtempSync } from 'node:fs';
import { join } from 'node:path';
import { missingPrograms } from './support.js';

const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

let puppeteer = null;
try {

	puppeteer = ( await import( 'puppeteer-core' ) ).default;

} catch {

	// Reported as the reason to skip below.

}

// The reason the browser tests skip, or false.
export const browserSkip = missingPrograms() ??
	( puppeteer === null ? 'puppeteer-core is not installed (run npm ci in web/)' : null ) ??
	( existsSync( chromium ) ? false : `no Chromium at ${chromium} (set CHROMIUM)` );

// Chromium, headless, with its profile in a new folder inside `dir`.
export function launchChromium( dir ) {

	return puppeteer.launch( {
		executablePath: chromium,
		headless: true,
		userDataDir: mkdtempSync( join( dir, 'profile-' ) ),
		args: [
			'--no-sandbox', '--headless=new', '--use-gl=swiftshader', '--enable-unsafe-swiftshader',
			'--ignore-gpu-blocklist', '--disable-gpu-sandbox', '--no-first-run', '--disable-background-networking',
			'--disable-component-update', '--disable-sync', '--disable-quic'
		],
		timeout: 60000,
		protocolTimeout: 60000
	} );

}

// The KVX viewer: a file dropped on the page, picked with the file input or
// named with ?file=URL is parsed by KVXLoader and shown with orbit controls.
// A file the loader refuses shows its message and leaves the last mesh in
// place. An OBJ, PLY, STL or glTF file is read by three.js's own loader and
// turned into KVX by KVXExporter, and shown as that file. "Save as KVX"
// downloads the mesh on show, in the version chosen (the file's by default).
//
// For tests and the console, window.__kvxViewer holds the state ('empty',
// 'loading', 'ready' once a mesh is drawn, 'error'), counters of loads, errors
// and frames, what the panel shows (info), the last error's text and the
// last file saved (saves, saved: its file name, version and size); the body's
// data-state attribute follows the state.
import {
	AmbientLight,
	BufferAttribute,
	BufferGeometry,
	Color,
	DirectionalLight,
	FileLoader,
	LineBasicMaterial,
	LineSegments,
	Mesh,
	PerspectiveCamera,
	Points,
	SRGBColorSpace,
	Scene,
	Vector3,
	WebGLRenderer
} from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { KVXLoader, KVX_LAYOUTS, createKVXObject, readKVX } from 'three-kvx-loader';
import { KVXExporter, encodeKVXName } from 'three-kvx-loader/KVXExporter.js';

const $ = ( id ) => document.getElementById( id );

// The background and lighting of kvxrender: a dark blue-grey, a little light
// everywhere and the rest from a direction fixed to the camera.
const BACKGROUND = 0x202028;
const AMBIENT = 0.3;
const DIFFUSE = 0.7;
const LIGHT_DIRECTION = new Vector3( - 0.3, 0.4, 1 ).normalize();
// kvxrender's "iso" view: from (1, 1, 1), y up.
const VIEW_DIRECTION = new Vector3( 1, 1, 1 ).normalize();
const NORMAL_LENGTH = 0.1; // of the bounding radius
const NORMAL_COLOR = 0xffd040;

// What a version holds, in words, from the loader's table of layouts.
function describeLayout( layout ) {

	if ( layout.primitive === 'points' ) return 'point set';
	if ( layout.primitive === 'lines' ) return 'wireframe';
	const held = [];
	if ( layout.fields.uv !== undefined ) held.push( 'texture coordinates' );
	if ( layout.fields.normal !== undefined ) held.push( 'normals' );
	if ( layout.hasName ) held.push( 'a name' );
	if ( held.length === 0 ) return 'triangles: colour and position';
	if ( held.length === 1 ) return 'triangles with vertex ' + held[ 0 ];
	return 'triangles with ' + held.slice( 0, - 1 ).join( ', ' ) + ' and ' + held[ held.length - 1 ];

}

const viewer = window.__kvxViewer = {
	state: 'empty',
	loads: 0,
	errors: 0,
	frames: 0,
	info: null,
	error: null,
	saves: 0,
	saved: null
};

function setState( state ) {

	viewer.state = state;
	document.body.dataset.state = state;

}

const loader = new KVXLoader();
const stage = $( 'stage' );
const controlsBox = $( 'controls' );
const wireframeBox = $( 'wireframe' );
const normalsBox = $( 'normals' );
const colorOrderSelect = $( 'color-order' );
const saveBox = $( 'save' );
const saveVersionSelect = $( 'save-version' );
const saveNameInput = $( 'save-name' );

let renderer;
try {

	renderer = new WebGLRenderer( { antialias: true, preserveDrawingBuffer: true } );

} catch ( e ) {

	showError( 'WebGL', 'this browser cannot draw with WebGL: ' + e.message );
	throw e;

}

renderer.setPixelRatio( window.devicePixelRatio );
stage.appendChild( renderer.domElement );

const scene = new Scene();
scene.background = new Color( BACKGROUND );
const camera = new PerspectiveCamera( 30, 1, 0.01, 100 );
camera.position.copy( VIEW_DIRECTION ).multiplyScalar( 3 );
const light = new DirectionalLight( 0xffffff, DIFFUSE * Math.PI );
light.position.copy( LIGHT_DIRECTION );
camera.add( light );
scene.add( camera );
scene.add( new AmbientLight( 0xffffff, AMBIENT * Math.PI ) );

const controls = new OrbitControls( camera, renderer.domElement );
controls.addEventListener( 'change', requestRender );

// What is on show: the file's bytes (kept to parse again in another colour
// order), where they came from, the geometry, the bounds and the objects.
let current = null;

let renderPending = false;
let readyAfterFrame = false;

function requestRender() {

	if ( renderPending ) return;
	renderPending = true;
	requestAnimationFrame( () => {

		renderPending = false;
		renderer.render( scene, camera );
		viewer.frames ++;
		if ( readyAfterFrame ) {

			readyAfterFrame = false;
			setState( 'ready' );

		}

	} );

}

new ResizeObserver( () => {

	const width = Math.max( 1, stage.clientWidth );
	const height = Math.max( 1, stage.clientHeight );
	renderer.setSize( width, height, false );
	camera.aspect = width / height;
	camera.updateProjectionMatrix();
	requestRender();

} ).observe( stage );

// The box and bounding sphere of the vertices whose coordinates are all
// finite; `skipped` counts the others.
function boundsOf( positions ) {

	const min = new Vector3( Infinity, Infinity, Infinity );
	const max = new Vector3( - Infinity, - Infinity, - Infinity );
	const p = new Vector3();
	let skipped = 0;
	for ( let i = 0; i < positions.length; i += 3 ) {

		p.fromArray( positions, i );
		if ( ! Number.isFinite( p.x ) || ! Number.isFinite( p.y ) || ! Number.isFinite( p.z ) ) {

			skipped ++;
			continue;

		}

		min.min( p );
		max.max( p );

	}

	const empty = min.x > max.x;
	const center = empty ? new Vector3() : min.clone().add( max ).multiplyScalar( 0.5 );
	let radius = 0;
	for ( let i = 0; i < positions.length && ! empty; i += 3 ) {

		p.fromArray( positions, i );
		const d = p.distanceTo( center );
		if ( Number.isFinite( d ) && d > radius ) radius = d;

	}

	return { empty, min, max, center, radius: radius > 0 && Number.isFinite( radius ) ? radius : 1, skipped };

}

function frameView() {

	if ( current === null ) return;
	const { center, radius } = current.bounds;
	const halfVertical = ( camera.fov * Math.PI ) / 360;
	const halfHorizontal = Math.atan( Math.tan( halfVertical ) * camera.aspect );
	const distance = ( radius / Math.sin( Math.min( halfVertical, halfHorizontal ) ) ) * 1.15;
	camera.position.copy( VIEW_DIRECTION ).multiplyScalar( distance ).add( center );
	camera.near = radius / 500;
	camera.far = distance + radius * 100;
	camera.updateProjectionMatrix();
	controls.target.copy( center );
	controls.update();
	requestRender();

}

// The loader's geometry as it is, drawn as createKVXObject draws it: its
// colours are already linear, and alpha is not drawn (as kvxrender).
function makeObject( geometry ) {

	const object = createKVXObject( geometry );
	if ( object.isMesh ) object.material.wireframe = wireframeBox.checked;
	return object;

}

// The vertex normals as line segments from each vertex.
function makeNormalLines( geometry, length ) {

	const position = geometry.attributes.position.array;
	const normal = geometry.attributes.normal.array;
	const ends = [];
	for ( let i = 0; i < position.length; i += 3 ) {

		const x = position[ i ], y = position[ i + 1 ], z = position[ i + 2 ];
		const tipX = x + normal[ i ] * length, tipY = y + normal[ i + 1 ] * length, tipZ = z + normal[ i + 2 ] * length;
		if ( [ x, y, z, tipX, tipY, tipZ ].every( Number.isFinite ) ) ends.push( x, y, z, tipX, tipY, tipZ );

	}

	const lines = new BufferGeometry();
	lines.setAttribute( 'position', new BufferAttribute( new Float32Array( ends ), 3 ) );
	return new LineSegments( lines, new LineBasicMaterial( { color: NORMAL_COLOR } ) );

}

function dispose( object ) {

	if ( ! object ) return;
	scene.remove( object );
	object.geometry.dispose();
	object.material.dispose();

}

function updateNormalLines() {

	dispose( current.normalLines );
	current.normalLines = null;
	if ( normalsBox.checked && current.geometry.attributes.normal ) {

		current.normalLines = makeNormalLines( current.geometry, current.bounds.radius * NORMAL_LENGTH );
		scene.add( current.normalLines );

	}

	requestRender();

}

const number = ( v ) => ( Number.isInteger( v ) ? String( v ) : String( Number( v.toPrecision( 6 ) ) ) );

// Shows x, y and z in `element`, each figure in a span of its own that never
// breaks (viewer.css), so that a line breaks only after a comma.
function showTriple( element, v ) {

	if ( v === null ) {

		element.textContent = '-';
		return;

	}

	const figures = [ v.x, v.y, v.z ].map( ( c ) => Object.assign( document.createElement( 'span' ), { className: 'figure', textContent: number( c ) } ) );
	element.replaceChildren( figures[ 0 ], ', ', figures[ 1 ], ', ', figures[ 2 ] );

}

function showInfo( source, geometry, colorOrder, bounds ) {

	const kvx = geometry.userData.kvx;
	const layout = KVX_LAYOUTS.find( ( l ) => l.version === kvx.version );
	$( 'source' ).textContent = source;
	$( 'version' ).textContent = `${kvx.version} (${describeLayout( layout )})`;
	$( 'name' ).textContent = layout.hasName ? ( kvx.name === '' ? '(empty)' : kvx.name ) : '(none in this version)';
	$( 'vertex-count' ).textContent = kvx.vertexCount.toLocaleString( 'en' );
	$( 'group-label' ).textContent = kvx.kind === 'triangles' ? 'Triangles' : kvx.kind === 'lines' ? 'Edges' : 'Face count';
	$( 'group-count' ).textContent = kvx.groupCount.toLocaleString( 'en' ) + ( kvx.kind === 'points' ? ' (not used by a point set)' : '' );
	showTriple( $( 'box-min' ), bounds.empty ? null : bounds.min );
	showTriple( $( 'box-max' ), bounds.empty ? null : bounds.max );
	showTriple( $( 'box-size' ), bounds.empty ? null : bounds.max.clone().sub( bounds.min ) );
	const warnings = [ ...kvx.warnings ];
	if ( bounds.skipped > 0 ) warnings.push( `${bounds.skipped} vertices with a coordinate that is not finite are left out of the box` );
	$( 'warnings' ).replaceChildren( ...warnings.map( ( text ) => Object.assign( document.createElement( 'li' ), { textContent: text } ) ) );
	$( 'about' ).hidden = false;

	viewer.info = {
		source,
		...kvx,
		hasNormals: geometry.attributes.normal !== undefined,
		colorOrder,
		min: bounds.empty ? null : bounds.min.toArray(),
		max: bounds.empty ? null : bounds.max.toArray(),
		warnings
	};

}

function showError( source, message, title = 'Not loaded' ) {

	$( 'error-title' ).textContent = title;
	$( 'error-source' ).textContent = source;
	$( 'error-message' ).textContent = message;
	$( 'error' ).hidden = false;
	viewer.error = message;
	viewer.errors ++;
	setState( 'error' );

}

// Parses `buffer` and puts it on show; on failure shows why and keeps what
// was on show. Returns whether it was shown.
function show( buffer, source, { keepView = false, note = null } = {} ) {

	const colorOrder = colorOrderSelect.value;
	let geometry;
	try {

		geometry = loader.parse( buffer, { colorOrder } );

	} catch ( e ) {

		showError( source, e.message );
		return false;

	}

	if ( current !== null ) {

		dispose( current.object );
		dispose( current.normalLines );

	}

	const bounds = boundsOf( geometry.attributes.position.array );
	const object = makeObject( geometry );
	scene.add( object );
	const kept = current?.buffer === buffer;
	current = { buffer, source, geometry, bounds, object, normalLines: null, note };

	$( 'error' ).hidden = true;
	viewer.error = null;
	if ( note !== null ) geometry.userData.kvx.warnings.unshift( note );
	showInfo( source, geometry, colorOrder, bounds );
	if ( ! kept ) offerSave( geometry.userData.kvx, source );
	controlsBox.disabled = false;
	wireframeBox.disabled = ! object.isMesh;
	normalsBox.disabled = geometry.attributes.normal === undefined;
	updateNormalLines();
	if ( ! keepView ) frameView();

	viewer.loads ++;
	readyAfterFrame = true;
	requestRender();
	return true;

}

// The formats read by three.js's loaders, by extension: each gives the
// object (or geometry) that KVXExporter turns into a KVX file.
const IMPORTERS = {
	obj: [ 'OBJ', 'OBJLoader', async ( buffer ) => {

		const { OBJLoader } = await import( 'three/addons/loaders/OBJLoader.js' );
		return new OBJLoader().parse( new TextDecoder().decode( buffer ) );

	} ],
	ply: [ 'PLY', 'PLYLoader', async ( buffer ) => {

		const { PLYLoader } = await import( 'three/addons/loaders/PLYLoader.js' );
		const geometry = new PLYLoader().parse( buffer );
		// A PLY file without faces is a point set.
		const header = new TextDecoder( 'latin1' ).decode( new Uint8Array( buffer, 0, Math.min( buffer.byteLength, 4096 ) ) );
		const faces = /^element\s+face\s+(\d+)/m.exec( header );
		return faces !== null && Number( faces[ 1 ] ) > 0 ? new Mesh( geometry ) : new Points( geometry );

	} ],
	stl: [ 'STL', 'STLLoader', async ( buffer ) => {

		const { STLLoader } = await import( 'three/addons/loaders/STLLoader.js' );
		return new Mesh( new STLLoader().parse( buffer ) );

	} ],
	gltf: [ 'glTF', 'GLTFLoader', async ( buffer ) => {

		const { GLTFLoader } = await import( 'three/addons/loaders/GLTFLoader.js' );
		return ( await new GLTFLoader().parseAsync( buffer, '' ) ).scene;

	} ]
};
IMPORTERS.glb = IMPORTERS.gltf;

const exporter = new KVXExporter();

// An OBJ, PLY, STL or glTF file's bytes as a KVX file, or a thrown Error.
async function importAsKvx( buffer, extension ) {

	const [ format, loaderName, read ] = IMPORTERS[ extension ];
	let object;
	try {

		object = await read( buffer );

	} catch ( e ) {

		throw new Error( `three.js's ${loaderName} could not read it as ${format}: ${e.message}` );

	}

	object.updateMatrixWorld( true );
	return { kvx: exporter.parse( object ), note: `read as ${format} by three.js's ${loaderName}, shown as KVXExporter writes it` };

}

const extensionOf = ( name ) => ( /\.([^./]+)$/.exec( name )?.[ 1 ] ?? '' ).toLowerCase();

async function openFile( file ) {

	setState( 'loading' );
	let buffer;
	try {

		buffer = await file.arrayBuffer();

	} catch ( e ) {

		showError( file.name, 'could not read the file: ' + e.message );
		return;

	}

	const extension = extensionOf( file.name );
	if ( IMPORTERS[ extension ] === undefined ) {

		show( buffer, file.name );
		return;

	}

	let imported;
	try {

		imported = await importAsKvx( buffer, extension );

	} catch ( e ) {

		showError( file.name, e.message );
		return;

	}

	show( imported.kvx, file.name, { note: imported.note } );

}

// ---------------------------------------------------------------------------
// Save as KVX.

// The versions a mesh of this kind can be saved in, from the loader's table.
function versionsFor( kind ) {

	return KVX_LAYOUTS.filter( ( l ) => l.primitive === kind ).map( ( l ) => l.version ).sort( ( a, b ) => b - a );

}

function isName( name ) {

	try {

		encodeKVXName( name );
		return true;

	} catch {

		return false;

	}

}

// Fills the save controls for a new file: its version, and for version 4
// its name, else the file's stem where that is a name a KVX file holds.
function offerSave( kvx, source ) {

	const layouts = new Map( KVX_LAYOUTS.map( ( l ) => [ l.version, l ] ) );
	saveVersionSelect.replaceChildren( ...versionsFor( kvx.kind ).map( ( version ) => Object.assign( document.createElement( 'option' ), {
		value: String( version ), textContent: `${version} (${describeLayout( layouts.get( version ) )})`, selected: version === kvx.version
	} ) ) );
	const stem = source.replace( /\.[^.]*$/, '' );
	saveNameInput.value = kvx.name !== '' ? kvx.name : isName( stem ) ? stem : '';
	saveBox.disabled = false;
	updateSaveName();

}

function updateSaveName() {

	saveNameInput.disabled = ! layoutOf( Number( saveVersionSelect.value ) )?.hasName;

}

const layoutOf = ( version ) => KVX_LAYOUTS.find( ( l ) => l.version === version );

// The file on show as a geometry with every value exact: colours as linear
// floats made from its sRGB bytes (which KVXExporter rounds back to the same
// bytes), rather than the loader's linear bytes, which merge dark shades; its
// own normals, where it has them.
function exactGeometry( kvx ) {

	const geometry = new BufferGeometry();
	geometry.setAttribute( 'position', new BufferAttribute( kvx.positions, 3 ) );
	if ( kvx.normals !== null ) geometry.setAttribute( 'normal', new BufferAttribute( kvx.normals, 3 ) );
	const colors = new Float32Array( kvx.vertexCount * 4 );
	const color = new Color();
	for ( let i = 0; i < colors.length; i += 4 ) {

		color.setRGB( kvx.colors[ i ] / 255, kvx.colors[ i + 1 ] / 255, kvx.colors[ i + 2 ] / 255, SRGBColorSpace );
		colors[ i ] = color.r;
		colors[ i + 1 ] = color.g;
		colors[ i + 2 ] = color.b;
		colors[ i + 3 ] = kvx.colors[ i + 3 ] / 255;

	}

	geometry.setAttribute( 'color', new BufferAttribute( colors, 4 ) );
	if ( kvx.uvs !== null ) geometry.setAttribute( 'uv', new BufferAttribute( kvx.uvs, 2 ) );
	if ( kvx.index !== null ) geometry.setIndex( new BufferAttribute( kvx.index, 1 ) );
	geometry.userData.kvx = { version: kvx.version, kind: kvx.kind };
	return geometry;

}

// Version 4 to version 4: the texture coordinates as the file stores them.
// The loader's v is 1 - the stored v in single precision, which loses the
// stored value's last bit below 0.5, and 1 - v would not give it back.
function keepStoredUvs( bytes, source, vertexCount ) {

	const { recordSize, fields } = layoutOf( 4 );
	const to = new Uint8Array( bytes ), from = new Uint8Array( source );
	for ( let i = 0, o = 15 + fields.uv; i < vertexCount; i ++, o += recordSize ) to.set( from.subarray( o, o + 8 ), o );

}

function saveKvx() {

	if ( current === null ) return;
	const version = Number( saveVersionSelect.value );
	const colorOrder = colorOrderSelect.value;
	const file = current.source.replace( /\.[^.]*$/, '' ) + '.kvx';
	let bytes;
	try {

		const name = layoutOf( version )?.hasName ? saveNameInput.value : undefined;
		const kvx = readKVX( current.buffer, { colorOrder } );
		bytes = exporter.parse( exactGeometry( kvx ), { version, colorOrder, name, normals: 'geometry' } );
		if ( kvx.uvs !== null && layoutOf( version ).fields.uv !== undefined ) keepStoredUvs( bytes, current.buffer, kvx.vertexCount );

	} catch ( e ) {

		showError( file, e.message, 'Not saved' );
		return;

	}

	$( 'error' ).hidden = true;
	viewer.error = null;
	const url = URL.createObjectURL( new Blob( [ bytes ], { type: 'application/octet-stream' } ) );
	const link = Object.assign( document.createElement( 'a' ), { href: url, download: file } );
	document.body.append( link );
	link.click();
	link.remove();
	// The download has its bytes once it starts.
	setTimeout( () => URL.revokeObjectURL( url ), 60000 );
	viewer.saves ++;
	viewer.saved = { file, version, byteLength: bytes.byteLength };
	if ( viewer.state === 'error' ) setState( 'ready' );

}

saveVersionSelect.addEventListener( 'change', updateSaveName );
$( 'save-kvx' ).addEventListener( 'click', saveKvx );

async function openUrl( url ) {

	setState( 'loading' );
	const last = url.split( '?' )[ 0 ].split( '/' ).pop() || url;
	let source = last;
	try {

		source = decodeURIComponent( last );

	} catch {

		// A bad percent sequence is shown as written.

	}

	let buffer;
	try {

		buffer = await new FileLoader().setResponseType( 'arraybuffer' ).loadAsync( url );

	} catch ( e ) {

		showError( source, 'could not fetch ' + url + ': ' + e.message );
		return;

	}

	show( buffer, source );

}

$( 'file-input' ).addEventListener( 'change', ( event ) => {

	const file = event.target.files[ 0 ];
	event.target.value = '';
	if ( file ) openFile( file );

} );

wireframeBox.addEventListener( 'change', () => {

	if ( current?.object.isMesh ) current.object.material.wireframe = wireframeBox.checked;
	requestRender();

} );

normalsBox.addEventListener( 'change', () => {

	if ( current ) updateNormalLines();

} );

colorOrderSelect.addEventListener( 'change', () => {

	if ( current ) show( current.buffer, current.source, { keepView: true, note: current.note } );

} );

$( 'reset-view' ).addEventListener( 'click', frameView );

// Dropping a file anywhere opens it; the picture shows where to drop.
window.addEventListener( 'dragover', ( event ) => {

	event.preventDefault();
	stage.classList.add( 'dragging' );

} );
window.addEventListener( 'dragleave', ( event ) => {

	if ( event.relatedTarget === null ) stage.classList.remove( 'dragging' );

} );
window.addEventListener( 'drop', ( event ) => {

	event.preventDefault();
	stage.classList.remove( 'dragging' );
	const file = event.dataTransfer?.files[ 0 ];
	if ( file ) openFile( file );

} );

const named = new URLSearchParams( location.search ).get( 'file' );
if ( named ) openUrl( named );
else requestRender();

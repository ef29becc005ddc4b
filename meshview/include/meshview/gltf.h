// meshview: a mesh as glTF 2.0, as a binary .glb or as a .gltf document
// with its buffer in a file beside it. The document is made in memory
// (MakeGltf); WriteGlb writes the binary form through OutputFile, and the
// caller writes the two files of the text form as one set (kvxexport uses
// meshimport's KvxFileSet, so both appear or neither).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "meshcore/okvx.h"
#include "meshtext/color.h"
#include "meshview/mesh_view.h"

// The document and its one buffer.
struct GltfParts {
    std::string json;    // the glTF document, UTF-8
    std::string buffer;  // the buffer's bytes, its byteLength
    // Empty, or one line saying why the stored normals were left out.
    std::string warning;
};

// What the document holds, by the view's primitive (mode 4 TRIANGLES,
// 1 LINES or 0 POINTS), in one primitive of one mesh in one node of one
// scene:
// - POSITION, float VEC3, with its min and max;
// - NORMAL (versions 3 and 4), the stored normals, when every one that a
//   triangle names is of unit length within 0.0005; a normal no triangle
//   names is drawn by nothing and written as (0, 0, 1) where it is not of
//   unit length. Otherwise NORMAL is left out (a viewer then computes flat
//   normals) and `warning` names the first vertex whose normal is not;
// - COLOR_0, float VEC4: red, green and blue read from the colour word by
//   `order`, converted from sRGB to linear (LinearOfSrgb), alpha as
//   byte / 255;
// - TEXCOORD_0 (version 4), float VEC2: the stored u and v as they are,
//   since the file stores 1 - the text's v, which is glTF's convention;
// - indices (triangles and lines), unsigned 16-bit (5123), or unsigned
//   32-bit (5125) where an index is 65535, which glTF reserves in 16 bits;
// - the version-4 name, when not empty, as the mesh's and the node's name
//   (bytes that are not UTF-8 become U+FFFD);
// - asset.generator `generator`.
// `bufferUri` is the buffer's relative URI for a .gltf (see UriOfFileName)
// or empty for a .glb, whose buffer has none. Returns false with one line in
// `error` for a mesh glTF cannot hold: no vertices, no triangles or lines
// where the primitive has them (an accessor counts at least one element),
// or a position or texture coordinate that is not finite ("vertex 3's
// position is not finite").
bool MakeGltf(const MeshView& view, ColorOrder order, std::string_view generator,
              std::string_view bufferUri, GltfParts* parts, std::string* error);

// The binary container of `parts` (made with an empty bufferUri): the
// 12-byte header, the JSON chunk padded with spaces, the BIN chunk padded
// with zero bytes, each to a multiple of 4.
std::string GlbBytes(const GltfParts& parts);

// GlbBytes written through OutputFile: the file at `path` appears complete
// or not at all. False when it cannot be written, and, given `status`, why.
bool WriteGlb(const GltfParts& parts, const char* path, KvxStatus* status);

// A file name as a relative URI: every byte but the unreserved ones
// (A-Z a-z 0-9 - . _ ~) as %XX. "a b.bin" gives "a%20b.bin".
std::string UriOfFileName(std::string_view name);

// The sRGB colour byte c as a linear value: c / 255 through the standard
// sRGB decoding (c / 12.92 up to 0.04045, else ((c + 0.055) / 1.055)^2.4),
// computed in double and rounded to float. The standard encoding of the
// result, times 255 and rounded to nearest, is c again, for every byte.
float LinearOfSrgb(uint8_t c);

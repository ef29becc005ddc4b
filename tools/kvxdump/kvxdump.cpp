// kvxdump: prints a KVX file as text: the counts and the version, one line
// per vertex record, one per index group and, for version 4, the name.
// Versions 0, -3 and codes the loader does not know print the header alone,
// after the magic; without it, such a file is not a KVX file.
#include <cstdio>
#include <cstring>
#include <string>

#include "console.h"
#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "programs.h"
#include "run_guard.h"

const ProgramInfo kKvxdumpInfo = {
    "kvxdump", "usage: kvxdump <file.kvx>",
    R"(Prints a KVX file of any version as text on standard output: the vertex
count, the face count and the version, one line per vertex record, one per
triangle or edge and, for version 4, the name. Numbers are printed as printf's
%u, %i, 0x%X (colour words) and %f (floats) print them. Versions 0 and -3 and
unknown version codes print the three header lines alone. A file that does
not begin with "KVX" is read all the same when its version is 1 to 4 or -1 to
-3, with a warning on standard error; a file with neither is not a KVX file.
That, a truncated or an otherwise bad file gets one line on standard error,
nothing on standard output and status 2.

Example:
  kvxdump cube.kvx
)"};

namespace {

constexpr char kProgram[] = "kvxdump";

// Writes " " then "%f" of v.
inline char* SpaceFixed(char* p, float v) {
    *p++ = ' ';
    return FormatFixed(p, v);
}

// Writes "0x%X" of color.
inline char* HexColor(char* p, uint32_t color) {
    *p++ = '0';
    *p++ = 'x';
    return FormatHex(p, color);
}

// Versions 1, 2, -1, -2: "0x%X %f %f %f\n".
template <typename Record>
void PrintColorPositions(ConsoleOut& out, const Record* v, uint32_t count) {
    PrintLines(out, count, kColorPositionLine, [v](char* p, uint64_t i) {
        return ColorPositionLine(p, v[i].color, v[i].x, v[i].y, v[i].z);
    });
}

// Versions 3 and 4: "%f %f %f 0x%X %f %f %f\n", the normal before the
// colour; version 4 puts u and v first ("%f %f " before it), as its record
// keeps them.
template <typename Record>
void PrintNormalVertices(ConsoleOut& out, const Record* v, uint32_t count) {
    constexpr bool kUv = requires(const Record& r) {
        r.u;
    };
    PrintLines(out, count, (kUv ? 9 : 7) * kMaxNumberText, [v](char* p, uint64_t i) {
        const Record& r = v[i];
        if constexpr (kUv) {
            p = FormatFixed(p, r.u);
            p = SpaceFixed(p, r.v);
            p = SpaceFixed(p, r.nx);
        } else {
            p = FormatFixed(p, r.nx);
        }
        p = SpaceFixed(p, r.ny);
        p = SpaceFixed(p, r.nz);
        *p++ = ' ';
        p = HexColor(p, r.color);
        p = SpaceFixed(p, r.x);
        p = SpaceFixed(p, r.y);
        p = SpaceFixed(p, r.z);
        *p++ = '\n';
        return p;
    });
}

// "%u %u %u\n" per triangle.
void PrintTriangles(ConsoleOut& out, const uint16_t* faces, uint32_t count) {
    PrintLines(out, count, kTripleLine,
               [faces](char* p, uint64_t k) { return TripleLine(p, faces + 3 * k); });
}

// "%u %u\n" per edge.
void PrintEdges(ConsoleOut& out, const uint16_t* faces, uint32_t count) {
    PrintLines(out, count, kTripleLine, [faces](char* p, uint64_t k) {
        const uint16_t* l = faces + 2 * k;
        p = FormatIndex(p, l[0]);
        *p++ = ' ';
        p = FormatIndex(p, l[1]);
        *p++ = '\n';
        return p;
    });
}

void PrintMesh(ConsoleOut& out, const OKVX& m) {
    PrintCounts(out, m.vertexCount, m.faceCount, m.version);
    const kvx::Layout* layout = kvx::LayoutOf(m.version);
    // 0, -3 (whose records no program prints) and unknown codes: the header
    // alone.
    if (layout == nullptr || layout->primitive == kvx::Primitive::records) return;
    using kvx::VertexMember;
    const uint32_t n = m.vertexCount;
    if (layout->member == VertexMember::v1) PrintColorPositions(out, m.verticesV1, n);
    if (layout->member == VertexMember::v2) PrintColorPositions(out, m.verticesV2, n);
    if (layout->member == VertexMember::v3) PrintNormalVertices(out, m.verticesV3, n);
    if (layout->member == VertexMember::v4) PrintNormalVertices(out, m.verticesV4, n);
    // A point set's face count describes nothing.
    if (layout->primitive == kvx::Primitive::triangles) PrintTriangles(out, m.faces, m.faceCount);
    if (layout->primitive == kvx::Primitive::lines) PrintEdges(out, m.faces, m.faceCount);
    if (layout->hasName) {
        out.write(m.name, strnlen(m.name, sizeof m.name));
        out.write("\n", 1);
    }
}

void Dump(const char* path) {
    const std::string name = DisplayName(path);
    // Load first: a file that fails prints nothing on standard output.
    KvxStatus why;
    if (mesh.load(path, &why) == 0 && why.code != KvxErrc::unsupported_version) {
        FailInput(name, why);
    }
    if (why.magicMissing) {
        ReportWarning(kProgram, name, "the file does not begin with \"KVX\"; reading it anyway");
    }
    ConsoleOut out;
    PrintMesh(out, mesh);
    if (!out.flush()) FailOutput("standard output", KvxStatus{KvxErrc::write_failed, out.error()});
}

}  // namespace

int RunKvxdump(const char* path) {
    return RunGuarded(kProgram, [&] { Dump(path); });
}

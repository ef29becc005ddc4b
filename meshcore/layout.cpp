#include "meshcore/layout.h"

#include <cstddef>
#include <string>

namespace kvx {
namespace {

constexpr int8_t OffsetOf(size_t offset) {
    return static_cast<int8_t>(offset);
}

constexpr Layout kTable[] = {
    {.version = 1,
     .member = VertexMember::v1,
     .recordSize = sizeof(VertexkvxV1),
     .colorOffset = OffsetOf(offsetof(VertexkvxV1, color)),
     .positionOffset = OffsetOf(offsetof(VertexkvxV1, x)),
     .indexValuesPerGroup = 3,
     .primitive = Primitive::triangles,
     .save = &OKVX::saveV1,
     .text = {.program = "kvxconv1",
              .valuesPerVertex = 3,
              .positionAt = 0,
              .fixedColor = 0xFFFF0000u,
              .echo = Echo::counts_vertices_triangles}},
    {.version = 2,
     .member = VertexMember::v2,
     .recordSize = sizeof(VertexkvxV2),
     .colorOffset = OffsetOf(offsetof(VertexkvxV2, color)),
     .positionOffset = OffsetOf(offsetof(VertexkvxV2, x)),
     .indexValuesPerGroup = 3,
     .primitive = Primitive::triangles,
     .save = &OKVX::saveV2,
     .text = {.program = "kvxconv2",
              .valuesPerVertex = 7,
              .colorAt = 0,
              .positionAt = 4,
              .echo = Echo::counts_vertices_triangles}},
    {.version = 3,
     .member = VertexMember::v3,
     .recordSize = sizeof(VertexkvxV3),
     .colorOffset = OffsetOf(offsetof(VertexkvxV3, color)),
     .positionOffset = OffsetOf(offsetof(VertexkvxV3, x)),
     .normalOffset = OffsetOf(offsetof(VertexkvxV3, nx)),
     .indexValuesPerGroup = 3,
     .primitive = Primitive::triangles,
     .save = &OKVX::saveV3,
     .text = {.program = "kvxconv3",
              .valuesPerVertex = 7,
              .colorAt = 0,
              .positionAt = 4,
              .smoothNormals = true}},
    {.version = 4,
     .member = VertexMember::v4,
     .recordSize = sizeof(VertexkvxV4),
     .colorOffset = OffsetOf(offsetof(VertexkvxV4, color)),
     .positionOffset = OffsetOf(offsetof(VertexkvxV4, x)),
     .normalOffset = OffsetOf(offsetof(VertexkvxV4, nx)),
     .uvOffset = OffsetOf(offsetof(VertexkvxV4, u)),
     .indexValuesPerGroup = 3,
     .primitive = Primitive::triangles,
     .hasName = true,
     .save = &OKVX::saveV4,
     .text = {.program = "kvxconv4",
              .valuesPerVertex = 9,
              .colorAt = 2,
              .uvAt = 0,
              .positionAt = 6,
              .readsName = true,
              .smoothNormals = true,
              .echo = Echo::name}},
    {.version = -1,
     .member = VertexMember::v1,
     .recordSize = sizeof(VertexkvxV1),
     .colorOffset = OffsetOf(offsetof(VertexkvxV1, color)),
     .positionOffset = OffsetOf(offsetof(VertexkvxV1, x)),
     .indexValuesPerGroup = 0,
     .primitive = Primitive::points,
     .save = &OKVX::saveVn1,
     .text = {.program = "kvxpoints",
              .valuesPerVertex = 7,
              .colorAt = 0,
              .positionAt = 4,
              .readsTriangles = false,
              .faceCountIsVertexCount = true,
              .echo = Echo::counts_vertices}},
    {.version = -2,
     .member = VertexMember::v1,
     .recordSize = sizeof(VertexkvxV1),
     .colorOffset = OffsetOf(offsetof(VertexkvxV1, color)),
     .positionOffset = OffsetOf(offsetof(VertexkvxV1, x)),
     .indexValuesPerGroup = 2,
     .primitive = Primitive::lines,
     .save = &OKVX::saveVn2,
     .text = {.program = "kvxwire",
              .valuesPerVertex = 7,
              .colorAt = 0,
              .positionAt = 4,
              .echo = Echo::progress}},
    {.version = -3,
     .member = VertexMember::v3,
     .recordSize = sizeof(VertexkvxV3),
     .colorOffset = OffsetOf(offsetof(VertexkvxV3, color)),
     .positionOffset = OffsetOf(offsetof(VertexkvxV3, x)),
     .normalOffset = OffsetOf(offsetof(VertexkvxV3, nx)),
     .indexValuesPerGroup = 6,
     .primitive = Primitive::records,
     .text = {}},
};

const char* PrimitiveName(Primitive p) {
    switch (p) {
        case Primitive::triangles:
            return "triangles";
        case Primitive::lines:
            return "lines";
        case Primitive::points:
            return "points";
        case Primitive::records:
            return "records";
    }
    return "";
}

void Field(std::string& out, const char* name, int value, bool& first) {
    if (value == kAbsent) return;
    out += first ? "" : ", ";
    out += '"';
    out += name;
    out += "\": " + std::to_string(value);
    first = false;
}

}  // namespace

const Layout* LayoutOf(int32_t version) {
    for (const Layout& l : kTable)
        if (l.version == version) return &l;
    return nullptr;
}

std::span<const Layout> Layouts() {
    return kTable;
}

const void* VertexArrayOf(const OKVX& m, const Layout& layout) {
    switch (layout.member) {
        case VertexMember::v1:
            return m.verticesV1;
        case VertexMember::v2:
            return m.verticesV2;
        case VertexMember::v3:
            return m.verticesV3;
        case VertexMember::v4:
            return m.verticesV4;
    }
    return nullptr;
}

void SetVertexArray(OKVX& m, const Layout& layout, void* records) {
    switch (layout.member) {
        case VertexMember::v1:
            m.verticesV1 = static_cast<VertexkvxV1*>(records);
            break;
        case VertexMember::v2:
            m.verticesV2 = static_cast<VertexkvxV2*>(records);
            break;
        case VertexMember::v3:
            m.verticesV3 = static_cast<VertexkvxV3*>(records);
            break;
        case VertexMember::v4:
            m.verticesV4 = static_cast<VertexkvxV4*>(records);
            break;
    }
}

std::string LayoutsJson() {
    std::string out =
        "{\n  \"headerSize\": " + std::to_string(kKvxHeaderSize) + ",\n  \"layouts\": [\n";
    bool firstLayout = true;
    for (const Layout& l : kTable) {
        out += firstLayout ? "    {" : ",\n    {";
        firstLayout = false;
        out += "\"version\": " + std::to_string(l.version);
        out += ", \"recordSize\": " + std::to_string(l.recordSize);
        out += ", \"fields\": {";
        bool first = true;
        Field(out, "uv", l.uvOffset, first);
        Field(out, "color", l.colorOffset, first);
        Field(out, "normal", l.normalOffset, first);
        Field(out, "position", l.positionOffset, first);
        out += "}, \"indexValuesPerGroup\": " + std::to_string(l.indexValuesPerGroup);
        out += std::string(", \"primitive\": \"") + PrimitiveName(l.primitive) + "\"";
        out += std::string(", \"hasName\": ") + (l.hasName ? "true" : "false");
        out += ", \"program\": ";
        out += l.text.program ? std::string("\"") + l.text.program + "\"" : "null";
        out += ", \"valuesPerVertex\": " + std::to_string(l.text.valuesPerVertex) + "}";
    }
    out += "\n  ]\n}\n";
    return out;
}

}  // namespace kvx

#include "meshimport/formats.h"

#include "meshimport/obj_reader.h"
#include "meshimport/off_reader.h"
#include "meshimport/ply_reader.h"
#include "meshimport/stl_reader.h"
#include "reader_support.h"

namespace kvx {

namespace {

constexpr NativeFormat kFormats[] = {
    {"obj", {"obj"}, ReadObj, detail::CheckObjStart, false},
    {"ply", {"ply"}, ReadPly, detail::CheckPlyStart, false},
    {"stl", {"stl"}, ReadStl, detail::CheckStlStart, true},
    {"off", {"off"}, ReadOff, detail::CheckOffStart, false},
};

}  // namespace

std::span<const NativeFormat> NativeFormats() {
    return kFormats;
}

const NativeFormat* NativeFormatNamed(std::string_view name) {
    const std::string lower = detail::Lower(name);
    for (const NativeFormat& f : kFormats) {
        if (lower == f.name) return &f;
        for (std::string_view extension : f.extensions) {
            if (!extension.empty() && lower == extension) return &f;
        }
    }
    return nullptr;
}

std::string NativeFormatList(std::string_view beforeLast) {
    std::string list;
    for (size_t k = 0; k < std::size(kFormats); ++k) {
        if (k != 0) list += k + 1 == std::size(kFormats) ? beforeLast : ", ";
        list += kFormats[k].name;
    }
    return list;
}

}  // namespace kvx

// What the meshimport tests share: reading bytes with each reader, and
// every prefix of a valid file.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "meshimport/imported_mesh.h"
#include "meshimport/obj_reader.h"
#include "meshimport/off_reader.h"
#include "meshimport/ply_reader.h"
#include "meshimport/stl_reader.h"

namespace kvx::test {

// `bytes` through the reader of `format`, named "m.<format>" in messages.
inline ImportResult Read(ImportFormat format, const std::string& bytes, ReadOptions options = {}) {
    const std::string path = std::string("m.") + ImportFormatName(format);
    switch (format) {
        case ImportFormat::obj:
            return ReadObj(path, bytes.data(), bytes.size(), options);
        case ImportFormat::ply:
            return ReadPly(path, bytes.data(), bytes.size(), options);
        case ImportFormat::stl:
            return ReadStl(path, bytes.data(), bytes.size(), options);
        case ImportFormat::off:
            return ReadOff(path, bytes.data(), bytes.size(), options);
        case ImportFormat::assimp:
            break;
    }
    return {};
}

// The error message of a read that must fail as bad input.
inline std::string Refusal(ImportFormat format, const std::string& bytes) {
    ImportResult r = Read(format, bytes);
    EXPECT_EQ(r.error.kind, ImportErrc::bad_input) << bytes;
    EXPECT_EQ(r.error.message.find('\n'), std::string::npos);
    return r.error.message;
}

// Every proper prefix of `bytes` either fails as bad input with one line,
// or gives a consistent mesh: the reader never reads past the end (the
// sanitizer build checks that) and never accepts an inconsistent mesh.
// Returns the number of prefixes refused.
inline size_t CheckEveryPrefix(ImportFormat format, const std::string& bytes) {
    size_t refused = 0;
    for (size_t n = 0; n < bytes.size(); ++n) {
        // A copy of exactly n bytes, so that reading past it is caught.
        std::vector<char> prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
        const std::string path = "p";
        ImportResult r;
        const char* data = prefix.data();
        switch (format) {
            case ImportFormat::obj:
                r = ReadObj(path, data, n, {});
                break;
            case ImportFormat::ply:
                r = ReadPly(path, data, n, {});
                break;
            case ImportFormat::stl:
                r = ReadStl(path, data, n, {});
                break;
            case ImportFormat::off:
                r = ReadOff(path, data, n, {});
                break;
            case ImportFormat::assimp:
                break;
        }
        if (r.ok()) {
            EXPECT_TRUE(IsConsistent(r.mesh)) << "prefix of " << n << " bytes";
        } else {
            ++refused;
            EXPECT_EQ(r.error.kind, ImportErrc::bad_input) << "prefix of " << n << " bytes";
            EXPECT_EQ(r.error.message.rfind("p", 0), 0u) << r.error.message;
            EXPECT_EQ(r.error.message.find('\n'), std::string::npos);
        }
    }
    return refused;
}

inline uint32_t Bits(float v) {
    return std::bit_cast<uint32_t>(v);
}

inline std::vector<uint32_t> BitsOf(const std::vector<float>& values) {
    std::vector<uint32_t> bits;
    for (float v : values)
        bits.push_back(Bits(v));
    return bits;
}

}  // namespace kvx::test

// What the meshimport tests share: reading bytes with each reader, and
// every prefix of a valid file.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "meshimport/formats.h"
#include "meshimport/imported_mesh.h"

namespace kvx::test {

// The native format named `name` (formats.h); the test stops without one.
inline const NativeFormat& Native(std::string_view name) {
    const NativeFormat* format = NativeFormatNamed(name);
    EXPECT_NE(format, nullptr) << name;
    return format ? *format : NativeFormats()[0];
}

// `bytes` through the reader of the format `name`, named "m.<name>" in
// messages.
inline ImportResult Read(std::string_view name, const std::string& bytes,
                         ReadOptions options = {}) {
    return Native(name).read("m." + std::string(name), bytes.data(), bytes.size(), options);
}

// The error message of a read that must fail as bad input.
inline std::string Refusal(std::string_view name, const std::string& bytes) {
    ImportResult r = Read(name, bytes);
    EXPECT_EQ(r.error.kind, FailureKind::bad_input) << bytes;
    EXPECT_EQ(r.error.message.find('\n'), std::string::npos);
    return r.error.message;
}

// Every proper prefix of `bytes` either fails as bad input with one line,
// or gives a consistent mesh: the reader never reads past the end (the
// sanitizer build checks that) and never accepts an inconsistent mesh.
// Returns the number of prefixes refused.
inline size_t CheckEveryPrefix(std::string_view name, const std::string& bytes) {
    const NativeFormat& format = Native(name);
    size_t refused = 0;
    for (size_t n = 0; n < bytes.size(); ++n) {
        // A copy of exactly n bytes, so that reading past it is caught.
        std::vector<char> prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
        ImportResult r = format.read("p", prefix.data(), n, {});
        if (r.ok()) {
            EXPECT_TRUE(IsConsistent(r.mesh)) << "prefix of " << n << " bytes";
        } else {
            ++refused;
            EXPECT_EQ(r.error.kind, FailureKind::bad_input) << "prefix of " << n << " bytes";
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

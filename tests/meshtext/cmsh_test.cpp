// The text-mesh reader: number tokens, the colour word, white space, the
// messages for bad input, and the text file under it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "meshcore/parallel.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/color.h"
#include "meshtext/text_file.h"
#include "test_support.h"

namespace {

struct Parsed {
    std::errc ec;
    size_t stop;  // offset of ptr
    uint32_t u = 0;
    float f = 0;
    bool noToken = false;  // NoToken: only white space was left
};

Parsed Unsigned(const std::string& text) {
    uint32_t v = 12345;
    ParseResult r = ParseUnsigned(text.data(), text.data() + text.size(), v);
    return {r.ec, static_cast<size_t>(r.ptr - text.data()), v, 0,
            NoToken(r, text.data() + text.size())};
}

Parsed Float(const std::string& text) {
    float v = -12345;
    ParseResult r = ParseFloat(text.data(), text.data() + text.size(), v);
    return {r.ec, static_cast<size_t>(r.ptr - text.data()), 0, v,
            NoToken(r, text.data() + text.size())};
}

// `token` read alone, where the input ends with it, and followed by white
// space and more text, where the decimal fast path may read past it: both
// give strtof's float and end just after the token.
void ExpectStrtof(const std::string& token) {
    const uint32_t expected = FloatBits(std::strtof(token.c_str(), nullptr));
    for (const std::string& text : {token, token + " 1234567890", token + "\r\n9 9 9 9 9"}) {
        Parsed p = Float(text);
        ASSERT_EQ(p.ec, std::errc()) << token;
        ASSERT_EQ(p.stop, token.size()) << token;
        ASSERT_EQ(FloatBits(p.f), expected) << token;
    }
}

}  // namespace

// CountTokens reads 64 bytes at a time: it must agree with a byte-by-byte
// count at every length and alignment, for every kind of white space and
// for the bytes next to them (0x08, 0x0E, 0x80 and up).
TEST(CountTokens, AgreesWithAPlainCountAtEveryLengthAndAlignment) {
    const char alphabet[] = {' ', '\t', '\n', '\v',   '\f',   '\r', '\x08', '\x0e', '\x1f',
                             '!', 'a',  '7',  '\x80', '\xff', '\0', ' ',    'x'};
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    std::string text(400, ' ');
    for (int trial = 0; trial < 400; ++trial) {
        for (char& c : text)
            c = alphabet[next() % sizeof alphabet];
        if (trial % 4 == 0) std::fill(text.begin() + 70, text.begin() + 140, 'z');  // long tokens
        const size_t from = next() % 16, to = from + next() % 380;
        size_t plain = 0;
        bool inToken = false;
        for (size_t k = from; k < to; ++k) {
            const bool space = IsSpace(text[k]);
            plain += !space && !inToken;
            inToken = !space;
        }
        ASSERT_EQ(CountTokens(text.data() + from, text.data() + to), plain)
            << "trial " << trial << ", bytes " << from << " to " << to;
    }
}

// Digits with an optional '+' and leading zeros are read; any other token is
// refused whole, pointed at, and leaves the value untouched.
TEST(ParseUnsigned, ReadsDigitsAndRefusesWholeTokens) {
    const std::errc ok{}, invalid = std::errc::invalid_argument,
                          tooLarge = std::errc::result_out_of_range;
    struct Case {
        const char* text;
        std::errc ec;
        uint32_t value;  // 12345: untouched
        size_t stop;
        bool noToken;
    } cases[] = {
        {"42", ok, 42, 2, false},
        {"  +007 x", ok, 7, 6, false},
        {"0", ok, 0, 1, false},
        {"4294967295", ok, 4294967295u, 10, false},
        {"\t\r\n\v\f9\n", ok, 9, 6, false},
        {"000000000000000001", ok, 1, 18, false},
        {"", invalid, 12345, 0, true},
        {"  \n ", invalid, 12345, 4, true},
        {" -1", invalid, 12345, 1, false},
        {"1.5", invalid, 12345, 0, false},
        {"12abc", invalid, 12345, 0, false},
        {"+", invalid, 12345, 0, false},
        {"++1", invalid, 12345, 0, false},
        {" 4294967296", tooLarge, 12345, 1, false},
        {"99999999999999999999", tooLarge, 12345, 0, false},
        {"0x10", invalid, 12345, 0, false},
    };
    for (const Case& c : cases) {
        Parsed p = Unsigned(c.text);
        EXPECT_EQ(p.ec, c.ec) << c.text;
        EXPECT_EQ(p.u, c.value) << c.text;
        EXPECT_EQ(p.stop, c.stop) << c.text;
        EXPECT_EQ(p.noToken, c.noToken) << c.text;
    }
}

TEST(ParseFloat, GivesWhatStrtofGivesForEveryNumberForm) {
    const char* tokens[] = {
        "1",
        "-0",
        "+1.5",
        "007.25",
        ".5",
        "-.5",
        "5.",
        "1e3",
        "1E-3",
        "+2.5e+2",
        "0.1",
        "3.4028235e38",
        "3.4028236e38",
        "-1e39",
        "1e-45",
        "7e-46",
        "1e-46",
        "-1e-50",
        "1.17549435e-38",
        "inf",
        "-Infinity",
        "INF",
        "nan",
        "-NaN",
        "NAN",
        "0x1p3",
        "-0x1.8p1",
        "0X.8",
        "0x1P-149",
        "0x1p200",
        "16777217",
        "0.000000000000000000000000000000000000001",
        "123456789012345678901234567890",
        "2.5000000000000000000000000000000000001",
    };
    for (const char* t : tokens) {
        Parsed p = Float(t);
        ASSERT_EQ(p.ec, std::errc()) << t;
        EXPECT_EQ(p.stop, std::strlen(t)) << t;
        EXPECT_EQ(FloatBits(p.f), FloatBits(std::strtof(t, nullptr))) << t;
    }
}

// Decimals of up to 15 digits, with room after them, take the fast path of
// one double division; longer ones, and those whose quotient lands on a
// midpoint between two floats, the general one.
TEST(ParseFloat, TheDecimalFastPathTakesShortDecimalsAndDeclinesMidpoints) {
    auto fast = [](const std::string& token) {
        const std::string text = token + "          ";
        float v = -1;
        const char* end = nullptr;
        bool taken = DecimalFastPath(text.data(), text.data() + text.size(), v, end);
        EXPECT_TRUE(!taken || (end == text.data() + token.size() &&
                               FloatBits(v) == FloatBits(std::strtof(token.c_str(), nullptr))))
            << token;
        return taken;
    };
    for (const char* t : {"32.029494", "-0.126660", "0.000000", "-0.000000", "1", "+7.5", "5.",
                          ".5", "-.25", "1234567.12345678", "0.12345678901234", "0.6314"})
        EXPECT_TRUE(fast(t)) << t;
    // Ties between two floats (2^24 + 1, 2^23 + 1/2, ...): exact halves, so
    // the double quotient is the midpoint itself.
    for (const char* t : {"16777217", "16777219.0", "8388608.5", "-8388609.5", "4194304.25",
                          "33554434.0", "33554438", "2097152.125"}) {
        EXPECT_FALSE(fast(t)) << t;
        ExpectStrtof(t);
    }
    // Not plain decimals of at most 15 digits and seven before the point.
    for (const char* t : {"1234567890123456", "12345678.5", "0.0000000000000001", "1e5", "0x10",
                          "inf", "1.5.", "--1", ".", "-", "1,5", "00000000"})
        EXPECT_FALSE(fast(t)) << t;
    // Without eight bytes after a group of digits: the general path.
    const std::string near = "2.5 ";
    float v = 0;
    const char* end = nullptr;
    EXPECT_FALSE(DecimalFastPath(near.data(), near.data() + near.size(), v, end));
    ExpectStrtof("2.5");
}

TEST(ParseFloat, AgreesWithStrtofOnRandomDecimals) {
    // Short decimals take a fast path; longer ones the general one. Both
    // must give strtof's float, down to the last bit.
    uint64_t state = 7;
    auto next = [&state](uint64_t n) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (state >> 33) % n;
    };
    for (int k = 0; k < 200000; ++k) {
        std::string token = next(3) == 0 ? "-" : "";
        size_t whole = next(10), fraction = next(14);
        for (size_t d = 0; d < whole; ++d)
            token += static_cast<char>('0' + next(10));
        if (fraction > 0 || whole == 0) token += '.';
        for (size_t d = 0; d < fraction; ++d)
            token += static_cast<char>('0' + next(10));
        if (whole + fraction == 0) token += '0';
        ExpectStrtof(token);
    }
}

namespace {

// Every decimal of the digits of n with the point at each place, from none
// to `maxFraction` digits after it, parsed and compared with strtof.
void ExpectStrtofAtEveryPoint(uint64_t n, int maxFraction) {
    // Leading zeros give every point place a digit before it.
    const std::string digits = std::string(12, '0') + std::to_string(n);
    for (size_t fraction = 0; fraction <= static_cast<size_t>(maxFraction); ++fraction) {
        const size_t point = digits.size() - fraction;
        std::string token = digits.substr(0, point);
        if (fraction > 0) token.append(".").append(digits, point, fraction);
        ExpectStrtof(token);
    }
}

}  // namespace

// The fast path takes digits up to 2^24 = 16777216, where every integer is
// a float; just above it, 1677721.7 would become 1677721.625, not .75.
TEST(ParseFloat, TheFastPathEndsExactlyAt2To24) {
    for (uint64_t n = (1u << 24) - 3000; n <= (1u << 24) + 3000; ++n)
        ExpectStrtofAtEveryPoint(n, 11);
    float v = 0;
    const char* end = nullptr;
    const std::string edge = "1677721.6 ", beyond = "1677721.7";
    EXPECT_TRUE(ClingerFastPath(edge.data(), edge.data() + edge.size(), v, end));
    EXPECT_EQ(v, 1677721.6f);
    EXPECT_EQ(end, edge.data() + 9);
    EXPECT_FALSE(ClingerFastPath(beyond.data(), beyond.data() + beyond.size(), v, end));
    EXPECT_EQ(Float(beyond).f, 1677721.75f);
    // At most ten digits after the point: 10^10 is the last exact power.
    const std::string ten = "0.0000000001", eleven = "0.00000000001";
    EXPECT_TRUE(ClingerFastPath(ten.data(), ten.data() + ten.size(), v, end));
    EXPECT_FALSE(ClingerFastPath(eleven.data(), eleven.data() + eleven.size(), v, end));
}

// Opt-in (KVX_EXHAUSTIVE=1, about a minute): every integer up to 2^24 and a
// little past it, with the point at every place the fast path takes.
TEST(ParseFloat, ExhaustiveAgainstStrtof) {
    const char* wanted = std::getenv("KVX_EXHAUSTIVE");
    if (wanted == nullptr || *wanted == '\0') GTEST_SKIP() << "set KVX_EXHAUSTIVE=1 to run";
    for (uint64_t n = 0; n <= (1u << 24) + (1u << 16); ++n)
        ExpectStrtofAtEveryPoint(n, 10);
}

TEST(ParseFloat, StopsAfterTheTokenAndSkipsLeadingSpace) {
    Parsed p = Float(" \r\n\t2.5  7");
    EXPECT_EQ(p.ec, std::errc());
    EXPECT_EQ(p.f, 2.5f);
    EXPECT_EQ(p.stop, 7u);
}

TEST(ParseFloat, RejectsAnythingThatIsNotOneCompleteNumber) {
    const char* tokens[] = {"abc", "1.2.3", "1.5abc", "1e",   "1e+",   ".",     "+-1",
                            "--1", "-+1",   "nan(1)", "0x",   "0xinf", "x",     "infinit",
                            "1,5", "+",     "-",      "0x-1", "e5",    "1e5.0", "\x01"};
    for (const char* t : tokens) {
        std::string text = std::string("  ") + t + " 1";
        Parsed p = Float(text);
        EXPECT_EQ(p.ec, std::errc::invalid_argument) << t;
        EXPECT_FALSE(p.noToken) << t;
        EXPECT_EQ(p.stop, 2u) << t;
        EXPECT_EQ(p.f, -12345.0f) << "value untouched on failure: " << t;
    }
    EXPECT_EQ(Float(" \n").ec, std::errc::invalid_argument);
    EXPECT_TRUE(Float(" \n").noToken);
}

TEST(PackColor, TruncatesEachProductAndPacksFirstValueHighest) {
    // The largest value whose truncated product is 255, and the smallest
    // (most negative) whose product is 0.
    const float highest = std::nextafter(256.0f / 255.0f, 0.0f);
    const float lowest = std::nextafter(-1.0f / 255.0f, 0.0f);
    ASSERT_LT(static_cast<double>(highest) * 255.0, 256.0);
    ASSERT_GT(static_cast<double>(lowest) * 255.0, -1.0);
    struct Case {
        float v[4];
        uint32_t color;
    } cases[] = {
        {{1, 0, 0, 0}, 0xFF000000u},
        {{0.2f, 0.4f, 0.6f, 0.8f}, 0x336699CCu},
        {{0.5f, 0, 0, 0}, 127u << 24},
        {{0.3f, 0, 0, 0}, 76u << 24},
        {{0, 0, 0, 0.999f}, 254u},
        {{1, 0, 0, 1}, 0xFF0000FFu},
        {{0, 0, 0, 0}, 0u},
        {{-0.0f, 0, -0.001f, -0.003f}, 0u},
        {{0, 1.003f, 0, 0}, 0x00FF0000u},
        {{highest, lowest, highest, lowest}, 0xFF00FF00u},
    };
    for (const Case& c : cases) {
        uint32_t color = 0xDEADBEEF;
        int bad = -1;
        EXPECT_TRUE(PackColor(c.v, color, bad));
        EXPECT_EQ(color, c.color) << c.v[0] << " " << c.v[1] << " " << c.v[2] << " " << c.v[3];
    }
}

// A value whose truncated product falls outside 0 to 255 would spill into
// the neighbouring bytes (1.5 gave 0x017E0000, -0.5 set every higher bit).
TEST(PackColor, RefusesValuesThatSpillOutOfTheirByte) {
    const float inf = INFINITY;
    const float beyond = std::nextafter(256.0f / 255.0f, 2.0f);
    const float below = std::nextafter(-1.0f / 255.0f, -1.0f);
    struct Case {
        float v[4];
        int bad;
    } cases[] = {
        {{0, 1.5f, 0, 0}, 1},  {{0, 0, 0, -0.5f}, 3}, {{beyond, 0, 0, 0}, 0},
        {{0, 0, below, 0}, 2}, {{0, 0, 1e10f, 0}, 2}, {{0, 0, 0, inf}, 3},
        {{-inf, 0, 0, 0}, 0},  {{0, NAN, 0, 0}, 1},   {{1, 2, 0, 0}, 1},
    };
    for (const Case& c : cases) {
        uint32_t color = 7;
        int bad = -1;
        EXPECT_FALSE(PackColor(c.v, color, bad));
        EXPECT_EQ(bad, c.bad);
        EXPECT_EQ(color, 7u);
    }
}

TEST(ColorWord, DecodeReadsEachOrderAndEncodeIsItsInverse) {
    const uint32_t word = 0x11223344u;
    Rgba argb = DecodeColor(word, ColorOrder::argb);
    EXPECT_EQ((std::vector<int>{argb.r, argb.g, argb.b, argb.a}),
              (std::vector<int>{0x22, 0x33, 0x44, 0x11}));
    Rgba rgba = DecodeColor(word, ColorOrder::rgba);
    EXPECT_EQ((std::vector<int>{rgba.r, rgba.g, rgba.b, rgba.a}),
              (std::vector<int>{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(EncodeColor(argb, ColorOrder::argb), word);
    EXPECT_EQ(EncodeColor(rgba, ColorOrder::rgba), word);
}

namespace {

constexpr CmshLayout kLayout7{.valuesPerVertex = 7};
constexpr CmshLayout kPoints{.valuesPerVertex = 7, .readsTriangles = false, .triangleBytes = 0};

// Reads counts and n vertex entries of k values from `text`.
std::vector<float> ReadVertices(const std::string& text, uint32_t k, std::string* error = nullptr) {
    CmshReader reader("m.cmsh", text.data(), text.data() + text.size());
    uint32_t vc = 0, fc = 0;
    std::vector<float> values;
    CmshLayout layout{.valuesPerVertex = k};
    if (!reader.readCounts(layout, vc, fc) || !reader.checkRoom(layout, vc, fc)) {
        if (error) *error = reader.error();
        return values;
    }
    for (uint32_t i = 0; i < vc; ++i) {
        float v[9];
        if (!reader.readVertex(v, k)) {
            if (error) *error = reader.error();
            return values;
        }
        values.insert(values.end(), v, v + k);
    }
    return values;
}

std::string CountsError(const std::string& text, CmshLayout layout = kLayout7) {
    CmshReader reader("m.cmsh", text.data(), text.data() + text.size());
    uint32_t vc = 0, fc = 0;
    bool ok = reader.readCounts(layout, vc, fc) && reader.checkRoom(layout, vc, fc);
    return ok ? "" : reader.error();
}

}  // namespace

TEST(CmshReader, LineBreaksAndSpacingCarryNoMeaning) {
    std::vector<float> expected = {1, 2, 3, 4, 5, 6};
    for (const char* text : {"2 0\n1 2 3\n4 5 6\n", "2\n0\n1\n2\n3\n4\n5\n6", "2 0 1 2 3 4 5 6",
                             "2 0\r\n1\t2\t3\r\n4 5 6\r\n", "\n\n  2 0\v1 2\f3 4 5 6  \n\n"}) {
        EXPECT_EQ(ReadVertices(text, 3), expected) << text;
    }
}

TEST(CmshReader, ReportsTheCountsThatCannotBeRead) {
    EXPECT_EQ(CountsError(""), "m.cmsh:1: expected the vertex count, found end of file");
    EXPECT_EQ(CountsError("3\n"), "m.cmsh:1: expected the face count, found end of file");
    EXPECT_EQ(CountsError("-3 1"), "m.cmsh:1: expected the vertex count, found \"-3\"");
    EXPECT_EQ(CountsError("\n\n3 x1"), "m.cmsh:3: expected the face count, found \"x1\"");
    EXPECT_EQ(CountsError("4294967296 1"),
              "m.cmsh:1: the vertex count \"4294967296\" does not fit in 32 bits");
}

TEST(CmshReader, RefusesCountsTheFileCannotHoldBeforeAllocating) {
    EXPECT_EQ(CountsError("1000 0\n"),
              "m.cmsh:1: the counts promise 1000 vertices and 0 faces, at least 14000 bytes of "
              "text, but only 1 follow");
    EXPECT_EQ(CountsError("1 1\n1 2 3 4 5 6 7\n0 0"),
              "m.cmsh:1: the counts promise 1 vertex and 1 face, at least 20 bytes of text, "
              "but only 18 follow");
    // Without triangles to read, only the vertices count.
    EXPECT_EQ(CountsError("2 9 1 2 3 4 5 6 7", kPoints),
              "m.cmsh:1: the counts promise 2 vertices, at least 28 bytes of text, but only 14 "
              "follow");
}

TEST(CmshReader, RefusesArraysOfFourGibibytesOrMore) {
    EXPECT_EQ(CountsError("4000000000 0\n"),
              "m.cmsh:1: the vertex count 4000000000 is too large (at most 268435455)");
    constexpr CmshLayout kLayout9{.valuesPerVertex = 9, .vertexBytes = 36, .triangleBytes = 20};
    EXPECT_EQ(CountsError("119304648 0", kLayout9),
              "m.cmsh:1: the vertex count 119304648 is too large (at most 119304647)");
    EXPECT_EQ(CountsError("0 214748365", kLayout9),
              "m.cmsh:1: the face count 214748365 is too large (at most 214748364)");
    // A converter that reads no triangles does not care about their count.
    EXPECT_EQ(CountsError("0 4294967295 1", kPoints), "");
}

TEST(CmshReader, NamesTheLineOfEveryBadValue) {
    std::string error;
    ReadVertices("2 0\n1 2 3\n4 1.5abc 6\n", 3, &error);
    EXPECT_EQ(error, "m.cmsh:3: expected a number, found \"1.5abc\"");
    ReadVertices("2 0\n1 2 3\n4 5\n\n", 3, &error);
    EXPECT_EQ(error, "m.cmsh:3: expected 3 vertex values, found end of file");
    ReadVertices("2 0\n1 2 3\n4\n5 \n\n  \n", 3, &error);
    EXPECT_EQ(error, "m.cmsh:4: expected 3 vertex values, found end of file");
    ReadVertices("1 0\n1 2 \"3\\\x01", 3, &error);
    EXPECT_EQ(error, "m.cmsh:2: expected a number, found \"\\x223\\x5c\\x01\"");
    ReadVertices("1 0\n1 2 " + std::string(100, '7') + "x", 3, &error);
    EXPECT_EQ(error, "m.cmsh:2: expected a number, found \"" + std::string(40, '7') + "...\"");
}

namespace {

struct TriangleRead {
    bool ok;
    uint32_t done;
    std::string error;
    std::vector<uint16_t> indices;
    size_t stop;  // where the reader stands afterwards: the name follows there
};

// Reads `count` entries of `text` for a mesh of vertexCount vertices.
TriangleRead ReadTriangleText(const std::string& text, uint32_t count,
                              uint32_t vertexCount = 65536) {
    CmshReader reader("t.cmsh", text.data(), text.data() + text.size());
    TriangleRead r;
    r.indices.assign(3 * size_t{count}, 0xABCD);
    r.done = 12345;
    r.ok = reader.readTriangles(count, vertexCount, r.indices.data(), r.done);
    r.error = r.ok ? "" : reader.error();
    char name[256] = {};
    reader.readName(name);
    r.stop = std::string(name).empty() ? text.size() : text.find(name);
    return r;
}

}  // namespace

TEST(CmshReader, ReportsTrianglesThatCannotBeRead) {
    struct Case {
        const char* text;
        uint32_t done;
        const char* error;
    } cases[] = {
        {"0 1 2\n3 4", 1, "t.cmsh:2: expected 3 vertex indices, found end of file"},
        {"0 1 2\n3 4\n", 1, "t.cmsh:2: expected 3 vertex indices, found end of file"},
        {"0 1 2\n3 -4 5", 1, "t.cmsh:2: expected a vertex index, found \"-4\""},
        {"\n0 1 99999999999", 0, "t.cmsh:2: vertex index \"99999999999\" does not fit in 32 bits"},
    };
    for (const Case& c : cases) {
        TriangleRead r = ReadTriangleText(c.text, 2);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.done, c.done) << c.text;
        EXPECT_EQ(r.error, c.error);
    }
    TriangleRead r = ReadTriangleText("0 1 2 65535 +7 0003 lid", 2);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.done, 2u);
    EXPECT_EQ(r.indices, (std::vector<uint16_t>{0, 1, 2, 65535, 7, 3}));
    EXPECT_EQ(r.stop, 20u);
}

// Indices are positions in the vertex array: none may name a vertex that
// was not read, and none is cut to 16 bits (65538 once became 2).
TEST(CmshReader, TrianglesNameTheFaceAndTheVertexOutOfRange) {
    EXPECT_EQ(ReadTriangleText("0 1 2\n0 1 3\n", 2, 3).error,
              "t.cmsh:2: face 1 names vertex 3 of 3");
    EXPECT_EQ(ReadTriangleText("0 1 65538", 1, 3).error,
              "t.cmsh:1: face 0 names vertex 65538 of 3");
    EXPECT_EQ(ReadTriangleText("0 1 65536", 1).error,
              "t.cmsh:1: face 0 names vertex 65536 of 65536");
    EXPECT_EQ(ReadTriangleText("0 1 2\n2 1 64\n", 2, 64).error,
              "t.cmsh:2: face 1 names vertex 64 of 64");
    EXPECT_EQ(ReadTriangleText("0 1 70000", 1, 70001).error,
              "t.cmsh:1: face 0 names vertex 70000, beyond the 16-bit index range (at most 65535)");
    EXPECT_EQ(ReadTriangleText("0 1 80000", 1, 70001).error,
              "t.cmsh:1: face 0 names vertex 80000 of 70001");
    EXPECT_EQ(ReadTriangleText("0 1 65535 0 1", 2, 65536).error,
              "t.cmsh:1: expected 3 vertex indices, found end of file");
    TriangleRead r = ReadTriangleText("0 1 65535", 1, 65536);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.indices, (std::vector<uint16_t>{0, 1, 65535}));
}

// Large sections are read by two threads: every result and every error must
// be that of reading entry after entry, wherever the trouble lies.
// Three indices read at once: tokens of one to eight digits, white space
// between and after them, all in the next 32 bytes, with 32 bytes to read.
TEST(CmshReader, TheTriangleFastPathTakesShortEntriesOnly) {
    auto fast = [](const std::string& entry, uint32_t a, uint32_t b, uint32_t c) {
        const std::string text = entry + std::string(40, ' ');
        uint32_t v[3] = {7, 7, 7};
        const char* end = nullptr;
        if (!TripleFastPath(text.data(), text.data() + text.size(), v, end)) return false;
        EXPECT_EQ(v[0], a) << entry;
        EXPECT_EQ(v[1], b) << entry;
        EXPECT_EQ(v[2], c) << entry;
        EXPECT_EQ(end, text.data() + entry.size()) << entry;
        return true;
    };
    EXPECT_TRUE(fast("1 2 3", 1, 2, 3));
    EXPECT_TRUE(fast("65535\t0\r\n00042", 65535, 0, 42));
    EXPECT_TRUE(fast("12345678   87654321 99999999", 12345678, 87654321, 99999999));
    // The white space after the third token must be within the 32 bytes:
    // here at byte 31, then at byte 32.
    EXPECT_TRUE(
        fast("1" + std::string(9, ' ') + "2" + std::string(12, ' ') + "12345678", 1, 2, 12345678));
    EXPECT_FALSE(
        fast("1" + std::string(9, ' ') + "2" + std::string(13, ' ') + "12345678", 0, 0, 0));
    for (const char* entry : {"123456789 1 2", "1 2 123456789", "+1 2 3", "1 -2 3", "1 2 3x", "1 2",
                              " 1 2 3", "1 2 3.0", "1,2 3 4", "1\x00 2 3"})
        EXPECT_FALSE(fast(entry, 0, 0, 0)) << entry;
    // Fewer than 32 bytes left: index by index.
    const std::string shortText = "1 2 3 ";
    uint32_t v[3];
    const char* end = nullptr;
    EXPECT_FALSE(TripleFastPath(shortText.data(), shortText.data() + shortText.size(), v, end));
    EXPECT_EQ(ReadTriangleText("1 2 3 ", 1).indices, (std::vector<uint16_t>{1, 2, 3}));
}

// Entries of every length and spacing read as a reading index by index
// does: the values, where the reading stopped, and the first bad entry.
TEST(CmshReader, TrianglesOfAnyShapeReadAsIndexByIndex) {
    uint64_t state = 11;
    auto next = [&state](uint64_t n) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>((state >> 33) % n);
    };
    const char* spaces[] = {" ", "\t", "\r\n", "\n", "    ", " \v\f ", "                   "};
    for (int round = 0; round < 300; ++round) {
        const uint32_t count = 1 + next(40);
        std::string text;
        std::vector<uint16_t> expected;
        for (uint32_t j = 0; j < 3 * count; ++j) {
            uint32_t v = next(4) == 0 ? next(10) : next(65536);
            std::string token = std::to_string(v);
            if (next(8) == 0) token = std::string(next(6), '0') + token;  // leading zeros
            if (next(16) == 0) token = "+" + token;
            text += token + spaces[next(7)];
            expected.push_back(static_cast<uint16_t>(v));
        }
        TriangleRead r = ReadTriangleText(text, count);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.indices, expected) << text;
        // The last index out of range, or cut short at the end.
        const uint32_t limit = 1 + next(65535);
        TriangleRead c = ReadTriangleText(text, count, limit);
        uint32_t good = 0;
        while (good < 3 * count && expected[good] < limit)
            ++good;
        EXPECT_EQ(c.ok, good == 3 * count);
        EXPECT_EQ(c.done, good / 3) << text;
        TriangleRead more = ReadTriangleText(text, count + 1);
        EXPECT_FALSE(more.ok);
        EXPECT_EQ(more.done, count);
    }
}

TEST(CmshReader, LargeTriangleSectionsReadAsIfInOrder) {
    constexpr uint32_t kCount = 300000;
    std::string text;
    std::vector<uint16_t> expected;
    std::vector<size_t> entryStart;
    for (uint32_t j = 0; j < kCount; ++j) {
        entryStart.push_back(text.size());
        for (int k = 0; k < 3; ++k) {
            uint32_t v = (j * 7919u + static_cast<uint32_t>(k) * 104729u) % 65000u;
            expected.push_back(static_cast<uint16_t>(v));
            // Uneven spacing and entries spread over lines, so that no split
            // point falls on an entry boundary by luck.
            text += std::to_string(v) + (k == 1 && j % 3 == 0 ? "\n\t" : " ");
        }
        if (j % 5 == 0) text += "\r\n";
    }
    text += "lid";
    TriangleRead r = ReadTriangleText(text, kCount);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.done, kCount);
    EXPECT_EQ(r.indices, expected);
    EXPECT_EQ(r.stop, text.size() - 3);
    EXPECT_EQ(ReadTriangleText(text, kCount, 65000).error, "");
    EXPECT_NE(ReadTriangleText(text, kCount, 64999).error, "");

    // Break the text at entries all through it, both halves included.
    for (uint32_t bad : {0u, 1u, 99999u, 150000u, 164000u, 165000u, 166000u, 170000u, 299999u}) {
        size_t at = entryStart[bad];
        std::string broken = text.substr(0, at) + "x" + text.substr(at);
        TriangleRead b = ReadTriangleText(broken, kCount);
        EXPECT_FALSE(b.ok) << bad;
        EXPECT_EQ(b.done, bad);
        auto lines = std::count(broken.begin(), broken.begin() + static_cast<ptrdiff_t>(at), '\n');
        std::string line = std::to_string(1 + lines);
        EXPECT_EQ(b.error.substr(0, 8 + line.size()), "t.cmsh:" + line + ":") << bad;
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 3 * bad, b.indices.begin()));
        // An index out of range, found by the checked reading.
        std::string big = text.substr(0, at) + "64999" + text.substr(at);
        EXPECT_EQ(ReadTriangleText(big, kCount, 65000).done, bad) << bad;
    }
    // Too few entries: what follows them, or the end, is reported.
    TriangleRead e = ReadTriangleText(text, kCount + 1);
    EXPECT_EQ(e.done, kCount);
    EXPECT_EQ(e.error.substr(e.error.find(": ") + 2), "expected a vertex index, found \"lid\"");
    text.resize(text.size() - 3);
    e = ReadTriangleText(text, kCount + 100000);
    EXPECT_EQ(e.done, kCount);
    EXPECT_EQ(e.error.substr(e.error.find(": ") + 2),
              "expected 3 vertex indices, found end of file");
}

TEST(CmshReader, LargeVertexSectionsReadAsIfInOrder) {
    // Enough entries for two threads.
    constexpr uint32_t kCount = kvx::kParallelVertices + 4000;
    const std::string counts = std::to_string(kCount) + " 0\n";
    std::string text = counts;
    std::vector<float> expected;
    std::vector<size_t> entryStart;
    for (uint32_t i = 0; i < kCount; ++i) {
        entryStart.push_back(text.size());
        for (int k = 0; k < 7; ++k) {
            std::string v = k < 4 ? std::to_string((i + static_cast<uint32_t>(k)) % 5 * 0.25)
                                  : std::to_string(i * 0.37 - k);
            expected.push_back(std::strtof(v.c_str(), nullptr));
            text += v + (k == 3 && i % 3 == 0 ? "\n\t" : " ");
        }
        text += "\n";
    }
    text += "0 1 2\n";
    struct Read {
        bool ok;
        uint32_t done;
        std::vector<float> values;
        std::string error;
    };
    auto read = [](const std::string& t) {
        CmshReader reader("v.cmsh", t.data(), t.data() + t.size());
        uint32_t vc = 0, fc = 0;
        EXPECT_TRUE(reader.readCounts(kLayout7, vc, fc));
        Read r{false, 0, std::vector<float>(size_t{vc} * 7), ""};
        auto build = [](void* context, uint32_t i, const float* v) {
            std::copy(v, v + 7, static_cast<float*>(context) + 7 * size_t{i});
            uint32_t color;
            int bad;
            return PackColor(v, color, bad);
        };
        r.ok = reader.readVertices(vc, 7, 0, build, r.values.data(), r.done);
        r.error = reader.error();
        return r;
    };
    Read whole = read(text);
    ASSERT_TRUE(whole.ok) << whole.error;
    EXPECT_EQ(whole.done, kCount);
    EXPECT_EQ(whole.values, expected);

    // A bad token, or a colour value that spills, all through the section.
    for (uint32_t bad : {0u, 1u, kCount / 4, kCount / 2 - 1, kCount / 2, kCount / 2 + 1000,
                         kCount / 5 * 3, kCount - 1}) {
        const size_t at = entryStart[bad];
        const std::string line = std::to_string(
            1 + std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(at), '\n'));
        for (const char* insert : {"x ", "2 "}) {
            SCOPED_TRACE(std::to_string(bad) + insert);
            Read b = read(text.substr(0, at) + insert + text.substr(at));
            EXPECT_FALSE(b.ok);
            EXPECT_EQ(b.done, bad);
            EXPECT_EQ(b.error,
                      "v.cmsh:" + line + ": " +
                          (insert[0] == 'x' ? std::string("expected a number, found \"x\"")
                                            : "colour value 2 times 255 is outside 0 to 255"));
            EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 7 * bad, b.values.begin()));
        }
    }
    // Too few entries.
    Read shortText = read(text.substr(0, entryStart[kCount - 1]));
    EXPECT_EQ(shortText.done, kCount - 1);
    EXPECT_EQ(shortText.error.substr(shortText.error.find(": ") + 2),
              "expected 7 vertex values, found end of file");
}

TEST(CmshReader, ColourValuesOutOfRangeNameTheirEntry) {
    auto colourError = [](const std::string& text) {
        CmshReader reader("c.cmsh", text.data(), text.data() + text.size());
        float v[7];
        uint32_t color = 0;
        while (reader.readVertex(v, 7) && reader.packColor(v, color)) {
        }
        return reader.error();
    };
    EXPECT_EQ(colourError("1 0 0 0 1 2 3\n0 1e10 0 0 1 2 3"),
              "c.cmsh:2: colour value 1e+10 times 255 is outside 0 to 255");
    EXPECT_EQ(colourError("\n\nnan 0 0 0 1 2 3"), "c.cmsh:3: colour value nan is not a number");
    EXPECT_EQ(colourError("0 0 -inf 0 1 2 3"),
              "c.cmsh:1: colour value -inf times 255 is outside 0 to 255");
    EXPECT_EQ(colourError("1 0 0 2 1 2 3"),
              "c.cmsh:1: colour value 2 times 255 is outside 0 to 255");
    EXPECT_EQ(colourError("1 0 0 0 1 2 3\n\n1.003 -0.5 0 0 1 2 3"),
              "c.cmsh:3: colour value -0.5 times 255 is outside 0 to 255");
}

TEST(CmshReader, ReadsTheFirstNameTokenOnly) {
    auto name = [](const std::string& text, std::string* error = nullptr) {
        CmshReader reader("n.cmsh", text.data(), text.data() + text.size());
        char buffer[256] = {};
        bool ok = reader.readName(buffer);
        if (error) *error = ok ? "" : reader.error();
        return std::string(buffer);
    };
    EXPECT_EQ(name("\n  teapot lid\n"), "teapot");
    EXPECT_EQ(name(""), "");
    EXPECT_EQ(name(" \n "), "");
    EXPECT_EQ(name(std::string(255, 'n')), std::string(255, 'n'));
    std::string error;
    EXPECT_EQ(name("\n" + std::string(256, 'n'), &error), "");
    EXPECT_EQ(error, "n.cmsh:2: the name is 256 characters long; at most 255 fit");
}

TEST(CmshReader, TrailingTextIsCountedAsFarAsAsked) {
    std::string text = "0 0\n 1 2\n3 tail ";
    CmshReader reader("t.cmsh", text.data(), text.data() + text.size());
    uint32_t vc = 0, fc = 0;
    ASSERT_TRUE(reader.readCounts(kLayout7, vc, fc));
    TrailingText all = reader.trailing(1000);
    EXPECT_EQ(all.tokens, 4u);
    EXPECT_TRUE(all.whole);
    TrailingText part = reader.trailing(4);
    EXPECT_EQ(part.tokens, 2u);
    EXPECT_FALSE(part.whole);
    EXPECT_EQ(CmshReader::TokensNeeded(kLayout7, 3, 5), 2u + 21 + 15);
    EXPECT_EQ(CmshReader::TokensNeeded(kPoints, 3, 5), 2u + 21);
}

namespace {

std::string Held(const TextFile& f) {
    return std::string(f.begin(), f.end());
}

// A pipe that a thread fills with `text`, then closes (or keeps open,
// writing `text` again and again, when `endless`).
struct Pipe {
    int fds[2];
    std::thread writer;
    std::atomic<bool> stop{false};
    Pipe(std::string text, bool endless) {
        // The reader closes its end while the writer may still write.
        std::signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(::pipe(fds), 0);
        writer = std::thread([this, text, endless] {
            do {
                if (::write(fds[1], text.data(), text.size()) < 0) break;
            } while (endless && !stop);
            ::close(fds[1]);
        });
    }
    std::string path() const { return "/dev/fd/" + std::to_string(fds[0]); }
    ~Pipe() {
        stop = true;
        ::close(fds[0]);
        writer.join();
    }
};

}  // namespace

TEST(TextFile, MapsFilesAndRefusesFolders) {
    TempDir dir;
    WriteFile(dir.file("a.cmsh"), "1 2 3");
    WriteFile(dir.file("empty.cmsh"), "");
    KvxStatus why;
    TextFile f;
    ASSERT_TRUE(f.open(dir.file("a.cmsh").c_str(), 3, &why));
    EXPECT_EQ(Held(f), "1 2 3");
    EXPECT_TRUE(f.whole());
    EXPECT_FALSE(f.changed());
    ASSERT_TRUE(f.open(dir.file("empty.cmsh").c_str(), 3, &why));
    EXPECT_EQ(f.begin(), f.end());
    EXPECT_TRUE(f.whole());
    EXPECT_FALSE(f.open(dir.path().c_str(), 3, &why));
    EXPECT_EQ(why.code, KvxErrc::read_failed);
    EXPECT_EQ(why.sysErrno, EISDIR);
    EXPECT_FALSE(f.open(dir.file("missing").c_str(), 3, &why));
    EXPECT_EQ(why.code, KvxErrc::open_failed);
    EXPECT_EQ(why.sysErrno, ENOENT);
}

// A stream is read only as far as asked: first the counts, then the tokens
// they need and a bounded margin, so an endless one does not fill memory.
TEST(TextFile, ReadsStreamsInBoundedSteps) {
    KvxStatus why;
    {
        Pipe pipe("2 1 ", true);
        TextFile f;
        ASSERT_TRUE(f.open(pipe.path().c_str(), 3, &why));
        EXPECT_FALSE(f.whole());
        EXPECT_LE(f.end() - f.begin(), 65536);
        EXPECT_EQ(Held(f).substr(0, 8), "2 1 2 1 ");
        ASSERT_TRUE(f.readTokens(1000, 100, &why));
        EXPECT_FALSE(f.whole());
        // Past the thousandth token, at most the margin and one read more.
        EXPECT_LE(f.end() - f.begin(), 65536 * 2);
        EXPECT_GE(std::count(f.begin(), f.end(), ' '), 1000);
    }
    {
        Pipe pipe(std::string(1 << 16, '\0'), true);
        TextFile f;
        ASSERT_TRUE(f.open(pipe.path().c_str(), 3, &why));
        EXPECT_EQ(static_cast<size_t>(f.end() - f.begin()), TextFile::kFirstStepBytes);
    }
    {
        Pipe pipe("3 0\n1 2\n", false);
        TextFile f;
        ASSERT_TRUE(f.open(pipe.path().c_str(), 3, &why));
        ASSERT_TRUE(f.readTokens(100, 100, &why));
        EXPECT_TRUE(f.whole());
        EXPECT_EQ(Held(f), "3 0\n1 2\n");
    }
}

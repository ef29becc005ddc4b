// The hot loops of turning text into numbers and numbers into text: index
// and float parsing, colour packing, and printf-exact formatting.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "mesh_gen.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/color.h"
#include "meshtext/text_file.h"

namespace {

int64_t Count(const benchmark::State& state, size_t perIteration) {
    return state.iterations() * static_cast<int64_t>(perIteration);
}

// The triangle section of a generated mesh: the bulk of a text mesh.
std::string IndexText(MeshKind kind) {
    std::vector<uint16_t> indices = GenerateTriangles(kind, 1'000'000, 1);
    std::string text;
    char line[32];
    for (size_t k = 0; k < indices.size(); k += 3) {
        int n = std::snprintf(line, sizeof line, "%u %u %u\n", indices[k], indices[k + 1],
                              indices[k + 2]);
        text.append(line, static_cast<size_t>(n));
    }
    return text;
}

// Reads the numbers of `text` with `parse` up to the first that is none, as
// often as the benchmark asks; bytes and numbers per second.
template <typename T, typename Parse>
void ParseEvery(benchmark::State& state, const std::string& text, Parse parse) {
    size_t tokens = 0;
    for (auto _ : state) {
        const char* p = text.data();
        const char* end = p + text.size();
        T v = 0, sum = 0;
        tokens = 0;
        for (;;) {
            ParseResult r = parse(p, end, v);
            if (r.ec != ParseErrc::ok) break;
            sum += v;
            p = r.ptr;
            ++tokens;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(Count(state, text.size()));
    state.SetItemsProcessed(Count(state, tokens));
}

void ParseIndices(benchmark::State& state, MeshKind kind) {
    ParseEvery<uint32_t>(state, IndexText(kind), [](const char* p, const char* end, uint32_t& v) {
        return ParseUnsigned(p, end, v);
    });
}
BENCHMARK_CAPTURE(ParseIndices, repeated, MeshKind::repeated)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ParseIndices, random, MeshKind::random)->Unit(benchmark::kMillisecond);

void ParseFloats(benchmark::State& state) {
    // Vertex values as the generator writes them.
    ParseEvery<float>(
        state, GenerateText(MeshKind::repeated, 7, 0, 1),
        [](const char* p, const char* end, float& v) { return ParseFloat(p, end, v); });
}
BENCHMARK(ParseFloats)->Unit(benchmark::kMillisecond);

void PackColors(benchmark::State& state) {
    std::vector<float> values(4 * 65536);
    for (size_t k = 0; k < values.size(); ++k)
        values[k] = static_cast<float>(k % 256) / 255.0f;
    for (auto _ : state) {
        uint32_t sum = 0;
        int bad = 0;
        for (size_t k = 0; k < values.size(); k += 4) {
            uint32_t color = 0;
            PackColor(&values[k], color, bad);
            sum += color;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(Count(state, values.size() / 4));
}
BENCHMARK(PackColors);

void FormatFloats(benchmark::State& state) {
    std::vector<float> values(65536 * 7);
    for (size_t k = 0; k < values.size(); ++k)
        values[k] = static_cast<float>(k % 1000) * 0.0137f - 5.0f;
    std::vector<char> out(values.size() * kMaxNumberText);
    for (auto _ : state) {
        char* p = out.data();
        for (float v : values)
            p = FormatFixed(p, v);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(Count(state, values.size()));
}
BENCHMARK(FormatFloats);

void FormatIndexLines(benchmark::State& state) {
    std::vector<uint16_t> indices = GenerateTriangles(MeshKind::repeated, 1'000'000, 1);
    std::vector<char> out(indices.size() / 3 * 3 * kMaxNumberText);
    size_t bytes = 0;
    for (auto _ : state) {
        char* p = out.data();
        for (size_t k = 0; k < indices.size(); k += 3) {
            p = FormatIndex(p, indices[k]);
            *p++ = ' ';
            p = FormatIndex(p, indices[k + 1]);
            *p++ = ' ';
            p = FormatIndex(p, indices[k + 2]);
            *p++ = '\n';
        }
        bytes = static_cast<size_t>(p - out.data());
        benchmark::DoNotOptimize(p);
    }
    state.SetBytesProcessed(Count(state, bytes));
    state.SetItemsProcessed(Count(state, indices.size()));
}
BENCHMARK(FormatIndexLines)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

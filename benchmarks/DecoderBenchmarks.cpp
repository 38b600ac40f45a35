// The decoder against the cost of copying its output: every format at two
// sizes, with memcpy of the same output bytes measured in the same run.
#include "BenchData.h"
#include "Premultiply.h"
#include "RatioReporter.h"
#include "TimDecode.h"
#include "TimFormat.h"

#ifdef TIM_BENCH_IMAGEMAGICK
#include "MagickPeer.h"
#endif

#include <benchmark/benchmark.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

using namespace timbench;

namespace {

bool Parse(const Case& c, TimImageInfo& info, benchmark::State& state) {
    if (CheckTimSignature(c.file.data(), c.file.size()) &&
        ParseTimHeader(info, c.file.data(), c.file.data() + c.file.size()) && info.width == c.width &&
        info.height == c.height) {
        return true;
    }
    state.SkipWithError("benchmark file not accepted");
    return false;
}

void Memcpy(benchmark::State& state, size_t bytes) {
    std::vector<uint8_t> source(bytes, 0x5A), destination(bytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
}

void Decode(benchmark::State& state, const Case& c) {
    TimImageInfo info{};
    if (!Parse(c, info, state)) return;
    std::vector<uint32_t> pixels(size_t(c.width) * c.height);
    for (auto _ : state) {
        DecodeTimPixels(info, pixels.data());
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
}

void Premultiply(benchmark::State& state, const Case& c) {
    // Freshly decoded pixels, as the thumbnail call hands them over; the pass
    // leaves such pixels unchanged, so every iteration sees the same input.
    TimImageInfo info{};
    if (!Parse(c, info, state)) return;
    std::vector<uint32_t> pixels(size_t(c.width) * c.height);
    DecodeTimPixels(info, pixels.data());
    for (auto _ : state) {
        PremultiplyPixels(pixels.data(), pixels.size());
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
}

void DecodeAndPremultiply(benchmark::State& state, const Case& c) {
    TimImageInfo info{};
    if (!Parse(c, info, state)) return;
    std::vector<uint32_t> pixels(size_t(c.width) * c.height);
    for (auto _ : state) {
        DecodeTimPixels(info, pixels.data());
        PremultiplyPixels(pixels.data(), pixels.size());
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
}

// Another output format was asked for on the command line: leave the output
// to the library alone (the ratio table is console text).
bool WantsOtherFormat(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* prefix = "--benchmark_format=";
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0 &&
            std::strcmp(argv[i] + std::strlen(prefix), "console") != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const bool otherFormat = WantsOtherFormat(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
#ifdef TIM_BENCH_IMAGEMAGICK
    StartMagick(argv[0]);
#endif

    // A deque keeps each case at its address for the registered lambdas.
    std::deque<Case> cases;
    std::vector<std::pair<std::string, std::string>> rows;
    const struct {
        uint16_t width, height;
    } sizes[] = {{256, 256}, {1024, 512}};
    for (const auto& size : sizes) {
        const size_t bytes = size_t(size.width) * size.height * 4;
        const std::string sizeName = std::to_string(size.width) + "x" + std::to_string(size.height);
        WithMinimum(benchmark::RegisterBenchmark(MemcpyName(sizeName).c_str(), Memcpy, bytes));
        for (uint32_t mode = 0; mode < 4; ++mode) {
            const Case& c = cases.emplace_back(MakeCase(mode, size.width, size.height));
            rows.emplace_back(c.format, sizeName);
            WithMinimum(benchmark::RegisterBenchmark(BenchName("decode", c.format, sizeName).c_str(), Decode, c));
            WithMinimum(
                benchmark::RegisterBenchmark(BenchName("premultiply", c.format, sizeName).c_str(), Premultiply, c));
            WithMinimum(benchmark::RegisterBenchmark(BenchName("decode_premultiply", c.format, sizeName).c_str(),
                                                     DecodeAndPremultiply, c));
#ifdef TIM_BENCH_IMAGEMAGICK
            RegisterMagickBenchmark(c);
#endif
        }
    }

    if (otherFormat) {
        benchmark::RunSpecifiedBenchmarks();
    } else {
        RatioReporter reporter(rows);
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    benchmark::Shutdown();
#ifdef TIM_BENCH_IMAGEMAGICK
    StopMagick();
#endif
    return 0;
}

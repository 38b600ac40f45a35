// samples/: the committed files are exactly what the generator writes, and
// between them they show what they claim to.
#include "Premultiply.h"
#include "SampleTims.h"
#include "StraightAlpha.h"
#include "TimDecode.h"
#include "TimFormat.h"
#include "TimSummary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace fs = std::filesystem;

namespace {

timtest::Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return timtest::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Samples, CommittedFilesMatchTheGenerator) {
    std::set<std::string> committed, generated;
    for (const auto& entry : fs::directory_iterator(TIM_SAMPLES_DIR))
        if (entry.path().extension() == ".tim") committed.insert(entry.path().filename().string());
    for (const auto& sample : samples::AllSamples()) {
        generated.insert(sample.name);
        EXPECT_EQ(ReadFile(fs::path(TIM_SAMPLES_DIR) / sample.name), sample.bytes)
            << sample.name << " differs from the generator: cmake --build build/native --target samples";
    }
    EXPECT_EQ(committed, generated);
}

TEST(Samples, CoverEveryFormatWithAndWithoutClutTransparencyAndARefusal) {
    struct Expect {
        const char* name;
        TimPixelFormat format;
        bool clut;
        bool transparent;
    };
    const Expect expected[] = {
        {"sprite-4bit-clut.tim", TimPixelFormat::Indexed4, true, true},
        {"sprite-4bit-two-palettes.tim", TimPixelFormat::Indexed4, true, true},
        {"bands-4bit-grey.tim", TimPixelFormat::Indexed4, false, false},
        {"rings-8bit-clut.tim", TimPixelFormat::Indexed8, true, true},
        {"glow-8bit-grey.tim", TimPixelFormat::Indexed8, false, false},
        {"checker-16bit.tim", TimPixelFormat::Direct16, false, true},
        {"gradient-24bit.tim", TimPixelFormat::Direct24, false, false},
    };
    const auto all = samples::AllSamples();
    size_t refused = 0;
    for (const auto& sample : all) {
        SCOPED_TRACE(sample.name);
        TimImageInfo info{};
        const bool parsed = CheckTimSignature(sample.bytes.data(), sample.bytes.size()) &&
                            ParseTimHeader(info, sample.bytes.data(), sample.bytes.data() + sample.bytes.size());
        EXPECT_EQ(parsed, sample.accepted);
        if (!parsed) {
            ++refused;
            continue;
        }
        const auto e = std::find_if(std::begin(expected), std::end(expected),
                                    [&](const Expect& x) { return sample.name == x.name; });
        ASSERT_NE(e, std::end(expected));
        EXPECT_EQ(info.format, e->format);
        EXPECT_EQ(info.paletteSize != 0, e->clut);
        // Copies: gtest binds references, and the packed fields are unaligned.
        EXPECT_EQ(int(info.width), 64);
        EXPECT_EQ(int(info.height), 64);
        std::vector<uint32_t> pixels(size_t(info.width) * info.height);
        DecodeTimPixels(info, pixels.data());
        const auto clear = std::count_if(pixels.begin(), pixels.end(), [](uint32_t p) { return p >> 24 == 0; });
        const auto opaque = std::count_if(pixels.begin(), pixels.end(), [](uint32_t p) { return p >> 24 == 255; });
        EXPECT_EQ(clear > 0, e->transparent);
        EXPECT_EQ(size_t(clear + opaque), pixels.size());
        EXPECT_GT(opaque, 0);
        // Something to look at: many distinct colours, not a flat fill.
        EXPECT_GE(std::set<uint32_t>(pixels.begin(), pixels.end()).size(), 7u);
    }
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(all.size(), std::size(expected) + 1);
}

TEST(Samples, SummaryIsWhatTimthumbPrints) {
    for (const auto& sample : samples::AllSamples()) {
        const TimSummary s = SummarizeTim(sample.bytes.data(), sample.bytes.size());
        EXPECT_EQ(s.accepted, sample.accepted) << sample.name;
        const std::string text = s.accepted ? std::to_string(s.width) + " x " + std::to_string(s.height) + ", " +
                                                  s.format
                                            : s.reason;
        EXPECT_EQ(text, sample.summary) << sample.name;
    }
}

// The known pixels the desktop tests look for are the handler's: decoded,
// premultiplied, and back to straight alpha top-down as tim2png writes them.
TEST(Samples, KnownPixelsAreTheHandlers) {
    size_t checked = 0;
    for (const auto& sample : samples::AllSamples()) {
        SCOPED_TRACE(sample.name);
        TimImageInfo info{};
        if (FindTimRefusal(info, sample.bytes.data(), sample.bytes.size()).reason != TimRefusalReason::Accepted) {
            EXPECT_TRUE(sample.known.empty());
            continue;
        }
        EXPECT_GE(sample.known.size(), 2u);
        std::vector<uint32_t> pixels(size_t(info.width) * info.height), straight(pixels.size());
        DecodeTimPixels(info, pixels.data());
        PremultiplyPixels(pixels.data(), pixels.size());
        ToStraightTopDown(reinterpret_cast<const uint8_t*>(pixels.data()), size_t(info.width) * 4, info.width,
                          info.height, true, true, straight.data());
        for (const auto& k : sample.known) {
            EXPECT_EQ(straight[size_t(k.y) * info.width + k.x], k.argb) << "at " << k.x << ", " << k.y;
            ++checked;
        }
    }
    EXPECT_GE(checked, 16u);
}

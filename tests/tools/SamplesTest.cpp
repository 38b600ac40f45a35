// samples/: the committed files are exactly what the generator writes,
// between them they show what they claim to, and the handler draws each as
// its expected picture.
#include "Conformance.h"
#include "Premultiply.h"
#include "SampleTims.h"
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

// The handler's bitmap (decoded and premultiplied, bottom row first) is each
// sample's expected picture, and the known pixels, worked out by hand from the
// samples' formulas, are in those pictures.
TEST(Samples, HandlersBitmapIsTheExpectedPictureWithTheKnownPixels) {
    size_t checked = 0;
    for (const auto& sample : samples::AllSamples()) {
        SCOPED_TRACE(sample.name);
        TimImageInfo info{};
        if (FindTimRefusal(info, sample.bytes.data(), sample.bytes.size()).reason != TimRefusalReason::Accepted) {
            EXPECT_TRUE(sample.known.empty());
            continue;
        }
        std::vector<uint32_t> pixels(size_t(info.width) * info.height);
        DecodeTimPixels(info, pixels.data());
        PremultiplyPixels(pixels.data(), pixels.size());
        EXPECT_TRUE(tim_conformance::MatchesSample(
            sample.name, {info.width, info.height, reinterpret_cast<const uint8_t*>(pixels.data()), pixels.size() * 4,
                          size_t(info.width) * 4, tim_conformance::RowOrder::BottomUp,
                          tim_conformance::PixelLayout::PremultipliedBgra}));

        const tim_conformance::ExpectedPicture* picture = tim_conformance::FindExpectedPicture(sample.name);
        ASSERT_NE(picture, nullptr);
        EXPECT_GE(sample.known.size(), 2u);
        for (const auto& k : sample.known) {
            const unsigned char* p = picture->rgba + (size_t(k.y) * picture->width + k.x) * 4;
            const uint32_t argb = uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            EXPECT_EQ(argb, k.argb) << "at " << k.x << ", " << k.y;
            ++checked;
        }
    }
    EXPECT_GE(checked, 16u);
}

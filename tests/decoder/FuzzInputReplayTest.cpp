// The fuzzer's checks, run by the ordinary tests: over the committed seed
// corpus and every input that ever broke the road (fuzz/regressions), each
// from a buffer that ends right before an inaccessible page. And proof that
// the checks themselves catch a damaged record or bitmap.
#include "GuardedBuffer.h"
#include "TimBuilder.h"
#include "TimDecode.h"
#include "TimFormat.h"
#include "TimRoadCheck.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace timtest;

namespace {

const std::string kFuzzDir = TIM_FUZZ_DIR;

std::vector<std::string> FilesIn(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name[0] != '.' && name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes ReadFile(const std::string& path) {
    Bytes bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (!f) return bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
    std::fclose(f);
    return bytes;
}

TimRoadOutcome RunGuarded(const Bytes& file) {
    GuardedBuffer buf(file);
    return RunTimRoad(buf.begin(), buf.size());
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

TEST(FuzzInputReplay, SeedCorpusPassesAndIsSortedIntoValidAndInvalid) {
    const std::string dir = kFuzzDir + "/corpus";
    const std::vector<std::string> names = FilesIn(dir, ".tim");
    ASSERT_GE(names.size(), 30u) << "seed corpus missing from " << dir;
    size_t valid = 0, invalid = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const TimRoadOutcome outcome = RunGuarded(ReadFile(dir + "/" + name));
        EXPECT_EQ(outcome.fault, "");
        if (StartsWith(name, "valid-")) {
            ++valid;
            EXPECT_EQ(outcome.stage, TimRoadStage::Decoded);
        } else if (StartsWith(name, "invalid-")) {
            ++invalid;
            EXPECT_TRUE(outcome.stage == TimRoadStage::RejectedBySignature ||
                        outcome.stage == TimRoadStage::RejectedByParser);
        } else {
            ADD_FAILURE() << "seed names start with valid- or invalid-";
        }
    }
    EXPECT_GT(valid, 0u);
    EXPECT_GT(invalid, 0u);
}

TEST(FuzzInputReplay, EveryPastCrashNowPasses) {
    const std::string dir = kFuzzDir + "/regressions";
    const std::vector<std::string> names = FilesIn(dir, ".tim");
    if (names.empty()) GTEST_SKIP() << "no regression inputs in " << dir;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(RunGuarded(ReadFile(dir + "/" + name)).fault, "");
    }
}

// The reasons the tools print come from the same rules as the handler's
// verdict: over every seed and past crash, and every truncation of them.
TEST(FuzzInputReplay, RefusalReasonAgreesWithTheVerdict) {
    size_t files = 0;
    for (const char* folder : {"/corpus", "/regressions"}) {
        const std::string dir = kFuzzDir + folder;
        for (const std::string& name : FilesIn(dir, ".tim")) {
            const Bytes whole = ReadFile(dir + "/" + name);
            ++files;
            for (size_t size = 0; size <= whole.size(); ++size) {
                GuardedBuffer buf(Bytes(whole.begin(), whole.begin() + ptrdiff_t(size)));
                TimImageInfo verdictInfo{}, reasonInfo{};
                const bool accepted = CheckTimSignature(buf.begin(), buf.size()) &&
                                      ParseTimHeader(verdictInfo, buf.begin(), buf.end());
                const TimRefusal refusal = FindTimRefusal(reasonInfo, buf.begin(), buf.size());
                ASSERT_EQ(refusal.reason == TimRefusalReason::Accepted, accepted) << name << " cut to " << size;
                ASSERT_EQ(TimRefusalText(refusal).empty(), accepted) << name << " cut to " << size;
                if (accepted) {
                    ASSERT_EQ(std::memcmp(&reasonInfo, &verdictInfo, sizeof verdictInfo), 0) << name;
                }
            }
        }
    }
    EXPECT_GE(files, 30u);
}

namespace {

struct Parsed {
    explicit Parsed(const Bytes& file) : buf(file) {
        EXPECT_TRUE(ParseTimHeader(info, buf.begin(), buf.end()));
        pixels.assign(size_t(info.width) * info.height, kTimRoadUnwritten);
        DecodeTimPixels(info, pixels.data());
    }
    GuardedBuffer buf;
    TimImageInfo info{};
    std::vector<uint32_t> pixels;
};

struct Damage {
    const char* what;
    Bytes file;
    std::function<void(TimImageInfo&, std::vector<uint32_t>&)> apply;
    const char* expectedFault;  // a part of the description
};

}  // namespace

TEST(FuzzInputReplay, ChecksCatchADamagedRecordOrBitmap) {
    const Bytes indexed4 = MakeTim(0, Block{16, 1, Colours({0, 0x7FFF, 0x001F, 0x8000, 1, 2, 3, 4, 5, 6,
                                                            7, 8, 9, 10, 11, 12})},
                                   Block{2, 2, {0x10, 0x32, 0x01, 0x23, 0x10, 0x32, 0x01, 0x23}});
    const Bytes direct16 = MakeTim(2, std::nullopt, Block{2, 1, Colours({0x7FFF, 0})});
    const Bytes direct16Column = MakeTim(2, std::nullopt, Block{1, 2, Colours({0x7FFF, 0x001F})});
    const Bytes direct24 = MakeTim(3, std::nullopt, Block{3, 1, {1, 2, 3, 4, 5, 6}});
    const Bytes greyIndexed8 = MakeTim(1, std::nullopt, Block{1, 1, {0, 255}});
    using I = TimImageInfo&;
    using P = std::vector<uint32_t>&;
    const std::vector<Damage> cases = {
        {"format tag", indexed4, [](I i, P) { i.format = TimPixelFormat::Indexed8; }, "format tag"},
        {"width", indexed4, [](I i, P) { i.width = 7; }, "width 7"},
        {"pixel pointer", indexed4, [](I i, P) { i.pixelData += 2; }, "pixelData is not at offset"},
        {"rows past the end", indexed4, [](I i, P) { i.height = 3; }, "runs past the end"},
        {"imageEnd", indexed4, [](I i, P) { i.imageEnd += 1; }, "imageEnd"},
        {"CLUT pointer", indexed4, [](I i, P) { i.clutData = nullptr; }, "clutData"},
        {"CLUT past its block", indexed4, [](I i, P) { i.clutWidth = 17; }, "CLUT entries run"},
        {"palette size", indexed4, [](I i, P) { i.paletteSize = 0; }, "palette size"},
        {"CLUT sizes without CLUT", direct16, [](I i, P) { i.clutCount = 1; }, "without a CLUT"},
        {"unwritten pixel", direct16, [](I, P p) { p[1] = kTimRoadUnwritten; }, "never written"},
        {"transparent colour", direct16, [](I, P p) { p[1] = 0x00000001; }, "alpha 0 but colour"},
        {"partial alpha", direct16, [](I, P p) { p[0] = 0x80FFFFFF; }, "alpha other than 0 and 255"},
        {"pixels swapped", direct16, [](I, P p) { std::swap(p[0], p[1]); }, "differs from its source"},
        {"rows top-down", direct16Column, [](I, P p) { std::swap(p[0], p[1]); }, "differs from its source"},
        {"wrong palette entry", indexed4, [](I, P p) { std::swap(p[0], p[1]); }, "differs from its source"},
        {"24-bit transparent", direct24, [](I, P p) { p[0] = 0; }, "24-bit pixel that is not opaque"},
        {"24-bit channel order", direct24, [](I, P p) { p[0] = 0xFF030201; }, "differs from its source"},
        {"grey ramp colour", greyIndexed8, [](I, P p) { p[0] = 0xFF102030; }, "not opaque grey"},
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.what);
        Parsed parsed(c.file);
        // Undamaged, the same checks pass.
        ASSERT_EQ(CheckTimRecord(parsed.info, parsed.buf.begin(), parsed.buf.size()), "");
        ASSERT_EQ(CheckDecodedPixels(parsed.info, parsed.pixels.data()), "");
        c.apply(parsed.info, parsed.pixels);
        std::string fault = CheckTimRecord(parsed.info, parsed.buf.begin(), parsed.buf.size());
        if (fault.empty()) fault = CheckDecodedPixels(parsed.info, parsed.pixels.data());
        EXPECT_NE(fault.find(c.expectedFault), std::string::npos) << "fault: \"" << fault << "\"";
    }
}

// timthumb's one-line account of a file: size and format, or why it is refused.
#include "TimBuilder.h"
#include "TimFormat.h"
#include "TimSummary.h"

#include <gtest/gtest.h>

#include <optional>

using namespace timtest;

TEST(TimSummary, FormatsAndRefusalReasons) {
    Bytes shortFile = MakeTim(2, std::nullopt, Block{1, 1});
    shortFile.resize(19);
    Bytes badFlags = MakeTim(2, std::nullopt, Block{1, 1});
    badFlags[4] = 16;
    Bytes longFirstBlock = MakeTim(2, std::nullopt, Block{1, 1, {}, 1000});
    Bytes cutImage = MakeTim(0, Block{16, 1}, Block{4, 4});
    cutImage.resize(cutImage.size() - 1);
    Bytes shortFirstBlock = MakeTim(2, std::nullopt, Block{1, 1, {}, 11});
    const struct {
        const char* name;
        Bytes file;
        bool accepted;
        const char* text;  // format when accepted, else the reason
    } cases[] = {
        {"4-bit with CLUT", MakeTim(0, Block{16, 1}, Block{1, 2}), true, "4-bit indexed with CLUT"},
        {"4-bit grey", MakeTim(0, std::nullopt, Block{1, 2}), true, "4-bit indexed, no CLUT (grey)"},
        {"8-bit with CLUT", MakeTim(1, Block{256, 1}, Block{1, 2}), true, "8-bit indexed with CLUT"},
        {"8-bit grey", MakeTim(1, std::nullopt, Block{1, 2}), true, "8-bit indexed, no CLUT (grey)"},
        {"16-bit", MakeTim(2, std::nullopt, Block{1, 2}), true, "16-bit direct colour"},
        {"16-bit with a skipped CLUT", MakeTim(2, Block{16, 1}, Block{1, 2}), true, "16-bit direct colour"},
        {"24-bit", MakeTim(3, std::nullopt, Block{3, 2}), true, "24-bit direct colour"},
        {"empty", {}, false, "the file is empty"},
        {"text", Bytes(100, 'x'), false, "not a TIM file (no TIM identifier)"},
        {"19 bytes", shortFile, false, "too short for a TIM file (19 bytes)"},
        {"flags 16", badFlags, false, "not a TIM file (unknown flags 16)"},
        {"first block too long", longFirstBlock, false, "damaged TIM file: its first block is longer than the file"},
        {"mode 4", MakeTim(4, std::nullopt, Block{1, 1}), false,
         "unsupported pixel mode 4 (4-, 8-, 16- and 24-bit images are read)"},
        {"image cut short", cutImage, false, "damaged TIM file: its blocks do not fit the file"},
        {"first block shorter than its header", shortFirstBlock, false,
         "damaged TIM file: its first block is shorter than a block header"},
        {"CLUT length one short", MakeTim(0, Block{16, 1, {}, 43}, Block{1, 1}), false,
         "damaged TIM file: its CLUT block is shorter than its colours"},
        {"4-bit, 65536 pixels wide", MakeTim(0, std::nullopt, Block{16384, 0}), false,
         "image too wide: 65536 pixels per row (at most 65535)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TimSummary s = SummarizeTim(c.file.data(), c.file.size());
        EXPECT_EQ(s.accepted, c.accepted);
        EXPECT_EQ(c.accepted ? s.format : s.reason, c.text);
    }
    // The reasons an accepted file is not drawn, word for word as every
    // client prints them.
    const struct {
        TimRefusal refusal;
        const char* text;
    } draws[] = {
        {{TimRefusalReason::NoPixels, 0, 3}, "the image has no pixels (0 x 3)"},
        {{TimRefusalReason::TooManyPixels, 4096, 4097}, "image too large: 4096 x 4097 pixels (at most 16777216 in all)"},
        {{TimRefusalReason::NoMemory, 4096, 4096}, "not enough memory for a 4096 x 4096 image"},
    };
    for (const auto& d : draws) {
        EXPECT_EQ(TimRefusalText(d.refusal), d.text);
        TimImageInfo info{};
        info.width = uint16_t(d.refusal.value);
        info.height = uint16_t(d.refusal.height);
        if (d.refusal.reason != TimRefusalReason::NoMemory) {
            EXPECT_EQ(TimDrawRefusalText(info), d.text);
        }
    }
    TimImageInfo drawn{};
    drawn.width = 4096;
    drawn.height = 4096;
    EXPECT_EQ(TimDrawRefusal(drawn).reason, TimRefusalReason::Accepted);

    const Bytes wide = MakeTim(3, std::nullopt, Block{5, 7});
    const TimSummary s = SummarizeTim(wide.data(), wide.size());
    EXPECT_EQ(s.width, 3);  // 2 * 5 / 3 pixels
    EXPECT_EQ(s.height, 7);
}

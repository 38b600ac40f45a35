// Colour conversion and the built-in grey ramps.
#include "TimColor.h"

#include <cstdlib>

#include <gtest/gtest.h>


TEST(TimColorToBgra, KnownColours) {
    const struct {
        uint16_t colour;
        uint32_t pixel;
    } cases[] = {
        {0x0000, 0x00000000}, {0x8000, 0xFF000000}, {0x7FFF, 0xFFFFFFFF}, {0x001F, 0xFFFF0000},
        {0x03E0, 0xFF00FF00}, {0x7C00, 0xFF0000FF}, {0x0001, 0xFF080000}, {0x8842, 0xFF101010},
        {0xFFFF, 0xFFFFFFFF}, {0x8001, 0xFF080000},
    };
    for (const auto& c : cases) EXPECT_EQ(TimColorToBgra(c.colour), c.pixel) << std::hex << c.colour;
}

TEST(TimColorToBgra, EveryColourWidensEachChannelAndIsOpaqueUnlessZero) {
    for (uint32_t colour = 0; colour < 0x10000; ++colour) {
        const uint32_t pixel = TimColorToBgra(uint16_t(colour));
        if (colour == 0) {
            ASSERT_EQ(pixel, 0u);
            continue;
        }
        ASSERT_EQ(pixel >> 24, 0xFFu) << colour;
        const uint32_t fields[3] = {colour & 31, (colour >> 5) & 31, (colour >> 10) & 31};
        const uint32_t bytes[3] = {(pixel >> 16) & 255, (pixel >> 8) & 255, pixel & 255};
        for (int i = 0; i < 3; ++i) {
            // Top bits copied down: 0 -> 0, 1 -> 8, 31 -> 255, and monotonic.
            ASSERT_EQ(bytes[i] >> 3, fields[i]) << colour;
            ASSERT_EQ(bytes[i] & 7, fields[i] >> 2) << colour;
        }
    }
}

TEST(DefaultGrey, Sixteen) {
    for (unsigned i = 0; i < 16; ++i) {
        // round(i * 31 / 15) in every channel, bit 15 set.
        const unsigned level = unsigned(i * 31.0 / 15.0 + 0.5);
        EXPECT_EQ(kDefaultGrey16[i], 0x8000 | level | level << 5 | level << 10) << i;
    }
    EXPECT_EQ(kDefaultGrey16[8], 0xC631);  // level 17, not 16
    EXPECT_EQ(TimColorToBgra(kDefaultGrey16[0]), 0xFF000000u);
    EXPECT_EQ(TimColorToBgra(kDefaultGrey16[15]), 0xFFFFFFFFu);
}

TEST(DefaultGrey, TwoHundredFiftySix) {
    for (unsigned i = 0; i < 256; ++i) {
        const unsigned level = i / 8;
        EXPECT_EQ(kDefaultGrey256[i], 0x8000 | level | level << 5 | level << 10) << i;
    }
}

TEST(ConvertColorRun, ConvertsExactlyCountEntries) {
    const uint16_t colours[] = {0x0000, 0x7FFF, 0x001F, 0x8000, 0x03E0, 0x1234};
    uint32_t out[6] = {1, 1, 1, 1, 1, 0xDEADBEEF};
    ConvertColorRun(out, colours, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], TimColorToBgra(colours[i])) << i;
    EXPECT_EQ(out[5], 0xDEADBEEFu);
}

// The way back against the way there, over every colour: each drawn colour
// comes back exact to its own 15 bits (STP dropped, except opaque black,
// which keeps it so as not to turn transparent), and every 8-bit channel goes
// to the level whose widened value is nearest.
TEST(TimColorFromBgra, InvertsTimColorToBgraOverEveryColour) {
    for (uint32_t colour = 0; colour < 0x8000; ++colour) {
        for (const uint32_t stp : {0u, 0x8000u}) {
            const uint16_t word = uint16_t(colour | stp);
            const TimColorBack back = TimColorFromBgra(TimColorToBgra(word));
            ASSERT_TRUE(back.exact) << std::hex << word;
            const uint16_t expected = word == 0 ? 0 : colour == 0 ? 0x8000 : uint16_t(colour);
            ASSERT_EQ(back.colour, expected) << std::hex << word;
        }
    }
    for (uint32_t v = 0; v < 256; ++v) {
        const uint32_t level = TimLevelOfChannel(v);
        const int got = int((level << 3) | (level >> 2));
        for (uint32_t other = 0; other < 32; ++other)
            ASSERT_LE(std::abs(got - int(v)), std::abs(int((other << 3) | (other >> 2)) - int(v))) << v;
        const TimColorBack grey = TimColorFromBgra(0xFF000000u | v << 16 | v << 8 | v);
        ASSERT_EQ(grey.exact, uint32_t(got) == v) << v;
    }
    const struct {
        uint32_t pixel;
        TimColorBack back;
    } edges[] = {
        {0x00FFFFFF, {0x0000, true}},  // clear, whatever its colour channels
        {0x7F123456, {0x0000, false}}, // half-clear: transparent, not exact
        {0x80000000, {0x8000, false}}, // half-opaque black: opaque black
        {0xFF000000, {0x8000, true}},
        {0xFF000001, {0x8000, false}}, // rounds to black: still opaque
        {0xFFFF0000, {0x001F, true}},
    };
    for (const auto& e : edges) {
        EXPECT_EQ(TimColorFromBgra(e.pixel).colour, e.back.colour) << std::hex << e.pixel;
        EXPECT_EQ(TimColorFromBgra(e.pixel).exact, e.back.exact) << std::hex << e.pixel;
    }
}

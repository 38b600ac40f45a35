// Each pixel format decoded from small hand-made files to known pixels, with
// the bitmap's bottom-up row order.
#include "TimBuilder.h"
#include "TimColor.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

using namespace timtest;

namespace {

struct Decoded {
    TimImageInfo info{};
    std::vector<uint32_t> pixels;
};

Decoded Decode(const Bytes& file) {
    Decoded d;
    EXPECT_TRUE(CheckTimSignature(file.data(), file.size()));
    EXPECT_TRUE(ParseTimHeader(d.info, file.data(), file.data() + file.size()));
    d.pixels.assign(size_t(d.info.width) * d.info.height, 0xDEADBEEF);
    DecodeTimPixels(d.info, d.pixels.data());
    return d;
}

// A CLUT whose entry i is a distinct opaque colour, so lookups can be traced.
Bytes TracerClut(unsigned entries) {
    Bytes v;
    for (unsigned i = 0; i < entries; ++i) PutU16(v, uint16_t(0x8000 | i));
    return v;
}

uint32_t Tracer(unsigned i) {
    return TimColorToBgra(uint16_t(0x8000 | i));
}

}  // namespace

TEST(DecodeIndexed4, LowNibbleFirstAndBottomRowFirst) {
    // Rows 0x21 0x43 and 0x65 0x87: the bitmap's first row is the file's last.
    const Bytes data = {0x21, 0x43, 0x65, 0x87};
    const Decoded d = Decode(MakeTim(0, Block{16, 1, TracerClut(16)}, Block{1, 2, data}));
    ASSERT_EQ(+d.info.width, 4);
    ASSERT_EQ(+d.info.height, 2);
    const std::vector<uint32_t> want = {Tracer(5), Tracer(6), Tracer(7), Tracer(8),
                                        Tracer(1), Tracer(2), Tracer(3), Tracer(4)};
    EXPECT_EQ(d.pixels, want);
}

TEST(DecodeIndexed4, OnlyTheFirstPaletteIsUsed) {
    Bytes clut = TracerClut(16);
    const Bytes second = Colours({0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF,
                                  0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF});
    clut.insert(clut.end(), second.begin(), second.end());
    const Decoded d = Decode(MakeTim(0, Block{16, 2, clut}, Block{1, 1, {0xF0, 0x0F}}));
    const std::vector<uint32_t> want = {Tracer(0), Tracer(15), Tracer(15), Tracer(0)};
    EXPECT_EQ(d.pixels, want);
}

TEST(SelectTimPalette, DrawsWithTheChosenWholePalette) {
    // 8-bit, 256 x 257 entries: 257 whole palettes; entry i is Tracer(i % 0x7FFF).
    Bytes clut;
    for (unsigned i = 0; i < 256 * 257; ++i) PutU16(clut, uint16_t(0x8000 | (i & 0x7FFF)));
    const Bytes file = MakeTim(1, Block{256, 257, clut}, Block{1, 1, {0, 255}});
    TimImageInfo info{};
    ASSERT_TRUE(ParseTimHeader(info, file.data(), file.data() + file.size()));
    EXPECT_EQ(TimPaletteCount(info), 257u);
    TimImageInfo last = info;
    ASSERT_TRUE(SelectTimPalette(last, 256));
    std::vector<uint32_t> pixels(2);
    DecodeTimPixels(last, pixels.data());
    EXPECT_EQ(pixels, (std::vector<uint32_t>{Tracer((256 * 256) & 0x7FFF), Tracer((256 * 256 + 255) & 0x7FFF)}));
    TimImageInfo beyond = info;
    EXPECT_FALSE(SelectTimPalette(beyond, 257));
    EXPECT_EQ(std::memcmp(&beyond, &info, sizeof info), 0);

    // 4-bit, 32768 x 32 entries: 65536 palettes, a count that wraps clutCount to 0.
    const Bytes huge = MakeTim(0, Block{32768, 32}, Block{1, 1});
    ASSERT_TRUE(ParseTimHeader(info, huge.data(), huge.data() + huge.size()));
    EXPECT_EQ(+info.clutCount, 0);
    EXPECT_EQ(TimPaletteCount(info), 65536u);
    EXPECT_TRUE(SelectTimPalette(info, 65535));
    EXPECT_EQ(info.clutData + 16 * 2, huge.data() + 8 + 12 + 32768 * 32 * 2);  // the last palette

    // A CLUT shorter than a palette has none to choose; index 0 still draws it.
    const Bytes shortClut = MakeTim(0, Block{4, 1, TracerClut(4)}, Block{1, 1});
    ASSERT_TRUE(ParseTimHeader(info, shortClut.data(), shortClut.data() + shortClut.size()));
    EXPECT_EQ(TimPaletteCount(info), 0u);
    EXPECT_TRUE(SelectTimPalette(info, 0));
    EXPECT_FALSE(SelectTimPalette(info, 1));
}

TEST(DecodeIndexed8, OneBytePerPixelAndBottomRowFirst) {
    const Bytes data = {0, 1, 254, 255, 7, 8, 9, 10};
    const Decoded d = Decode(MakeTim(1, Block{256, 1, TracerClut(256)}, Block{2, 2, data}));
    ASSERT_EQ(+d.info.width, 4);
    const std::vector<uint32_t> want = {Tracer(7), Tracer(8), Tracer(9), Tracer(10),
                                        Tracer(0), Tracer(1), Tracer(254), Tracer(255)};
    EXPECT_EQ(d.pixels, want);
}

TEST(DecodeIndexed, WithoutClutUsesTheGreyRamps) {
    const Decoded d4 = Decode(MakeTim(0, std::nullopt, Block{1, 1, {0x80, 0xF1}}));
    const std::vector<uint32_t> want4 = {0xFF000000, TimColorToBgra(kDefaultGrey16[8]),
                                         TimColorToBgra(kDefaultGrey16[1]), 0xFFFFFFFF};
    EXPECT_EQ(d4.pixels, want4);
    EXPECT_EQ(d4.pixels[1], 0xFF8C8C8C);  // level 17

    const Decoded d8 = Decode(MakeTim(1, std::nullopt, Block{1, 1, {0, 255}}));
    const std::vector<uint32_t> want8 = {0xFF000000, 0xFFFFFFFF};
    EXPECT_EQ(d8.pixels, want8);
}

TEST(DecodeIndexed, ClutSmallerThanAPaletteLeavesTheRestTransparent) {
    // 4 entries for a 16-entry palette; the image header that follows the CLUT
    // must never be read as colours 4 and up.
    const Bytes data4 = {0x10, 0x32, 0x54, 0xF6};
    const Decoded d4 = Decode(MakeTim(0, Block{4, 1, TracerClut(4)}, Block{2, 1, data4}));
    const std::vector<uint32_t> want4 = {Tracer(0), Tracer(1), Tracer(2), Tracer(3), 0, 0, 0, 0};
    EXPECT_EQ(d4.pixels, want4);

    // 8-bit with 16 x 2 = 32 entries.
    const Bytes data8 = {0, 31, 32, 255};
    const Decoded d8 = Decode(MakeTim(1, Block{16, 2, TracerClut(32)}, Block{2, 1, data8}));
    const std::vector<uint32_t> want8 = {Tracer(0), Tracer(31), 0, 0};
    EXPECT_EQ(d8.pixels, want8);

    // An empty CLUT block: every entry transparent, not the grey ramp.
    const Decoded d0 = Decode(MakeTim(1, Block{0, 0}, Block{1, 1, {0, 1}}));
    const std::vector<uint32_t> want0 = {0, 0};
    EXPECT_EQ(d0.pixels, want0);
}

TEST(DecodeDirect16, ConvertsEachColourBottomRowFirst) {
    const Bytes data = Colours({0x0000, 0x8000, 0x001F, 0x03E0, 0x7C00, 0x7FFF});
    const Decoded d = Decode(MakeTim(2, std::nullopt, Block{3, 2, data}));
    const std::vector<uint32_t> want = {0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF,
                                        0x00000000, 0xFF000000, 0xFFFF0000};
    EXPECT_EQ(d.pixels, want);
}

TEST(DecodeDirect24, RedFirstOpaqueAndTailBytesSkipped) {
    // rawWidth 5: 10 bytes a row, 3 pixels, the tenth byte belongs to none.
    const Bytes data = {0x10, 0x20, 0x30, 0x00, 0x00, 0x00, 0xFF, 0xFE, 0xFD, 0xAA,
                        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xBB};
    const Decoded d = Decode(MakeTim(3, std::nullopt, Block{5, 2, data}));
    ASSERT_EQ(+d.info.width, 3);
    const std::vector<uint32_t> want = {0xFF010203, 0xFF040506, 0xFF070809,
                                        0xFF102030, 0xFF000000, 0xFFFFFEFD};
    EXPECT_EQ(d.pixels, want);
}

TEST(DecodeDirect24, ClutBlockIsSkipped) {
    const Decoded d = Decode(MakeTim(3, Block{16, 1, TracerClut(16)}, Block{3, 1, {1, 2, 3, 4, 5, 6}}));
    const std::vector<uint32_t> want = {0xFF010203, 0xFF040506};
    EXPECT_EQ(d.pixels, want);
    EXPECT_EQ(+d.info.paletteSize, 0);
}

TEST(DecodeTimPixels, ZeroWidthOrHeightWritesNothing) {
    for (const Bytes& file : {MakeTim(2, std::nullopt, Block{0, 4}), MakeTim(2, std::nullopt, Block{4, 0}),
                              MakeTim(3, std::nullopt, Block{1, 4, Bytes(8, 1)})}) {
        TimImageInfo info{};
        ASSERT_TRUE(ParseTimHeader(info, file.data(), file.data() + file.size()));
        ASSERT_TRUE(info.width == 0 || info.height == 0);
        uint32_t canary[4] = {1, 2, 3, 4};
        DecodeTimPixels(info, canary);
        EXPECT_EQ(canary[0], 1u);
        EXPECT_EQ(canary[3], 4u);
    }
}

// Any band of rows, in the file's order, is those rows of the bottom-up
// image; rows past the last are left alone. Every format, a height that no
// band size divides, widths that leave kernel tails.
TEST(DecodeTimRows, EveryBandIsTheImageTopDown) {
    const Bytes files[] = {
        MakeTim(0, Block{16, 1, TracerClut(16)}, Block{5, 7, Noise(70, 1)}),
        MakeTim(1, Block{256, 1, TracerClut(256)}, Block{9, 7, Noise(126, 2)}),
        MakeTim(2, std::nullopt, Block{19, 7, Noise(266, 3)}),
        MakeTim(3, std::nullopt, Block{29, 7, Noise(406, 4)}),
    };
    for (const Bytes& file : files) {
        const Decoded whole = Decode(file);
        const size_t width = whole.info.width, height = whole.info.height;
        SCOPED_TRACE(int(whole.info.format));
        for (uint32_t band : {1u, 3u, 7u, 16u}) {
            std::vector<uint32_t> topDown(width * height + 1, 0xDEADBEEF);
            for (uint32_t row = 0; row < height; row += band)
                DecodeTimRows(whole.info, row, band, topDown.data() + row * width);
            for (size_t y = 0; y < height; ++y)
                for (size_t x = 0; x < width; ++x)
                    ASSERT_EQ(topDown[y * width + x], whole.pixels[(height - 1 - y) * width + x])
                        << "band " << band << ", pixel " << x << ", " << y;
            EXPECT_EQ(topDown.back(), 0xDEADBEEF) << "written past the last row";
        }
        uint32_t canary = 1;
        DecodeTimRows(whole.info, uint32_t(height), 4, &canary);
        EXPECT_EQ(canary, 1u);
    }
}

// Premultiplied bitmap pixels to the straight alpha a PNG stores.
#include "Premultiply.h"
#include "StraightAlpha.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// The usual meaning of premultiplied: colour channels c * A / 255 rounded
// down (as the handler rounds), alpha unchanged.
uint32_t Premultiply(uint32_t straight) {
    const uint32_t a = straight >> 24;
    uint32_t result = a << 24;
    for (int shift = 0; shift < 24; shift += 8)
        result |= DivideBy255(((straight >> shift) & 0xFF) * a) << shift;
    return result;
}

}  // namespace

TEST(StraightAlpha, EveryPremultipliedPixelComesBackExactlyWhenPremultipliedAgain) {
    for (uint32_t a = 0; a < 256; ++a)
        for (uint32_t c = 0; c <= a; ++c) {
            // Three different channel values per pixel, all at most alpha.
            const uint32_t pixel = (a << 24) | (c << 16) | ((a - c) << 8) | (c / 2);
            const uint32_t straight = UnpremultiplyPixel(pixel);
            ASSERT_EQ(Premultiply(straight), pixel) << std::hex << pixel << " -> " << straight;
            ASSERT_EQ(straight >> 24, a);
        }
}

TEST(StraightAlpha, FixedValues) {
    const struct {
        uint32_t premultiplied, straight;
    } cases[] = {
        {0x00000000, 0x00000000},  // transparent stays all zero
        {0x00123456, 0x00000000},  // colour without coverage is dropped
        {0xFF123456, 0xFF123456},  // opaque is unchanged
        {0x80404040, 0x80808080},  // half coverage doubles the channels
        {0x01010000, 0x01FF0000},  // the faintest red is full red
        {0x10FF2000, 0x10FFFF00},  // channels above alpha saturate
    };
    for (const auto& c : cases) EXPECT_EQ(UnpremultiplyPixel(c.premultiplied), c.straight) << std::hex << c.premultiplied;
}

TEST(StraightAlpha, RowsAreFlippedAndStrideRespected) {
    // 2 x 3 image, bottom row first, rows padded to 12 bytes.
    const uint32_t rows[3][3] = {
        {0xFF000001, 0x80404040, 0xDEADBEEF},  // bottom
        {0xFF000002, 0x00000000, 0xDEADBEEF},
        {0xFF000003, 0xFF000004, 0xDEADBEEF},  // top
    };
    uint8_t bits[sizeof rows];
    std::memcpy(bits, rows, sizeof rows);
    std::vector<uint32_t> out(6, 0x12345678);

    ToStraightTopDown(bits, 12, 2, 3, true, true, out.data());
    EXPECT_EQ(out, (std::vector<uint32_t>{0xFF000003, 0xFF000004, 0xFF000002, 0, 0xFF000001, 0x80808080}));

    ToStraightTopDown(bits, 12, 2, 3, false, true, out.data());
    EXPECT_EQ(out, (std::vector<uint32_t>{0xFF000001, 0x80808080, 0xFF000002, 0, 0xFF000003, 0xFF000004}));

    // Without alpha, colours stay as they are and every pixel is opaque.
    ToStraightTopDown(bits, 12, 2, 3, true, false, out.data());
    EXPECT_EQ(out, (std::vector<uint32_t>{0xFF000003, 0xFF000004, 0xFF000002, 0xFF000000, 0xFF000001, 0xFF404040}));

    // In place, as the PNG writer does it to save a copy of the image.
    std::vector<uint32_t> inPlace = {0xFF000001, 0x80404040, 0xFF000002, 0, 0xFF000003, 0xFF000004};
    ToStraightTopDown(reinterpret_cast<const uint8_t*>(inPlace.data()), 8, 2, 3, false, true, inPlace.data());
    EXPECT_EQ(inPlace, (std::vector<uint32_t>{0xFF000001, 0x80808080, 0xFF000002, 0, 0xFF000003, 0xFF000004}));
}

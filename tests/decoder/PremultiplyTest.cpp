// The vector premultiply against the plain arithmetic.
#include "Premultiply.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

uint32_t Pixel(uint32_t b, uint32_t g, uint32_t r, uint32_t a) {
    return b | g << 8 | r << 16 | a << 24;
}

}  // namespace

TEST(DivideBy255, EqualsIntegerDivisionOverTheWholeRange) {
    for (uint32_t x = 0; x <= 65025; ++x) ASSERT_EQ(DivideBy255(x), x / 255) << x;
}

TEST(PremultiplyPixels, MatchesTheFormulaForEveryChannelAlphaPair) {
    // Every (c, A) pair, with c in all three colour channels at once; the
    // alpha channel itself becomes A * A / 255.
    std::vector<uint32_t> vector(256 * 256), scalar(256 * 256);
    for (uint32_t a = 0; a < 256; ++a)
        for (uint32_t c = 0; c < 256; ++c) vector[a * 256 + c] = Pixel(c, c ^ 0x55, 255 - c, a);
    scalar = vector;
    const std::vector<uint32_t> original = vector;
    PremultiplyPixels(vector.data(), vector.size());
    PremultiplyPixelsScalar(scalar.data(), scalar.size());
    for (size_t i = 0; i < original.size(); ++i) {
        const uint32_t a = original[i] >> 24;
        uint32_t want = 0;
        for (int shift = 0; shift < 32; shift += 8) want |= (((original[i] >> shift) & 255) * a / 255) << shift;
        ASSERT_EQ(scalar[i], want) << std::hex << original[i];
        ASSERT_EQ(vector[i], want) << std::hex << original[i];
    }
}

TEST(PremultiplyPixels, EveryChannelAlphaPairAtEveryPositionOfAGroup) {
    // The same 65536 pixels behind 0 to 16 leading ones, so that every pair
    // passes through every lane of the multi-pixel body and through the tail.
    std::vector<uint32_t> pairs(256 * 256);
    for (uint32_t a = 0; a < 256; ++a)
        for (uint32_t c = 0; c < 256; ++c) pairs[a * 256 + c] = Pixel(255 - c, c, c ^ 0xA5, a);
    for (size_t lead = 0; lead <= 16; ++lead) {
        std::vector<uint32_t> vector(lead, Pixel(1, 2, 3, 4));
        vector.insert(vector.end(), pairs.begin(), pairs.end());
        std::vector<uint32_t> scalar = vector;
        PremultiplyPixels(vector.data(), vector.size());
        PremultiplyPixelsScalar(scalar.data(), scalar.size());
        ASSERT_EQ(vector, scalar) << "lead " << lead;
    }
}

TEST(PremultiplyPixels, OneChangingPixelAnywhereInAGroupIsNotSkipped) {
    // Groups of opaque and all-zero pixels need no work and may be skipped;
    // a single pixel that changes, at any position, must still be written.
    const uint32_t changing[] = {
        Pixel(9, 9, 9, 0),         // transparent with colour: becomes 0
        Pixel(0, 0, 0, 1),         // alpha only
        Pixel(200, 100, 50, 128),  // half
        Pixel(255, 255, 255, 254),
        Pixel(0, 0, 1, 127),
    };
    std::mt19937 rng(3);
    for (uint32_t odd : changing) {
        for (size_t position = 0; position < 32; ++position) {
            std::vector<uint32_t> vector(32);
            for (auto& p : vector) p = rng() & 1 ? (rng() | 0xFF000000) : 0;
            vector[position] = odd;
            std::vector<uint32_t> scalar = vector;
            PremultiplyPixels(vector.data(), vector.size());
            PremultiplyPixelsScalar(scalar.data(), scalar.size());
            ASSERT_EQ(vector, scalar) << std::hex << odd << std::dec << " at " << position;
            ASSERT_NE(vector[position], odd);
        }
    }
}

TEST(PremultiplyPixels, KnownPixels) {
    const struct {
        uint32_t in, out;
    } cases[] = {
        {Pixel(10, 20, 30, 255), Pixel(10, 20, 30, 255)},
        {Pixel(0, 0, 0, 0), Pixel(0, 0, 0, 0)},
        {Pixel(10, 20, 30, 128), Pixel(5, 10, 15, 64)},
        {Pixel(200, 100, 50, 0), Pixel(0, 0, 0, 0)},
        {Pixel(255, 255, 255, 255), Pixel(255, 255, 255, 255)},
        {Pixel(255, 255, 255, 1), Pixel(1, 1, 1, 0)},
    };
    for (const auto& c : cases) {
        uint32_t p = c.in;
        PremultiplyPixels(&p, 1);
        EXPECT_EQ(p, c.out) << std::hex << c.in;
    }
}

TEST(PremultiplyPixels, EveryLengthAndOffsetTouchesExactlyCountPixels) {
    // Runs of any length and start, with guards on both sides, so a vector
    // body and its tail are both held to the scalar result.
    std::mt19937 rng(7);
    std::vector<uint32_t> source(80);
    for (auto& p : source) p = rng() & (rng() & 1 ? 0xFFFFFFFF : 0x00FFFFFF);
    for (size_t offset = 1; offset < 5; ++offset) {
        for (size_t count = 0; count + offset + 1 < source.size(); ++count) {
            std::vector<uint32_t> vec = source, ref = source;
            PremultiplyPixels(vec.data() + offset, count);
            PremultiplyPixelsScalar(ref.data() + offset, count);
            ASSERT_EQ(vec, ref) << "offset " << offset << " count " << count;
            ASSERT_EQ(vec[offset - 1], source[offset - 1]);
            ASSERT_EQ(vec[offset + count], source[offset + count]);
        }
    }
}

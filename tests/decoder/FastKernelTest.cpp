// Every fast decode kernel against the plain loop it replaces: same inputs,
// same pixels, for every value at every lane position and for every length
// that leaves a tail, reading only the bytes it is given.
#include "DecodeKernels.h"
#include "GuardedBuffer.h"
#include "TimBuilder.h"
#include "TimColor.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace tim_detail;
using timtest::GuardedBuffer;
using timtest::Noise;

namespace {

constexpr uint32_t kCanary = 0xDEADBEEF;

// Output buffers with one canary pixel past the end.
struct Outputs {
    explicit Outputs(size_t n) : fast(n + 1, kCanary), plain(n + 1, kCanary) {}
    std::vector<uint32_t> fast, plain;
};

}  // namespace

TEST(ConvertColours, EveryColourAtEveryLanePosition) {
    // All 65536 colours, shifted by 0 to 8 leading colours so that each one
    // passes through each of the eight lanes and the tail.
    for (size_t lead = 0; lead <= 8; ++lead) {
        std::vector<uint8_t> source(2 * (lead + 0x10000));
        for (uint32_t c = 0; c < 0x10000; ++c) {
            source[2 * (lead + c)] = uint8_t(c);
            source[2 * (lead + c) + 1] = uint8_t(c >> 8);
        }
        const size_t count = lead + 0x10000;
        Outputs out(count);
        ConvertColours(source.data(), count, out.fast.data());
        ConvertColoursScalar(source.data(), count, out.plain.data());
        for (uint32_t c = 0; c < 0x10000; ++c)
            ASSERT_EQ(out.fast[lead + c], TimColorToBgra(uint16_t(c))) << "colour " << c << " lead " << lead;
        ASSERT_EQ(out.fast, out.plain) << "lead " << lead;
    }
}

TEST(ConvertColours, EveryShortLengthReadsOnlyItsBytes) {
    for (size_t count = 0; count <= 40; ++count) {
        GuardedBuffer source(Noise(2 * count, uint32_t(count)));
        Outputs out(count);
        ConvertColours(source.begin(), count, out.fast.data());
        ConvertColoursScalar(source.begin(), count, out.plain.data());
        ASSERT_EQ(out.fast, out.plain) << "count " << count;
        ASSERT_EQ(out.fast[count], kCanary);
    }
}

TEST(DecodeRow24, EveryByteValueAtEveryPositionOfARound) {
    // A round of sixteen pixels spans 48 bytes, some through vector lanes and
    // some through the integer unit; row `position` puts the value g at that
    // byte of round g, over 256 rounds, with the other bytes varying too.
    constexpr size_t kRound = 48, kWidth = 16 * 256, kBytes = 3 * kWidth;
    for (size_t position = 0; position < kRound; ++position) {
        std::vector<uint8_t> row = Noise(kBytes, uint32_t(position));
        for (size_t g = 0; g < 256; ++g) row[kRound * g + position] = uint8_t(g);
        Outputs out(kWidth);
        DecodeRow24(row.data(), kBytes, kWidth, out.fast.data());
        DecodeRow24Scalar(row.data(), kBytes, kWidth, out.plain.data());
        ASSERT_EQ(out.fast, out.plain) << "position " << position;
    }
}

TEST(DecodeRow24, EveryWidthAndRowLengthReadsOnlyTheRow) {
    // The row ends at an inaccessible page: rows of exactly 3 * width bytes
    // and rows with 1 or 2 spare bytes (the two kinds a file can have), and
    // longer ones.
    for (size_t width = 0; width <= 70; ++width) {
        for (size_t spare : {0, 1, 2, 5, 13}) {
            const size_t rowBytes = 3 * width + spare;
            GuardedBuffer row(Noise(rowBytes, uint32_t(width * 31 + spare)));
            Outputs out(width);
            DecodeRow24(row.begin(), rowBytes, width, out.fast.data());
            DecodeRow24Scalar(row.begin(), rowBytes, width, out.plain.data());
            ASSERT_EQ(out.fast, out.plain) << "width " << width << " spare " << spare;
            ASSERT_EQ(out.fast[width], kCanary);
        }
    }
}

TEST(DecodeRow8, EveryIndexAtEveryPositionAndEveryShortWidth) {
    std::vector<uint32_t> palette(256);
    std::mt19937 rng(8);
    for (auto& p : palette) p = rng();
    // Byte i holds i / 8 + 37 * (i % 8): all 256 indices at each of the 8
    // positions of a load.
    std::vector<uint8_t> indices(8 * 256);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i / 8 + 37 * (i % 8));
    Outputs all(indices.size());
    DecodeRow8(indices.data(), indices.size(), palette.data(), all.fast.data());
    DecodeRow8Scalar(indices.data(), indices.size(), palette.data(), all.plain.data());
    ASSERT_EQ(all.fast, all.plain);

    for (size_t width = 0; width <= 40; ++width) {
        GuardedBuffer row(Noise(width, uint32_t(width)));
        Outputs out(width);
        DecodeRow8(row.begin(), width, palette.data(), out.fast.data());
        DecodeRow8Scalar(row.begin(), width, palette.data(), out.plain.data());
        ASSERT_EQ(out.fast, out.plain) << "width " << width;
        ASSERT_EQ(out.fast[width], kCanary);
    }
}

TEST(DecodeRow4, PairTableGivesBothNibblesOfEveryByte) {
    uint32_t palette[16];
    std::mt19937 rng(4);
    for (auto& p : palette) p = rng();
    uint64_t pairs[256];
    BuildPairTable(palette, pairs);

    std::vector<uint8_t> everyByte(256);
    for (size_t i = 0; i < 256; ++i) everyByte[i] = uint8_t(i);
    Outputs all(512);
    DecodeRow4(everyByte.data(), 512, pairs, all.fast.data());
    DecodeRow4Scalar(everyByte.data(), 512, palette, all.plain.data());
    ASSERT_EQ(all.fast, all.plain);
    EXPECT_EQ(all.fast[2 * 0x21], palette[1]);  // low nibble first
    EXPECT_EQ(all.fast[2 * 0x21 + 1], palette[2]);

    for (size_t width = 0; width <= 40; width += 2) {
        GuardedBuffer row(Noise(width / 2, uint32_t(width)));
        Outputs out(width);
        DecodeRow4(row.begin(), width, pairs, out.fast.data());
        DecodeRow4Scalar(row.begin(), width, palette, out.plain.data());
        ASSERT_EQ(out.fast, out.plain) << "width " << width;
        ASSERT_EQ(out.fast[width], kCanary);
    }
}

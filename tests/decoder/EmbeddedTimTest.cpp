// The rule for TIMs inside other data: each frame-buffer and length bound
// one step inside and one step outside, the signature search, and the byte
// runs of program code that the decoder alone would take.
#include "GuardedBuffer.h"
#include "TimBuilder.h"
#include "TimFormat.h"

#include <gtest/gtest.h>

#include <optional>

using namespace timtest;

namespace {

struct EmbeddedCase {
    const char* name;
    Bytes bytes;
    TimRefusalReason reason;
    uint32_t imageEnd = 0;  // when accepted
};

Bytes WithTail(Bytes tim, size_t tail) {
    tim.resize(tim.size() + tail, 0xA5);
    return tim;
}

}  // namespace

TEST(FindEmbeddedTimRefusal, FrameBufferAndLengthBounds) {
    using R = TimRefusalReason;
    const EmbeddedCase cases[] = {
        {"16-bit, exact length, data after it", WithTail(MakeTim(2, std::nullopt, Block(4, 2)), 100), R::Accepted,
         8 + 12 + 16},
        {"image length 2 over, slack in the block", MakeTim(2, std::nullopt, Block(4, 2, Bytes(16 + 2, 7))),
         R::Accepted, 8 + 30},
        {"image length 3 over", WithTail(MakeTim(2, std::nullopt, Block(4, 2, {}, 12 + 16 + 3)), 8),
         R::LengthOverclaimed},
        {"image length short: taken at its pixels' size", MakeTim(2, std::nullopt, Block(4, 2, {}, 20)), R::Accepted,
         8 + 28},
        {"4-bit, no CLUT, 17 units x 1 claiming 4096 bytes (program code)",
         WithTail(MakeTim(0, std::nullopt, Block(17, 1, {}, 4096)), 4096), R::LengthOverclaimed},
        {"CLUT length 2 over", MakeTim(0, Block(16, 1, Bytes(32 + 2, 7)), Block(1, 1)), R::Accepted, 8 + 46 + 14},
        {"CLUT length 3 over", WithTail(MakeTim(0, Block(16, 1, {}, 12 + 32 + 3), Block(1, 1)), 4),
         R::LengthOverclaimed},
        {"24-bit 320 pixels at x = 640 (480 units): wraps, accepted",
         MakeTim(3, std::nullopt, Block(480, 1, {}, std::nullopt, 640, 0)), R::Accepted, 8 + 12 + 960},
        {"CLUT at (1023, 511)", MakeTim(0, Block(16, 1, {}, std::nullopt, 1023, 511), Block(1, 1)), R::Accepted,
         8 + 44 + 14},
        {"CLUT at x = 1024", MakeTim(0, Block(16, 1, {}, std::nullopt, 1024, 0), Block(1, 1)),
         R::OutsideFrameBuffer},
        {"image at y = 512", MakeTim(2, std::nullopt, Block(1, 1, {}, std::nullopt, 0, 512)), R::OutsideFrameBuffer},
        {"image 1024 units wide", MakeTim(2, std::nullopt, Block(1024, 1)), R::Accepted, 8 + 12 + 2048},
        {"image 1025 units wide", MakeTim(2, std::nullopt, Block(1025, 1)), R::OutsideFrameBuffer},
        {"image 513 rows", MakeTim(2, std::nullopt, Block(1, 513)), R::OutsideFrameBuffer},
        {"no pixels: 24-bit, one unit wide", MakeTim(3, std::nullopt, Block(1, 4)), R::NoPixels},
        {"no rows", MakeTim(2, std::nullopt, Block(4, 0)), R::NoPixels},
        {"cut short by the end", [] {
             Bytes b = MakeTim(2, std::nullopt, Block(8, 8));
             b.resize(b.size() - 1);
             return b;
         }(), R::CutShort},
        {"unknown flags", MakeTim(2 | 16, std::nullopt, Block(1, 1)), R::UnknownFlags},
        {"mode 4", MakeTim(4, std::nullopt, Block(1, 1)), R::UnsupportedMode},
        {"CLUT shorter than its colours", MakeTim(0, Block(16, 1, {}, 12 + 31), Block(1, 1)),
         R::ClutShorterThanColours},
        {"19 bytes", [] {
             Bytes b = MakeTim(2, std::nullopt, Block(1, 1));
             b.resize(19);
             return b;
         }(), R::TooShort},
    };
    for (const auto& c : cases) {
        GuardedBuffer buf(c.bytes);
        TimImageInfo info{};
        const TimRefusal got = FindEmbeddedTimRefusal(info, buf.begin(), buf.size());
        EXPECT_EQ(int(got.reason), int(c.reason)) << c.name << ": " << TimRefusalText(got);
        const uint32_t imageEnd = info.imageEnd;  // the record is packed: no reference into it
        if (c.reason == R::Accepted) {
            EXPECT_EQ(imageEnd, c.imageEnd) << c.name;
        }
        if (c.reason == R::CutShort) {
            EXPECT_EQ(got.value, c.bytes.size() + 1) << c.name;
        }
    }
}

TEST(FindEmbeddedTimRefusal, LargestTimFitsTheBound) {
    // Both blocks as large as the frame buffer, two bytes over each.
    const size_t units = size_t(kFrameBufferWidth) * kFrameBufferHeight;
    const Block block(uint16_t(kFrameBufferWidth), uint16_t(kFrameBufferHeight), Bytes(units * 2 + 2, 1));
    const Bytes tim = MakeTim(1, block, block);
    TimImageInfo info{};
    EXPECT_EQ(int(FindEmbeddedTimRefusal(info, tim.data(), tim.size()).reason), int(TimRefusalReason::Accepted));
    const uint32_t imageEnd = info.imageEnd;
    EXPECT_EQ(imageEnd, kMaxEmbeddedTimBytes);
}

TEST(FindTimSignature, FindsEachMatchAndNothingPastTheEnd) {
    Bytes data(64, 0x10);  // the identifier's first byte everywhere, never followed by three zeros
    const Bytes tim = MakeTim(2, std::nullopt, Block(1, 1));
    std::copy(tim.begin(), tim.begin() + 8, data.begin() + 21);
    const struct {
        size_t from, end;
        std::optional<size_t> found;
    } cases[] = {{0, 64, 21}, {21, 64, 21}, {22, 64, std::nullopt}, {0, 29, 21}, {0, 28, std::nullopt}, {0, 7, std::nullopt}};
    for (const auto& c : cases) {
        GuardedBuffer buf(Bytes(data.begin(), data.begin() + c.end));
        const uint8_t* got = FindTimSignature(buf.begin() + c.from, buf.end());
        if (c.found)
            EXPECT_EQ(got, buf.begin() + *c.found) << c.from << ".." << c.end;
        else
            EXPECT_EQ(got, nullptr) << c.from << ".." << c.end;
    }
    // Flags up to 15 match; 16 does not.
    Bytes flags = tim;
    flags[4] = 15;
    EXPECT_NE(FindTimSignature(flags.data(), flags.data() + flags.size()), nullptr);
    flags[4] = 16;
    EXPECT_NE(FindTimSignature(flags.data(), flags.data() + flags.size()), flags.data());
}

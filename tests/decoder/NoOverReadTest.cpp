// Every truncation of a set of valid files, parsed and (when accepted) decoded
// from a buffer whose last byte sits right before an inaccessible page: any
// read past the end crashes the test.
#include "DecodeKernels.h"
#include "GuardedBuffer.h"
#include "TimBuilder.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

using namespace timtest;

namespace {

std::vector<Bytes> ValidFiles() {
    std::vector<Bytes> files;
    for (uint32_t mode = 0; mode < 4; ++mode) {
        const uint16_t w = 5, h = 3;
        files.push_back(MakeTim(mode, std::nullopt, Block{w, h, Noise(w * h * 2, mode)}));
        files.push_back(MakeTim(mode, Block{16, 2, Noise(64, 10 + mode)}, Block{w, h, Noise(w * h * 2, mode)}));
        // Short CLUT, and an image block whose length field is too small.
        files.push_back(MakeTim(mode, Block{3, 1, Noise(6, 20 + mode)}, Block{w, h, Noise(w * h * 2, mode), 0}));
    }
    files.push_back(MakeTim(1, Block{256, 1, Noise(512, 30)}, Block{4, 4, Noise(32, 31)}));
    return files;
}

}  // namespace

TEST(NoOverRead, EveryTruncationOfValidFiles) {
    size_t accepted = 0, truncations = 0;
    for (const Bytes& file : ValidFiles()) {
        for (size_t size = 0; size <= file.size(); ++size, ++truncations) {
            GuardedBuffer buf(Bytes(file.begin(), file.begin() + size));
            TimImageInfo info{};
            if (!CheckTimSignature(buf.begin(), buf.size())) continue;
            if (!ParseTimHeader(info, buf.begin(), buf.end())) continue;
            ++accepted;
            std::vector<uint32_t> pixels(size_t(info.width) * info.height);
            DecodeTimPixels(info, pixels.data());
        }
    }
    // The whole files (and the ones whose tails are ignored) are accepted;
    // every strictly shorter one of these files is not.
    EXPECT_EQ(accepted, ValidFiles().size());
    EXPECT_GT(truncations, 500u);
}

namespace {

// The image through the plain row loops, bottom row first.
std::vector<uint32_t> PlainDecode(const TimImageInfo& info) {
    using namespace tim_detail;
    const size_t width = info.width, stride = size_t(info.rawWidth) * 2;
    std::vector<uint32_t> pixels(width * info.height);
    uint32_t palette[256];
    if (info.format == TimPixelFormat::Indexed4) ConvertColoursScalar(info.clutData, 16, palette);
    if (info.format == TimPixelFormat::Indexed8) ConvertColoursScalar(info.clutData, 256, palette);
    for (size_t row = 0; row < info.height; ++row) {
        const uint8_t* src = info.pixelData + (info.height - 1 - row) * stride;
        uint32_t* out = pixels.data() + row * width;
        switch (info.format) {
            case TimPixelFormat::Indexed4: DecodeRow4Scalar(src, width, palette, out); break;
            case TimPixelFormat::Indexed8: DecodeRow8Scalar(src, width, palette, out); break;
            case TimPixelFormat::Direct16: ConvertColoursScalar(src, width, out); break;
            case TimPixelFormat::Direct24: DecodeRow24Scalar(src, stride, width, out); break;
        }
    }
    return pixels;
}

}  // namespace

TEST(NoOverRead, FastPathTailsAtTheEndOfTheFile) {
    // The image block ends the file, so the first row decoded (the file's
    // last) ends right before the inaccessible page. Every row length up to a
    // few vector widths: 24-bit rows of exactly 3 * width bytes (rawWidth a
    // multiple of 3) and with 1 or 2 spare bytes, widths that leave a tail.
    const struct {
        uint32_t mode;
        uint16_t clutEntries;
        uint16_t maxRawWidth;
    } formats[] = {{0, 16, 12}, {1, 256, 20}, {2, 0, 20}, {3, 0, 30}};
    for (const auto& f : formats) {
        for (uint16_t rawWidth = 1; rawWidth <= f.maxRawWidth; ++rawWidth) {
            for (uint16_t height : {1, 3}) {
                std::optional<Block> clut;
                if (f.clutEntries) clut = Block{f.clutEntries, 1, Noise(2u * f.clutEntries, rawWidth)};
                const Bytes file =
                    MakeTim(f.mode, clut, Block{rawWidth, height, Noise(2u * rawWidth * height, f.mode + height)});
                GuardedBuffer buf(file);
                TimImageInfo info{};
                ASSERT_TRUE(ParseTimHeader(info, buf.begin(), buf.end()));
                std::vector<uint32_t> pixels(size_t(info.width) * info.height);
                DecodeTimPixels(info, pixels.data());
                ASSERT_EQ(pixels, PlainDecode(info)) << "mode " << f.mode << " rawWidth " << rawWidth;
            }
        }
    }
}

TEST(NoOverRead, BytesChangedAfterParsingCannotWidenTheRead) {
    // The decoder works from the record alone: rewriting the header in place
    // after validation (as another process could do to a mapped file) must not
    // change what is read.
    for (const Bytes& file : ValidFiles()) {
        GuardedBuffer buf(file);
        TimImageInfo info{};
        ASSERT_TRUE(ParseTimHeader(info, buf.begin(), buf.end()));
        std::vector<uint32_t> before(size_t(info.width) * info.height), after(before.size());
        DecodeTimPixels(info, before.data());
        // Flags, the first block's header and the image header: every length,
        // width and height the file holds.
        const size_t imageHeader = size_t(info.pixelData - buf.begin()) - 12;
        for (size_t i = 4; i < 20; ++i) buf.data()[i] = 0xFF;
        for (size_t i = imageHeader; i < imageHeader + 12; ++i) buf.data()[i] = 0xFF;
        DecodeTimPixels(info, after.data());
        EXPECT_EQ(before, after);
    }
}

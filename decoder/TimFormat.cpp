// TIM file layout (all integers little-endian):
//
//   offset 0   u32 identifier, always 16
//   offset 4   u32 flags: bits 0-2 pixel mode (0 = 4-bit, 1 = 8-bit,
//              2 = 16-bit, 3 = 24-bit), bit 3 = a CLUT block follows
//   offset 8   CLUT block if flag bit 3 is set, then the image block
//
// Each block: u32 length (header included), u16 x, u16 y, u16 w (in 16-bit
// units), u16 h, then h rows of 2 * w bytes.
#include "TimFormat.h"

#include "ByteIo.h"

#include <cstddef>

namespace {

constexpr uint32_t kTimIdentifier = 16;
constexpr uint32_t kMaxFlags = 15;
constexpr uint32_t kClutFlag = 0x8;
constexpr size_t kBlockHeaderSize = 12;
constexpr uint16_t kMaxBlockSide = 32768;

struct BlockHeader {
    uint32_t length;
    uint16_t x, y, w, h;
};

BlockHeader ReadBlockHeader(const uint8_t* p) {
    return {LoadU32LE(p), LoadU16LE(p + 4), LoadU16LE(p + 6), LoadU16LE(p + 8), LoadU16LE(p + 10)};
}

// At most 32768 * 32768 * 2 + 12 = 2^31 + 12, so it fits 32 bits; kept in 64
// so that comparisons with lengths and remaining sizes never wrap.
uint64_t DataBlockSize(const BlockHeader& b) {
    return uint64_t(b.w) * b.h * 2 + kBlockHeaderSize;
}

using R = TimRefusalReason;

// Pixels per row for pixel mode `mode` (0-3) and a row of `w` 16-bit units.
uint32_t PixelWidth(uint32_t mode, uint16_t w) {
    switch (mode) {
        case 0: return 4u * w;
        case 1: return 2u * w;
        case 2: return w;
        default: return (2u * w) / 3;
    }
}

// The rules of CheckTimSignature, in its order. Files shorter than 20 bytes
// would fail the length tests below anyway; saying so first is the clearer reason.
TimRefusal SignatureRefusal(const uint8_t* view, uint64_t size) {
    if (size == 0) return {R::Empty};
    if (size < 4 || LoadU32LE(view) != kTimIdentifier) return {R::NoIdentifier};
    if (size < 8 + kBlockHeaderSize) return {R::TooShort, uint32_t(size)};
    const uint32_t flags = LoadU32LE(view + 4);
    if (flags > kMaxFlags) return {R::UnknownFlags, flags};
    const uint32_t firstLength = LoadU32LE(view + 8);
    if (firstLength < kBlockHeaderSize) return {R::FirstBlockTooShort};
    if (firstLength > size - 8) return {R::FirstBlockPastEnd};
    return {};
}

// The header walk of ParseTimHeader.
TimRefusal ParseRefusal(TimImageInfo& info, const uint8_t* fileStart, const uint8_t* fileEnd) {
    if (size_t(fileEnd - fileStart) < 8) return {R::TooShort, uint32_t(fileEnd - fileStart)};
    const uint32_t flags = LoadU32LE(fileStart + 4);
    if (flags > kMaxFlags) return {R::UnknownFlags, flags};
    const uint32_t mode = flags & 7;
    if (mode > 3) return {R::UnsupportedMode, mode};

    const uint8_t* p = fileStart + 8;
    if (flags & kClutFlag) {
        // 13, not 12: a CLUT block must leave at least one byte after its header.
        if (size_t(fileEnd - p) < kBlockHeaderSize + 1) return {R::BlocksPastEnd};
        const BlockHeader clut = ReadBlockHeader(p);
        if (clut.w > kMaxBlockSide || clut.h > kMaxBlockSide) return {R::BlockTooLarge};
        if (clut.length < DataBlockSize(clut)) return {R::ClutShorterThanColours};
        if (clut.length > size_t(fileEnd - p)) return {R::BlocksPastEnd};
        info.clutX = clut.x;
        info.clutY = clut.y;
        info.paletteSize = mode == 0 ? 16 : mode == 1 ? 256 : 0;
        info.clutData = p + kBlockHeaderSize;
        info.clutCount =
            info.paletteSize ? uint16_t((uint32_t(clut.w) * clut.h) / info.paletteSize) : 0;
        info.clutWidth = clut.w;
        info.clutHeight = clut.h;
        p += clut.length;
    } else {
        info.paletteSize = 0;
        info.clutX = info.clutY = 0;
        info.clutWidth = info.clutHeight = 0;
        info.clutCount = 0;
    }

    if (size_t(fileEnd - p) < kBlockHeaderSize) return {R::BlocksPastEnd};
    const BlockHeader image = ReadBlockHeader(p);
    if (image.w > kMaxBlockSide || image.h > kMaxBlockSide) return {R::BlockTooLarge};
    // A too-small length field is not an error: the block is taken at the size
    // its rows need, and that size must fit in the file.
    uint64_t effectiveLength = DataBlockSize(image);
    if (image.length > effectiveLength) effectiveLength = image.length;
    if (effectiveLength > size_t(fileEnd - p)) return {R::BlocksPastEnd};

    constexpr TimPixelFormat kFormats[] = {TimPixelFormat::Indexed4, TimPixelFormat::Indexed8,
                                           TimPixelFormat::Direct16, TimPixelFormat::Direct24};
    info.format = kFormats[mode];
    const uint32_t width = PixelWidth(mode, image.w);
    // Wider images do not fit the 16-bit width; refusing beats drawing them wrapped.
    if (width > 0xFFFF) return {R::TooWide, width};
    info.width = uint16_t(width);
    info.imageX = image.x;
    info.imageY = image.y;
    info.imageEnd = uint32_t(uint64_t(p - fileStart) + effectiveLength);
    info.rawWidth = image.w;
    info.height = image.h;
    info.pixelData = p + kBlockHeaderSize;
    return {};
}

}  // namespace

bool CheckTimSignature(const uint8_t* view, uint64_t size) {
    return SignatureRefusal(view, size).reason == R::Accepted;
}

bool ParseTimHeader(TimImageInfo& info, const uint8_t* fileStart, const uint8_t* fileEnd) {
    return ParseRefusal(info, fileStart, fileEnd).reason == R::Accepted;
}

TimRefusal FindTimRefusal(TimImageInfo& info, const uint8_t* file, uint64_t size) {
    const TimRefusal signature = SignatureRefusal(file, size);
    if (signature.reason != R::Accepted) return signature;
    return ParseRefusal(info, file, file + size);
}

uint32_t TimPaletteCount(const TimImageInfo& info) {
    if (info.paletteSize == 0) return 0;
    return uint32_t(uint64_t(info.clutWidth) * info.clutHeight / info.paletteSize);
}

bool SelectTimPalette(TimImageInfo& info, uint32_t index) {
    if (index == 0) return true;
    if (index >= TimPaletteCount(info)) return false;
    // Whole palettes lie inside the CLUT block, which the parser checked.
    info.clutData += size_t(index) * info.paletteSize * 2;
    info.clutWidth = info.paletteSize;
    info.clutHeight = 1;
    info.clutCount = 1;
    return true;
}

TimReadPlan PlanTimRead(const uint8_t* head, uint64_t known, uint64_t size) {
    // Files too short for a signature are read whole: they are tiny.
    const uint64_t signatureBytes = size < 8 + kBlockHeaderSize ? size : 8 + kBlockHeaderSize;
    if (known < signatureBytes) return {signatureBytes, 0};
    const TimReadPlan enough = {known, 0};
    if (size < 8 + kBlockHeaderSize) return enough;
    // Where a rule already fails, the bytes read are enough: FindTimRefusal
    // refuses any prefix of a file it refuses whole.
    const uint32_t flags = LoadU32LE(head + 4);
    const uint32_t firstLength = LoadU32LE(head + 8);
    if (flags > kMaxFlags || (flags & 7) > 3 || firstLength < kBlockHeaderSize || firstLength > size - 8)
        return enough;
    const uint64_t imageAt = (flags & kClutFlag) ? 8 + uint64_t(firstLength) : 8;
    if (size - imageAt < kBlockHeaderSize) return enough;
    if (known < imageAt + kBlockHeaderSize) return {imageAt + kBlockHeaderSize, 0};

    const BlockHeader image = ReadBlockHeader(head + imageAt);
    if (image.w > kMaxBlockSide || image.h > kMaxBlockSide) return enough;
    const uint64_t effectiveLength = image.length > DataBlockSize(image) ? image.length : DataBlockSize(image);
    if (effectiveLength > size - imageAt) return enough;
    const uint64_t end = imageAt + effectiveLength;
    return {known > end ? known : end, uint64_t(PixelWidth(flags & 7, image.w)) * image.h};
}

uint32_t TimBitsPerPixel(TimPixelFormat format) {
    return format == TimPixelFormat::Direct24 ? 24 : uint32_t(format);
}

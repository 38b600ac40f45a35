#include "TimFormat.h"

#include "ByteIo.h"
#include "TimLayout.h"

#include <cstddef>
#include <cstring>

using namespace tim_layout;

namespace {

using R = TimRefusalReason;

// The rules of CheckTimSignature, in its order. Files shorter than 20 bytes
// would fail the length tests below anyway; saying so first is the clearer reason.
TimRefusal SignatureRefusal(const uint8_t* view, uint64_t size) {
    if (size == 0) return {R::Empty};
    if (size < 4 || LoadU32LE(view) != kTimIdentifier) return {R::NoIdentifier};
    if (size < 8 + kBlockHeaderSize) return {R::TooShort, uint32_t(size)};
    const uint32_t flags = LoadU32LE(view + 4);
    if (flags > kTimMaxFlags) return {R::UnknownFlags, flags};
    const uint32_t firstLength = LoadU32LE(view + 8);
    if (firstLength < kBlockHeaderSize) return {R::FirstBlockTooShort};
    if (firstLength > size - 8) return {R::FirstBlockPastEnd};
    return {};
}

// The header walk of ParseTimHeader.
TimRefusal ParseRefusal(TimImageInfo& info, const uint8_t* fileStart, const uint8_t* fileEnd) {
    if (size_t(fileEnd - fileStart) < 8) return {R::TooShort, uint32_t(fileEnd - fileStart)};
    const uint32_t flags = LoadU32LE(fileStart + 4);
    if (flags > kTimMaxFlags) return {R::UnknownFlags, flags};
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
        info.paletteSize = PaletteSizeOfMode(mode);
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

    info.format = FormatOfMode(mode);
    const uint32_t width = PixelWidth(mode, image.w);
    // Wider images do not fit the 16-bit width; refusing beats drawing them wrapped.
    if (width > kMaxTimWidth) return {R::TooWide, width};
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

TimRefusal TimDrawRefusal(const TimImageInfo& info) {
    if (info.width == 0 || info.height == 0) return {R::NoPixels, info.width, info.height};
    if (uint64_t(info.width) * info.height > kMaxTimPixels) return {R::TooManyPixels, info.width, info.height};
    return {};
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

namespace {

bool InFrameBuffer(const BlockHeader& b) {
    return b.x < kFrameBufferWidth && b.y < kFrameBufferHeight && b.w <= kFrameBufferWidth &&
           b.h <= kFrameBufferHeight;
}

}  // namespace

TimRefusal FindEmbeddedTimRefusal(TimImageInfo& info, const uint8_t* data, uint64_t size) {
    // The headers first, by the frame-buffer rules, so that a TIM whose blocks
    // run past the data is told apart from bytes that are no TIM at all.
    if (size < kFileHeaderSize + kBlockHeaderSize) return SignatureRefusal(data, size);
    if (LoadU32LE(data) != kTimIdentifier) return {R::NoIdentifier};
    const uint32_t flags = LoadU32LE(data + 4);
    if (flags > kTimMaxFlags) return {R::UnknownFlags, flags};
    if ((flags & 7) > 3) return {R::UnsupportedMode, flags & 7};
    uint64_t imageAt = kFileHeaderSize;
    if (flags & kClutFlag) {
        const BlockHeader clut = ReadBlockHeader(data + kFileHeaderSize);
        if (!InFrameBuffer(clut)) return {R::OutsideFrameBuffer};
        if (clut.length < DataBlockSize(clut)) return {R::ClutShorterThanColours};
        if (clut.length > DataBlockSize(clut) + kMaxTimLengthSlack) return {R::LengthOverclaimed, clut.length};
        imageAt += clut.length;
    }
    if (imageAt + kBlockHeaderSize > size) return {R::CutShort, uint32_t(imageAt + kBlockHeaderSize)};
    const BlockHeader image = ReadBlockHeader(data + imageAt);
    if (!InFrameBuffer(image)) return {R::OutsideFrameBuffer};
    const uint64_t needed = DataBlockSize(image);
    if (image.length > needed + kMaxTimLengthSlack) return {R::LengthOverclaimed, image.length};
    const uint64_t total = imageAt + (image.length > needed ? image.length : needed);
    if (total > size) return {R::CutShort, uint32_t(total)};
    // The decoder's verdict on exactly these bytes, and something to draw.
    const TimRefusal decoder = FindTimRefusal(info, data, total);
    if (decoder.reason != R::Accepted) return decoder;
    return TimDrawRefusal(info);
}

static_assert(kTimSignatureMask[0] == 0xFF, "the search looks for the first byte as it is");

const uint8_t* FindTimSignature(const uint8_t* from, const uint8_t* end) {
    if (from >= end || size_t(end - from) < sizeof kTimSignature) return nullptr;
    const uint8_t* last = end - sizeof kTimSignature;
    for (const uint8_t* p = from; p <= last; ++p) {
        p = static_cast<const uint8_t*>(std::memchr(p, kTimSignature[0], size_t(last - p) + 1));
        if (!p) return nullptr;
        bool match = true;
        for (size_t i = 1; i < sizeof kTimSignature && match; ++i)
            match = (p[i] & kTimSignatureMask[i]) == kTimSignature[i];
        if (match) return p;
    }
    return nullptr;
}

uint32_t TimBitsPerPixel(TimPixelFormat format) {
    return format == TimPixelFormat::Direct24 ? 24 : uint32_t(format);
}

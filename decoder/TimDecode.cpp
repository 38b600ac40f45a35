#include "TimDecode.h"

#include "ByteIo.h"
#include "TimColor.h"

#include <cstddef>
#include <cstring>

namespace {

// Builds the working palette. A CLUT smaller than one palette contributes only
// its own entries; the rest stay 0 (transparent) so that nothing after the
// CLUT block is ever read as a colour.
void BuildPalette(const TimImageInfo& info, const uint16_t* greyRamp, uint32_t entries,
                  uint32_t* palette) {
    if (info.paletteSize < entries) {
        ConvertColorRun(palette, greyRamp, entries);
        return;
    }
    uint32_t available = uint32_t(info.clutWidth) * info.clutHeight;
    if (available > entries) available = entries;
    ConvertColorRun(palette, reinterpret_cast<const uint16_t*>(info.clutData), available);
    std::memset(palette + available, 0, (entries - available) * sizeof(uint32_t));
}

void DecodeRow4(const uint8_t* src, size_t width, const uint32_t* palette, uint32_t* out) {
    // Low nibble first: the left pixel of each pair sits in bits 0-3.
    for (size_t i = 0; i < width / 2; ++i) {
        out[2 * i] = palette[src[i] & 15];
        out[2 * i + 1] = palette[src[i] >> 4];
    }
}

void DecodeRow8(const uint8_t* src, size_t width, const uint32_t* palette, uint32_t* out) {
    for (size_t i = 0; i < width; ++i) out[i] = palette[src[i]];
}

void DecodeRow16(const uint8_t* src, size_t width, const uint32_t*, uint32_t* out) {
    for (size_t i = 0; i < width; ++i) out[i] = TimColorToBgra(LoadU16LE(src + 2 * i));
}

void DecodeRow24(const uint8_t* src, size_t width, const uint32_t*, uint32_t* out) {
    // Bytes are red, green, blue; any tail bytes past 3 * width are skipped.
    for (size_t i = 0; i < width; ++i) {
        const uint8_t* p = src + 3 * i;
        out[i] = 0xFF000000u | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    }
}

using RowDecoder = void (*)(const uint8_t*, size_t, const uint32_t*, uint32_t*);

}  // namespace

void DecodeTimPixels(const TimImageInfo& info, uint32_t* destination) {
    const size_t width = info.width;
    const size_t height = info.height;
    if (width == 0 || height == 0) return;

    uint32_t palette[256];
    RowDecoder decodeRow = DecodeRow16;
    switch (info.format) {
        case TimPixelFormat::Indexed4:
            BuildPalette(info, kDefaultGrey16.data(), 16, palette);
            decodeRow = DecodeRow4;
            break;
        case TimPixelFormat::Indexed8:
            BuildPalette(info, kDefaultGrey256.data(), 256, palette);
            decodeRow = DecodeRow8;
            break;
        case TimPixelFormat::Direct16: decodeRow = DecodeRow16; break;
        case TimPixelFormat::Direct24: decodeRow = DecodeRow24; break;
    }

    // Every format's source row is 2 * rawWidth bytes; rows run top-down in the
    // file and the bitmap wants the bottom row first.
    const size_t stride = size_t(info.rawWidth) * 2;
    uint32_t* out = destination;
    for (size_t row = height; row-- > 0; out += width) {
        decodeRow(info.pixelData + row * stride, width, palette, out);
    }
}

#include "TimPng.h"

#include "PngOutput.h"
#include "Premultiply.h"
#include "StraightAlpha.h"
#include "TimDecode.h"

#include <algorithm>
#include <new>

namespace {

std::string WriteIndexed(const std::string& path, const TimImageInfo& info, const std::vector<uint8_t>& chunk) {
    uint32_t palette[256];
    PngPicture picture;
    picture.width = info.width;
    picture.height = info.height;
    picture.paletteSize = TimDrawnPalette(info, palette);
    picture.palette = palette;
    std::vector<uint8_t> indices(size_t(info.width) * info.height);
    const size_t stride = size_t(info.rawWidth) * 2;
    for (size_t y = 0; y < info.height; ++y) {
        const uint8_t* row = info.pixelData + y * stride;
        uint8_t* out = indices.data() + y * info.width;
        if (info.format == TimPixelFormat::Indexed8) {
            std::copy(row, row + info.width, out);
            continue;
        }
        // The left pixel of each pair sits in the low nibble.
        for (size_t x = 0; x < info.width; x += 2) {
            out[x] = row[x / 2] & 15;
            out[x + 1] = row[x / 2] >> 4;
        }
    }
    picture.indices = indices.data();
    return WritePng(path, picture, chunk);
}

// The handler's pixels, premultiplied, then straight alpha for the PNG. All
// in one buffer, decoded top-down, so that the largest image costs 4 bytes a
// pixel here, not 8: each pixel is replaced by its straight form where it lies.
std::string WriteDirect(const std::string& path, const TimImageInfo& info, const std::vector<uint8_t>& chunk) {
    const size_t width = info.width;
    std::vector<uint32_t> pixels(width * info.height);
    DecodeTimRows(info, 0, info.height, pixels.data());
    PremultiplyPixels(pixels.data(), pixels.size());
    ToStraightTopDown(reinterpret_cast<const uint8_t*>(pixels.data()), width * 4, width, info.height, false, true,
                      pixels.data());
    PngPicture picture;
    picture.width = info.width;
    picture.height = info.height;
    picture.bgra = pixels.data();
    return WritePng(path, picture, chunk);
}

}  // namespace

std::string WriteTimPng(const std::string& path, const TimImageInfo& info, const std::vector<uint8_t>& timChunk,
                        bool& noMemory) {
    noMemory = false;
    try {
        const bool indexed = info.format == TimPixelFormat::Indexed4 || info.format == TimPixelFormat::Indexed8;
        return indexed ? WriteIndexed(path, info, timChunk) : WriteDirect(path, info, timChunk);
    } catch (const std::bad_alloc&) {
        noMemory = true;
        return TimRefusalText({TimRefusalReason::NoMemory, info.width, info.height});
    }
}

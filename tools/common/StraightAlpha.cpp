#include "StraightAlpha.h"

#include <cstring>

uint32_t UnpremultiplyPixel(uint32_t premultiplied) {
    const uint32_t a = premultiplied >> 24;
    if (a == 0) return 0;
    uint32_t result = a << 24;
    for (int shift = 0; shift < 24; shift += 8) {
        const uint32_t p = (premultiplied >> shift) & 0xFF;
        // ceil(p * 255 / a): the least c with floor(c * a / 255) == p.
        uint32_t c = (p * 255 + a - 1) / a;
        if (c > 255) c = 255;
        result |= c << shift;
    }
    return result;
}

void ToStraightTopDown(const uint8_t* bits, size_t stride, size_t width, size_t height, bool bottomUp,
                       bool hasAlpha, uint32_t* out) {
    for (size_t row = 0; row < height; ++row) {
        const uint8_t* src = bits + (bottomUp ? height - 1 - row : row) * stride;
        uint32_t* dst = out + row * width;
        for (size_t x = 0; x < width; ++x) {
            uint32_t pixel;
            std::memcpy(&pixel, src + 4 * x, sizeof pixel);
            dst[x] = hasAlpha ? UnpremultiplyPixel(pixel) : (pixel | 0xFF000000u);
        }
    }
}

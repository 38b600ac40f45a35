#pragma once
// In-place premultiplication of BGRA pixels by their own alpha: every channel
// c (alpha included) becomes c * A / 255 rounded down, i.e. the pixel composited
// over the transparent background 0x00000000.
#include <cstddef>
#include <cstdint>

void PremultiplyPixels(uint32_t* pixels, size_t count);

// The plain arithmetic that PremultiplyPixels must reproduce exactly.
void PremultiplyPixelsScalar(uint32_t* pixels, size_t count);

// x / 255 rounded down for every x from 0 to 65025, without a division.
constexpr uint32_t DivideBy255(uint32_t x) {
    return (x + 1 + (x >> 8)) >> 8;
}

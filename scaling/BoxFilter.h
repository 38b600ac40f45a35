#pragma once
// Shrinking an image for a thumbnail.
#include <cstddef>
#include <cstdint>
#include <vector>

struct PixelSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

// The size that fits `box` x `box` with the image's aspect ratio (rounded, at
// least 1 x 1). Images that already fit keep their size: never enlarged.
PixelSize FitInBox(PixelSize image, uint32_t box);

// Area average of premultiplied BGRA pixels (rows of `from.width` pixels, in
// any row order, kept) down to `to`, which is at most `from` on both sides:
// each output pixel is the exact mean of the source area it covers, partly
// covered pixels weighted by their share, rounded to nearest. Averaging
// premultiplied pixels keeps transparent ones from darkening their neighbours.
std::vector<uint32_t> ShrinkPremultiplied(const uint32_t* pixels, PixelSize from, PixelSize to);

#pragma once
// The handler's bitmap holds premultiplied BGRA, rows bottom-up; a PNG holds
// straight alpha, rows top-down. Portable, so it is tested natively too.
#include <cstddef>
#include <cstdint>

// The smallest straight-alpha pixel that premultiplies (c * A / 255, rounded
// down) back to `premultiplied`, so that a viewer compositing the PNG gets the
// handler's own pixels. Alpha 0 gives 0; channels above alpha, which no
// premultiplied pixel has, saturate at 255.
uint32_t UnpremultiplyPixel(uint32_t premultiplied);

// Converts `height` rows of `width` 32-bit pixels, `stride` bytes apart in
// `bits` (bottom row first when `bottomUp`), into top-down straight-alpha rows
// in `out`. Without `hasAlpha` the alpha bytes mean nothing and every pixel
// comes out opaque with its colour unchanged. `out` may be `bits` itself when
// the rows are top-down and `stride` is `width` * 4: each pixel is read
// before its own place is written.
void ToStraightTopDown(const uint8_t* bits, size_t stride, size_t width, size_t height, bool bottomUp,
                       bool hasAlpha, uint32_t* out);

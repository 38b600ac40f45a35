#pragma once
// The one comparison of a client's picture of a sample with the sample's
// expected picture (samples/NAME.png, checked in and reviewed by eye), for
// every client: the DLL, the codec, tim2png, the Qt, KIO and gdk-pixbuf
// plug-ins. The expected pixels are compiled in from those files, so that no
// client's test takes them from the project's own decoder.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tim_conformance {

// A sample's expected picture: straight alpha, 8-bit RGBA, top row first,
// rows of width * 4 bytes.
struct ExpectedPicture {
    const char* name;  // the sample's file name without .tim
    uint32_t width, height;
    const unsigned char* rgba;
};

// Every expected picture, by name (generated from samples/*.png).
std::span<const ExpectedPicture> ExpectedPictures();

// The picture of sample `name` ("rings-8bit-clut" or "rings-8bit-clut.tim"),
// or null when it has none (the refused sample, an unknown name).
const ExpectedPicture* FindExpectedPicture(std::string_view name);

// How a client lays out its pixels in memory, four bytes each.
enum class PixelLayout {
    StraightRgba,       // PNG, gdk-pixbuf
    StraightBgra,       // WIC's 32bppBGRA; Qt's ARGB32 (0xAARRGGBB words, little-endian)
    PremultipliedBgra,  // the handler's DIB; WIC's 32bppPBGRA; Qt's ARGB32_Premultiplied
};

enum class RowOrder { TopDown, BottomUp };

// A client's picture, read through (pointer, size): `stride` bytes from the
// start of one row in memory to the next (at least width * 4), `size` bytes
// readable at `pixels`.
struct ClientPicture {
    uint32_t width = 0, height = 0;
    const uint8_t* pixels = nullptr;
    size_t size = 0;
    size_t stride = 0;
    RowOrder order = RowOrder::TopDown;
    PixelLayout layout = PixelLayout::StraightRgba;
};

// The expected pixel at (x, y) of `picture` as `layout` stores it: four bytes
// in memory order. Premultiplication is the handler's rule: every channel,
// alpha included, becomes c * a / 255 rounded down (the pixel over a
// transparent background). TIM pixels are opaque or clear (the pictures are
// held to that), and at alpha 0 or 255 the rule is also Qt's and WIC's.
void ExpectedBytes(const ExpectedPicture& picture, uint32_t x, uint32_t y, PixelLayout layout, uint8_t out[4]);

// Success when `got` has the size and exactly the pixels of sample `name`'s
// expected picture in its own layout; otherwise a failure that says the
// number of differing pixels and the first one (top-down x, y) with both values.
::testing::AssertionResult MatchesSample(std::string_view name, const ClientPicture& got);

// The failure's text alone, empty on a match: for the command-line check.
std::string Mismatch(std::string_view name, const ClientPicture& got);

}  // namespace tim_conformance

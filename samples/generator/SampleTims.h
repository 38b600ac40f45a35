#pragma once
// The sample TIM files in samples/: one per pixel format, with and without a
// CLUT, one with two palettes, several with transparent pixels, and one the
// handler refuses. Integer
// arithmetic only, so every machine writes the same bytes.
#include "TimBuilder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace samples {

using timtest::Block;
using timtest::Bytes;

// A pixel every client must show: top row first, straight alpha, 0xAARRGGBB
// (the handler's BGRA pixel, and Qt's ARGB32).
struct KnownPixel {
    unsigned x, y;
    uint32_t argb;
};

struct Sample {
    std::string name;     // file name in samples/
    Bytes bytes;
    bool accepted;        // whether the handler draws it
    std::string summary;  // what timthumb prints: size and format, or the refusal reason
    std::vector<KnownPixel> known;
};

// A TIM colour from 5-bit channels.
constexpr uint16_t Rgb(unsigned r, unsigned g, unsigned b) {
    return uint16_t(r | (g << 5) | (b << 10));
}

// 0..191 around the colour wheel, 32 steps per sixth, as 5-bit channels.
inline uint16_t Hue(unsigned h) {
    const unsigned f = h % 32;
    switch (h / 32 % 6) {
        case 0: return Rgb(31, f, 0);
        case 1: return Rgb(31 - f, 31, 0);
        case 2: return Rgb(0, 31, f);
        case 3: return Rgb(0, 31 - f, 31);
        case 4: return Rgb(f, 0, 31);
        default: return Rgb(31, 0, 31 - f);
    }
}

// 4-bit pixels, two per byte, left pixel in the low nibble.
inline Bytes Pack4(const std::vector<uint8_t>& indices) {
    Bytes out(indices.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(indices[2 * i] | (indices[2 * i + 1] << 4));
    return out;
}

// A 16 x 16 mushroom drawn four times larger as 4-bit indices: index 0 is
// transparent.
inline Bytes MushroomIndices() {
    static const char* const kArt[16] = {
        "................",
        ".....KKKKKK.....",
        "...KKRRWWRRKK...",
        "..KRRRWWWWRRRK..",
        ".KRWWRRWWRRRRRK.",
        ".KWWWWRRRRRWWRK.",
        "KRWWWWRRRRWWWWDK",
        "KRRWWRRRRRWWWWDK",
        "KDRRRRRRRRRWWDDK",
        ".KKDDKKKKKKDDKK.",
        "...KSSKSSKSSK...",
        "...KSSKSSKSSK...",
        "...KSSSSSSSSK...",
        "...KBSSSSSSBK...",
        "....KBBBBBBK....",
        ".....KKKKKK.....",
    };
    const char kKeys[] = ".KRWDSB";
    std::vector<uint8_t> indices(64 * 64);
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 64; ++x) {
            const char c = kArt[y / 4][x / 4];
            unsigned index = 0;
            while (kKeys[index] != c) ++index;
            indices[y * 64 + x] = uint8_t(index);
        }
    return Pack4(indices);
}

// The mushroom's colours: transparent, outline, cap, spots, cap shadow, stem,
// stem shadow, then unused entries up to 16.
inline Bytes MushroomPalette(uint16_t cap, uint16_t capShadow) {
    const uint16_t clut[16] = {0, Rgb(4, 2, 3), cap, Rgb(31, 31, 30), capShadow, Rgb(31, 27, 21), Rgb(24, 19, 14)};
    Bytes palette;
    for (uint16_t c : clut) timtest::PutU16(palette, c);
    return palette;
}

inline Sample Sprite4BitClut() {
    return {"sprite-4bit-clut.tim",
            timtest::MakeTim(0, Block{16, 1, MushroomPalette(Rgb(29, 5, 4), Rgb(18, 2, 3)), {}, 0, 480},
                             Block{16, 64, MushroomIndices(), {}, 320, 0}),
            true, "64 x 64, 4-bit indexed with CLUT",
            // colour 0 is transparent; the outline is TIM colour (4, 2, 3); the cap's spot
            {{0, 0, 0x00000000}, {20, 4, 0xFF211018}, {28, 12, 0xFFFFFFF7}}};
}

// The same mushroom with a CLUT of two palettes, as games swap colours:
// palette 0 red (what the thumbnail shows), palette 1 green.
inline Sample Sprite4BitTwoPalettes() {
    Bytes clut = MushroomPalette(Rgb(29, 5, 4), Rgb(18, 2, 3));
    const Bytes green = MushroomPalette(Rgb(6, 26, 5), Rgb(3, 15, 3));
    clut.insert(clut.end(), green.begin(), green.end());
    return {"sprite-4bit-two-palettes.tim",
            timtest::MakeTim(0, Block{16, 2, clut, {}, 0, 482}, Block{16, 64, MushroomIndices(), {}, 320, 64}),
            true, "64 x 64, 4-bit indexed with CLUT",
            // palette 0: the red cap, not the green one
            {{0, 0, 0x00000000}, {20, 4, 0xFF211018}, {12, 12, 0xFFEF2921}}};
}

// Diagonal bands through the 16 built-in greys.
inline Sample Bands4BitGrey() {
    std::vector<uint8_t> indices(64 * 64);
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 64; ++x) indices[y * 64 + x] = uint8_t((x + y) * 16 / 127);
    return {"bands-4bit-grey.tim", timtest::MakeTim(0, std::nullopt, Block{16, 64, Pack4(indices), {}, 336, 0}),
            true, "64 x 64, 4-bit indexed, no CLUT (grey)",
            // index 0 of the grey ramp is opaque black, index 15 white
            {{0, 0, 0xFF000000}, {63, 63, 0xFFFFFFFF}}};
}

// Concentric rings through a 255-colour wheel; outside the disc, index 0 is transparent.
inline Sample Rings8BitClut() {
    Bytes palette;
    timtest::PutU16(palette, 0);
    for (unsigned i = 1; i < 256; ++i) timtest::PutU16(palette, Hue((i - 1) * 192 / 255));
    Bytes pixels(64 * 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const int dx = 2 * x - 63, dy = 2 * y - 63;  // twice the distance from the centre
            const int d2 = dx * dx + dy * dy;
            pixels[size_t(y * 64 + x)] = d2 > 63 * 63 ? 0 : uint8_t(1 + (d2 / 5 + 4 * x) % 255);
        }
    return {"rings-8bit-clut.tim",
            timtest::MakeTim(1, Block{256, 1, palette, {}, 0, 481}, Block{32, 64, pixels, {}, 352, 0}), true,
            "64 x 64, 8-bit indexed with CLUT",
            // outside the disc transparent; the centre is index 129, cyan
            {{0, 0, 0x00000000}, {32, 32, 0xFF00FFFF}}};
}

// A radial glow through the 256 built-in greys.
inline Sample Glow8BitGrey() {
    Bytes pixels(64 * 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const int dx = 2 * x - 63, dy = 2 * y - 63;
            const int level = 255 - (dx * dx + dy * dy) / 32;
            pixels[size_t(y * 64 + x)] = uint8_t(level < 0 ? 0 : level);
        }
    return {"glow-8bit-grey.tim", timtest::MakeTim(1, std::nullopt, Block{32, 64, pixels, {}, 384, 0}), true,
            "64 x 64, 8-bit indexed, no CLUT (grey)",
            // white centre; the corner's level 7 shares grey 0, opaque black
            {{32, 32, 0xFFFFFFFF}, {0, 0, 0xFF000000}}};
}

// A colour gradient on a checkerboard whose other squares are holes (colour
// 0), inside a frame of 0x8000, the opaque black.
inline Sample Checker16Bit() {
    Bytes pixels;
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 64; ++x) {
            uint16_t c;
            if (x < 2 || y < 2 || x > 61 || y > 61)
                c = 0x8000;
            else if (((x / 8) + (y / 8)) % 2)
                c = 0;
            else
                c = Rgb(x / 2, y / 2, 31 - (x + y) / 4);
            timtest::PutU16(pixels, c);
        }
    return {"checker-16bit.tim", timtest::MakeTim(2, std::nullopt, Block{64, 64, pixels, {}, 448, 0}), true,
            "64 x 64, 16-bit direct colour",
            // 0x8000 frame opaque black, a hole, TIM colour (1, 1, 30)
            {{0, 0, 0xFF000000}, {10, 2, 0x00000000}, {2, 2, 0xFF0808F7}}};
}

// Red across, green down, blue fading out: full 8-bit channels.
inline Sample Gradient24Bit() {
    Bytes pixels;
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 64; ++x) {
            pixels.push_back(uint8_t(x * 4 + x / 16));
            pixels.push_back(uint8_t(y * 4 + y / 16));
            pixels.push_back(uint8_t(255 - (x + y) * 2));
        }
    return {"gradient-24bit.tim", timtest::MakeTim(3, std::nullopt, Block{96, 64, pixels, {}, 512, 0}), true,
            "64 x 64, 24-bit direct colour",
            // rows top-down, red first
            {{0, 0, 0xFF0000FF}, {63, 0, 0xFFFF0081}, {0, 63, 0xFF00FF81}}};
}

// The sprite cut off after 40 of its 64 rows, as a broken copy or download
// leaves it: the image block claims more bytes than the file holds.
inline Sample Truncated() {
    Bytes file = Sprite4BitClut().bytes;
    file.resize(8 + 44 + 12 + 40 * 32);
    return {"refused-truncated.tim", file, false, "damaged TIM file: its blocks do not fit the file", {}};
}

inline std::vector<Sample> AllSamples() {
    return {Sprite4BitClut(), Sprite4BitTwoPalettes(), Bands4BitGrey(), Rings8BitClut(),
            Glow8BitGrey(),   Checker16Bit(),          Gradient24Bit(), Truncated()};
}

}  // namespace samples

#pragma once
// 15-bit TIM colours to 32-bit BGRA pixels (0xAARRGGBB, bytes B, G, R, A).
#include <array>
#include <cstddef>
#include <cstdint>

// TIM colour 0 is fully transparent; every other colour is opaque, bit 15
// included (0x8000 is opaque black).
constexpr uint32_t TimColorToBgra(uint16_t colour) {
    if (colour == 0) return 0;
    // (v << 3) | (v >> 2) spreads 5 bits over 8 so that 31 maps to 255 and 0 to 0.
    const uint32_t r = colour & 31, g = (colour >> 5) & 31, b = (colour >> 10) & 31;
    const uint32_t r8 = (r << 3) | (r >> 2), g8 = (g << 3) | (g >> 2), b8 = (b << 3) | (b >> 2);
    return 0xFF000000u | (r8 << 16) | (g8 << 8) | b8;
}

// The way back, for pictures edited outside and put back into a TIM. A
// channel takes the 5-bit level whose widened value is nearest, so that every
// value TimColorToBgra makes comes back to its own level.
constexpr uint32_t TimLevelOfChannel(uint32_t v) {
    const auto widened = [](uint32_t level) { return (level << 3) | (level >> 2); };
    const auto distance = [&](uint32_t level) {
        const uint32_t w = widened(level);
        return w > v ? w - v : v - w;
    };
    uint32_t best = v >> 3;  // the level with the same top bits, or one beside it
    if (best > 0 && distance(best - 1) < distance(best)) best -= 1;
    if (best < 31 && distance(best + 1) < distance(best)) best += 1;
    return best;
}

// Alpha below half draws nearer to clear than to opaque: such a pixel is
// transparent, which a TIM holds only as colour 0.
constexpr bool TimAlphaIsClear(uint32_t alpha) { return alpha < 128; }

struct TimColorBack {
    uint16_t colour;  // STP clear, except 0x8000 for opaque black
    bool exact;       // TimColorToBgra(colour) is the pixel itself
};

// A straight-alpha BGRA pixel (0xAARRGGBB) as a TIM colour: transparent is
// 0x0000; opaque black is 0x8000, since 0x0000 would be transparent; every
// other colour has STP clear. A transparent pixel's colour channels are not
// drawn, so alpha 0 is exact whatever they hold.
constexpr TimColorBack TimColorFromBgra(uint32_t pixel) {
    const uint32_t alpha = pixel >> 24;
    if (TimAlphaIsClear(alpha)) return {0, alpha == 0};
    const uint32_t r = TimLevelOfChannel((pixel >> 16) & 255), g = TimLevelOfChannel((pixel >> 8) & 255),
                   b = TimLevelOfChannel(pixel & 255);
    uint16_t colour = uint16_t(r | (g << 5) | (b << 10));
    if (colour == 0) colour = 0x8000;
    return {colour, TimColorToBgra(colour) == pixel};
}

// destination[i] = TimColorToBgra(source[i]). `source` may point into file data.
void ConvertColorRun(uint32_t* destination, const uint16_t* source, size_t count);

// Grey ramps for indexed files without a CLUT. They are TIM colours, not
// pixels, so they go through the same conversion as a file's own CLUT; bit 15
// is set so that index 0 is opaque black rather than transparent.
namespace tim_detail {
constexpr uint16_t Grey(unsigned v) {
    return uint16_t(0x8000 | v | (v << 5) | (v << 10));
}
constexpr std::array<uint16_t, 256> MakeGrey256() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) t[i] = Grey(i >> 3);  // each level eight times
    return t;
}
}  // namespace tim_detail

// Levels round(i * 31 / 15): entry 8 is level 17, not 16.
inline constexpr std::array<uint16_t, 16> kDefaultGrey16 = {
    0x8000, 0x8842, 0x9084, 0x98C6, 0xA108, 0xA94A, 0xB18C, 0xB9CE,
    0xC631, 0xCE73, 0xD6B5, 0xDEF7, 0xE739, 0xEF7B, 0xF7BD, 0xFFFF,
};
inline constexpr std::array<uint16_t, 256> kDefaultGrey256 = tim_detail::MakeGrey256();

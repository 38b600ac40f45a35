#include "BenchData.h"

#include "TimBuilder.h"

#include <optional>
#include <random>

namespace timbench {

namespace {

// A non-zero TIM colour, semi-transparency bit set at random; one in
// `transparentOneIn` comes out as colour 0.
uint16_t RandomColour(std::mt19937& rng, uint32_t transparentOneIn) {
    if (rng() % transparentOneIn == 0) return 0;
    const uint16_t c = uint16_t(rng());
    return c ? c : 1;
}

}  // namespace

Case MakeCase(uint32_t mode, uint16_t width, uint16_t height) {
    static const char* const kNames[] = {"4-bit", "8-bit", "16-bit", "24-bit"};
    std::mt19937 rng(0x71Du + mode * 7919u + width * 31u + height);
    // Row length in 16-bit units for `width` pixels.
    const uint16_t rawWidth = mode == 0 ? width / 4 : mode == 1 ? width / 2 : mode == 2 ? width : width * 3 / 2;
    timtest::Bytes pixels(size_t(rawWidth) * height * 2);
    std::optional<timtest::Block> clut;
    if (mode <= 1) {
        // Palette entry 0 transparent as in most textures, a few more at random.
        const unsigned entries = mode == 0 ? 16 : 256;
        timtest::Bytes colours;
        timtest::PutU16(colours, 0);
        for (unsigned i = 1; i < entries; ++i) timtest::PutU16(colours, RandomColour(rng, 16));
        clut = timtest::Block{uint16_t(entries), 1, colours};
        for (auto& b : pixels) b = uint8_t(rng());
    } else if (mode == 2) {
        for (size_t i = 0; i < pixels.size(); i += 2) {
            const uint16_t c = RandomColour(rng, 8);
            pixels[i] = uint8_t(c);
            pixels[i + 1] = uint8_t(c >> 8);
        }
    } else {
        for (auto& b : pixels) b = uint8_t(rng());
    }
    return Case{kNames[mode], mode, width, height,
                timtest::MakeTim(mode, clut, timtest::Block{rawWidth, height, pixels})};
}

}  // namespace timbench

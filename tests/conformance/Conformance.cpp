#include "Conformance.h"

#include <cstdio>

namespace tim_conformance {

namespace {

std::string_view BaseName(std::string_view name) {
    constexpr std::string_view kTim = ".tim";
    if (name.size() > kTim.size() && name.substr(name.size() - kTim.size()) == kTim)
        name.remove_suffix(kTim.size());
    return name;
}

std::string Hex(const uint8_t bytes[4]) {
    char text[12];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

const char* LayoutName(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::StraightRgba: return "straight RGBA";
        case PixelLayout::StraightBgra: return "straight BGRA";
        case PixelLayout::PremultipliedBgra: return "premultiplied BGRA";
    }
    return "?";
}

}  // namespace

const ExpectedPicture* FindExpectedPicture(std::string_view name) {
    name = BaseName(name);
    for (const ExpectedPicture& picture : ExpectedPictures())
        if (name == picture.name) return &picture;
    return nullptr;
}

void ExpectedBytes(const ExpectedPicture& picture, uint32_t x, uint32_t y, PixelLayout layout, uint8_t out[4]) {
    const unsigned char* p = picture.rgba + (size_t(y) * picture.width + x) * 4;
    uint8_t r = p[0], g = p[1], b = p[2], a = p[3];
    if (layout == PixelLayout::PremultipliedBgra) {
        // c * a / 255 rounded down, alpha too: the pixel composited over
        // 0x00000000, whose every channel, alpha included, is zero.
        const unsigned alpha = a;
        r = uint8_t(r * alpha / 255);
        g = uint8_t(g * alpha / 255);
        b = uint8_t(b * alpha / 255);
        a = uint8_t(alpha * alpha / 255);
    }
    if (layout == PixelLayout::StraightRgba) {
        out[0] = r, out[1] = g, out[2] = b;
    } else {
        out[0] = b, out[1] = g, out[2] = r;
    }
    out[3] = a;
}

std::string Mismatch(std::string_view name, const ClientPicture& got) {
    const ExpectedPicture* expected = FindExpectedPicture(name);
    if (!expected) return "no expected picture for sample \"" + std::string(name) + "\"";
    if (got.width != expected->width || got.height != expected->height)
        return std::string(name) + ": " + std::to_string(got.width) + " x " + std::to_string(got.height) +
               ", expected " + std::to_string(expected->width) + " x " + std::to_string(expected->height);
    const size_t row = size_t(got.width) * 4;
    if (!got.pixels || got.stride < row || got.size < got.stride * (got.height - 1) + row)
        return std::string(name) + ": the picture's " + std::to_string(got.size) + " bytes do not hold " +
               std::to_string(got.height) + " rows of " + std::to_string(row) + " bytes, " +
               std::to_string(got.stride) + " apart";
    size_t differing = 0;
    std::string first;
    for (uint32_t y = 0; y < got.height; ++y) {
        const uint32_t memoryRow = got.order == RowOrder::TopDown ? y : got.height - 1 - y;
        const uint8_t* line = got.pixels + got.stride * memoryRow;
        for (uint32_t x = 0; x < got.width; ++x) {
            uint8_t want[4];
            ExpectedBytes(*expected, x, y, got.layout, want);
            const uint8_t* have = line + size_t(x) * 4;
            if (have[0] == want[0] && have[1] == want[1] && have[2] == want[2] && have[3] == want[3]) continue;
            if (differing++ == 0)
                first = "first at " + std::to_string(x) + ", " + std::to_string(y) + " (top-down): " + Hex(have) +
                        ", expected " + Hex(want);
        }
    }
    if (differing == 0) return {};
    return std::string(name) + ": " + std::to_string(differing) + " of " +
           std::to_string(size_t(got.width) * got.height) + " pixels differ from samples/" +
           std::string(BaseName(name)) + ".png (" + LayoutName(got.layout) + "), " + first;
}

::testing::AssertionResult MatchesSample(std::string_view name, const ClientPicture& got) {
    const std::string why = Mismatch(name, got);
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why;
}

}  // namespace tim_conformance

#include "TimRebuild.h"

#include "ByteIo.h"
#include "TimColor.h"
#include "TimDecode.h"
#include "TimSummary.h"

#include <algorithm>
#include <unordered_map>

namespace {

// Appended piece by piece: "(" + std::string trips GCC 12's -Wrestrict at -O3
// (a false alarm inside std::string, seen with mingw-w64).
std::string At(uint64_t i, uint32_t width) {
    std::string text = "(";
    text += std::to_string(i % width);
    text += ", ";
    text += std::to_string(i / width);
    text += ")";
    return text;
}

// A transparent pixel draws nothing, whatever its colour channels hold.
uint32_t Drawn(uint32_t pixel) { return pixel >> 24 == 0 ? 0 : pixel; }

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

uint32_t Distance(uint32_t a, uint32_t b) {
    uint32_t sum = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const int d = int((a >> shift) & 255) - int((b >> shift) & 255);
        sum += uint32_t(d * d);
    }
    return sum;
}

// The index of each pixel in an indexed TIM's rows.
uint32_t IndexAt(const TimImageInfo& info, const uint8_t* rows, uint64_t i) {
    const size_t stride = size_t(info.rawWidth) * 2, x = size_t(i % info.width), y = size_t(i / info.width);
    const uint8_t* row = rows + y * stride;
    if (info.format == TimPixelFormat::Indexed8) return row[x];
    return x & 1 ? row[x / 2] >> 4 : row[x / 2] & 15;
}

void SetIndex(const TimImageInfo& info, uint8_t* rows, uint64_t i, uint32_t index) {
    const size_t stride = size_t(info.rawWidth) * 2, x = size_t(i % info.width), y = size_t(i / info.width);
    uint8_t* row = rows + y * stride;
    if (info.format == TimPixelFormat::Indexed8) {
        row[x] = uint8_t(index);
        return;
    }
    // The left pixel of each pair sits in the low nibble.
    uint8_t& b = row[x / 2];
    b = x & 1 ? uint8_t((b & 0x0F) | index << 4) : uint8_t((b & 0xF0) | index);
}

void RebuildIndexed(const TimTemplate& t, const TimImageInfo& drawn, const PngInput& png,
                    const TimRebuildOptions& options, TimRebuilt& out) {
    const TimImageInfo& info = t.info;
    uint32_t palette[256];
    const uint32_t entries = TimDrawnPalette(drawn, palette);
    const size_t pixelOffset = size_t(info.pixelData - t.tim.data());
    uint8_t* rows = out.tim.data() + pixelOffset;
    const uint64_t count = uint64_t(png.width) * png.height;
    // The CLUT's own colours of palette K; past them (a short CLUT, or none
    // and a grey ramp) nothing can change.
    uint32_t own = 0;
    if (info.paletteSize) own = options.palette ? entries : std::min<uint32_t>(entries, uint32_t(info.clutWidth) * info.clutHeight);
    const std::string bits = std::to_string(TimBitsPerPixel(info.format)) + "-bit";

    if (png.indexed) {
        if (png.palette.size() > entries) {
            out.refusal = "its palette holds " + std::to_string(png.palette.size()) + " colours; a " + bits +
                          " TIM holds " + std::to_string(entries);
            return;
        }
        for (uint32_t i = 0; i < png.palette.size(); ++i) {
            if (Drawn(png.palette[i]) == palette[i]) continue;
            if (i >= own) {
                out.refusal = "palette entry " + std::to_string(i) + " changed, but " +
                              (info.paletteSize ? "the CLUT has no colour " + std::to_string(i) + " in palette " +
                                                      std::to_string(options.palette)
                                                : std::string("the TIM has no CLUT (it is drawn in grey)"));
                return;
            }
            const TimColorBack back = TimColorFromBgra(png.palette[i]);
            out.rounded += !back.exact;
            ++out.changedColours;
            PutU16(out.tim.data() + (drawn.clutData - t.tim.data()) + 2 * i, back.colour);
        }
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t index = png.indices[i];
            if (index >= entries) {
                out.refusal = "index " + std::to_string(index) + " at " + At(i, png.width) + " is past the " +
                              std::to_string(entries) + " colours of a " + bits + " TIM";
                return;
            }
            if (t.pixelsKnown && IndexAt(info, rows, i) == index) continue;
            out.changedPixels += t.pixelsKnown;
            SetIndex(info, rows, i, index);
        }
        return;
    }

    // Colours back to indices: the first entry drawn so, unless the pixel
    // still shows its original entry (a palette may hold a colour twice).
    std::unordered_map<uint32_t, uint32_t> first;
    for (uint32_t i = entries; i-- > 0;) first[palette[i]] = i;
    const std::vector<uint32_t> pixels = png.Pixels();
    uint64_t unknown = 0, firstUnknown = 0, noClass = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t pixel = Drawn(pixels[i]);
        const uint32_t before = IndexAt(info, rows, i);
        if (t.pixelsKnown && palette[before] == pixel) continue;
        uint32_t index = 0;
        if (const auto found = first.find(pixel); found != first.end()) {
            index = found->second;
        } else {
            if (unknown++ == 0) firstUnknown = i;
            if (!options.nearest) continue;
            // Nearest among the entries as clear or as opaque as the pixel.
            const bool clear = TimAlphaIsClear(pixel >> 24);
            uint32_t best = UINT32_MAX;
            bool any = false;
            for (uint32_t e = 0; e < entries; ++e) {
                if (TimAlphaIsClear(palette[e] >> 24) != clear) continue;
                const uint32_t d = Distance(palette[e], pixel);
                if (!any || d < best) best = d, index = e, any = true;
            }
            if (!any) {
                ++noClass;
                continue;
            }
            ++out.moved;
        }
        if (t.pixelsKnown && index == before) continue;
        out.changedPixels += t.pixelsKnown;
        SetIndex(info, rows, i, index);
    }
    if (unknown && !options.nearest)
        out.refusal = std::to_string(unknown) + (unknown == 1 ? " pixel has a colour" : " pixels have colours") +
                      " that palette " + std::to_string(options.palette) + " does not hold, the first at " +
                      At(firstUnknown, png.width) + " (--nearest maps them to its nearest colours)";
    else if (noClass)
        out.refusal = std::to_string(noClass) + " pixels are transparent or opaque where palette " +
                      std::to_string(options.palette) + " holds no such colour";
}

void RebuildDirect(const TimTemplate& t, const PngInput& png, TimRebuilt& out) {
    const TimImageInfo& info = t.info;
    uint8_t* rows = out.tim.data() + (info.pixelData - t.tim.data());
    const size_t stride = size_t(info.rawWidth) * 2;
    const std::vector<uint32_t> pixels = png.Pixels();
    for (uint32_t y = 0; y < png.height; ++y) {
        uint8_t* row = rows + y * stride;
        for (uint32_t x = 0; x < png.width; ++x) {
            const uint32_t pixel = pixels[size_t(y) * png.width + x];
            if (info.format == TimPixelFormat::Direct24) {
                uint8_t* p = row + 3 * size_t(x);
                const uint8_t rgb[3] = {uint8_t(pixel >> 16), uint8_t(pixel >> 8), uint8_t(pixel)};
                out.rounded += pixel >> 24 != 255;  // 24-bit pixels are opaque
                if (t.pixelsKnown && p[0] == rgb[0] && p[1] == rgb[1] && p[2] == rgb[2]) continue;
                out.changedPixels += t.pixelsKnown;
                p[0] = rgb[0], p[1] = rgb[1], p[2] = rgb[2];
                continue;
            }
            uint8_t* p = row + 2 * size_t(x);
            const uint16_t word = LoadU16LE(p);
            // An unchanged pixel keeps its word, STP bit included.
            if (t.pixelsKnown && TimColorToBgra(word) == Drawn(pixel)) continue;
            const TimColorBack back = TimColorFromBgra(pixel);
            out.rounded += !back.exact;
            uint16_t colour = back.colour;
            // Without the original's words, the chunk's STP bit goes with
            // every exact opaque colour: the pixels of an unedited PNG.
            if (!t.pixelsKnown && back.exact && colour != 0) colour |= word & 0x8000;
            out.changedPixels += t.pixelsKnown;
            PutU16(p, colour);
        }
    }
}

}  // namespace

TimRebuilt RebuildTim(const TimTemplate& t, const PngInput& png, const TimRebuildOptions& options) {
    TimRebuilt out;
    const TimImageInfo& info = t.info;
    if (png.width != info.width || png.height != info.height) {
        out.refusal = "its size " + std::to_string(png.width) + " x " + std::to_string(png.height) +
                      " differs from the TIM's " + std::to_string(info.width) + " x " + std::to_string(info.height);
        return out;
    }
    const bool indexedTim = info.format == TimPixelFormat::Indexed4 || info.format == TimPixelFormat::Indexed8;
    TimImageInfo drawn = info;
    if (indexedTim && !SelectTimPalette(drawn, options.palette)) {
        out.refusal = "the TIM has no palette " + std::to_string(options.palette) + " (" +
                      (info.paletteSize ? std::to_string(TimPaletteCount(info)) + " in its CLUT, numbered from 0)"
                                        : std::string("it has no CLUT)"));
        return out;
    }
    if (!indexedTim && options.palette) {
        out.refusal = std::string("--palette: a ") + TimFormatName(info) + " TIM uses no palette";
        return out;
    }
    out.tim = t.tim;
    if (indexedTim) RebuildIndexed(t, drawn, png, options, out);
    else RebuildDirect(t, png, out);
    if (!out.refusal.empty()) out.tim.clear();
    return out;
}

#include "TimDecode.h"

#include "DecodeKernels.h"
#include "TimColor.h"

#if defined(__aarch64__)
#include <arm_neon.h>
#else
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstring>

namespace tim_detail {

void DecodeRow24Scalar(const uint8_t* source, size_t, size_t width, uint32_t* destination) {
    // Bytes are red, green, blue; any tail bytes past 3 * width are skipped.
    for (size_t i = 0; i < width; ++i) {
        const uint8_t* p = source + 3 * i;
        destination[i] = 0xFF000000u | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    }
}

#if defined(__aarch64__)
void DecodeRow24(const uint8_t* source, size_t, size_t width, uint32_t* destination) {
    // Sixteen pixels a round: one de-interleaving load of exactly their 48
    // bytes into red, green and blue planes, one interleaving store of blue,
    // green, red and alpha. Nothing past the round's own bytes is read.
    constexpr size_t kPixels = 16;
    const uint8x16_t opaque = vdupq_n_u8(0xFF);
    size_t i = 0;
    for (; i + kPixels <= width; i += kPixels) {
        const uint8x16x3_t rgb = vld3q_u8(source + 3 * i);
        uint8x16x4_t bgra;
        bgra.val[0] = rgb.val[2];
        bgra.val[1] = rgb.val[1];
        bgra.val[2] = rgb.val[0];
        bgra.val[3] = opaque;
        vst4q_u8(reinterpret_cast<uint8_t*>(destination + i), bgra);
    }
    DecodeRow24Scalar(source + 3 * i, 0, width - i, destination + i);
}
#else
namespace {

// Four pixels whose bytes red, green, blue start 3 bytes apart, one per
// 32-bit lane as r | g << 8 | b << 16 | (next byte) << 24. Reads 13 bytes.
inline __m128i Gather24(const uint8_t* p) {
    const __m128i p01 = _mm_unpacklo_epi32(_mm_loadu_si32(p), _mm_loadu_si32(p + 3));
    const __m128i p23 = _mm_unpacklo_epi32(_mm_loadu_si32(p + 6), _mm_loadu_si32(p + 9));
    return _mm_unpacklo_epi64(p01, p23);
}

// r | g << 8 | b << 16 | x << 24 to b | g << 8 | r << 16 | 0xFF << 24.
inline __m128i RgbToBgra(__m128i rgb) {
    // The saturating add turns the fourth byte into alpha 255; swapping the
    // 16-bit halves then puts blue and red where they belong, and green and
    // alpha are kept from before the swap.
    const __m128i x = _mm_adds_epu8(rgb, _mm_set1_epi32(int32_t(0xFF000000)));
    const __m128i swapped =
        _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_or_si128(_mm_and_si128(swapped, _mm_set1_epi32(0x00FF00FF)),
                        _mm_and_si128(x, _mm_set1_epi32(int32_t(0xFF00FF00))));
}

#if defined(__i386__)
// One pixel through the integer unit from a 4-byte load of r g b x:
// reversed, its top three bytes are b g r.
inline uint32_t RgbToBgraPixel(const uint8_t* p) {
    uint32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return __builtin_bswap32(bytes) >> 8 | 0xFF000000u;
}
#else
// Two pixels through the integer unit from one 8-byte load of
// r0 g0 b0 r1 g1 b1 x x: reversed, its top three bytes are b0 g0 r0 and
// bytes 2 to 4 are b1 g1 r1.
inline uint64_t RgbPairToBgra(const uint8_t* p) {
    uint64_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    const uint64_t reversed = __builtin_bswap64(bytes);
    return reversed >> 40 | (reversed << 16 & 0x00FFFFFF00000000u) | 0xFF000000FF000000u;
}
#endif

}  // namespace

void DecodeRow24(const uint8_t* source, size_t rowBytes, size_t width, uint32_t* destination) {
    // Sixteen pixels a round: twelve in vectors and four in the integer unit,
    // which would otherwise sit idle. Loads take whole pixels plus a little:
    // the last one of a round reads bytes 42 to 49, two past the round's own
    // 48. Rounds run only while those bytes are still inside the row, so a
    // row that ends the file is never read past its end; the rest goes
    // through the plain loop.
    constexpr size_t kPixels = 16, kBytes = 3 * kPixels, kReach = kBytes + 2;
    size_t rounds = width / kPixels;
    const size_t fitting = rowBytes >= kReach ? (rowBytes - kReach) / kBytes + 1 : 0;
    if (fitting < rounds) rounds = fitting;
    const uint8_t* p = source;
    uint32_t* out = destination;
    for (size_t r = 0; r < rounds; ++r, p += kBytes, out += kPixels) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), RgbToBgra(Gather24(p)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), RgbToBgra(Gather24(p + 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), RgbToBgra(Gather24(p + 24)));
#if defined(__i386__)
        // 32-bit x86 has no 64-bit integer registers (GCC would build the
        // pairs through the stack, a stall every round): the last four go one
        // by one, reading bytes 36 to 48, inside the reach. Through vectors
        // instead, the round takes a third longer: the shuffles queue up.
        out[12] = RgbToBgraPixel(p + 36);
        out[13] = RgbToBgraPixel(p + 39);
        out[14] = RgbToBgraPixel(p + 42);
        out[15] = RgbToBgraPixel(p + 45);
#else
        const uint64_t pair12 = RgbPairToBgra(p + 36), pair14 = RgbPairToBgra(p + 42);
        std::memcpy(out + 12, &pair12, sizeof pair12);
        std::memcpy(out + 14, &pair14, sizeof pair14);
#endif
    }
    const size_t done = rounds * kPixels;
    DecodeRow24Scalar(source + 3 * done, rowBytes - 3 * done, width - done, destination + done);
}

#endif

void DecodeRow8Scalar(const uint8_t* source, size_t width, const uint32_t* palette, uint32_t* destination) {
    for (size_t i = 0; i < width; ++i) destination[i] = palette[source[i]];
}

#if defined(__aarch64__)
void DecodeRow8(const uint8_t* source, size_t width, const uint32_t* palette, uint32_t* destination) {
    // NEON has no gather: a lookup per pixel is all there is, and the plain
    // loop does exactly that.
    DecodeRow8Scalar(source, width, palette, destination);
}
#else
namespace {

// Four palette entries, looked up one by one but loaded straight into one
// vector, so that four pixels take one store.
inline __m128i Lookup4(const uint8_t* indices, const uint32_t* palette) {
    const __m128i p01 = _mm_unpacklo_epi32(_mm_loadu_si32(palette + indices[0]), _mm_loadu_si32(palette + indices[1]));
    const __m128i p23 = _mm_unpacklo_epi32(_mm_loadu_si32(palette + indices[2]), _mm_loadu_si32(palette + indices[3]));
    return _mm_unpacklo_epi64(p01, p23);
}

}  // namespace

void DecodeRow8(const uint8_t* source, size_t width, const uint32_t* palette, uint32_t* destination) {
    size_t i = 0;
    for (; i + 8 <= width; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), Lookup4(source + i, palette));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 4), Lookup4(source + i + 4, palette));
    }
    DecodeRow8Scalar(source + i, width - i, palette, destination + i);
}

#endif

void BuildPairTable(const uint32_t* palette16, uint64_t* pairs256) {
    // Little-endian: the low half is the left pixel, from the low nibble.
    for (unsigned b = 0; b < 256; ++b) pairs256[b] = palette16[b & 15] | uint64_t(palette16[b >> 4]) << 32;
}

void DecodeRow4Scalar(const uint8_t* source, size_t width, const uint32_t* palette16, uint32_t* destination) {
    // Low nibble first: the left pixel of each pair sits in bits 0-3.
    for (size_t i = 0; i < width / 2; ++i) {
        destination[2 * i] = palette16[source[i] & 15];
        destination[2 * i + 1] = palette16[source[i] >> 4];
    }
}

#if defined(__aarch64__)
void DecodeRow4(const uint8_t* source, size_t width, const uint64_t* pairs256, uint32_t* destination) {
    // Each source byte is one 8-byte table entry, two pixels, stored at once.
    for (size_t i = 0; i < width / 2; ++i) std::memcpy(destination + 2 * i, pairs256 + source[i], sizeof(uint64_t));
}
#else
void DecodeRow4(const uint8_t* source, size_t width, const uint64_t* pairs256, uint32_t* destination) {
    // Each source byte is one 8-byte table entry, two pixels; two entries
    // make one vector store.
    const size_t bytes = width / 2;
    const auto pair = [pairs256](uint8_t b) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pairs256 + b)); };
    size_t i = 0;
    for (; i + 4 <= bytes; i += 4) {
        const uint8_t* q = source + i;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + 2 * i), _mm_unpacklo_epi64(pair(q[0]), pair(q[1])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + 2 * i + 4), _mm_unpacklo_epi64(pair(q[2]), pair(q[3])));
    }
    for (; i < bytes; ++i) std::memcpy(destination + 2 * i, pairs256 + source[i], sizeof(uint64_t));
}

#endif

}  // namespace tim_detail

namespace {

// Builds the working palette. A CLUT smaller than one palette contributes only
// its own entries; the rest stay 0 (transparent) so that nothing after the
// CLUT block is ever read as a colour.
void BuildPalette(const TimImageInfo& info, const uint16_t* greyRamp, uint32_t entries,
                  uint32_t* palette) {
    if (info.paletteSize < entries) {
        ConvertColorRun(palette, greyRamp, entries);
        return;
    }
    uint32_t available = uint32_t(info.clutWidth) * info.clutHeight;
    if (available > entries) available = entries;
    tim_detail::ConvertColours(info.clutData, available, palette);
    std::memset(palette + available, 0, (entries - available) * sizeof(uint32_t));
}

// The rows to decode, [first, first + count), and their order: the bitmap
// wants the bottom row first, other clients the file's own order.
struct RowRange {
    size_t first, count;
    bool bottomUp;
};

// Source rows run top-down in the file, every one 2 * rawWidth bytes long.
template <typename DecodeRow>
void ForEachRow(const TimImageInfo& info, RowRange rows, uint32_t* destination, DecodeRow decodeRow) {
    const size_t width = info.width;
    const size_t stride = size_t(info.rawWidth) * 2;
    for (size_t i = 0; i < rows.count; ++i, destination += width) {
        const size_t row = rows.bottomUp ? rows.first + rows.count - 1 - i : rows.first + i;
        decodeRow(info.pixelData + row * stride, stride, width, destination);
    }
}

void Decode(const TimImageInfo& info, RowRange rows, uint32_t* destination);

}  // namespace

uint32_t TimDrawnPalette(const TimImageInfo& info, uint32_t* palette) {
    switch (info.format) {
        case TimPixelFormat::Indexed4: BuildPalette(info, kDefaultGrey16.data(), 16, palette); return 16;
        case TimPixelFormat::Indexed8: BuildPalette(info, kDefaultGrey256.data(), 256, palette); return 256;
        default: return 0;
    }
}

void DecodeTimPixels(const TimImageInfo& info, uint32_t* destination) {
    Decode(info, {0, info.height, true}, destination);
}

void DecodeTimRows(const TimImageInfo& info, uint32_t firstRow, uint32_t rowCount, uint32_t* destination) {
    if (firstRow >= info.height) return;
    if (rowCount > info.height - firstRow) rowCount = info.height - firstRow;
    Decode(info, {firstRow, rowCount, false}, destination);
}

namespace {

void Decode(const TimImageInfo& info, RowRange rows, uint32_t* destination) {
    using namespace tim_detail;
    if (info.width == 0 || rows.count == 0) return;

    switch (info.format) {
        case TimPixelFormat::Indexed4: {
            uint32_t palette[256];
            uint64_t pairs[256];
            TimDrawnPalette(info, palette);
            BuildPairTable(palette, pairs);
            ForEachRow(info, rows, destination, [&](const uint8_t* src, size_t, size_t width, uint32_t* out) {
                DecodeRow4(src, width, pairs, out);
            });
            break;
        }
        case TimPixelFormat::Indexed8: {
            uint32_t palette[256];
            TimDrawnPalette(info, palette);
            ForEachRow(info, rows, destination, [&](const uint8_t* src, size_t, size_t width, uint32_t* out) {
                DecodeRow8(src, width, palette, out);
            });
            break;
        }
        case TimPixelFormat::Direct16:
            ForEachRow(info, rows, destination, [](const uint8_t* src, size_t, size_t width, uint32_t* out) {
                ConvertColours(src, width, out);
            });
            break;
        case TimPixelFormat::Direct24:
            ForEachRow(info, rows, destination, DecodeRow24);
            break;
    }
}

}  // namespace

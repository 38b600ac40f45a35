#include "TimColor.h"

#include "ByteIo.h"
#include "DecodeKernels.h"

#if defined(__aarch64__)
#include <arm_neon.h>
#else
#include <emmintrin.h>
#endif

namespace tim_detail {

void ConvertColoursScalar(const uint8_t* source, size_t count, uint32_t* destination) {
    for (size_t i = 0; i < count; ++i) destination[i] = TimColorToBgra(LoadU16LE(source + 2 * i));
}

#if defined(__aarch64__)
void ConvertColours(const uint8_t* source, size_t count, uint32_t* destination) {
    // Eight colours a round, one per 16-bit lane: each 5-bit channel v is
    // widened to (v << 3) | (v >> 2), narrowed to bytes, and the four byte
    // planes are stored interleaved as blue, green, red, alpha.
    const uint16x8_t field = vdupq_n_u16(31);
    const auto widen = [](uint16x8_t v) { return vmovn_u16(vorrq_u16(vshlq_n_u16(v, 3), vshrq_n_u16(v, 2))); };
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const uint16x8_t c = vreinterpretq_u16_u8(vld1q_u8(source + 2 * i));
        uint8x8x4_t bgra;
        bgra.val[0] = widen(vandq_u16(vshrq_n_u16(c, 10), field));
        bgra.val[1] = widen(vandq_u16(vshrq_n_u16(c, 5), field));
        bgra.val[2] = widen(vandq_u16(c, field));
        // Colour 0 alone is transparent.
        bgra.val[3] = vmovn_u16(vtstq_u16(c, c));
        vst4_u8(reinterpret_cast<uint8_t*>(destination + i), bgra);
    }
    ConvertColoursScalar(source + 2 * i, count - i, destination + i);
}
#else
void ConvertColours(const uint8_t* source, size_t count, uint32_t* destination) {
    // Eight colours a round, one per 16-bit lane. Each pixel is built as two
    // halves, blue | green << 8 and red | alpha << 8, then interleaved.
    // Widening a 5-bit channel v to (v << 3) | (v >> 2) is v * 8.25; with v
    // placed at bit 10 or 11, the high half of one multiply gives exactly that.
    const __m128i blueField = _mm_set1_epi16(0x7C00);
    const __m128i greenField = _mm_set1_epi16(0x03E0);
    const __m128i highByte = _mm_set1_epi16(int16_t(0xFF00));
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 2 * i));
        // (v << 10) * 528 >> 16 and (v << 11) * 264 >> 16 are both v * 8.25 rounded down.
        const __m128i blue = _mm_mulhi_epu16(_mm_and_si128(c, blueField), _mm_set1_epi16(528));
        const __m128i red = _mm_mulhi_epu16(_mm_slli_epi16(c, 11), _mm_set1_epi16(264));
        // (v << 5) * 66 = v << 11 | v << 6: its high byte is the widened v.
        const __m128i green = _mm_and_si128(_mm_mullo_epi16(_mm_and_si128(c, greenField), _mm_set1_epi16(66)), highByte);
        // Colour 0 alone is transparent.
        const __m128i alpha = _mm_andnot_si128(_mm_cmpeq_epi16(c, zero), highByte);
        const __m128i blueGreen = _mm_or_si128(blue, green);
        const __m128i redAlpha = _mm_or_si128(red, alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_unpacklo_epi16(blueGreen, redAlpha));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 4), _mm_unpackhi_epi16(blueGreen, redAlpha));
    }
    ConvertColoursScalar(source + 2 * i, count - i, destination + i);
}

#endif

}  // namespace tim_detail

void ConvertColorRun(uint32_t* destination, const uint16_t* source, size_t count) {
    // The colours are little-endian in memory like in the file, so the byte
    // kernel serves both; it also needs no alignment of `source`.
    tim_detail::ConvertColours(reinterpret_cast<const uint8_t*>(source), count, destination);
}

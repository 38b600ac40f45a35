#include "Premultiply.h"

#if defined(__aarch64__)
#include <arm_neon.h>
#else
#include <emmintrin.h>
#endif

void PremultiplyPixelsScalar(uint32_t* pixels, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uint32_t p = pixels[i];
        const uint32_t a = p >> 24;
        uint32_t result = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            // Background channel K = 0, so c * A + K * (255 - A) is just c * A.
            uint32_t c = DivideBy255(((p >> shift) & 0xFF) * a);
            if (c > 255) c = 255;
            result |= c << shift;
        }
        pixels[i] = result;
    }
}

#if defined(__aarch64__)
namespace {

// Sixteen values of one channel times their pixels' alpha, divided by 255:
// c * A + 1 + (c * A >> 8) is at most 65280, so 16-bit lanes hold every step.
inline uint8x16_t PremultiplyPlane(uint8x16_t channel, uint8x16_t alpha) {
    const auto divide = [](uint16x8_t x) { return vshrn_n_u16(vaddq_u16(vsraq_n_u16(x, x, 8), vdupq_n_u16(1)), 8); };
    return vcombine_u8(divide(vmull_u8(vget_low_u8(channel), vget_low_u8(alpha))),
                       divide(vmull_high_u8(channel, alpha)));
}

}  // namespace

void PremultiplyPixels(uint32_t* pixels, size_t count) {
    // 16 pixels a round, loaded as four planes (blue, green, red, alpha).
    // Opaque pixels (alpha 255) and all-zero ones stay as they are, and
    // decoded images hold nothing else, so most rounds are one test and no
    // store at all.
    constexpr size_t kGroup = 16;
    size_t i = 0;
    for (; i + kGroup <= count; i += kGroup) {
        uint8_t* p = reinterpret_cast<uint8_t*>(pixels + i);
        uint8x16x4_t planes = vld4q_u8(p);
        const uint8x16_t any = vorrq_u8(vorrq_u8(planes.val[0], planes.val[1]), vorrq_u8(planes.val[2], planes.val[3]));
        const uint8x16_t work = vandq_u8(vtstq_u8(any, any), vmvnq_u8(vceqq_u8(planes.val[3], vdupq_n_u8(0xFF))));
        if (vmaxvq_u8(work) == 0) continue;
        const uint8x16_t alpha = planes.val[3];
        for (int k = 0; k < 4; ++k) planes.val[k] = PremultiplyPlane(planes.val[k], alpha);
        vst4q_u8(p, planes);
    }
    PremultiplyPixelsScalar(pixels + i, count - i);
}
#else
namespace {

// Two pixels widened to 16-bit lanes (B, G, R, A, B, G, R, A): each channel
// times its pixel's alpha, divided by 255. c * A is at most 65025 and
// c * A + 1 + (c * A >> 8) at most 65280, so 16 bits hold every step.
inline __m128i PremultiplyWide(__m128i channels) {
    const __m128i alpha =
        _mm_shufflehi_epi16(_mm_shufflelo_epi16(channels, _MM_SHUFFLE(3, 3, 3, 3)), _MM_SHUFFLE(3, 3, 3, 3));
    const __m128i x = _mm_mullo_epi16(channels, alpha);
    const __m128i rounded = _mm_add_epi16(_mm_add_epi16(x, _mm_set1_epi16(1)), _mm_srli_epi16(x, 8));
    return _mm_srli_epi16(rounded, 8);
}

inline __m128i Premultiply4(__m128i pixels) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = PremultiplyWide(_mm_unpacklo_epi8(pixels, zero));
    const __m128i high = PremultiplyWide(_mm_unpackhi_epi8(pixels, zero));
    return _mm_packus_epi16(low, high);
}

// The constant as a register value the compiler cannot see through: with a
// visible constant, GCC turns `x > c` into `!(c + 1 > x)`, one more compare
// and a copy per use in the hot loop below.
inline __m128i Opaque(__m128i constant) {
#if defined(__GNUC__)
    __asm__("" : "+x"(constant));
#endif
    return constant;
}

}  // namespace

void PremultiplyPixels(uint32_t* pixels, size_t count) {
    // 16 pixels a round. The pass leaves opaque pixels (alpha 255) and
    // all-zero ones as they are, and decoded images hold nothing else, so
    // most rounds are one test and no store at all. Those two kinds are
    // exactly the unsigned range 0xFF000000 to 0xFFFFFFFF followed by 0;
    // adding 0x81000000 moves them, still adjacent, to the bottom of the
    // signed range, [INT32_MIN, 0x81000000], so one signed compare per
    // vector finds every other pixel. (A separate, cheaper test for all
    // opaque costs more than it saves once transparent pixels are scattered:
    // its branch is then mispredicted.)
    const __m128i bias = Opaque(_mm_set1_epi32(int32_t(0x81000000)));
    constexpr size_t kGroup = 16;
    size_t i = 0;
    for (; i + kGroup <= count; i += kGroup) {
        __m128i* p = reinterpret_cast<__m128i*>(pixels + i);
        const auto changes = [&](int k) { return _mm_cmpgt_epi32(_mm_add_epi32(_mm_loadu_si128(p + k), bias), bias); };
        const __m128i work = _mm_or_si128(_mm_or_si128(changes(0), changes(1)), _mm_or_si128(changes(2), changes(3)));
        if (_mm_movemask_epi8(work) == 0) continue;
        for (int k = 0; k < 4; ++k) _mm_storeu_si128(p + k, Premultiply4(_mm_loadu_si128(p + k)));
    }
    PremultiplyPixelsScalar(pixels + i, count - i);
}
#endif

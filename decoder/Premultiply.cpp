#include "Premultiply.h"

#include <emmintrin.h>

#include <cstring>

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

void PremultiplyPixels(uint32_t* pixels, size_t count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i background = _mm_setzero_si128();  // K = 0 in every channel, 16-bit lanes
    const __m128i lane255 = _mm_set1_epi16(255);
    const __m128i one = _mm_set1_epi32(1);
    for (size_t i = 0; i < count; ++i) {
        int32_t raw;
        std::memcpy(&raw, pixels + i, sizeof raw);
        // Channels B, G, R, A widened to 16 bits and interleaved with K:
        // lanes c0, K, c1, K, c2, K, c3, K.
        const __m128i channels = _mm_unpacklo_epi8(_mm_cvtsi32_si128(raw), zero);
        const __m128i pairs = _mm_unpacklo_epi16(channels, background);
        // Alpha broadcast as (A, 255 - A) pairs, so one multiply-add per channel
        // forms x = c * A + K * (255 - A).
        const __m128i alpha = _mm_shufflelo_epi16(channels, _MM_SHUFFLE(3, 3, 3, 3));
        const __m128i alphaPairs =
            _mm_unpacklo_epi16(alpha, _mm_sub_epi16(lane255, alpha));
        __m128i x = _mm_madd_epi16(pairs, alphaPairs);
        // (x + 1 + (x >> 8)) >> 8, then saturate to bytes.
        x = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(x, one), _mm_srli_epi32(x, 8)), 8);
        const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(x, zero), zero);
        const int32_t result = _mm_cvtsi128_si32(packed);
        std::memcpy(pixels + i, &result, sizeof result);
    }
}

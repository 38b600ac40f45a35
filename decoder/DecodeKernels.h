#pragma once
// The decoder's inner loops. Each fast kernel sits beside the plain loop it
// must equal, with the same signature; the fast ones run a vector (or
// table-driven) body and finish with the plain loop. Declared here so that the
// tests can hold every pair to equality.
#include <cstddef>
#include <cstdint>

namespace tim_detail {

// `count` little-endian TIM colours at `source` to BGRA pixels. Reads exactly
// 2 * count bytes.
void ConvertColoursScalar(const uint8_t* source, size_t count, uint32_t* destination);
void ConvertColours(const uint8_t* source, size_t count, uint32_t* destination);  // SSE2 or NEON, 8 at a time

// One 24-bit row: `width` pixels of red, green, blue bytes. `rowBytes` (at
// least 3 * width) is how much of the row may be read; loads wider than a
// pixel are used only where they stay inside it.
void DecodeRow24Scalar(const uint8_t* source, size_t rowBytes, size_t width, uint32_t* destination);
void DecodeRow24(const uint8_t* source, size_t rowBytes, size_t width, uint32_t* destination);  // SSE2 or NEON, 16 at a time

// One 8-bit row through a 256-entry palette of BGRA pixels; the fast kernel
// gathers four entries into one vector store.
void DecodeRow8Scalar(const uint8_t* source, size_t width, const uint32_t* palette, uint32_t* destination);
void DecodeRow8(const uint8_t* source, size_t width, const uint32_t* palette, uint32_t* destination);

// One 4-bit row (width even; low nibble first). The fast kernel looks up both
// pixels of a byte at once in a table built by BuildPairTable from the same
// 16-entry palette.
void BuildPairTable(const uint32_t* palette16, uint64_t* pairs256);
void DecodeRow4Scalar(const uint8_t* source, size_t width, const uint32_t* palette16, uint32_t* destination);
void DecodeRow4(const uint8_t* source, size_t width, const uint64_t* pairs256, uint32_t* destination);

}  // namespace tim_detail

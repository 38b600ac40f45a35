#pragma once
// TIM file layout (all integers little-endian):
//
//   offset 0   u32 identifier, always 16
//   offset 4   u32 flags: bits 0-2 pixel mode (0 = 4-bit, 1 = 8-bit,
//              2 = 16-bit, 3 = 24-bit), bit 3 = a CLUT block follows
//   offset 8   CLUT block if flag bit 3 is set, then the image block
//
// Each block: u32 length (header included), u16 x, u16 y, u16 w (in 16-bit
// units), u16 h, then h rows of 2 * w bytes.
//
// The decoder's own: shared by the whole-file parser and the front-to-back
// reader, so that both walk the blocks alike.
#include "ByteIo.h"
#include "TimFormat.h"

#include <cstddef>
#include <cstdint>

namespace tim_layout {

constexpr uint32_t kClutFlag = 0x8;
constexpr size_t kBlockHeaderSize = 12;
constexpr size_t kFileHeaderSize = 8;
constexpr uint16_t kMaxBlockSide = 32768;

struct BlockHeader {
    uint32_t length;
    uint16_t x, y, w, h;
};

inline BlockHeader ReadBlockHeader(const uint8_t* p) {
    return {LoadU32LE(p), LoadU16LE(p + 4), LoadU16LE(p + 6), LoadU16LE(p + 8), LoadU16LE(p + 10)};
}

// At most 32768 * 32768 * 2 + 12 = 2^31 + 12, so it fits 32 bits; kept in 64
// so that comparisons with lengths and remaining sizes never wrap.
inline uint64_t DataBlockSize(const BlockHeader& b) {
    return uint64_t(b.w) * b.h * 2 + kBlockHeaderSize;
}

inline TimPixelFormat FormatOfMode(uint32_t mode) {
    switch (mode) {
        case 0: return TimPixelFormat::Indexed4;
        case 1: return TimPixelFormat::Indexed8;
        case 2: return TimPixelFormat::Direct16;
        default: return TimPixelFormat::Direct24;
    }
}

// Pixels per row of an image block `w` units wide; 24-bit rows may end in
// one or two bytes that belong to no pixel.
inline uint32_t PixelWidth(uint32_t mode, uint16_t w) {
    switch (mode) {
        case 0: return 4u * w;
        case 1: return 2u * w;
        case 2: return w;
        default: return (2u * w) / 3;
    }
}

// Colours per palette of a pixel mode: 16, 256, or 0 for the direct modes.
inline uint16_t PaletteSizeOfMode(uint32_t mode) {
    return mode == 0 ? 16 : mode == 1 ? 256 : 0;
}

}  // namespace tim_layout

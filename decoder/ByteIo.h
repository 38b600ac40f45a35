#pragma once
// Little-endian loads from untrusted, possibly unaligned bytes. Assembled
// byte by byte with shifts: no alignment or aliasing assumptions, the same
// result on any host's byte order, and compilers fold the pattern to one load.
#include <cstdint>

inline uint16_t LoadU16LE(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

inline uint32_t LoadU32LE(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

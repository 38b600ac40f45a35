#pragma once
// Builds TIM files in memory for tests: the identifier, flags and blocks with
// any length field, including ones that lie.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace timtest {

using Bytes = std::vector<uint8_t>;

inline void PutU16(Bytes& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

inline void PutU32(Bytes& v, uint32_t x) {
    PutU16(v, uint16_t(x));
    PutU16(v, uint16_t(x >> 16));
}

// n pseudo-random bytes; the same for a seed on every platform (the raw
// mt19937 output is fixed by the standard).
inline Bytes Noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

// TIM colours as the little-endian bytes a CLUT or a 16-bit row holds.
inline Bytes Colours(std::initializer_list<uint16_t> colours) {
    Bytes v;
    for (uint16_t c : colours) PutU16(v, c);
    return v;
}

struct Block {
    Block(uint16_t w_ = 0, uint16_t h_ = 0, Bytes data_ = {}, std::optional<uint32_t> length_ = {},
          uint16_t x_ = 0, uint16_t y_ = 0)
        : w(w_), h(h_), data(std::move(data_)), length(length_), x(x_), y(y_) {}
    uint16_t w;
    uint16_t h;
    Bytes data;                      // empty: w * h * 2 zero bytes
    std::optional<uint32_t> length;  // unset: 12 + data size
    uint16_t x;
    uint16_t y;
};

inline void AppendBlock(Bytes& file, const Block& b) {
    Bytes data = b.data;
    if (data.empty()) data.assign(size_t(b.w) * b.h * 2, 0);
    PutU32(file, b.length.value_or(uint32_t(12 + data.size())));
    PutU16(file, b.x);
    PutU16(file, b.y);
    PutU16(file, b.w);
    PutU16(file, b.h);
    file.insert(file.end(), data.begin(), data.end());
}

// flags: mode in bits 0-2; bit 3 is set here whenever `clut` is given.
inline Bytes MakeTim(uint32_t mode, const std::optional<Block>& clut, const Block& image) {
    Bytes file;
    PutU32(file, 16);
    PutU32(file, mode | (clut ? 0x8u : 0u));
    if (clut) AppendBlock(file, *clut);
    AppendBlock(file, image);
    return file;
}

}  // namespace timtest

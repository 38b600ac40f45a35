#pragma once
// The benchmark inputs: one TIM file per pixel format and size, built in
// memory from a fixed seed, so every run and every peer decodes the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace timbench {

struct Case {
    const char* format;  // "4-bit", "8-bit", "16-bit", "24-bit"
    uint32_t mode;       // flags bits 0-2
    uint16_t width;
    uint16_t height;
    std::vector<uint8_t> file;

    std::string Size() const { return std::to_string(width) + "x" + std::to_string(height); }
    size_t OutputBytes() const { return size_t(width) * height * 4; }
};

// Random indices and colours, with some transparent pixels in every format
// that has them (24-bit pixels are always opaque).
Case MakeCase(uint32_t mode, uint16_t width, uint16_t height);

}  // namespace timbench

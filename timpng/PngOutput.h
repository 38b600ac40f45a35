#pragma once
// PNG files as the tools write them: straight-alpha RGBA, or indexed with
// the palette's alpha in tRNS, either with the TIM chunk.
#include <cstdint>
#include <string>
#include <vector>

struct PngPicture {
    uint32_t width = 0, height = 0;
    // Either straight-alpha BGRA pixels (0xAARRGGBB), rows top-down...
    const uint32_t* bgra = nullptr;
    // ...or one index a pixel, rows top-down, into `paletteSize` BGRA colours:
    // 16 makes a PNG of bit depth 4, 256 one of bit depth 8.
    const uint8_t* indices = nullptr;
    const uint32_t* palette = nullptr;
    uint32_t paletteSize = 0;
};

// The PNG goes to a new temporary file in the output's folder and is renamed
// over `path` only when complete, so a failure never leaves half a PNG nor
// destroys an existing file. `timChunk`, when not empty, is written as the
// TIM chunk (TimChunk.h) before the pixels. Returns an empty string, or why
// it failed.
std::string WritePng(const std::string& path, const PngPicture& picture, const std::vector<uint8_t>& timChunk);

// Straight-alpha BGRA pixels, rows top-down, as an RGBA PNG file.
std::string WritePngFile(const std::string& path, const uint32_t* pixels, uint32_t width, uint32_t height);

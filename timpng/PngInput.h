#pragma once
// A PNG file as png2tim takes it: an indexed PNG's own indices and palette,
// any other PNG's pixels as straight-alpha BGRA, and the TIM chunk if any.
#include <cstdint>
#include <string>
#include <vector>

struct PngInput {
    uint32_t width = 0, height = 0;
    bool indexed = false;
    std::vector<uint8_t> indices;   // indexed: one a pixel, rows top-down
    std::vector<uint32_t> palette;  // indexed: PLTE with tRNS's alpha, BGRA
    std::vector<uint32_t> bgra;     // not indexed: the pixels, rows top-down
    bool hasTimChunk = false;
    std::vector<uint8_t> timChunk;

    // The pixels as BGRA, an indexed PNG's through its palette (an index
    // past it is transparent black, as in most viewers).
    std::vector<uint32_t> Pixels() const;
};

enum class PngReadResult {
    Read,
    Missing,
    Unreadable,
    NotAFile,
    Refused,   // not a PNG, damaged, or larger than a TIM can be
    NoMemory,
};

// Reads `path`. Memory follows the image, at most kMaxTimPixels pixels, and
// the chunk, at most kMaxTimChunkBytes. `why` is one line when not Read.
PngReadResult ReadPngFile(const std::string& path, PngInput& out, std::string& why);

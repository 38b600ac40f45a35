#pragma once
// The TIM carried inside a PNG: a private chunk holding what the pixels
// cannot (the header and block fields as the file has them, the whole CLUT,
// the frame-buffer positions, the image block's slack, the bytes that end
// 24-bit rows, the STP bit of every 16-bit pixel), and the template that
// png2tim rebuilds a TIM from: the chunk's, or an original file's.
#include "TimFormat.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "psTM": ancillary (p), private (s), reserved bit clear (T), and unsafe to
// copy (M): the chunk holds per-pixel facts (STP bits, row tails) that an
// edit of the pixels or the palette makes wrong, so an editor that follows
// PNG's rules drops it when it changes them, and the TIM then comes back
// through --like and the original's own words.
inline constexpr char kTimChunkName[5] = "psTM";

// The most a chunk holds: the bytes of a TIM besides its pixels. Real TIMs
// carry a few hundred (headers and CLUTs); a file whose blocks claim more is
// written without the chunk rather than held in memory.
inline constexpr uint64_t kMaxTimChunkBytes = uint64_t(16) << 20;

// The bytes of a TIM besides its pixel rows: what its chunk carries, give or
// take the row tails and STP bits, which are at most a pixel's worth.
uint64_t TimBytesBesidePixels(uint64_t imageEnd, const TimImageInfo& info);

// The chunk's data for the TIM `tim` (its bytes from the start to the image
// block's end, as FindTimRefusal accepted them into `info`, pointers into
// `tim`). Empty when it would hold more than kMaxTimChunkBytes.
std::vector<uint8_t> MakeTimChunk(const std::vector<uint8_t>& tim, const TimImageInfo& info);

// What png2tim rebuilds from.
struct TimTemplate {
    TimTemplate() = default;
    TimTemplate(const TimTemplate&) = delete;  // the record points into `tim`
    TimTemplate& operator=(const TimTemplate&) = delete;
    TimTemplate& operator=(TimTemplate&&) = default;
    std::vector<uint8_t> tim;  // header to the image block's end
    TimImageInfo info{};       // FindTimRefusal's record of `tim`, pointers into it
    // From an original file, every pixel is known. From a chunk, the rows
    // hold zero colours with only what the chunk keeps: 24-bit row tails and
    // 16-bit STP bits (bit 15 of each word).
    bool pixelsKnown = false;
};

// The template of a chunk, for a PNG of `width` x `height` pixels (already
// within kMaxTimPixels): memory follows that size, never the chunk's claims.
// False with `why` set when the chunk is damaged, claims more than it holds,
// or describes another size or a TIM the decoder would not draw.
bool TimTemplateFromChunk(const uint8_t* data, size_t size, uint32_t width, uint32_t height, TimTemplate& out,
                          std::string& why);

// The template of an original TIM file's first bytes (up to `size`). False
// with `why` set when the decoder refuses it or draws no pixels.
bool TimTemplateFromFile(std::vector<uint8_t> bytes, TimTemplate& out, std::string& why);

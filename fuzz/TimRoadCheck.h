#pragma once
// The checks one input must pass on its whole way through the decoder, as the
// handler drives it: CheckTimSignature, ParseTimHeader, DecodeTimPixels and
// PremultiplyPixels. Shared by the fuzz target (which aborts on a fault) and by
// the test that replays the seed corpus and every input that ever crashed.
#include "TimFormat.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum class TimRoadStage : uint8_t {
    RejectedBySignature,
    RejectedByParser,
    Accepted,  // record checked; not decoded, its bitmap exceeds kTimRoadMaxBitmapBytes
    Decoded,
};

struct TimRoadOutcome {
    TimRoadStage stage = TimRoadStage::RejectedBySignature;
    std::string fault;  // empty when every invariant held, else the one that broke
};

// Accepted files whose bitmap would be larger are checked but not decoded, so
// that the fuzzer does not run out of memory.
inline constexpr uint64_t kTimRoadMaxBitmapBytes = uint64_t(64) << 20;

// Runs `size` bytes through the road and checks every invariant on the way.
// Reads `data` only where a checked record says it may.
TimRoadOutcome RunTimRoad(const uint8_t* data, size_t size);

// The record ParseTimHeader accepted for the file [data, data + size): its
// pointers and sizes lie inside the file and agree with the file's own header.
std::string CheckTimRecord(const TimImageInfo& info, const uint8_t* data, size_t size);

// The width * height pixels DecodeTimPixels wrote for a record that passed
// CheckTimRecord. Pixels that still hold kTimRoadUnwritten were never written.
std::string CheckDecodedPixels(const TimImageInfo& info, const uint32_t* pixels);

// How a client drives TimReader: the input in pieces of `piece` bytes (each
// in a buffer of its own size), Skip steps done by seeking (Skipped) or by
// feeding the bytes, the input's size told or not, which palette, whether
// headers only, whether in place.
struct TimReaderDrive {
    size_t piece = 1;
    bool seek = false;
    bool sizeKnown = false;
    uint32_t palette = 0;
    bool headerOnly = false;
    bool inPlace = false;  // FeedInPlace, each piece freed once fed unless the reader ended in it
};

// Drives a TimReader over the `size` bytes at `data` and compares it with
// FindTimRefusal on them whole: the same reason and value; once accepted, the
// same record (with the palette selected as SelectTimPalette does), the same
// draw refusal and, when it draws, the same pixels from DecodeTimPixels; no
// rows kept unless drawn, at most 4 bytes a pixel, nothing read past the
// image block. Empty when all of it holds.
std::string CheckTimReader(const uint8_t* data, size_t size, const TimReaderDrive& drive);

// Fills the destination before decoding; alpha 0x5A is one no TIM colour has.
inline constexpr uint32_t kTimRoadUnwritten = 0x5A5A5A5Au;

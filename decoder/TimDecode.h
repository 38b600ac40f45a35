#pragma once
#include "TimFormat.h"

#include <cstdint>

// Writes info.width * info.height BGRA pixels to `destination`, bottom row
// first (the row order of a bottom-up bitmap). Reads only through the record's
// pointers and sizes, never from the file's own fields again, and allocates
// nothing. Any record ParseTimHeader accepted can be decoded.
void DecodeTimPixels(const TimImageInfo& info, uint32_t* destination);

// The most pixels any of the project's readers draws: the handler makes no
// bitmap above this (64 MiB of pixels), and the desktop plug-ins refuse such
// images alike, so that every client shows the same files.
inline constexpr uint64_t kMaxTimPixels = uint64_t(1) << 24;

// Rows firstRow to firstRow + rowCount - 1 of the image (those past its last
// row left out) in the file's own order, top row first, `width` pixels each,
// as DecodeTimPixels draws them. For clients whose images run top-down; a
// band of rows at a time stays in the cache for their own pass over it.
void DecodeTimRows(const TimImageInfo& info, uint32_t firstRow, uint32_t rowCount, uint32_t* destination);

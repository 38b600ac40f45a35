#pragma once
#include "TimFormat.h"

#include <cstdint>

// Writes info.width * info.height BGRA pixels to `destination`, bottom row
// first (the row order of a bottom-up bitmap). Reads only through the record's
// pointers and sizes, never from the file's own fields again, and allocates
// nothing. Any record ParseTimHeader accepted can be decoded.
void DecodeTimPixels(const TimImageInfo& info, uint32_t* destination);

// The same pixels with the top row first, as Qt, KDE and gdk-pixbuf hold
// images.
void DecodeTimPixelsTopDown(const TimImageInfo& info, uint32_t* destination);

// The most pixels any of the project's readers draws: the handler makes no
// bitmap above this (64 MiB of pixels), and the desktop plug-ins refuse such
// images alike, so that every client shows the same files.
inline constexpr uint64_t kMaxTimPixels = uint64_t(1) << 24;

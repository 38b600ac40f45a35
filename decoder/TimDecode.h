#pragma once
#include "TimFormat.h"

#include <cstdint>

// The colours DecodeTimPixels draws each index of an indexed image with, as
// BGRA: the record's palette, its entries past a short CLUT transparent (0),
// or the grey ramp without a CLUT. Returns the entries written to `palette`,
// which holds 256: 16, 256, or 0 for the direct formats.
uint32_t TimDrawnPalette(const TimImageInfo& info, uint32_t* palette);

// Writes info.width * info.height BGRA pixels to `destination`, bottom row
// first (the row order of a bottom-up bitmap). Reads only through the record's
// pointers and sizes, never from the file's own fields again, and allocates
// nothing. Any record ParseTimHeader accepted can be decoded.
void DecodeTimPixels(const TimImageInfo& info, uint32_t* destination);

// Rows firstRow to firstRow + rowCount - 1 of the image (those past its last
// row left out) in the file's own order, top row first, `width` pixels each,
// as DecodeTimPixels draws them. For clients whose images run top-down; a
// band of rows at a time stays in the cache for their own pass over it.
void DecodeTimRows(const TimImageInfo& info, uint32_t firstRow, uint32_t rowCount, uint32_t* destination);

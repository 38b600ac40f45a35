#pragma once
// A drawable TIM's picture at full size, as every tool writes it: 4-bit and
// 8-bit images as indexed PNGs of their own indices with the palette the
// decoder draws them with (alpha in tRNS), 16-bit and 24-bit ones as the
// handler's pixels in straight-alpha RGBA; with the TIM chunk when given.
#include "TimFormat.h"

#include <cstdint>
#include <string>
#include <vector>

// `info` is the record to draw (its palette selected), within kMaxTimPixels.
// Empty on success, or why it failed; `noMemory` tells a failure to find
// memory for the picture from one to write it.
std::string WriteTimPng(const std::string& path, const TimImageInfo& info, const std::vector<uint8_t>& timChunk,
                        bool& noMemory);

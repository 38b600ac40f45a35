#pragma once
// The picture of a found TIM as a PNG file, as tim2png writes it: the
// pixels of every other client, and the TIM chunk.
#include <cstdint>
#include <string>

// The TIM found at `tim`, `bytes` long. Empty on success, or why the file
// was not written.
std::string WriteTimPicture(const std::string& path, const uint8_t* tim, uint64_t bytes);

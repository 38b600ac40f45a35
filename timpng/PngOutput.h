#pragma once
// Writes straight-alpha BGRA pixels, rows top-down, as an RGBA PNG file.
#include <cstdint>
#include <string>

// The PNG goes to a new temporary file in the output's folder and is renamed
// over `path` only when complete, so a failure never leaves half a PNG nor
// destroys an existing file. Returns an empty string, or why it failed.
std::string WritePngFile(const std::string& path, const uint32_t* pixels, uint32_t width, uint32_t height);

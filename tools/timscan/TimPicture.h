#pragma once
// The picture of a found TIM as a PNG file, with the pixels of every other
// client. Built only where the PNG writer is (TIMSCAN_PNG, set in this
// room's CMake list).
#include "TimFormat.h"

#include <string>

// Empty on success, or why the file was not written.
std::string WriteTimPicture(const std::string& path, const TimImageInfo& info);

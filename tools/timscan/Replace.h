#pragma once
// timscan --replace: puts a TIM of the same layout back where the scan found
// one, in place.
#include <cstdint>
#include <string>

// Replaces the TIM that starts at byte `offset` of `image` (as the listing
// of `image` reports it) with the TIM file `newTim`; says what it did or why
// not in one line. Returns the exit code.
int ReplaceTim(const std::string& image, uint64_t offset, const std::string& newTim);

#pragma once
// What the tools tell about a file: its size and pixel format, or why a TIM
// reader refuses it. Portable; the handler itself decides acceptance.
#include <cstdint>
#include <string>

struct TimImageInfo;

struct TimSummary {
    bool accepted = false;
    uint16_t width = 0;
    uint16_t height = 0;
    std::string format;  // "4-bit indexed with CLUT"; empty when refused
    std::string reason;  // why it is refused; empty when accepted
};

TimSummary SummarizeTim(const uint8_t* data, uint64_t size);

// "4-bit indexed with CLUT", "16-bit direct colour", ...
const char* TimFormatName(const TimImageInfo& info);

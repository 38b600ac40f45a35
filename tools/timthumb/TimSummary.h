#pragma once
// What timthumb tells about a file: its size and pixel format, or why a TIM
// reader refuses it. Portable; the handler itself decides acceptance.
#include <cstdint>
#include <string>

struct TimSummary {
    bool accepted = false;
    uint16_t width = 0;
    uint16_t height = 0;
    std::string format;  // "4-bit indexed with CLUT"; empty when refused
    std::string reason;  // why it is refused; empty when accepted
};

TimSummary SummarizeTim(const uint8_t* data, uint64_t size);

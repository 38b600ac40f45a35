#include "TimSummary.h"

#include "TimFormat.h"

const char* TimFormatName(const TimImageInfo& info) {
    const bool clut = info.paletteSize != 0;
    switch (info.format) {
        case TimPixelFormat::Indexed4: return clut ? "4-bit indexed with CLUT" : "4-bit indexed, no CLUT (grey)";
        case TimPixelFormat::Indexed8: return clut ? "8-bit indexed with CLUT" : "8-bit indexed, no CLUT (grey)";
        case TimPixelFormat::Direct16: return "16-bit direct colour";
        case TimPixelFormat::Direct24: return "24-bit direct colour";
    }
    return "unknown format";
}

TimSummary SummarizeTim(const uint8_t* data, uint64_t size) {
    TimSummary s;
    TimImageInfo info{};
    const TimRefusal refusal = FindTimRefusal(info, data, size);
    if (refusal.reason != TimRefusalReason::Accepted) {
        s.reason = TimRefusalText(refusal);
        return s;
    }
    s.accepted = true;
    s.width = info.width;
    s.height = info.height;
    s.format = TimFormatName(info);
    return s;
}

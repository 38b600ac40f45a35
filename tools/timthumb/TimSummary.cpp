#include "TimSummary.h"

#include "ByteIo.h"
#include "TimFormat.h"

namespace {

const char* FormatName(const TimImageInfo& info) {
    const bool clut = info.paletteSize != 0;
    switch (info.format) {
        case TimPixelFormat::Indexed4: return clut ? "4-bit indexed with CLUT" : "4-bit indexed, no CLUT (grey)";
        case TimPixelFormat::Indexed8: return clut ? "8-bit indexed with CLUT" : "8-bit indexed, no CLUT (grey)";
        case TimPixelFormat::Direct16: return "16-bit direct colour";
        case TimPixelFormat::Direct24: return "24-bit direct colour";
    }
    return "unknown format";
}

// Why the reader refused the file, as far as its first bytes tell.
std::string RefusalReason(const uint8_t* data, uint64_t size, bool signatureOk) {
    if (size == 0) return "the file is empty";
    if (size < 4 || LoadU32LE(data) != 16) return "not a TIM file (no TIM identifier)";
    if (size < 20) return "too short for a TIM file (" + std::to_string(size) + " bytes)";
    const uint32_t flags = LoadU32LE(data + 4);
    if (flags > 15) return "not a TIM file (unknown flags " + std::to_string(flags) + ")";
    if (!signatureOk) return "damaged TIM file: its first block is longer than the file";
    if ((flags & 7) > 3)
        return "unsupported pixel mode " + std::to_string(flags & 7) + " (4-, 8-, 16- and 24-bit images are read)";
    return "damaged TIM file: its blocks do not fit the file";
}

}  // namespace

TimSummary SummarizeTim(const uint8_t* data, uint64_t size) {
    TimSummary s;
    TimImageInfo info{};
    const bool signatureOk = CheckTimSignature(data, size);
    if (!signatureOk || !ParseTimHeader(info, data, data + size)) {
        s.reason = RefusalReason(data, size, signatureOk);
        return s;
    }
    s.accepted = true;
    s.width = info.width;
    s.height = info.height;
    s.format = FormatName(info);
    return s;
}

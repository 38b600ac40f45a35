// The refusal reasons in words. A file of its own so that the handler, which
// reports no text, links none of it.
#include "TimFormat.h"

std::string TimRefusalText(const TimRefusal& refusal) {
    const std::string value = std::to_string(refusal.value);
    const std::string size = value + " x " + std::to_string(refusal.height);
    switch (refusal.reason) {
        case TimRefusalReason::Accepted: return "";
        case TimRefusalReason::Empty: return "the file is empty";
        case TimRefusalReason::NoIdentifier: return "not a TIM file (no TIM identifier)";
        case TimRefusalReason::TooShort: return "too short for a TIM file (" + value + " bytes)";
        case TimRefusalReason::UnknownFlags: return "not a TIM file (unknown flags " + value + ")";
        case TimRefusalReason::FirstBlockTooShort:
            return "damaged TIM file: its first block is shorter than a block header";
        case TimRefusalReason::FirstBlockPastEnd: return "damaged TIM file: its first block is longer than the file";
        case TimRefusalReason::UnsupportedMode:
            return "unsupported pixel mode " + value + " (4-, 8-, 16- and 24-bit images are read)";
        case TimRefusalReason::BlockTooLarge:
            return "damaged TIM file: a block is wider or taller than 32768 units";
        case TimRefusalReason::ClutShorterThanColours:
            return "damaged TIM file: its CLUT block is shorter than its colours";
        case TimRefusalReason::BlocksPastEnd: return "damaged TIM file: its blocks do not fit the file";
        case TimRefusalReason::TooWide:
            return "image too wide: " + value + " pixels per row (at most " + std::to_string(kMaxTimWidth) + ")";
        case TimRefusalReason::NoPixels: return "the image has no pixels (" + size + ")";
        case TimRefusalReason::TooManyPixels:
            return "image too large: " + size + " pixels (at most " + std::to_string(kMaxTimPixels) + " in all)";
        case TimRefusalReason::NoMemory: return "not enough memory for a " + size + " image";
        case TimRefusalReason::OutsideFrameBuffer:
            return "not a TIM: a block lies outside or is larger than the 1024 x 512 frame buffer";
        case TimRefusalReason::LengthOverclaimed:
            return "not a TIM: a block's length field claims " + value + " bytes, more than its pixels need";
        case TimRefusalReason::CutShort: return "TIM cut short: its blocks need " + value + " bytes";
    }
    return "refused for an unknown reason";
}

std::string TimDrawRefusalText(const TimImageInfo& info) {
    return TimRefusalText(TimDrawRefusal(info));
}

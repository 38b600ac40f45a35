#pragma once
// A TIM rebuilt from its template and an edited PNG of it, by the rules of
// png2tim: an indexed PNG's indices as they are and its changed palette
// entries into palette K; an RGBA PNG's colours mapped back to palette K, or
// to 16-bit or 24-bit colours; everything else from the template.
#include "PngInput.h"
#include "TimChunk.h"

#include <cstdint>
#include <string>
#include <vector>

struct TimRebuildOptions {
    uint32_t palette = 0;  // palette K of the CLUT, as SelectTimPalette numbers it
    bool nearest = false;  // colours palette K lacks go to its nearest entry
};

struct TimRebuilt {
    std::string refusal;  // why the PNG does not fit the template; empty when rebuilt
    std::vector<uint8_t> tim;
    uint64_t changedPixels = 0;   // pixels whose word or index differs (known only with the original's pixels)
    uint32_t changedColours = 0;  // palette entries changed
    uint64_t rounded = 0;         // colours that were not exact TIM colours
    uint64_t moved = 0;           // pixels mapped to the nearest entry of the palette
};

TimRebuilt RebuildTim(const TimTemplate& original, const PngInput& png, const TimRebuildOptions& options);

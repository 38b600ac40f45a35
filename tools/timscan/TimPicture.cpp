#include "TimPicture.h"

#include "PngOutput.h"
#include "Premultiply.h"
#include "StraightAlpha.h"
#include "TimDecode.h"

#include <new>
#include <vector>

std::string WriteTimPicture(const std::string& path, const TimImageInfo& info) {
    // The handler's road, as tim2png takes it: decoded bottom-up,
    // premultiplied, then straight alpha, top-down, for the PNG.
    std::vector<uint32_t> pixels, straight;
    try {
        pixels.resize(size_t(info.width) * info.height);
        straight.resize(pixels.size());
    } catch (const std::bad_alloc&) {
        return TimRefusalText({TimRefusalReason::NoMemory, info.width, info.height});
    }
    DecodeTimPixels(info, pixels.data());
    PremultiplyPixels(pixels.data(), pixels.size());
    ToStraightTopDown(reinterpret_cast<const uint8_t*>(pixels.data()), size_t(info.width) * 4, info.width,
                      info.height, true, true, straight.data());
    return WritePngFile(path, straight.data(), info.width, info.height);
}

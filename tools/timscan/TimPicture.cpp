#include "TimPicture.h"

#include "TimChunk.h"
#include "TimPng.h"

std::string WriteTimPicture(const std::string& path, const uint8_t* tim, uint64_t bytes) {
    // The PNG tim2png writes of the same file, chunk included, so that
    // png2tim turns an edited one back into these bytes.
    TimTemplate whole;
    std::string why;
    if (!TimTemplateFromFile(std::vector<uint8_t>(tim, tim + bytes), whole, why)) return why;
    bool noMemory = false;
    return WriteTimPng(path, whole.info, MakeTimChunk(whole.tim, whole.info), noMemory);
}

#include "TimColor.h"

#include <cstring>

void ConvertColorRun(uint32_t* destination, const uint16_t* source, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint16_t colour;
        std::memcpy(&colour, source + i, sizeof colour);
        destination[i] = TimColorToBgra(colour);
    }
}

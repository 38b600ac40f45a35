#pragma once
// What the Windows benchmarks share: a clock and the TIM files they time.
#include "TimBuilder.h"

#include <windows.h>

#include <cstdint>
#include <random>
#include <string>

namespace timbench {

using timtest::Block;
using timtest::Bytes;

inline double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / frequency;
}

// Random indices and colours, about one colour in eight transparent: the mix
// a game texture has.
inline Bytes RealisticTim(uint32_t mode, uint32_t width, uint32_t height, uint32_t seed) {
    std::mt19937 rng(seed);
    auto colour = [&] { return uint16_t(rng() % 8 == 0 ? 0 : (rng() | 0x8000)); };
    const uint32_t rawWidth = mode == 0 ? width / 4 : mode == 1 ? width / 2 : mode == 2 ? width : (width * 3 + 1) / 2;
    Bytes data(size_t(rawWidth) * 2 * height);
    if (mode == 2) {
        for (size_t i = 0; i + 1 < data.size(); i += 2) {
            const uint16_t c = colour();
            data[i] = uint8_t(c);
            data[i + 1] = uint8_t(c >> 8);
        }
    } else {
        for (auto& b : data) b = uint8_t(rng());
    }
    if (mode > 1) return timtest::MakeTim(mode, std::nullopt, Block{uint16_t(rawWidth), uint16_t(height), data});
    const unsigned entries = mode == 0 ? 16 : 256;
    Bytes clut;
    for (unsigned i = 0; i < entries; ++i) timtest::PutU16(clut, colour());
    return timtest::MakeTim(mode, Block{uint16_t(entries), 1, clut}, Block{uint16_t(rawWidth), uint16_t(height), data});
}


inline bool WriteWholeFile(const std::wstring& path, const Bytes& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(h);
    return ok;
}

}  // namespace timbench

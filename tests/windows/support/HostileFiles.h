#pragma once
// The hostile-file sweep's set: every truncation of each seed file, every
// header byte set to boundary values, and random files from a fixed seed.
// Shared by the sweeps through the thumbnail handler and through the codec.
#include "TimBuilder.h"

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace hostile {

using namespace timtest;

struct Seed {
    const char* name;
    Bytes bytes;
    bool truncate;  // also swept at every length
};

inline std::vector<Seed> Seeds() {
    return {
        {"4-bit, CLUT", MakeTim(0, Block{16, 1, Noise(32, 1)}, Block{3, 5, Noise(30, 2)}), true},
        {"4-bit, no CLUT", MakeTim(0, std::nullopt, Block{2, 3, Noise(12, 3)}), true},
        {"8-bit, CLUT", MakeTim(1, Block{256, 1, Noise(512, 4)}, Block{3, 4, Noise(24, 5)}), true},
        {"8-bit, no CLUT", MakeTim(1, std::nullopt, Block{2, 2, Noise(8, 6)}), true},
        {"16-bit, CLUT", MakeTim(2, Block{16, 1, Noise(32, 7)}, Block{4, 3, Noise(24, 8)}), true},
        {"16-bit, no CLUT", MakeTim(2, std::nullopt, Block{7, 3, Noise(42, 9)}), true},
        {"24-bit, CLUT", MakeTim(3, Block{16, 1, Noise(32, 10)}, Block{6, 2, Noise(24, 11)}), true},
        {"24-bit, tail byte per row", MakeTim(3, std::nullopt, Block{5, 4, Noise(40, 12)}), true},
        {"4-bit, short CLUT", MakeTim(0, Block{4, 1, Noise(8, 13)}, Block{2, 2, Noise(8, 14)}), true},
        {"8-bit, short CLUT", MakeTim(1, Block{16, 2, Noise(64, 15)}, Block{2, 3, Noise(12, 16)}), true},
        {"16-bit, image length 12", MakeTim(2, std::nullopt, Block{3, 2, Noise(12, 17), 12}), true},
        {"8-bit, CLUT, image length 0", MakeTim(1, Block{256, 1, Noise(512, 18)}, Block{4, 2, Noise(16, 19), 0}),
         true},
        // Exactly one page: the view ends where mapped memory ends, so a read
        // past the file faults instead of finding zeros. Only their header
        // changes keep that size; their truncations would repeat the small
        // seeds' at four thousand times the cost.
        {"16-bit, one page", MakeTim(2, std::nullopt, Block{1019, 2, Noise(4076, 20)}), false},
        {"8-bit, CLUT, one page", MakeTim(1, Block{256, 1, Noise(512, 21)}, Block{48, 37, Noise(3552, 22)}),
         false},
    };
}

// Offsets of the file header and of each block header present in the seed.
inline std::vector<size_t> HeaderOffsets(const Bytes& seed) {
    std::vector<size_t> offsets;
    for (size_t i = 0; i < 20; ++i) offsets.push_back(i);
    if (seed[4] & 0x8) {
        const size_t image = 8 + (seed[8] | seed[9] << 8 | seed[10] << 16 | size_t(seed[11]) << 24);
        for (size_t i = 0; i < 12; ++i) offsets.push_back(image + i);
    }
    return offsets;
}

constexpr uint8_t kBoundaryValues[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};

// Random files of three kinds, from one fixed seed so that every run sweeps
// the same ones.
inline std::vector<Bytes> RandomFiles(const std::vector<Seed>& seeds) {
    std::mt19937 rng(0x71A5EED);
    auto below = [&](uint32_t n) { return uint32_t(rng() % n); };
    auto noise = [&](Bytes& v, size_t n) {
        for (size_t i = 0; i < n; ++i) v.push_back(uint8_t(rng()));
    };
    std::vector<Bytes> files;
    // Plain noise, half of it behind the right identifier.
    for (int i = 0; i < 500; ++i) {
        Bytes v;
        if (i % 2) PutU32(v, 16);
        noise(v, below(96));
        files.push_back(v);
    }
    // A valid-looking prefix of a seed, then noise.
    for (int i = 0; i < 1000; ++i) {
        const Bytes& seed = seeds[below(uint32_t(seeds.size()))].bytes;
        Bytes v(seed.begin(), seed.begin() + 8 + below(uint32_t(seed.size() - 7)));
        noise(v, below(257));
        files.push_back(v);
    }
    // Headers that mostly add up, with lying lengths, sizes off by a few bytes
    // and noise for pixels: the files that get as far as the decoder.
    for (int i = 0; i < 1500; ++i) {
        const uint32_t flags = below(16);
        Bytes v;
        PutU32(v, 16);
        PutU32(v, flags);
        auto block = [&](uint16_t w, uint16_t h) {
            const uint32_t exact = 12 + uint32_t(w) * h * 2;
            const uint32_t lengths[] = {exact, exact - 1, exact + 1 + below(8), 0, 12, uint32_t(rng())};
            PutU32(v, lengths[below(4) ? 0 : below(6)]);
            PutU32(v, uint32_t(rng()));  // x, y
            PutU16(v, w);
            PutU16(v, h);
            noise(v, size_t(w) * h * 2);
        };
        if (flags & 0x8) block(uint16_t(below(300)), uint16_t(below(3)));
        block(uint16_t(below(40)), uint16_t(below(40)));
        const uint32_t change = below(8);
        if (change < 3 && !v.empty()) v.resize(v.size() - std::min<size_t>(v.size(), 1 + below(3)));
        if (change == 3) noise(v, 1 + below(4));
        files.push_back(v);
    }
    return files;
}

// One group of the sweep: a seed's truncations and header changes, or the random files.
struct FileGroup {
    std::string name;
    Bytes seed;  // empty for the random group
    std::vector<Bytes> files;
    size_t truncations = 0;
    size_t changes = 0;
};

// The seeds' groups, then the random one.
inline std::vector<FileGroup> Groups() {
    std::vector<FileGroup> groups;
    const auto seeds = Seeds();
    for (const auto& seed : seeds) {
        FileGroup& g = groups.emplace_back();
        g.name = seed.name;
        g.seed = seed.bytes;
        if (seed.truncate) {
            for (size_t n = 0; n <= seed.bytes.size(); ++n)
                g.files.emplace_back(seed.bytes.begin(), seed.bytes.begin() + n);
        } else {
            g.files.push_back(seed.bytes);
        }
        g.truncations = g.files.size();
        for (size_t offset : HeaderOffsets(seed.bytes)) {
            for (uint8_t value : kBoundaryValues) {
                if (seed.bytes[offset] == value) continue;  // the seed itself, already swept
                Bytes v = seed.bytes;
                v[offset] = value;
                g.files.push_back(std::move(v));
                ++g.changes;
            }
        }
    }
    FileGroup& random = groups.emplace_back();
    random.name = "random";
    random.files = RandomFiles(seeds);
    return groups;
}

}  // namespace hostile

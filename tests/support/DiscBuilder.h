#pragma once
// Disc images for tests: raw sectors of each kind with right headers,
// subheaders, EDC and ECC (made by the disc room), from user data.
#include "CdSector.h"

#include <cstdint>
#include <vector>

namespace disctest {

using Bytes = std::vector<uint8_t>;

// `user` cut into sectors of the kind's user size (the last one padded with
// zeros), from address `lba` on, appended to `image`.
inline void AppendSectors(Bytes& image, cd::SectorKind kind, int64_t lba, const Bytes& user) {
    const size_t size = kind == cd::SectorKind::Mode2Form2 ? cd::kForm2UserSize : cd::kDataSectorSize;
    for (size_t at = 0; at < user.size() || at == 0; at += size, ++lba) {
        Bytes data(size, 0);
        for (size_t i = 0; i < size && at + i < user.size(); ++i) data[i] = user[at + i];
        const size_t start = image.size();
        image.resize(start + cd::kRawSectorSize);
        cd::BuildSector(image.data() + start, kind, lba, data.data());
        if (user.empty()) break;
    }
}

// One sector of audio samples: no sync.
inline void AppendAudio(Bytes& image, uint8_t fill) {
    image.insert(image.end(), cd::kRawSectorSize, fill);
}

// The file offset of byte `within` of the user data of the sector at `index`.
inline uint64_t RawOffset(uint64_t index, cd::SectorKind kind, uint64_t within) {
    return index * cd::kRawSectorSize + (kind == cd::SectorKind::Mode1 ? 16 : 24) + within;
}

}  // namespace disctest

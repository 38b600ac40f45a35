#pragma once
// The files of an ISO 9660 file system, found by walking its directories
// through a reader of 2048-byte logical sectors (a cooked image's, or the
// data sectors of a raw one).
//
//   LBA 16..  volume descriptors, 2048 bytes each: type (1 primary, 255 the
//             last), "CD001", version 1; the primary one holds the logical
//             block size (u16 LE at 128) and the root's directory record (at 156)
//   directory record: length (0: the rest of the sector is empty), extent
//             LBA (u32 LE at 2), data length (u32 LE at 10), flags at 25 (bit 1
//             a directory), name length at 32, name at 33 ("\0" itself,
//             "\1" its parent; files end in ";1")
//
// Both-endian fields are read from their little-endian half. Records never
// cross a sector.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cd {

struct IsoFile {
    std::string path;  // "/DATA/PACK.BIN", without the ";1"
    uint32_t extent = 0;  // first LBA
    uint32_t size = 0;    // bytes
};

// Reads logical sector `lba` into `out` (2048 bytes); false when the image
// has no such data sector.
using IsoSectorReader = std::function<bool(uint32_t lba, uint8_t* out)>;

// Bounds of the walk: a damaged or hostile image (directories that contain
// themselves or their parents, deep chains, huge listings) costs at most these.
inline constexpr uint32_t kMaxIsoDepth = 32;
inline constexpr size_t kMaxIsoEntries = 200000;
inline constexpr uint32_t kMaxIsoDirectoryBytes = 16u << 20;

struct IsoVolume {
    bool found = false;            // a primary volume descriptor at 16
    std::vector<IsoFile> files;    // sorted by extent
    std::vector<std::string> problems;  // what was read over, one line each

    // The file whose extent holds data address `address` (LBA * 2048 + byte),
    // or null.
    const IsoFile* FileAt(uint64_t address) const;
};

// The files of the volume whose descriptors start at LBA 16; `sectorCount`
// is the number of logical sectors the image has (extents past it are
// reported and not read).
IsoVolume ReadIsoVolume(const IsoSectorReader& read, uint64_t sectorCount);

}  // namespace cd

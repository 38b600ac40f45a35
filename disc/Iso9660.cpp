#include "Iso9660.h"

#include "ByteIo.h"
#include "CdSector.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>

namespace cd {

namespace {

constexpr uint32_t kFirstDescriptor = 16;
constexpr uint32_t kMaxDescriptors = 64;  // a real disc has a handful
constexpr uint8_t kPrimaryDescriptor = 1;
constexpr uint8_t kTerminator = 255;
constexpr size_t kBlockSizeOffset = 128;
constexpr size_t kRootRecordOffset = 156;
constexpr size_t kRecordMinSize = 34;
constexpr uint8_t kDirectoryFlag = 0x02;

struct Record {
    uint32_t extent, size;
    bool directory;
    std::string name;  // empty for "\0" and "\1"
};

// The record at `p`, with `room` bytes left in its sector; false if it does
// not fit there.
bool ReadRecord(const uint8_t* p, size_t room, Record& r) {
    if (room < kRecordMinSize) return false;
    const size_t length = p[0];
    if (length < kRecordMinSize || length > room) return false;
    const size_t nameLength = p[32];
    if (33 + nameLength > length) return false;
    r.extent = LoadU32LE(p + 2);
    r.size = LoadU32LE(p + 10);
    r.directory = (p[25] & kDirectoryFlag) != 0;
    r.name.clear();
    if (nameLength == 1 && (p[33] == 0 || p[33] == 1)) return true;
    r.name.assign(reinterpret_cast<const char*>(p + 33), nameLength);
    // File names carry a version (";1") and, without an extension, a lone dot.
    if (!r.directory) {
        const size_t semicolon = r.name.find(';');
        if (semicolon != std::string::npos) r.name.resize(semicolon);
        if (!r.name.empty() && r.name.back() == '.') r.name.pop_back();
    }
    // No separator or control character from the image in a path.
    for (char& c : r.name)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
    return true;
}

}  // namespace

const IsoFile* IsoVolume::FileAt(uint64_t address) const {
    auto after = std::upper_bound(files.begin(), files.end(), address,
                                  [](uint64_t a, const IsoFile& f) { return a < uint64_t(f.extent) * kDataSectorSize; });
    // Extents rarely nest; a few steps back find a file that holds the address.
    for (int steps = 0; steps < 8 && after != files.begin(); ++steps) {
        --after;
        const uint64_t start = uint64_t(after->extent) * kDataSectorSize;
        if (address < start + after->size) return &*after;
    }
    return nullptr;
}

IsoVolume ReadIsoVolume(const IsoSectorReader& read, uint64_t sectorCount) {
    IsoVolume volume;
    std::vector<uint8_t> sector(kDataSectorSize);
    bool primary = false;
    for (uint32_t lba = kFirstDescriptor; lba < kFirstDescriptor + kMaxDescriptors; ++lba) {
        if (!read(lba, sector.data())) break;
        if (std::memcmp(sector.data() + 1, "CD001", 5) != 0) break;
        if (sector[0] == kTerminator) break;
        if (sector[0] == kPrimaryDescriptor) {
            primary = true;
            break;
        }
    }
    if (!primary) return volume;
    volume.found = true;
    const uint32_t blockSize = uint32_t(sector[kBlockSizeOffset]) | (uint32_t(sector[kBlockSizeOffset + 1]) << 8);
    if (blockSize != kDataSectorSize) {
        volume.problems.push_back("ISO 9660 logical blocks of " + std::to_string(blockSize) +
                                  " bytes are not read; no file names");
        return volume;
    }
    Record root{};
    if (!ReadRecord(sector.data() + kRootRecordOffset, kRecordMinSize, root) || !root.directory) {
        volume.problems.push_back("ISO 9660 root directory record is damaged; no file names");
        return volume;
    }

    struct Pending {
        uint32_t extent, size, depth;
        std::string path;
    };
    std::deque<Pending> pending{{root.extent, root.size, 0, ""}};
    std::set<uint32_t> visited{root.extent};
    size_t entries = 0;
    bool entryLimitSaid = false, depthSaid = false;
    while (!pending.empty()) {
        const Pending dir = pending.front();
        pending.pop_front();
        const std::string shown = dir.path.empty() ? "/" : dir.path;
        uint32_t size = dir.size;
        if (size > kMaxIsoDirectoryBytes) {
            volume.problems.push_back("ISO 9660 directory " + shown + " claims " + std::to_string(size) +
                                      " bytes; only its first " + std::to_string(kMaxIsoDirectoryBytes) + " read");
            size = kMaxIsoDirectoryBytes;
        }
        const uint32_t sectors = uint32_t((uint64_t(size) + kDataSectorSize - 1) / kDataSectorSize);
        if (uint64_t(dir.extent) + sectors > sectorCount) {
            volume.problems.push_back("ISO 9660 directory " + shown + " lies past the end of the image; not read");
            continue;
        }
        for (uint32_t i = 0; i < sectors; ++i) {
            if (!read(dir.extent + i, sector.data())) {
                volume.problems.push_back("ISO 9660 directory " + shown + ": sector " +
                                          std::to_string(dir.extent + i) + " is not a data sector; rest not read");
                break;
            }
            const size_t used = std::min<size_t>(kDataSectorSize, size - size_t(i) * kDataSectorSize);
            size_t at = 0;
            Record r{};
            while (at < used && sector[at] != 0 && ReadRecord(sector.data() + at, used - at, r)) {
                at += sector[at];
                if (r.name.empty()) continue;
                if (++entries > kMaxIsoEntries) {
                    if (!entryLimitSaid)
                        volume.problems.push_back("ISO 9660: more than " + std::to_string(kMaxIsoEntries) +
                                                  " entries; the rest have no names");
                    entryLimitSaid = true;
                    break;
                }
                const std::string path = dir.path + "/" + r.name;
                if (!r.directory) {
                    if (r.size != 0) volume.files.push_back({path, r.extent, r.size});
                } else if (dir.depth + 1 >= kMaxIsoDepth) {
                    if (!depthSaid)
                        volume.problems.push_back("ISO 9660: directories deeper than " +
                                                  std::to_string(kMaxIsoDepth) + " levels are not read");
                    depthSaid = true;
                } else if (visited.insert(r.extent).second) {
                    // A directory met again (a loop) is read once.
                    pending.push_back({r.extent, r.size, dir.depth + 1, path});
                }
            }
            if (entryLimitSaid) break;
        }
        if (entryLimitSaid) break;
    }
    std::stable_sort(volume.files.begin(), volume.files.end(),
                     [](const IsoFile& a, const IsoFile& b) { return a.extent < b.extent; });
    return volume;
}

}  // namespace cd

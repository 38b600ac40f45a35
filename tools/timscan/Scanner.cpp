#include "Scanner.h"

#include "CdSector.h"

#include <algorithm>
#include <cstring>

namespace {

// The window: what is searched at a time, with the longest TIM kept after it
// so that a TIM starting anywhere in it is whole in memory.
constexpr size_t kWindow = 16u << 20;
constexpr size_t kKeep = size_t(kMaxEmbeddedTimBytes);
// Reads small enough to stay in the processor's cache between the kernel's
// copy and the search (a third less time than 8 MiB reads for a raw image).
constexpr size_t kReadChunk = 256u << 10;
constexpr size_t kRawSectorsPerRead = 64;

}  // namespace

uint64_t StreamMap::FileOffset(uint64_t position) const {
    if (!raw) return fileStart + position;
    return fileStart + position / userSize * cd::kRawSectorSize + userOffset + position % userSize;
}

int64_t StreamMap::Sector(uint64_t position) const {
    return firstSector + int64_t(position / (raw ? userSize : cd::kDataSectorSize));
}

std::vector<StreamMap::Piece> StreamMap::Pieces(uint64_t position, uint64_t count) const {
    std::vector<Piece> pieces;
    const uint64_t unit = raw ? userSize : cd::kDataSectorSize;
    for (uint64_t end = position + count; position < end;) {
        Piece piece;
        piece.position = position;
        piece.fileOffset = FileOffset(position);
        piece.sector = Sector(position);
        uint64_t size = end - position;
        if (raw || sectors) size = std::min(size, unit - position % unit);
        piece.size = uint32_t(std::min<uint64_t>(size, UINT32_MAX));
        if (raw) {
            piece.withinSector = uint32_t(position % unit);
            piece.sectorOffset = piece.fileOffset - userOffset - piece.withinSector;
        }
        pieces.push_back(piece);
        position += piece.size;
    }
    return pieces;
}

// One byte stream: a whole region, or one run of raw sectors of a kind, and
// how its positions map back to the file and the disc.
struct Scanner::Stream {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kWindow + kKeep);
    size_t fill = 0, searchAt = 0;
    uint64_t base = 0;  // the stream position of buffer[0]

    StreamMap map;
    const cd::IsoVolume* iso = nullptr;  // when positions are data addresses
    std::string endName;  // what ends the stream, for a TIM cut short
    ScanEvents* events = nullptr;

    void Begin() {
        fill = searchAt = 0;
        base = 0;
    }

    // Room for at least `want` more bytes at buffer + fill.
    size_t Room(size_t want) {
        if (buffer.size() - fill >= want) return buffer.size() - fill;
        Search(false);
        const size_t keep = std::min(searchAt, fill);
        std::memmove(buffer.data(), buffer.data() + keep, fill - keep);
        fill -= keep;
        searchAt -= keep;
        base += keep;
        return buffer.size() - fill;
    }

    void Map(uint64_t position, FoundTim& tim) const {
        tim.map = map;
        tim.position = position;
        tim.offset = map.FileOffset(position);
        tim.sector = map.Sector(position);
        tim.hasSector = map.sectors;
        const uint64_t address =
            map.raw ? uint64_t(tim.sector) * cd::kDataSectorSize + position % map.userSize : position;
        if (iso && tim.sector >= 0 && (!map.raw || map.userSize == cd::kDataSectorSize)) {
            tim.isoFile = iso->FileAt(address);
            if (tim.isoFile) tim.pathOffset = address - uint64_t(tim.isoFile->extent) * cd::kDataSectorSize;
        }
    }

    // Searches what is in the window: up to where a TIM may still run past
    // the bytes there, or to the end at the stream's end.
    void Search(bool final) {
        const uint8_t* b = buffer.data();
        const size_t limit = final ? fill : (fill > kKeep ? fill - kKeep : 0);
        while (searchAt < limit) {
            const size_t end = final ? fill : std::min(fill, limit + sizeof kTimSignature - 1);
            const uint8_t* p = FindTimSignature(b + searchAt, b + end);
            if (!p) {
                searchAt = limit;
                break;
            }
            const size_t at = size_t(p - b);
            FoundTim tim;
            const TimRefusal refusal = FindEmbeddedTimRefusal(tim.info, p, fill - at);
            if (refusal.reason == TimRefusalReason::Accepted) {
                Map(base + at, tim);
                tim.bytes = tim.info.imageEnd;
                tim.data = p;
                events->Found(tim);
                searchAt = at + tim.info.imageEnd;
                continue;
            }
            if (refusal.reason == TimRefusalReason::CutShort && final) {
                Map(base + at, tim);
                events->Note("a TIM at offset " + std::to_string(tim.offset) + " is cut short by " + endName +
                             ": it needs " + std::to_string(refusal.value) + " bytes, " +
                             std::to_string(fill - at) + " are there");
            }
            searchAt = at + 1;
        }
    }
};

bool LooksLikeRawImage(InputFile& file) {
    uint8_t head[cd::kRawSectorSize + 12];
    size_t got = 0;
    if (file.Size() < cd::kRawSectorSize || !file.ReadAt(0, head, sizeof head, got)) return false;
    if (!cd::HasSync(head, got)) return false;
    // A second sector, when there is one, starts with the sync too.
    return got < sizeof head || cd::HasSync(head + cd::kRawSectorSize, got - cd::kRawSectorSize);
}

Scanner::Scanner() : stream_(std::make_unique<Stream>()), raw_(cd::kRawSectorSize * kRawSectorsPerRead) {}
Scanner::~Scanner() = default;

bool Scanner::Scan(InputFile& file, const Region& region, ScanEvents& events, std::string& error) {
    stream_->events = &events;
    cd::IsoVolume iso;
    const uint64_t size = region.end - region.begin;
    if (region.layout == RegionLayout::Raw) {
        // Logical sector n lies in the file at the sector whose address is n,
        // counted from the first sector's address.
        uint8_t first[cd::kRawSectorSize];
        size_t got = 0;
        int64_t lba0 = 0;
        if (file.ReadAt(region.begin, first, sizeof first, got)) {
            const cd::SectorLayout s = cd::ClassifySector(first, got);
            if (s.hasAddress) lba0 = s.lba;
        }
        std::vector<uint8_t> sector(cd::kRawSectorSize);
        iso = cd::ReadIsoVolume(
            [&](uint32_t lba, uint8_t* out) {
                if (int64_t(lba) < lba0) return false;
                const uint64_t at = region.begin + uint64_t(int64_t(lba) - lba0) * cd::kRawSectorSize;
                size_t n = 0;
                if (at + cd::kRawSectorSize > region.end || !file.ReadAt(at, sector.data(), sector.size(), n))
                    return false;
                const cd::SectorLayout s = cd::ClassifySector(sector.data(), n);
                if (s.userSize != cd::kDataSectorSize || n < s.userOffset + s.userSize) return false;
                std::memcpy(out, sector.data() + s.userOffset, cd::kDataSectorSize);
                return true;
            },
            uint64_t(lba0) + size / cd::kRawSectorSize);
        stream_->map.firstSector = lba0;
    } else {
        iso = cd::ReadIsoVolume(
            [&](uint32_t lba, uint8_t* out) {
                const uint64_t at = uint64_t(lba) * cd::kDataSectorSize;
                size_t n = 0;
                return at + cd::kDataSectorSize <= size &&
                       file.ReadAt(region.begin + at, out, cd::kDataSectorSize, n) && n == cd::kDataSectorSize;
            },
            size / cd::kDataSectorSize);
    }
    for (const std::string& problem : iso.problems) events.Note(problem);
    const cd::IsoVolume* volume = iso.found ? &iso : nullptr;
    return region.layout == RegionLayout::Raw ? ScanRaw(file, region, volume, events, error)
                                              : ScanBytes(file, region, volume, events, error);
}

bool Scanner::ScanBytes(InputFile& file, const Region& region, const cd::IsoVolume* iso,
                        ScanEvents& events, std::string& error) {
    Stream& s = *stream_;
    s.Begin();
    s.map.fileStart = region.begin;
    s.map.raw = false;
    s.map.sectors = region.disc || iso;
    s.map.firstSector = 0;
    s.iso = iso;
    s.endName = "the end of the file";
    for (uint64_t at = region.begin; at < region.end;) {
        const size_t room = s.Room(kReadChunk);
        const size_t want = size_t(std::min<uint64_t>({room, kReadChunk, region.end - at}));
        size_t got = 0;
        if (!file.ReadAt(at, s.buffer.data() + s.fill, want, got)) {
            error = "read error at offset " + std::to_string(at) + ": " + file.LastError();
            return false;
        }
        if (got == 0) break;  // it shrank while being read
        s.fill += got;
        at += got;
        events.Progress(at);
    }
    s.Search(true);
    return true;
}

bool Scanner::ScanRaw(InputFile& file, const Region& region, const cd::IsoVolume* iso, ScanEvents& events,
                      std::string& error) {
    Stream& s = *stream_;
    const int64_t lba0 = s.map.firstSector;
    bool inRun = false;
    cd::SectorKind runKind = cd::SectorKind::NoSync;
    const auto endRun = [&]() {
        if (inRun) s.Search(true);
        inRun = false;
    };
    uint64_t index = 0;  // of the sector in the region
    for (uint64_t at = region.begin; at < region.end;) {
        const size_t want = size_t(std::min<uint64_t>(raw_.size(), region.end - at));
        size_t got = 0;
        if (!file.ReadAt(at, raw_.data(), want, got)) {
            error = "read error at offset " + std::to_string(at) + ": " + file.LastError();
            return false;
        }
        if (got == 0) break;
        for (size_t off = 0; off < got; off += cd::kRawSectorSize, ++index) {
            const uint8_t* sector = raw_.data() + off;
            const size_t have = std::min(cd::kRawSectorSize, got - off);
            const cd::SectorLayout layout = cd::ClassifySector(sector, have);
            if (layout.userSize == 0) {
                // Audio, no sync, an unknown mode: a gap; nothing is shifted across it.
                endRun();
                continue;
            }
            if (!inRun || layout.kind != runKind) {
                endRun();
                s.Begin();
                s.map.fileStart = at + off;
                s.map.raw = true;
                s.map.userOffset = layout.userOffset;
                s.map.userSize = layout.userSize;
                s.map.sectors = true;
                s.map.firstSector = layout.hasAddress ? layout.lba : lba0 + int64_t(index);
                s.iso = iso;
                s.endName = std::string("the end of its run of ") + cd::SectorKindName(layout.kind) + " sectors";
                runKind = layout.kind;
                inRun = true;
            }
            size_t user = layout.userSize;
            if (have < cd::kRawSectorSize) {
                user = have > layout.userOffset ? std::min<size_t>(user, have - layout.userOffset) : 0;
                events.Note("the image is not a multiple of 2352 bytes: its last sector has " +
                            std::to_string(have) + " bytes; the " + std::to_string(user) +
                            " user bytes there are searched");
            }
            s.Room(user);
            std::memcpy(s.buffer.data() + s.fill, sector + layout.userOffset, user);
            s.fill += user;
        }
        at += got;
        events.Progress(at);
        if (got < want) break;
    }
    endRun();
    return true;
}

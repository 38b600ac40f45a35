#pragma once
// The search: the byte streams of an input (a whole file, or the user data of
// a raw image's runs of sectors of one kind), each read through one bounded
// window and searched for TIMs by the decoder's rule for TIMs inside other
// data. Memory stays the window's, whatever the input's size.
#include "Iso9660.h"
#include "PortableFile.h"
#include "TimFormat.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How the positions of one byte stream (a whole region, or one run of raw
// sectors of a kind) lie in the file and on the disc: the one mapping both
// the search and a replacement go through.
struct StreamMap {
    uint64_t fileStart = 0;  // file offset of position 0 (Bytes), or of the run's first sector (Raw)
    bool raw = false;
    uint32_t userOffset = 0, userSize = 0;  // Raw: the run's sectors
    bool sectors = false;                   // positions have sectors (a disc)
    int64_t firstSector = 0;

    // A stretch of positions that lies in one piece of the file: within one
    // sector's user data (raw), one 2048-byte sector (a cooked disc), or the
    // whole stretch (any other file).
    struct Piece {
        uint64_t position = 0, fileOffset = 0;
        uint32_t size = 0;
        int64_t sector = 0;           // when `sectors`
        uint64_t sectorOffset = 0;    // Raw: file offset of the whole sector
        uint32_t withinSector = 0;    // Raw: of the piece's first byte in the user data
    };

    uint64_t FileOffset(uint64_t position) const;
    int64_t Sector(uint64_t position) const;
    // The pieces of positions [position, position + count), in order.
    std::vector<Piece> Pieces(uint64_t position, uint64_t count) const;
};

struct FoundTim {
    uint64_t offset = 0;  // in the file, of the TIM's first byte
    uint64_t bytes = 0;   // header, CLUT block and image block
    bool hasSector = false;
    int64_t sector = 0;   // LBA (or sector index) where it starts
    const cd::IsoFile* isoFile = nullptr;
    uint64_t pathOffset = 0;  // in isoFile
    TimImageInfo info{};      // FindEmbeddedTimRefusal's record; its pointers into `data`
    const uint8_t* data = nullptr;  // the TIM's bytes, while the callback runs
    StreamMap map;                  // where its bytes lie: positions position .. position + bytes - 1
    uint64_t position = 0;
};

class ScanEvents {
public:
    virtual ~ScanEvents() = default;
    virtual void Found(const FoundTim& tim) = 0;
    virtual void Note(const std::string& line) = 0;  // something read over, one line
    virtual void Progress(uint64_t fileOffset) = 0;
};

// What a part of a file holds.
enum class RegionLayout {
    Bytes,   // searched byte by byte (any file, a cooked image, a MODE1/2048 track)
    Raw,     // 2352-byte sectors: the user data of each, per its kind
};

struct Region {
    uint64_t begin = 0, end = 0;  // in the file
    RegionLayout layout = RegionLayout::Bytes;
    bool disc = false;  // a disc track: sectors are reported even without a file system
};

// True when the file starts like a raw CD image (a sync pattern at the start
// of its first sectors).
bool LooksLikeRawImage(InputFile& file);

class Scanner {
public:
    Scanner();
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Searches `region` of `file`; false on a read error (said in `error`).
    bool Scan(InputFile& file, const Region& region, ScanEvents& events, std::string& error);

private:
    struct Stream;
    bool ScanBytes(InputFile& file, const Region& region, const cd::IsoVolume* iso, ScanEvents& events,
                   std::string& error);
    bool ScanRaw(InputFile& file, const Region& region, const cd::IsoVolume* iso, ScanEvents& events,
                 std::string& error);
    std::unique_ptr<Stream> stream_;
    std::vector<uint8_t> raw_;  // raw sectors as read
};

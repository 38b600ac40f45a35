#pragma once
// CD-ROM sectors as a raw image holds them (ECMA-130), 2352 bytes each:
//
//   0     12 bytes sync: 00, ten FF, 00
//   12    BCD minute, second, frame of the sector's address; mode (1 or 2)
//   Mode 1:        16: 2048 user bytes; 2064: EDC over 0..2063; 2068: 8 zero
//                  bytes; 2076: ECC (P 172 bytes, Q 104 bytes at 2248)
//   Mode 2:        16: subheader (file, channel, submode, coding) twice
//     Form 1:      24: 2048 user bytes; 2072: EDC over 16..2071; 2076: ECC as
//                  Mode 1, computed with the four header bytes taken as zero
//     Form 2:      (submode bit 5) 24: 2324 user bytes; 2348: EDC over
//                  16..2347, or zero where the disc leaves it out
//
// Audio sectors have no sync: 2352 bytes of samples. A cooked image holds only
// the 2048 user bytes of each data sector.
#include <cstddef>
#include <cstdint>

namespace cd {

inline constexpr size_t kRawSectorSize = 2352;
inline constexpr size_t kDataSectorSize = 2048;  // user bytes of Mode 1 and Form 1; a cooked sector
inline constexpr size_t kForm2UserSize = 2324;
inline constexpr size_t kHeaderSize = 16;        // sync and address, before any user byte
inline constexpr uint32_t kFramesPerSecond = 75;
inline constexpr uint32_t kLeadInFrames = 150;  // address 00:02:00 is LBA 0

enum class SectorKind : uint8_t {
    NoSync,      // audio, or not a sector at all
    Unknown,     // sync, but a mode other than 1 and 2 (mode 0: empty)
    Mode1,
    Mode2Form1,
    Mode2Form2,
};

struct SectorLayout {
    SectorKind kind = SectorKind::NoSync;
    uint32_t userOffset = 0;  // where the user data starts in the raw sector
    uint32_t userSize = 0;    // 2048, 2324, or 0 without user data
    bool hasAddress = false;  // the header's minute, second, frame are BCD
    int64_t lba = 0;          // from them, when hasAddress
};

// True when `p` (at least 12 bytes) starts with the sync pattern.
bool HasSync(const uint8_t* p, size_t size);

// The kind and user data of the raw sector at `p`, of which `size` bytes are
// there (a sector cut short keeps its kind when its header is whole).
SectorLayout ClassifySector(const uint8_t* p, size_t size);

// The name of a kind, for messages: "Mode 2 Form 1".
const char* SectorKindName(SectorKind kind);

// Address in the header: LBA to BCD minute, second, frame and back.
void LbaToBcd(int64_t lba, uint8_t msf[3]);
bool BcdToLba(const uint8_t msf[3], int64_t& lba);

// The EDC over `size` bytes: a reflected CRC-32 (polynomial 0xD8018001),
// start 0, no final xor; stored little-endian.
uint32_t ComputeEdc(const uint8_t* data, size_t size);

// The P and Q parity of a Mode 1 or Form 1 sector (2352 bytes), written into
// it at 2076 and 2248. For Mode 2 the header counts as zero.
void ComputeEcc(uint8_t* sector);

// Makes the EDC and ECC of a raw sector right for its contents, after its
// user data changed: Mode 1 and Form 1 always (Mode 1's eight reserved bytes
// become zero); Form 2's EDC only when it was not zero, since zero says the
// disc has none. False, with nothing changed, for a sector of no data kind.
bool UpdateSectorChecks(uint8_t* sector);

// True when the sector's EDC (and for Mode 1 and Form 1 its ECC) matches its
// contents; a Form 2 sector with a zero EDC passes.
bool SectorChecksMatch(const uint8_t* sector);

// A whole raw sector: sync, header for `lba`, subheader for Mode 2 (the
// submode's Form 2 bit set or cleared by `kind`), `user` bytes (userSize of
// the kind) and correct checks. For tests and for writing sectors.
void BuildSector(uint8_t* sector, SectorKind kind, int64_t lba, const uint8_t* user, uint8_t file = 0,
                 uint8_t channel = 0, uint8_t submode = 0x08);

}  // namespace cd

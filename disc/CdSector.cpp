#include "CdSector.h"

#include "ByteIo.h"

#include <array>
#include <cstring>

namespace cd {

namespace {

constexpr size_t kModeOffset = 15;
constexpr size_t kSubheaderOffset = 16;
constexpr size_t kSubmodeOffset = 18;
constexpr uint8_t kForm2Bit = 0x20;  // submode bit 5
constexpr size_t kMode1EdcOffset = 2064;
constexpr size_t kMode1ReservedSize = 8;
constexpr size_t kForm1EdcOffset = 2072;
constexpr size_t kForm2EdcOffset = 2348;
constexpr size_t kEccPOffset = 2076;
constexpr size_t kEccQOffset = 2248;

constexpr std::array<uint32_t, 256> MakeEdcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t e = i;
        for (int round = 0; round < 8; ++round) e = (e >> 1) ^ ((e & 1) ? 0xD8018001u : 0);
        table[i] = e;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kEdcTable = MakeEdcTable();

// GF(2^8) with the polynomial 0x11D: multiplication by 2 (forward) and the
// inverse of x -> x ^ 2x (backward), as the Reed-Solomon parity needs them.
struct GaloisTables {
    std::array<uint8_t, 256> forward{}, backward{};
};
constexpr GaloisTables MakeGaloisTables() {
    GaloisTables t;
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t doubled = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
        t.forward[i] = uint8_t(doubled);
        t.backward[i ^ doubled] = uint8_t(i);
    }
    return t;
}
constexpr GaloisTables kGalois = MakeGaloisTables();

// One parity set over the 2236 bytes from the header on, seen as a matrix:
// `majors` code words of `minors` bytes, a word's bytes `minorStep` apart
// (wrapping around the region), words `majorStep` apart. Writes `majors`
// pairs of parity bytes, the second set `majors` after the first.
void ParityBlock(const uint8_t* region, size_t majors, size_t minors, size_t majorStep, size_t minorStep,
                 uint8_t* out) {
    const size_t size = majors * minors;
    for (size_t major = 0; major < majors; ++major) {
        size_t index = (major >> 1) * majorStep + (major & 1);
        uint8_t a = 0, b = 0;
        for (size_t minor = 0; minor < minors; ++minor) {
            const uint8_t byte = region[index];
            index += minorStep;
            if (index >= size) index -= size;
            a ^= byte;
            b ^= byte;
            a = kGalois.forward[a];
        }
        a = kGalois.backward[kGalois.forward[a] ^ b];
        out[major] = a;
        out[major + majors] = uint8_t(a ^ b);
    }
}

void StoreU32LE(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

bool IsBcd(uint8_t b) { return (b >> 4) < 10 && (b & 15) < 10; }

}  // namespace

bool HasSync(const uint8_t* p, size_t size) {
    if (size < 12 || p[0] != 0 || p[11] != 0) return false;
    for (size_t i = 1; i < 11; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

SectorLayout ClassifySector(const uint8_t* p, size_t size) {
    SectorLayout s;
    if (size < kHeaderSize || !HasSync(p, size)) return s;
    s.hasAddress = BcdToLba(p + 12, s.lba);
    switch (p[kModeOffset]) {
        case 1:
            s.kind = SectorKind::Mode1;
            s.userOffset = uint32_t(kHeaderSize);
            s.userSize = uint32_t(kDataSectorSize);
            return s;
        case 2:
            // The submode says the form; without a whole subheader there is none.
            if (size < kSubheaderOffset + 8) break;
            s.userOffset = uint32_t(kSubheaderOffset + 8);
            if (p[kSubmodeOffset] & kForm2Bit) {
                s.kind = SectorKind::Mode2Form2;
                s.userSize = uint32_t(kForm2UserSize);
            } else {
                s.kind = SectorKind::Mode2Form1;
                s.userSize = uint32_t(kDataSectorSize);
            }
            return s;
        default: break;
    }
    s.kind = SectorKind::Unknown;
    s.userOffset = s.userSize = 0;
    return s;
}

const char* SectorKindName(SectorKind kind) {
    switch (kind) {
        case SectorKind::NoSync: return "audio or no sector";
        case SectorKind::Unknown: return "unknown mode";
        case SectorKind::Mode1: return "Mode 1";
        case SectorKind::Mode2Form1: return "Mode 2 Form 1";
        case SectorKind::Mode2Form2: return "Mode 2 Form 2";
    }
    return "unknown mode";
}

void LbaToBcd(int64_t lba, uint8_t msf[3]) {
    const int64_t frames = lba + kLeadInFrames;
    const int64_t parts[3] = {frames / (60 * kFramesPerSecond), (frames / kFramesPerSecond) % 60,
                              frames % kFramesPerSecond};
    for (int i = 0; i < 3; ++i) msf[i] = uint8_t(((parts[i] / 10) % 10) << 4 | (parts[i] % 10));
}

bool BcdToLba(const uint8_t msf[3], int64_t& lba) {
    for (int i = 0; i < 3; ++i)
        if (!IsBcd(msf[i])) return false;
    const auto value = [](uint8_t b) { return int64_t(b >> 4) * 10 + (b & 15); };
    lba = (value(msf[0]) * 60 + value(msf[1])) * kFramesPerSecond + value(msf[2]) - kLeadInFrames;
    return true;
}

uint32_t ComputeEdc(const uint8_t* data, size_t size) {
    uint32_t e = 0;
    for (size_t i = 0; i < size; ++i) e = (e >> 8) ^ kEdcTable[(e ^ data[i]) & 0xFF];
    return e;
}

void ComputeEcc(uint8_t* sector) {
    uint8_t header[4];
    const bool mode2 = sector[kModeOffset] == 2;
    std::memcpy(header, sector + 12, 4);
    if (mode2) std::memset(sector + 12, 0, 4);
    ParityBlock(sector + 12, 86, 24, 2, 86, sector + kEccPOffset);
    ParityBlock(sector + 12, 52, 43, 86, 88, sector + kEccQOffset);
    if (mode2) std::memcpy(sector + 12, header, 4);
}

bool UpdateSectorChecks(uint8_t* sector) {
    switch (ClassifySector(sector, kRawSectorSize).kind) {
        case SectorKind::Mode1:
            StoreU32LE(sector + kMode1EdcOffset, ComputeEdc(sector, kMode1EdcOffset));
            std::memset(sector + kMode1EdcOffset + 4, 0, kMode1ReservedSize);
            ComputeEcc(sector);
            return true;
        case SectorKind::Mode2Form1:
            StoreU32LE(sector + kForm1EdcOffset,
                       ComputeEdc(sector + kSubheaderOffset, kForm1EdcOffset - kSubheaderOffset));
            ComputeEcc(sector);
            return true;
        case SectorKind::Mode2Form2:
            if (LoadU32LE(sector + kForm2EdcOffset) != 0)
                StoreU32LE(sector + kForm2EdcOffset,
                           ComputeEdc(sector + kSubheaderOffset, kForm2EdcOffset - kSubheaderOffset));
            return true;
        default: return false;
    }
}

bool SectorChecksMatch(const uint8_t* sector) {
    uint8_t copy[kRawSectorSize];
    std::memcpy(copy, sector, kRawSectorSize);
    if (!UpdateSectorChecks(copy)) return false;
    return std::memcmp(copy, sector, kRawSectorSize) == 0;
}

void BuildSector(uint8_t* sector, SectorKind kind, int64_t lba, const uint8_t* user, uint8_t file, uint8_t channel,
                 uint8_t submode) {
    std::memset(sector, 0, kRawSectorSize);
    std::memset(sector + 1, 0xFF, 10);
    LbaToBcd(lba, sector + 12);
    size_t userOffset = kHeaderSize, userSize = kDataSectorSize;
    if (kind == SectorKind::Mode1) {
        sector[kModeOffset] = 1;
    } else {
        sector[kModeOffset] = 2;
        if (kind == SectorKind::Mode2Form2) {
            submode |= kForm2Bit;
            userSize = kForm2UserSize;
        } else {
            submode &= uint8_t(~kForm2Bit);
        }
        const uint8_t subheader[4] = {file, channel, submode, 0};
        std::memcpy(sector + kSubheaderOffset, subheader, 4);
        std::memcpy(sector + kSubheaderOffset + 4, subheader, 4);
        userOffset = kSubheaderOffset + 8;
        // Any nonzero EDC: UpdateSectorChecks writes the real one.
        if (kind == SectorKind::Mode2Form2) sector[kForm2EdcOffset] = 1;
    }
    std::memcpy(sector + userOffset, user, userSize);
    UpdateSectorChecks(sector);
}

}  // namespace cd

// Raw sectors against the ECMA-130 vectors of the platform notes (header,
// EDC, the first bytes of P and Q, the SHA-256 of whole sectors), their
// kinds, and checks made right after a change.
#include "CdSector.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Sector = std::array<uint8_t, cd::kRawSectorSize>;

uint32_t StoredU32(const Sector& s, size_t at) {
    return uint32_t(s[at]) | (uint32_t(s[at + 1]) << 8) | (uint32_t(s[at + 2]) << 16) | (uint32_t(s[at + 3]) << 24);
}

// The SHA-256 of the bytes, by the system's sha256sum.
std::string Sha256(const Sector& s) {
    const fs::path file = fs::path(testing::TempDir()) / "sector.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(s.data()), std::streamsize(s.size()));
    FILE* pipe = popen(("sha256sum " + file.string()).c_str(), "r");
    char line[128] = {};
    if (!pipe || !std::fgets(line, sizeof line, pipe)) return "";
    pclose(pipe);
    return std::string(line).substr(0, 64);
}

std::vector<uint8_t> Pattern(size_t n, unsigned mul, unsigned add) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(mul * i + add);
    return v;
}

}  // namespace

TEST(CdSector, NotesVectors) {
    const struct {
        const char* name;
        cd::SectorKind kind;
        int64_t lba;
        uint8_t file, channel, submode;
        std::vector<uint8_t> user;
        std::array<uint8_t, 4> header;
        size_t edcAt;
        uint32_t edc;
        std::array<uint8_t, 4> p, q;  // zero: not given
        const char* sha256;           // empty: not given
    } vectors[] = {
        {"Form 1, pattern 7i+3", cd::SectorKind::Mode2Form1, 16, 0, 0, 0x08, Pattern(2048, 7, 3), {0x00, 0x02, 0x16, 0x02},
         2072, 0xD7076FFB, {0x7e, 0x5c, 0xc7, 0x5e}, {0x70, 0x55, 0xee, 0x84},
         "e1dd00e6bc29bb21b29afbca7efaf717eabddb656a58ac046b2626c2f92f2db8"},
        {"Form 1, zeros", cd::SectorKind::Mode2Form1, 16, 0, 0, 0x08, std::vector<uint8_t>(2048), {0x00, 0x02, 0x16, 0x02},
         2072, 0x9481880B, {}, {}, "f27131ff9a1153465668337a364a52f5b314cbb2ce0dbd7bab816ab5ee7bdfda"},
        {"Form 2, pattern 5i+1", cd::SectorKind::Mode2Form2, 17, 1, 1, 0x24, Pattern(2324, 5, 1), {0x00, 0x02, 0x17, 0x02},
         2348, 0x4571C730, {}, {}, ""},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        Sector s{};
        cd::BuildSector(s.data(), v.kind, v.lba, v.user.data(), v.file, v.channel, v.submode);
        EXPECT_EQ((std::array<uint8_t, 4>{s[12], s[13], s[14], s[15]}), v.header);
        const uint8_t subheader[4] = {v.file, v.channel, v.submode, 0};
        EXPECT_EQ(0, std::memcmp(s.data() + 16, subheader, 4));
        EXPECT_EQ(0, std::memcmp(s.data() + 20, subheader, 4));
        EXPECT_EQ(StoredU32(s, v.edcAt), v.edc);
        if (v.p != std::array<uint8_t, 4>{}) {
            EXPECT_EQ((std::array<uint8_t, 4>{s[2076], s[2077], s[2078], s[2079]}), v.p);
            EXPECT_EQ((std::array<uint8_t, 4>{s[2248], s[2249], s[2250], s[2251]}), v.q);
        }
        if (*v.sha256) {
            EXPECT_EQ(Sha256(s), v.sha256);
        }
        const cd::SectorLayout layout = cd::ClassifySector(s.data(), s.size());
        EXPECT_EQ(layout.kind, v.kind);
        EXPECT_TRUE(layout.hasAddress);
        EXPECT_EQ(layout.lba, v.lba);
        EXPECT_TRUE(cd::SectorChecksMatch(s.data()));
    }
}

TEST(CdSector, KindsAndUserData) {
    const std::vector<uint8_t> user(2324, 0x5A);
    Sector mode1{}, form1{}, form2{}, mode0{}, audio{};
    cd::BuildSector(mode1.data(), cd::SectorKind::Mode1, 0, user.data());
    cd::BuildSector(form1.data(), cd::SectorKind::Mode2Form1, 4500, user.data());  // 01:02:00
    cd::BuildSector(form2.data(), cd::SectorKind::Mode2Form2, 23, user.data());
    mode0 = mode1;
    mode0[15] = 0;
    audio.fill(0x33);
    const struct {
        const char* name;
        const Sector* sector;
        size_t size;
        cd::SectorKind kind;
        uint32_t userOffset, userSize;
        int64_t lba;
    } cases[] = {
        {"Mode 1", &mode1, 2352, cd::SectorKind::Mode1, 16, 2048, 0},
        {"Mode 2 Form 1", &form1, 2352, cd::SectorKind::Mode2Form1, 24, 2048, 4500},
        {"Mode 2 Form 2", &form2, 2352, cd::SectorKind::Mode2Form2, 24, 2324, 23},
        {"Form 2 cut after its subheader keeps its kind", &form2, 24, cd::SectorKind::Mode2Form2, 24, 2324, 23},
        {"Mode 2 cut inside its subheader", &form2, 20, cd::SectorKind::Unknown, 0, 0, 23},
        {"mode 0", &mode0, 2352, cd::SectorKind::Unknown, 0, 0, 0},
        {"audio", &audio, 2352, cd::SectorKind::NoSync, 0, 0, 0},
        {"eleven bytes of sync", &mode1, 11, cd::SectorKind::NoSync, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const cd::SectorLayout got = cd::ClassifySector(c.sector->data(), c.size);
        EXPECT_EQ(got.kind, c.kind) << c.name;
        EXPECT_EQ(got.userOffset, c.userOffset) << c.name;
        EXPECT_EQ(got.userSize, c.userSize) << c.name;
        if (got.kind != cd::SectorKind::NoSync) {
            EXPECT_EQ(got.lba, c.lba) << c.name;
        }
    }
    EXPECT_EQ((std::array<uint8_t, 3>{form1[12], form1[13], form1[14]}), (std::array<uint8_t, 3>{0x01, 0x02, 0x00}));
}

TEST(CdSector, ChecksMadeRightAfterAChange) {
    const std::vector<uint8_t> user = Pattern(2324, 3, 9);
    for (const cd::SectorKind kind : {cd::SectorKind::Mode1, cd::SectorKind::Mode2Form1, cd::SectorKind::Mode2Form2}) {
        SCOPED_TRACE(cd::SectorKindName(kind));
        Sector s{};
        cd::BuildSector(s.data(), kind, 1000, user.data());
        const cd::SectorLayout layout = cd::ClassifySector(s.data(), s.size());
        s[layout.userOffset + 100] ^= 0xFF;
        EXPECT_FALSE(cd::SectorChecksMatch(s.data()));
        EXPECT_TRUE(cd::UpdateSectorChecks(s.data()));
        EXPECT_TRUE(cd::SectorChecksMatch(s.data()));
        // The same as a sector built with the new data from the start.
        std::vector<uint8_t> changed = user;
        changed[100] ^= 0xFF;
        Sector fresh{};
        cd::BuildSector(fresh.data(), kind, 1000, changed.data());
        EXPECT_EQ(s, fresh);
    }
    // Placeholder checks are replaced; a Form 2 sector without an EDC keeps none.
    Sector placeholder{};
    cd::BuildSector(placeholder.data(), cd::SectorKind::Mode2Form1, 20, user.data());
    const Sector right = placeholder;
    std::fill(placeholder.begin() + 2072, placeholder.end(), 0x01);
    EXPECT_TRUE(cd::UpdateSectorChecks(placeholder.data()));
    EXPECT_EQ(placeholder, right);
    Sector form2{};
    cd::BuildSector(form2.data(), cd::SectorKind::Mode2Form2, 20, user.data());
    std::fill(form2.begin() + 2348, form2.end(), 0);
    form2[500] ^= 1;
    EXPECT_TRUE(cd::UpdateSectorChecks(form2.data()));
    EXPECT_EQ(StoredU32(form2, 2348), 0u);
    Sector audio{};
    audio.fill(7);
    EXPECT_FALSE(cd::UpdateSectorChecks(audio.data()));
    EXPECT_EQ(audio[2348], 7);
}

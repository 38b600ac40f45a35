// The ISO 9660 walk over hand-made volumes: names and extents, and each
// bound of a hostile one (a directory that holds its parent, a chain deeper
// than the limit, an extent past the image, records that overrun a sector).
#include "CdSector.h"
#include "Iso9660.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Sector = std::vector<uint8_t>;

void PutU32Both(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
        p[7 - i] = uint8_t(v >> (8 * i));
    }
}

// One directory record.
std::vector<uint8_t> Record(const std::string& name, uint32_t extent, uint32_t size, bool directory) {
    const size_t length = (33 + name.size() + 1) & ~size_t(1);
    std::vector<uint8_t> r(length);
    r[0] = uint8_t(length);
    PutU32Both(&r[2], extent);
    PutU32Both(&r[10], size);
    r[25] = directory ? 2 : 0;
    r[32] = uint8_t(name.size());
    std::memcpy(&r[33], name.data(), name.size());
    return r;
}

struct Entry {
    std::string name;
    uint32_t extent, size;
    bool directory;
};

class Volume {
public:
    explicit Volume(uint32_t sectors) : sectorCount_(sectors) {
        Sector pvd(cd::kDataSectorSize);
        pvd[0] = 1;
        std::memcpy(&pvd[1], "CD001", 5);
        pvd[6] = 1;
        pvd[128] = 0x00;
        pvd[129] = 0x08;  // 2048
        sectors_[16] = pvd;
        Sector end(cd::kDataSectorSize);
        end[0] = 255;
        std::memcpy(&end[1], "CD001", 5);
        sectors_[17] = end;
    }
    void Root(uint32_t extent, uint32_t size) {
        const std::vector<uint8_t> r = Record(std::string(1, '\0'), extent, size, true);
        std::memcpy(&sectors_[16][156], r.data(), r.size());
    }
    // A directory of one sector at `extent`, with "." and ".." first.
    void Directory(uint32_t extent, uint32_t parent, const std::vector<Entry>& entries) {
        Sector s(cd::kDataSectorSize);
        size_t at = 0;
        const auto put = [&](const std::vector<uint8_t>& r) {
            std::memcpy(&s[at], r.data(), r.size());
            at += r.size();
        };
        put(Record(std::string(1, '\0'), extent, 2048, true));
        put(Record(std::string(1, '\1'), parent, 2048, true));
        for (const Entry& e : entries) put(Record(e.name, e.extent, e.size, e.directory));
        sectors_[extent] = s;
    }
    Sector& At(uint32_t lba) { return sectors_[lba]; }
    cd::IsoVolume Read() const {
        return cd::ReadIsoVolume(
            [this](uint32_t lba, uint8_t* out) {
                const auto it = sectors_.find(lba);
                if (it == sectors_.end()) {
                    if (lba >= sectorCount_) return false;
                    std::memset(out, 0, cd::kDataSectorSize);
                } else {
                    std::memcpy(out, it->second.data(), cd::kDataSectorSize);
                }
                return true;
            },
            sectorCount_);
    }

private:
    uint32_t sectorCount_;
    std::map<uint32_t, Sector> sectors_;
};

std::vector<std::string> Paths(const cd::IsoVolume& v) {
    std::vector<std::string> paths;
    for (const cd::IsoFile& f : v.files) paths.push_back(f.path);
    return paths;
}

}  // namespace

TEST(Iso9660, NamesExtentsAndLookups) {
    Volume v(200);
    v.Root(20, 2048);
    v.Directory(20, 20, {{"DATA", 21, 2048, true}, {"SYSTEM.CNF;1", 30, 68, false}, {"README.", 31, 10, false}});
    v.Directory(21, 20, {{"PACK.BIN;1", 40, 5000, false}, {"EMPTY.DAT;1", 50, 0, false}});
    const cd::IsoVolume volume = v.Read();
    ASSERT_TRUE(volume.found);
    EXPECT_TRUE(volume.problems.empty());
    EXPECT_EQ(Paths(volume), (std::vector<std::string>{"/SYSTEM.CNF", "/README", "/DATA/PACK.BIN"}));
    const struct {
        uint64_t address;
        const char* path;  // null: none
    } lookups[] = {{40 * 2048, "/DATA/PACK.BIN"}, {40 * 2048 + 4999, "/DATA/PACK.BIN"}, {40 * 2048 + 5000, nullptr},
                   {30 * 2048 + 67, "/SYSTEM.CNF"}, {30 * 2048 + 68, nullptr}, {39 * 2048, nullptr}, {0, nullptr}};
    for (const auto& l : lookups) {
        const cd::IsoFile* f = volume.FileAt(l.address);
        EXPECT_EQ(f ? f->path : "(none)", l.path ? l.path : "(none)") << l.address;
    }
}

TEST(Iso9660, HostileVolumesAreBounded) {
    {
        SCOPED_TRACE("a directory that holds its parent and itself");
        Volume v(100);
        v.Root(20, 2048);
        v.Directory(20, 20, {{"LOOP", 21, 2048, true}, {"A.TIM;1", 30, 100, false}});
        v.Directory(21, 20, {{"BACK", 20, 2048, true}, {"SELF", 21, 2048, true}, {"B.TIM;1", 31, 100, false}});
        const cd::IsoVolume volume = v.Read();
        EXPECT_EQ(Paths(volume), (std::vector<std::string>{"/A.TIM", "/LOOP/B.TIM"}));
    }
    {
        SCOPED_TRACE("a chain deeper than the limit");
        Volume v(200);
        v.Root(20, 2048);
        for (uint32_t i = 0; i < 60; ++i) v.Directory(20 + i, i ? 19 + i : 20, {{"D", 21 + i, 2048, true}});
        const cd::IsoVolume volume = v.Read();
        ASSERT_EQ(volume.problems.size(), 1u);
        EXPECT_NE(volume.problems[0].find("deeper than 32 levels"), std::string::npos) << volume.problems[0];
    }
    {
        SCOPED_TRACE("directories past the image, huge and overrunning records");
        Volume v(100);
        v.Root(20, 2048);
        v.Directory(20, 20, {{"FAR", 5000, 2048, true}, {"HUGE", 22, 0xFFFFFFF0u, true}, {"OK.TIM;1", 30, 9, false}});
        v.Directory(22, 20, {});
        const cd::IsoVolume volume = v.Read();
        EXPECT_EQ(Paths(volume), (std::vector<std::string>{"/OK.TIM"}));
        // FAR past the end; HUGE cut to the limit, which is still past the end.
        ASSERT_EQ(volume.problems.size(), 3u);
        EXPECT_EQ(volume.problems[0], "ISO 9660 directory /FAR lies past the end of the image; not read");
        EXPECT_NE(volume.problems[1].find("/HUGE claims 4294967280 bytes"), std::string::npos) << volume.problems[1];
    }
    {
        SCOPED_TRACE("a record longer than what is left of its sector");
        Volume v(100);
        v.Root(20, 2048);
        v.Directory(20, 20, {{"A.TIM;1", 30, 9, false}});
        Sector& s = v.At(20);
        const std::vector<uint8_t> last = Record("Z.TIM;1", 31, 9, false);
        std::memcpy(&s[2048 - 20], last.data(), 20);  // its length says 42
        const cd::IsoVolume volume = v.Read();
        EXPECT_EQ(Paths(volume), (std::vector<std::string>{"/A.TIM"}));
    }
    {
        SCOPED_TRACE("logical blocks of 512 bytes");
        Volume v(100);
        v.Root(20, 2048);
        v.At(16)[129] = 0x02;
        const cd::IsoVolume volume = v.Read();
        EXPECT_TRUE(volume.found);
        EXPECT_TRUE(volume.files.empty());
        EXPECT_EQ(volume.problems.size(), 1u);
    }
    {
        SCOPED_TRACE("no volume descriptor");
        Volume v(100);
        v.At(16)[1] = 'X';
        EXPECT_FALSE(v.Read().found);
    }
}

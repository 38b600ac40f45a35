// timscan as users run it, on inputs made here: TIMs planted in random bytes,
// a disc made with genisoimage as a cooked image, as raw Mode 2 sectors with
// Form 2 and audio among them, and through CUE sheets; the limits of each.
#include "CdSector.h"
#include "DiscBuilder.h"
#include "PngInput.h"
#include "PngOutput.h"
#include "SampleTims.h"
#include "TimBuilder.h"
#include "TimFormat.h"
#include "ToolRun.h"


#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using timtest::Bytes;

namespace {

fs::path Folder(const std::string& name) {
    const fs::path folder = fs::path(testing::TempDir()) / ("timscan-" + name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// Runs timscan with `arguments` (paths without spaces or quotes), its two
// outputs apart.
timtest::ToolRun Timscan(const std::string& arguments) { return timtest::RunTool(TIMSCAN_PATH, arguments, true); }

// One JSON line's fields, as text (strings unquoted).
using Fields = std::map<std::string, std::string>;

std::vector<Fields> JsonLines(const std::string& text) {
    std::vector<Fields> lines;
    const std::regex field(R"re("(\w+)":(?:"((?:[^"\\]|\\.)*)"|(-?\d+)))re");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
        Fields f;
        for (auto it = std::sregex_iterator(line.begin(), line.end(), field); it != std::sregex_iterator(); ++it)
            f[(*it)[1]] = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
        lines.push_back(f);
    }
    return lines;
}

struct Tim {
    std::string name;
    Bytes bytes;
};

// The samples and fuzz seeds that are TIMs by the rule for TIMs inside other
// data, each cut to the TIM's own bytes.
std::vector<Tim> RealLookingTims() {
    std::vector<Tim> tims;
    for (const char* dir : {TIM_SAMPLES_DIR, TIM_FUZZ_DIR "/corpus"})
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() != ".tim") continue;
            Bytes b = timtest::ReadFileBytes(entry.path());
            TimImageInfo info{};
            if (FindEmbeddedTimRefusal(info, b.data(), b.size()).reason != TimRefusalReason::Accepted) continue;
            b.resize(info.imageEnd);
            tims.push_back({entry.path().filename().string(), b});
        }
    std::sort(tims.begin(), tims.end(), [](const Tim& a, const Tim& b) { return a.name < b.name; });
    return tims;
}

// A large TIM: 16-bit, the whole 1024 x 512 frame buffer.
Bytes FrameBufferTim() {
    Bytes pixels = timtest::Noise(1024 * 512 * 2, 7);
    return timtest::MakeTim(2, std::nullopt, timtest::Block(1024, 512, pixels));
}

struct Planted {
    uint64_t offset;
    Bytes bytes;
    std::string name;
};

// `tims` planted at random unaligned offsets in `size` random bytes, some
// back to back.
Bytes Plant(const std::vector<Tim>& tims, size_t size, uint32_t seed, std::vector<Planted>& planted) {
    Bytes data = timtest::Noise(size, seed);
    std::mt19937 rng(seed);
    uint64_t at = rng() % 5000;
    for (size_t i = 0; i < tims.size(); ++i) {
        const Bytes& t = tims[i].bytes;
        if (at + t.size() > size) break;
        std::copy(t.begin(), t.end(), data.begin() + std::ptrdiff_t(at));
        planted.push_back({at, t, tims[i].name});
        // Every fourth one straight after the one before.
        at += t.size() + (i % 4 == 3 ? 0 : rng() % (size / (tims.size() + 1)));
    }
    return data;
}

void ExpectFound(const std::vector<Fields>& found, const std::vector<Planted>& planted, const std::string& file) {
    std::set<std::pair<uint64_t, uint64_t>> want, got;
    for (const Planted& p : planted) want.insert({p.offset, p.bytes.size()});
    for (const Fields& f : found) {
        EXPECT_EQ(f.at("file"), file);
        got.insert({std::stoull(f.at("offset")), std::stoull(f.at("bytes"))});
    }
    EXPECT_EQ(got, want);
}

}  // namespace

// Real-looking TIMs at random offsets in random bytes, across several windows,
// a frame-buffer-sized one among them: each found where it was put, written
// byte for byte, its picture the sample's; nothing else.
TEST(Timscan, FindsEveryPlantedTimAndNothingElse) {
    const fs::path dir = Folder("planted");
    std::vector<Tim> tims = RealLookingTims();
    ASSERT_GE(tims.size(), 20u);
    tims.insert(tims.begin() + 5, {"frame-buffer", FrameBufferTim()});
    tims.insert(tims.begin() + 12, {"frame-buffer-2", FrameBufferTim()});
    std::vector<Planted> planted;
    timtest::WriteFileBytes(dir / "blob.bin", Plant(tims, 40u << 20, 11, planted));
    ASSERT_EQ(planted.size(), tims.size());

    const timtest::ToolRun run = Timscan("--json --png -o " + (dir / "out").string() + " " + (dir / "blob.bin").string());
    ASSERT_EQ(run.code, 0) << run.err;
    const std::vector<Fields> found = JsonLines(run.out);
    ExpectFound(found, planted, (dir / "blob.bin").string());
    EXPECT_NE(run.err.find("timscan: " + std::to_string(planted.size()) + " TIMs in 1 file (41943040 bytes) in "),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress line when not on a terminal";

    size_t pictures = 0;
    for (const Planted& p : planted) {
        SCOPED_TRACE(p.name);
        const std::string stem = (dir / "out" / ("blob.bin@" + std::to_string(p.offset))).string();
        EXPECT_EQ(timtest::ReadFileBytes(stem + ".tim"), p.bytes);
        EXPECT_TRUE(fs::exists(stem + ".png"));
        if (fs::path(p.name).stem().string().find("-") != std::string::npos &&
            fs::exists(fs::path(TIM_SAMPLES_DIR) / fs::path(p.name).replace_extension(".png"))) {
            const std::string check = std::string(TIM_CONFORMANCE_CHECK) + " " + p.name + " " + stem + ".png";
            EXPECT_EQ(std::system(check.c_str()), 0) << check;
            ++pictures;
        }
    }
    EXPECT_GE(pictures, 6u) << "the samples' pictures were checked";
    // The JSON fields, exactly those of a file that is no disc.
    ASSERT_FALSE(found.empty());
    const Fields& first = found.front();
    std::set<std::string> keys;
    for (const auto& [k, v] : first) keys.insert(k);
    EXPECT_EQ(keys, (std::set<std::string>{"file", "offset", "bytes", "bpp", "width", "height", "palettes"}));
}

// Byte runs the decoder takes but that are no TIM, random data and the test's
// own program give no hit; a TIM cut by the end of the file is said.
TEST(Timscan, NoFalsePositives) {
    const fs::path dir = Folder("false");
    Bytes garbage = timtest::Noise(1 << 20, 3);
    const struct {
        const char* what;
        Bytes bytes;
    } fakes[] = {
        {"4-bit, no CLUT, 17 x 1 units claiming 4096 bytes",
         timtest::MakeTim(0, std::nullopt, timtest::Block(17, 1, {}, 4096))},
        {"image at x = 1024", timtest::MakeTim(2, std::nullopt, timtest::Block(4, 4, {}, std::nullopt, 1024, 0))},
        {"24-bit with no whole pixel", timtest::MakeTim(3, std::nullopt, timtest::Block(1, 8))},
        {"CLUT 3 bytes over", timtest::MakeTim(0, timtest::Block(16, 1, Bytes(35, 1)), timtest::Block(2, 2))},
    };
    size_t at = 1000;
    for (const auto& f : fakes) {
        std::copy(f.bytes.begin(), f.bytes.end(), garbage.begin() + std::ptrdiff_t(at));
        at += 100000;
    }
    timtest::WriteFileBytes(dir / "garbage.bin", garbage);
    timtest::WriteFileBytes(dir / "random.bin", timtest::Noise(16u << 20, 99));
    Bytes cut = timtest::Noise(50000, 4);
    const Bytes tim = timtest::MakeTim(2, std::nullopt, timtest::Block(64, 64));
    std::copy(tim.begin(), tim.end() - 100, cut.end() - std::ptrdiff_t(tim.size() - 100));
    timtest::WriteFileBytes(dir / "cut.bin", cut);

    // The program itself, except built with AddressSanitizer: its tables hold
    // records of two u64 (16, 64) and pointers, which read as 4-bit TIMs
    // whose length fields are far short of their rows, and short lengths are
    // allowed.
#if defined(__SANITIZE_ADDRESS__)
    const std::string program, programs = "3";
#else
    const std::string program = std::string(" ") + TIMSCAN_PATH, programs = "4";
#endif
    const timtest::ToolRun run = Timscan((dir / "garbage.bin").string() + " " + (dir / "random.bin").string() + program +
                                  " " + (dir / "cut.bin").string());
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out.find("@"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("timscan: 0 TIMs in " + programs + " files"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find((dir / "cut.bin").string() + ": a TIM at offset " + std::to_string(cut.size() - tim.size() + 100) +
                           " is cut short by the end of the file: it needs " + std::to_string(tim.size()) + " bytes, " +
                           std::to_string(tim.size() - 100) + " are there"),
              std::string::npos)
        << run.err;
}

namespace {

// A disc made with genisoimage: a pack file of planted TIMs in a folder and
// some loose TIM files; with the TIMs' data addresses (LBA * 2048 + byte).
struct Disc {
    fs::path iso;
    struct Expected {
        std::string path;
        uint64_t pathOffset, bytes, address;
    };
    std::vector<Expected> tims;
};

Disc MakeDisc(const fs::path& dir) {
    const fs::path tree = dir / "tree";
    fs::create_directories(tree / "DATA");
    std::vector<Tim> tims = RealLookingTims();
    std::vector<Planted> planted;
    timtest::WriteFileBytes(tree / "DATA" / "PACK.BIN", Plant(tims, 3u << 20, 5, planted));
    Disc disc;
    disc.iso = dir / "disc.iso";
    for (const Planted& p : planted) disc.tims.push_back({"/DATA/PACK.BIN", p.offset, p.bytes.size(), 0});
    for (size_t i = 0; i < 3; ++i) {
        const std::string name = "LOOSE" + std::to_string(i) + ".TIM";
        timtest::WriteFileBytes(tree / name, tims[i * 7].bytes);
        disc.tims.push_back({"/" + name, 0, tims[i * 7].bytes.size(), 0});
    }
    const std::string command = "genisoimage -quiet -o " + disc.iso.string() + " " + tree.string();
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return disc;
}

// The extents of the disc's files, found the way a reader would: by looking
// for each file's bytes in the image at sector starts.
void Locate(Disc& disc, const fs::path& tree) {
    const Bytes image = timtest::ReadFileBytes(disc.iso);
    for (Disc::Expected& e : disc.tims) {
        const Bytes file = timtest::ReadFileBytes(tree / e.path.substr(1));
        for (size_t lba = 0; (lba + 1) * cd::kDataSectorSize <= image.size(); ++lba) {
            if (std::equal(file.begin(), file.end(), image.begin() + std::ptrdiff_t(lba * cd::kDataSectorSize))) {
                e.address = lba * cd::kDataSectorSize + e.pathOffset;
                break;
            }
        }
        ASSERT_NE(e.address, 0u) << e.path;
    }
}

std::set<std::tuple<std::string, uint64_t, uint64_t>> ByPath(const std::vector<Fields>& found) {
    std::set<std::tuple<std::string, uint64_t, uint64_t>> s;
    for (const Fields& f : found)
        s.insert({f.count("path") ? f.at("path") : "(none)", f.count("path_offset") ? std::stoull(f.at("path_offset")) : 0,
                  std::stoull(f.at("bytes"))});
    return s;
}

}  // namespace

// The same disc as a cooked image, as raw Mode 2 Form 1 sectors with Form 2
// and audio sectors after its file system, and through a CUE sheet: every TIM
// is found by file and offset in each.
TEST(Timscan, DiscByPathThroughCookedRawAndCue) {
    const fs::path dir = Folder("disc");
    Disc disc = MakeDisc(dir);
    Locate(disc, dir / "tree");
    std::set<std::tuple<std::string, uint64_t, uint64_t>> want;
    for (const auto& e : disc.tims) want.insert({e.path, e.pathOffset, e.bytes});

    // Raw: the ISO's sectors as Form 1 from LBA 0; then Form 2 sectors holding
    // a TIM across three of them; an audio sector; then a TIM in Form 1
    // sectors cut by one Form 2 sector (a gap: never found).
    const Bytes cooked = timtest::ReadFileBytes(disc.iso);
    Bytes raw;
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form1, 0, cooked);
    int64_t lba = int64_t(cooked.size() / cd::kDataSectorSize);
    const Bytes wide = timtest::MakeTim(2, std::nullopt, timtest::Block(80, 30, timtest::Noise(4800, 1)));
    Bytes form2 = timtest::Noise(3 * cd::kForm2UserSize, 8);
    std::copy(wide.begin(), wide.end(), form2.begin() + 2000);
    const uint64_t form2Offset = disctest::RawOffset(uint64_t(lba), cd::SectorKind::Mode2Form2, 2000);
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form2, lba, form2);
    lba += 3;
    disctest::AppendAudio(raw, 0x10);
    ++lba;
    Bytes split = timtest::Noise(2 * cd::kDataSectorSize, 9);
    std::copy(wide.begin(), wide.begin() + 1000, split.end() - 1000 - std::ptrdiff_t(cd::kDataSectorSize));
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form1, lba, Bytes(split.begin(), split.begin() + 2048));
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form2, lba + 1, timtest::Noise(100, 2));
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form1, lba + 2, Bytes(wide.begin() + 1000, wide.end()));
    timtest::WriteFileBytes(dir / "disc.bin", raw);
    std::ofstream(dir / "disc.cue") << "REM made by a test\n  FILE \"disc.bin\" BINARY\n    TRACK 1 MODE2/2352\n"
                                       "      INDEX 1 00:00:00\n";

    // The cooked image: offsets are data addresses.
    {
        SCOPED_TRACE("cooked");
        const timtest::ToolRun run = Timscan("--json " + disc.iso.string());
        ASSERT_EQ(run.code, 0) << run.err;
        const std::vector<Fields> found = JsonLines(run.out);
        EXPECT_EQ(ByPath(found), want);
        for (const Fields& f : found) {
            const auto e = std::find_if(disc.tims.begin(), disc.tims.end(), [&](const Disc::Expected& x) {
                return x.path == f.at("path") && x.pathOffset == std::stoull(f.at("path_offset"));
            });
            ASSERT_NE(e, disc.tims.end());
            EXPECT_EQ(std::stoull(f.at("offset")), e->address);
            EXPECT_EQ(std::stoull(f.at("sector")), e->address / 2048);
        }
    }
    // Raw and through the sheet: offsets in the .bin, sectors by address.
    for (const std::string input : {"disc.bin", "disc.cue"}) {
        SCOPED_TRACE(input);
        const timtest::ToolRun run = Timscan("--json " + (dir / input).string());
        ASSERT_EQ(run.code, 0) << run.err;
        const std::vector<Fields> found = JsonLines(run.out);
        auto wantRaw = want;
        wantRaw.insert({"(none)", 0, wide.size()});
        EXPECT_EQ(ByPath(found), wantRaw);
        for (const Fields& f : found) {
            EXPECT_EQ(f.at("file"), (dir / "disc.bin").string());
            if (!f.count("path")) {
                EXPECT_EQ(std::stoull(f.at("offset")), form2Offset);
                EXPECT_EQ(f.at("sector"), std::to_string(cooked.size() / cd::kDataSectorSize));
                continue;
            }
            const auto e = std::find_if(disc.tims.begin(), disc.tims.end(), [&](const Disc::Expected& x) {
                return x.path == f.at("path") && x.pathOffset == std::stoull(f.at("path_offset"));
            });
            ASSERT_NE(e, disc.tims.end());
            EXPECT_EQ(std::stoull(f.at("offset")),
                      disctest::RawOffset(e->address / 2048, cd::SectorKind::Mode2Form1, e->address % 2048));
            EXPECT_EQ(std::stoull(f.at("sector")), e->address / 2048);
        }
    }
    // The listing names the file in the disc.
    const timtest::ToolRun plain = Timscan((dir / "disc.cue").string());
    EXPECT_NE(plain.out.find(", in /DATA/PACK.BIN@"), std::string::npos) << plain.out;
}

// Mode 1 sectors with a TIM across four of them, a MODE1/2048 track, an
// audio track in a file of its own in a subfolder, named relative to the
// sheet; every limit said and the scan going on.
TEST(Timscan, CueSheetsMode1AndTheLimits) {
    const fs::path dir = Folder("cue");
    fs::create_directories(dir / "tracks");
    const Bytes tim = timtest::MakeTim(2, std::nullopt, timtest::Block(100, 33, timtest::Noise(6600, 3)));
    Bytes user = timtest::Noise(5 * 2048, 6);
    std::copy(tim.begin(), tim.end(), user.begin() + 1500);
    Bytes raw;
    disctest::AppendSectors(raw, cd::SectorKind::Mode1, 0, user);
    timtest::WriteFileBytes(dir / "tracks" / "data.bin", raw);
    Bytes audio;
    for (int i = 0; i < 4; ++i) disctest::AppendAudio(audio, 0x10);
    std::copy(tim.begin(), tim.end(), audio.begin() + 10);  // in an audio track: never read
    timtest::WriteFileBytes(dir / "tracks" / "audio.bin", audio);
    Bytes cooked2 = timtest::Noise(8 * 2048, 13);
    std::copy(tim.begin(), tim.end(), cooked2.begin() + 4097);
    timtest::WriteFileBytes(dir / "tracks" / "data.iso", cooked2);
    std::ofstream(dir / "game.cue") << "REM DISCID 12345678\r\nFILE \"tracks/data.bin\" BINARY\r\n"
                                       "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
                                       "FILE \"tracks/audio.bin\" BINARY\r\n  TRACK 2 AUDIO\r\n    PREGAP 00:02:00\r\n"
                                       "    INDEX 00 00:00:00\r\n    INDEX 01 00:00:02\r\n"
                                       "FILE tracks/missing.bin BINARY\r\n TRACK 03 MODE2/2352\r\n  INDEX 01 00:00:00\r\n"
                                       "FILE \"tracks/data.iso\" BINARY\r\n\tTRACK 04 MODE1/2048\r\n\tINDEX 01 00:00:00\r\n";
    // A raw image whose length is not a multiple of 2352, and a missing input.
    Bytes odd = raw;
    odd.resize(odd.size() - 300);
    timtest::WriteFileBytes(dir / "odd.bin", odd);

    const timtest::ToolRun run = Timscan("--json " + (dir / "game.cue").string() + " " + (dir / "nothere.bin").string() + " " +
                            (dir / "odd.bin").string() + " " + dir.string());
    EXPECT_EQ(run.code, 3) << run.err;
    const std::vector<Fields> found = JsonLines(run.out);
    std::set<std::tuple<std::string, uint64_t, std::string>> got;
    for (const Fields& f : found) got.insert({fs::path(f.at("file")).filename().string(), std::stoull(f.at("offset")), f.at("sector")});
    EXPECT_EQ(got, (std::set<std::tuple<std::string, uint64_t, std::string>>{
                       {"data.bin", disctest::RawOffset(0, cd::SectorKind::Mode1, 1500), "0"},
                       {"data.iso", 4097, "2"},
                       {"odd.bin", disctest::RawOffset(0, cd::SectorKind::Mode1, 1500), "0"},
                   }));
    const std::string messages[] = {
        (dir / "game.cue").string() + ": track 3: " + (dir / "tracks/missing.bin").string() + ": file not found",
        (dir / "nothere.bin").string() + ": file not found",
        (dir / "odd.bin").string() + ": the image is not a multiple of 2352 bytes: its last sector has 2052 bytes",
        dir.string() + ": is a folder, not a file",
        "timscan: 3 TIMs in 4 files",
    };
    for (const std::string& m : messages) EXPECT_NE(run.err.find(m), std::string::npos) << m << "\n" << run.err;
}

TEST(Timscan, ArgumentsAndOutputs) {
    const fs::path dir = Folder("args");
    Bytes data = timtest::Noise(10000, 1);
    const Bytes tim = timtest::MakeTim(2, std::nullopt, timtest::Block(4, 4));
    std::copy(tim.begin(), tim.end(), data.begin() + 333);
    timtest::WriteFileBytes(dir / "a.bin", data);
    timtest::WriteFileBytes(dir / "file", Bytes{1});
    const struct {
        const char* what;
        std::string arguments;
        int code;
        const char* message;
    } cases[] = {
        {"no input", "--json", 2, "timscan: an input file is needed"},
        {"--png alone", "--png " + (dir / "a.bin").string(), 2, "--png writes pictures beside the TIMs: it needs -o FOLDER"},
        {"unknown option", "--size 3 x", 2, "timscan: unknown option --size"},
        {"folder is a file", "-o " + (dir / "file").string() + " " + (dir / "a.bin").string(), 5,
         "timscan: cannot make or use the folder"},
        {"listing", (dir / "a.bin").string(), 0, "a.bin@333: 4 x 4, 16-bit direct colour, 52 bytes\n"},
    };
    for (const auto& c : cases) {
        const timtest::ToolRun run = Timscan(c.arguments);
        EXPECT_EQ(run.code, c.code) << c.what << "\n" << run.err;
        EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << c.what << "\n" << run.out << run.err;
    }
    // -o into a folder made on the way, no temporary file left.
    const timtest::ToolRun run = Timscan("-o " + (dir / "x" / "y").string() + " " + (dir / "a.bin").string());
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(timtest::ReadFileBytes(dir / "x" / "y" / "a.bin@333.tim"), tim);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "x" / "y"), fs::directory_iterator()), 1);
}

namespace {

// Random user data with `tim` at user byte `at`, as raw sectors of `kind`
// from LBA 20, or as a plain file; and the TIM's offset there, reckoned here.
Bytes ImageWith(std::optional<cd::SectorKind> kind, const Bytes& tim, size_t at, uint64_t& offset) {
    const size_t userSize = kind == cd::SectorKind::Mode2Form2 ? cd::kForm2UserSize : cd::kDataSectorSize;
    Bytes user = timtest::Noise(5 * userSize, uint32_t(at));
    std::copy(tim.begin(), tim.end(), user.begin() + std::ptrdiff_t(at));
    offset = kind ? disctest::RawOffset(at / userSize, *kind, at % userSize) : at;
    if (!kind) return user;
    Bytes raw;
    disctest::AppendSectors(raw, *kind, 20, user);
    return raw;
}

timtest::ToolRun Replace(uint64_t offset, const fs::path& tim, const fs::path& image) {
    return Timscan("--replace " + std::to_string(offset) + " " + tim.string() + " " + image.string());
}

}  // namespace

// A TIM put back in a plain file and through the user data of the three
// Form 1, Mode 1 or Form 2 sectors it spans: the image is what the test
// reckons (the new bytes, each changed sector's checks made by the disc
// room, every other byte as it was: unchanged sectors with placeholder
// checks, a zero Form 2 EDC), and putting it back again writes nothing.
TEST(TimscanReplace, WritesTheTimThroughTheSectorsItSpans) {
    const fs::path dir = Folder("replace");
    const Bytes old = timtest::MakeTim(2, std::nullopt, timtest::Block(64, 24, timtest::Noise(3072, 21)));
    Bytes pixels = old, firstAndLast = old;
    for (size_t i = 20; i < old.size(); ++i) pixels[i] ^= 0xA5;
    firstAndLast[30] ^= 1;
    firstAndLast.back() ^= 1;
    using K = cd::SectorKind;
    const struct {
        std::optional<K> kind;
        size_t at;  // in the user data
        const Bytes& now;
        int checks;  // -1 as made; else every sector's check bytes set to it
        std::string summary;
    } cases[] = {
        {std::nullopt, 5001, pixels, -1, "replaced 3092 bytes (3072 changed)\n"},
        {K::Mode2Form1, 4048, pixels, -1, "replaced 3092 bytes (3072 changed) in sectors 21-23 (3 sectors, EDC/ECC recomputed)\n"},
        {K::Mode2Form1, 4048, firstAndLast, 2, "replaced 3092 bytes (2 changed) in sectors 21, 23 (2 sectors, EDC/ECC recomputed)\n"},
        {K::Mode1, 4048, pixels, -1, "replaced 3092 bytes (3072 changed) in sectors 21-23 (3 sectors, EDC/ECC recomputed)\n"},
        {K::Mode2Form2, 4624, pixels, -1, "replaced 3092 bytes (3072 changed) in sectors 21-23 (3 sectors, EDC recomputed)\n"},
        {K::Mode2Form2, 4624, pixels, 0, "replaced 3092 bytes (3072 changed) in sectors 21-23 (3 sectors, zero EDC left zero)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.summary + (c.kind ? cd::SectorKindName(*c.kind) : "plain"));
        uint64_t offset = 0;
        Bytes image = ImageWith(c.kind, old, c.at, offset);
        const size_t checksAt = c.kind == K::Mode1 ? 2064 : c.kind == K::Mode2Form1 ? 2072 : 2348;
        for (size_t s = 0; c.kind && c.checks >= 0 && s < image.size() / cd::kRawSectorSize; ++s)
            std::fill(image.begin() + std::ptrdiff_t(s * cd::kRawSectorSize + checksAt),
                      image.begin() + std::ptrdiff_t((s + 1) * cd::kRawSectorSize), uint8_t(c.checks));
        Bytes expected = image;
        std::set<size_t> changed;
        const size_t userSize = c.kind == K::Mode2Form2 ? cd::kForm2UserSize : cd::kDataSectorSize;
        for (size_t i = 0; i < old.size(); ++i) {
            const size_t u = c.at + i;
            const uint64_t at = c.kind ? disctest::RawOffset(u / userSize, *c.kind, u % userSize) : u;
            ASSERT_EQ(expected[at], old[i]);
            expected[at] = c.now[i];
            if (old[i] != c.now[i] && c.kind) changed.insert(size_t(at / cd::kRawSectorSize));
        }
        for (const size_t s : changed) cd::UpdateSectorChecks(expected.data() + s * cd::kRawSectorSize);
        timtest::WriteFileBytes(dir / "image.bin", image);
        timtest::WriteFileBytes(dir / "new.tim", c.now);

        const timtest::ToolRun run = Replace(offset, dir / "new.tim", dir / "image.bin");
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(run.out, (dir / "image.bin").string() + "@" + std::to_string(offset) + ": " + c.summary);
        const Bytes after = timtest::ReadFileBytes(dir / "image.bin");
        EXPECT_TRUE(after == expected) << "not the bytes reckoned";
        for (const size_t s : changed) EXPECT_TRUE(cd::SectorChecksMatch(after.data() + s * cd::kRawSectorSize)) << s;
        EXPECT_NE(Replace(offset, dir / "new.tim", dir / "image.bin").out.find("own bytes; nothing written"),
                  std::string::npos);
    }
}

// Each refusal says why, naming the fields of the layout that differ, and
// leaves the image as it was.
TEST(TimscanReplace, RefusalsLeaveTheImageUntouched) {
    const fs::path dir = Folder("replace-refused");
    using timtest::Block;
    const Bytes clut = timtest::Noise(32, 1);
    uint64_t offset = 0;
    const Bytes image = ImageWith(cd::SectorKind::Mode2Form1, timtest::MakeTim(0, Block(16, 1, clut), Block(8, 16)),
                                  1948, offset);  // 4-bit, 32 x 16, 320 bytes across sectors 20 and 21
    const Bytes fits = timtest::MakeTim(0, Block(16, 1, clut), Block(8, 16, Bytes(256, 9)));
    fs::create_directories(dir / "folder");
    const struct {
        Bytes now;  // new.tim
        uint64_t offset;
        std::string tim;  // instead of new.tim
        int code;
        std::string message;
    } cases[] = {
        {timtest::MakeTim(1, Block(256, 1, timtest::Noise(512, 2)), Block(8, 16)), offset, "", 1,
         "new.tim has another layout: format 8-bit, not 4-bit; width 16, not 32; CLUT size 256 x 1, not 16 x 1; "
         "length 800 bytes, not 320 bytes"},
        {timtest::MakeTim(0, Block(16, 1, clut), Block(16, 8)), offset, "", 1, "layout: width 64, not 32; height 8, not 16\n"},
        {timtest::MakeTim(0, Block(16, 1, clut), Block(8, 15)), offset, "", 1, "layout: height 15, not 16; length 304"},
        {timtest::MakeTim(0, Block(16, 2, timtest::Noise(64, 4)), Block(8, 16)), offset, "", 1,
         "layout: CLUT size 16 x 2, not 16 x 1; length 352"},
        {timtest::MakeTim(0, Block(16, 1, clut), Block(8, 16, Bytes(258, 9), 270)), offset, "", 1,
         "layout: length 322 bytes, not 320 bytes\n"},
        {fits, offset - 1, "", 1, "@" + std::to_string(offset - 1) + ": not replaced: no TIM starts there"},
        {fits, offset + 200, "", 1,
         "inside the TIM at " + (dir / "image.bin").string() + "@" + std::to_string(offset) + " (320 bytes)"},
        {timtest::Noise(320, 3), offset, "", 1, "new.tim is refused: not a TIM file"},
        {timtest::MakeTim(0, Block(16, 1, clut, std::nullopt, 1024), Block(8, 16)), offset, "", 1,
         "new.tim is refused: not a TIM: a block lies outside"},
        {fits, offset, "missing.tim", 3, "missing.tim: file not found"},
        {fits, offset, "folder", 7, "folder: is a folder, not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        timtest::WriteFileBytes(dir / "image.bin", image);
        timtest::WriteFileBytes(dir / "new.tim", c.now);
        const timtest::ToolRun run = Replace(c.offset, dir / (c.tim.empty() ? "new.tim" : c.tim), dir / "image.bin");
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_TRUE(timtest::ReadFileBytes(dir / "image.bin") == image) << "the image changed";
    }
}

// The translator's road on a disc: the TIM and its picture out, one palette
// colour edited by a program that drops the TIM chunk, png2tim like the TIM
// taken out, put back, taken out again: the edited TIM.
TEST(TimscanReplace, RoundTripThroughPng2Tim) {
    const fs::path dir = Folder("replace-round");
    Bytes clut = timtest::Noise(32, 6);
    for (size_t i = 1; i < clut.size(); i += 2) clut[i] &= 0x7F;  // no STP: every colour opaque
    const Bytes old = timtest::MakeTim(0, timtest::Block(16, 1, clut), timtest::Block(8, 16, timtest::Noise(256, 5)));
    uint64_t offset = 0;
    timtest::WriteFileBytes(dir / "disc.bin", ImageWith(cd::SectorKind::Mode2Form1, old, 1948, offset));
    const fs::path out = dir / "out" / ("disc.bin@" + std::to_string(offset));
    ASSERT_EQ(Timscan("--png -o " + (dir / "out").string() + " " + (dir / "disc.bin").string()).code, 0);
    PngInput png;
    std::string why;
    ASSERT_EQ(ReadPngFile(out.string() + ".png", png, why), PngReadResult::Read) << why;
    png.palette[1] = 0xFFFF0000u;  // opaque red
    PngPicture edited{png.width, png.height, nullptr, png.indices.data(), png.palette.data(), 16};
    ASSERT_EQ(WritePng((dir / "edited.png").string(), edited, {}), "");
    ASSERT_EQ(std::system((std::string(PNG2TIM_PATH) + " --like " + out.string() + ".tim " + (dir / "edited.png").string() +
                           " " + (dir / "edited.tim").string() + " >/dev/null").c_str()), 0);
    Bytes want = old;
    want[22] = 0x1F;  // CLUT entry 1, after the file and CLUT headers: red
    want[23] = 0x00;
    ASSERT_EQ(timtest::ReadFileBytes(dir / "edited.tim"), want);

    const timtest::ToolRun run = Replace(offset, dir / "edited.tim", dir / "disc.bin");
    EXPECT_EQ(run.code, 0) << run.err;
    ASSERT_EQ(Timscan("-o " + (dir / "again").string() + " " + (dir / "disc.bin").string()).code, 0);
    EXPECT_EQ(timtest::ReadFileBytes(dir / "again" / out.filename().concat(".tim")), want);
}

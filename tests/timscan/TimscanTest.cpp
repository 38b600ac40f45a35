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

#include <sys/wait.h>

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

struct RunResult {
    int code = -1;
    std::string out, err;
};

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes ReadBytes(const fs::path& path) {
    const std::string s = ReadText(path);
    return Bytes(s.begin(), s.end());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

fs::path Folder(const std::string& name) {
    const fs::path folder = fs::path(testing::TempDir()) / ("timscan-" + name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// Runs timscan with `arguments` (paths without spaces or quotes).
RunResult Timscan(const std::string& arguments) {
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    const fs::path out = fs::path(testing::TempDir()) / ("timscan-" + name + ".out");
    const fs::path err = fs::path(testing::TempDir()) / ("timscan-" + name + ".err");
    const int status = std::system((std::string(TIMSCAN_PATH) + " " + arguments + " >" + out.string() + " 2>" +
                                    err.string())
                                       .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
}

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
            Bytes b = ReadBytes(entry.path());
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
    WriteBytes(dir / "blob.bin", Plant(tims, 40u << 20, 11, planted));
    ASSERT_EQ(planted.size(), tims.size());

    const RunResult run = Timscan("--json --png -o " + (dir / "out").string() + " " + (dir / "blob.bin").string());
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
        EXPECT_EQ(ReadBytes(stem + ".tim"), p.bytes);
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
    WriteBytes(dir / "garbage.bin", garbage);
    WriteBytes(dir / "random.bin", timtest::Noise(16u << 20, 99));
    Bytes cut = timtest::Noise(50000, 4);
    const Bytes tim = timtest::MakeTim(2, std::nullopt, timtest::Block(64, 64));
    std::copy(tim.begin(), tim.end() - 100, cut.end() - std::ptrdiff_t(tim.size() - 100));
    WriteBytes(dir / "cut.bin", cut);

    // The program itself, except built with AddressSanitizer: its tables hold
    // records of two u64 (16, 64) and pointers, which read as 4-bit TIMs
    // whose length fields are far short of their rows, and short lengths are
    // allowed.
#if defined(__SANITIZE_ADDRESS__)
    const std::string program, programs = "3";
#else
    const std::string program = std::string(" ") + TIMSCAN_PATH, programs = "4";
#endif
    const RunResult run = Timscan((dir / "garbage.bin").string() + " " + (dir / "random.bin").string() + program +
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
    WriteBytes(tree / "DATA" / "PACK.BIN", Plant(tims, 3u << 20, 5, planted));
    Disc disc;
    disc.iso = dir / "disc.iso";
    for (const Planted& p : planted) disc.tims.push_back({"/DATA/PACK.BIN", p.offset, p.bytes.size(), 0});
    for (size_t i = 0; i < 3; ++i) {
        const std::string name = "LOOSE" + std::to_string(i) + ".TIM";
        WriteBytes(tree / name, tims[i * 7].bytes);
        disc.tims.push_back({"/" + name, 0, tims[i * 7].bytes.size(), 0});
    }
    const std::string command = "genisoimage -quiet -o " + disc.iso.string() + " " + tree.string();
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return disc;
}

// The extents of the disc's files, found the way a reader would: by looking
// for each file's bytes in the image at sector starts.
void Locate(Disc& disc, const fs::path& tree) {
    const Bytes image = ReadBytes(disc.iso);
    for (Disc::Expected& e : disc.tims) {
        const Bytes file = ReadBytes(tree / e.path.substr(1));
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
    const Bytes cooked = ReadBytes(disc.iso);
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
    WriteBytes(dir / "disc.bin", raw);
    std::ofstream(dir / "disc.cue") << "REM made by a test\n  FILE \"disc.bin\" BINARY\n    TRACK 1 MODE2/2352\n"
                                       "      INDEX 1 00:00:00\n";

    // The cooked image: offsets are data addresses.
    {
        SCOPED_TRACE("cooked");
        const RunResult run = Timscan("--json " + disc.iso.string());
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
        const RunResult run = Timscan("--json " + (dir / input).string());
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
    const RunResult plain = Timscan((dir / "disc.cue").string());
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
    WriteBytes(dir / "tracks" / "data.bin", raw);
    Bytes audio;
    for (int i = 0; i < 4; ++i) disctest::AppendAudio(audio, 0x10);
    std::copy(tim.begin(), tim.end(), audio.begin() + 10);  // in an audio track: never read
    WriteBytes(dir / "tracks" / "audio.bin", audio);
    Bytes cooked2 = timtest::Noise(8 * 2048, 13);
    std::copy(tim.begin(), tim.end(), cooked2.begin() + 4097);
    WriteBytes(dir / "tracks" / "data.iso", cooked2);
    std::ofstream(dir / "game.cue") << "REM DISCID 12345678\r\nFILE \"tracks/data.bin\" BINARY\r\n"
                                       "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
                                       "FILE \"tracks/audio.bin\" BINARY\r\n  TRACK 2 AUDIO\r\n    PREGAP 00:02:00\r\n"
                                       "    INDEX 00 00:00:00\r\n    INDEX 01 00:00:02\r\n"
                                       "FILE tracks/missing.bin BINARY\r\n TRACK 03 MODE2/2352\r\n  INDEX 01 00:00:00\r\n"
                                       "FILE \"tracks/data.iso\" BINARY\r\n\tTRACK 04 MODE1/2048\r\n\tINDEX 01 00:00:00\r\n";
    // A raw image whose length is not a multiple of 2352, and a missing input.
    Bytes odd = raw;
    odd.resize(odd.size() - 300);
    WriteBytes(dir / "odd.bin", odd);

    const RunResult run = Timscan("--json " + (dir / "game.cue").string() + " " + (dir / "nothere.bin").string() + " " +
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
    WriteBytes(dir / "a.bin", data);
    WriteBytes(dir / "file", Bytes{1});
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
        const RunResult run = Timscan(c.arguments);
        EXPECT_EQ(run.code, c.code) << c.what << "\n" << run.err;
        EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << c.what << "\n" << run.out << run.err;
    }
    // -o into a folder made on the way, no temporary file left.
    const RunResult run = Timscan("-o " + (dir / "x" / "y").string() + " " + (dir / "a.bin").string());
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(ReadBytes(dir / "x" / "y" / "a.bin@333.tim"), tim);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "x" / "y"), fs::directory_iterator()), 1);
}

namespace {

// A raw image of `count` sectors of `kind` from LBA `lba`, random user data
// with `tim` at user byte `at`; or, without a kind, random bytes with it.
Bytes ImageWith(std::optional<cd::SectorKind> kind, size_t count, int64_t lba, const Bytes& tim, size_t at) {
    const size_t userSize = kind == cd::SectorKind::Mode2Form2 ? cd::kForm2UserSize : cd::kDataSectorSize;
    Bytes user = timtest::Noise(count * userSize, uint32_t(count + at));
    std::copy(tim.begin(), tim.end(), user.begin() + std::ptrdiff_t(at));
    if (!kind) return user;
    Bytes raw;
    disctest::AppendSectors(raw, *kind, lba, user);
    return raw;
}

// The file offset of user byte `position` of a raw image of `kind`: the test's
// own reckoning, apart from the program's.
uint64_t UserByteOffset(std::optional<cd::SectorKind> kind, uint64_t position) {
    if (!kind) return position;
    const uint64_t userSize = *kind == cd::SectorKind::Mode2Form2 ? cd::kForm2UserSize : cd::kDataSectorSize;
    return disctest::RawOffset(position / userSize, *kind, position % userSize);
}

Bytes WithPixelsOf(const Bytes& tim, uint32_t seed) {
    Bytes other = tim;
    const Bytes noise = timtest::Noise(tim.size(), seed);
    std::copy(noise.begin() + 20, noise.end(), other.begin() + 20);  // past the headers of a TIM without a CLUT
    return other;
}

}  // namespace

// A TIM put back in a plain file and through the user data of Mode 2 Form 1,
// Mode 1 and Form 2 sectors (three of them): the TIM's bytes are the new
// ones, each changed sector's checks made right by the disc room, and every
// other byte (sectors not changed, with placeholder checks, a Form 2 sector's
// zero EDC) as it was; the listing then finds the new TIM there.
TEST(TimscanReplace, WritesTheTimThroughTheSectorsItSpans) {
    const fs::path dir = Folder("replace");
    const Bytes old = timtest::MakeTim(2, std::nullopt, timtest::Block(64, 24, timtest::Noise(3072, 21)));
    ASSERT_EQ(old.size(), 3092u);
    Bytes firstAndLast = old;  // one pixel byte in the first sector and one in the third
    firstAndLast[30] ^= 0x55;
    firstAndLast.back() ^= 0x55;
    using K = cd::SectorKind;
    const struct {
        const char* what;
        std::optional<K> kind;
        size_t at;  // of the TIM, in the user data
        Bytes now;
        bool placeholders, zeroEdc;
        std::string sectors;  // the summary's end
    } cases[] = {
        {"plain file", std::nullopt, 5001, WithPixelsOf(old, 1), false, false, ""},
        {"Form 1", K::Mode2Form1, 2048 + 2000, WithPixelsOf(old, 2), false, false,
         " in sectors 21-23 (3 sectors, EDC/ECC recomputed)"},
        {"Form 1, placeholder checks, middle sector unchanged", K::Mode2Form1, 2048 + 2000, firstAndLast, true,
         false, " in sectors 21, 23 (2 sectors, EDC/ECC recomputed)"},
        {"Mode 1", K::Mode1, 2048 + 2000, WithPixelsOf(old, 3), false, false,
         " in sectors 21-23 (3 sectors, EDC/ECC recomputed)"},
        {"Form 2 with an EDC", K::Mode2Form2, 2324 + 2300, WithPixelsOf(old, 4), false, false,
         " in sectors 21-23 (3 sectors, EDC recomputed)"},
        {"Form 2 without an EDC", K::Mode2Form2, 2324 + 2300, WithPixelsOf(old, 5), false, true,
         " in sectors 21-23 (3 sectors, zero EDC left zero)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image = ImageWith(c.kind, 5, 20, old, c.at);
        const size_t sectors = c.kind ? image.size() / cd::kRawSectorSize : 0;
        const size_t checksAt = c.kind == K::Mode1 ? 2064 : c.kind == K::Mode2Form1 ? 2072 : 2348;
        for (size_t s = 0; s < sectors; ++s) {
            uint8_t* checks = image.data() + s * cd::kRawSectorSize + checksAt;
            if (c.zeroEdc) std::fill(checks, checks + 4, 0);
            if (c.placeholders) std::fill(checks, image.data() + (s + 1) * cd::kRawSectorSize, uint8_t(1 + s % 2));
        }
        // What the image must hold afterwards, reckoned here.
        Bytes expected = image;
        std::set<size_t> changed;
        size_t changedBytes = 0;
        for (size_t i = 0; i < old.size(); ++i) {
            const uint64_t at = UserByteOffset(c.kind, c.at + i);
            ASSERT_EQ(expected[at], old[i]);
            expected[at] = c.now[i];
            if (old[i] != c.now[i]) {
                ++changedBytes;
                changed.insert(size_t(at / cd::kRawSectorSize));
            }
        }
        for (const size_t s : changed) {
            if (c.kind) {
                ASSERT_TRUE(cd::UpdateSectorChecks(expected.data() + s * cd::kRawSectorSize));
            }
        }
        const fs::path path = dir / "image.bin";
        WriteBytes(path, image);
        WriteBytes(dir / "new.tim", c.now);
        const uint64_t offset = UserByteOffset(c.kind, c.at);

        const RunResult run = Timscan("--replace " + std::to_string(offset) + " " + (dir / "new.tim").string() +
                                      " " + path.string());
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(run.out, path.string() + "@" + std::to_string(offset) + ": replaced 3092 bytes (" +
                               std::to_string(changedBytes) + " changed)" + c.sectors + "\n");
        const Bytes after = ReadBytes(path);
        ASSERT_EQ(after.size(), image.size());
        EXPECT_TRUE(after == expected) << "bytes differ from the expected ones";
        for (const size_t s : changed) {
            const uint8_t* sector = after.data() + s * cd::kRawSectorSize;
            if (!c.kind) break;
            EXPECT_TRUE(cd::SectorChecksMatch(sector)) << "sector " << s;
            if (c.zeroEdc) {
                EXPECT_EQ(std::count(sector + 2348, sector + 2352, 0), 4) << "sector " << s;
            }
        }
        if (c.placeholders) {
            EXPECT_FALSE(cd::SectorChecksMatch(after.data() + 2 * cd::kRawSectorSize))
                << "the sector with no change keeps its placeholder checks";
        }

        // The listing finds the new TIM where the old one was.
        const RunResult list = Timscan("-o " + (dir / "out").string() + " " + path.string());
        EXPECT_EQ(ReadBytes(dir / "out" / ("image.bin@" + std::to_string(offset) + ".tim")), c.now) << list.out;
        fs::remove_all(dir / "out");

        // Again: nothing left to change, nothing written.
        const RunResult again = Timscan("--replace " + std::to_string(offset) + " " + (dir / "new.tim").string() +
                                        " " + path.string());
        EXPECT_EQ(again.code, 0);
        EXPECT_NE(again.out.find("holds the TIM's own bytes; nothing written"), std::string::npos) << again.out;
    }
}

// Every refusal leaves the image as it was and says why, naming the field
// of the layout that differs.
TEST(TimscanReplace, RefusalsLeaveTheImageUntouched) {
    const fs::path dir = Folder("replace-refused");
    using timtest::Block;
    const Bytes clut16 = timtest::Noise(32, 1), clut256 = timtest::Noise(512, 2);
    const Bytes old = timtest::MakeTim(0, Block(16, 1, clut16), Block(8, 16));  // 4-bit, 32 x 16
    const Bytes image = ImageWith(cd::SectorKind::Mode2Form1, 3, 0, old, 2048 - 100);
    const uint64_t offset = UserByteOffset(cd::SectorKind::Mode2Form1, 2048 - 100);
    const fs::path path = dir / "image.bin";
    WriteBytes(dir / "not-a-tim.tim", timtest::Noise(320, 3));
    fs::create_directories(dir / "folder");
    const std::string at = std::to_string(offset) + " ";
    const struct {
        const char* what;
        Bytes now;  // written as new.tim when not empty
        std::string arguments;
        int code;
        std::string message;
    } cases[] = {
        {"format", timtest::MakeTim(1, Block(256, 1, clut256), Block(8, 16)), at + "NEW", 1,
         "new.tim has another layout: format 8-bit, not 4-bit; width 16, not 32; CLUT size 256 x 1, not 16 x 1; "
         "length 800 bytes, not 320 bytes"},
        {"width", timtest::MakeTim(0, Block(16, 1, clut16), Block(16, 8)), at + "NEW", 1,
         "another layout: width 64, not 32; height 8, not 16"},
        {"height", timtest::MakeTim(0, Block(16, 1, clut16), Block(8, 15)), at + "NEW", 1,
         "another layout: height 15, not 16; length 304 bytes, not 320 bytes"},
        {"CLUT size", timtest::MakeTim(0, Block(16, 2, timtest::Noise(64, 4)), Block(8, 16)), at + "NEW", 1,
         "another layout: CLUT size 16 x 2, not 16 x 1; length 352 bytes"},
        {"length", timtest::MakeTim(0, Block(16, 1, clut16), Block(8, 16, Bytes(258, 9), 12 + 258)), at + "NEW", 1,
         "another layout: length 322 bytes, not 320 bytes"},
        {"no TIM there", timtest::MakeTim(0, Block(16, 1, clut16), Block(8, 16, Bytes(256, 9))),
         std::to_string(offset - 1) + " NEW", 1, "@" + std::to_string(offset - 1) +
         ": not replaced: no TIM starts there"},
        {"inside a TIM", timtest::MakeTim(0, Block(16, 1, clut16), Block(8, 16, Bytes(256, 9))),
         std::to_string(offset + 200) + " NEW", 1,
         "the offset is inside the TIM at " + path.string() + "@" + std::to_string(offset) + " (320 bytes)"},
        {"NEW refused by the decoder", {}, at + (dir / "not-a-tim.tim").string(), 1,
         "not-a-tim.tim is refused: not a TIM file"},
        {"NEW outside the frame buffer", timtest::MakeTim(0, Block(16, 1, clut16, std::nullopt, 1024), Block(8, 16)),
         at + "NEW", 1, "new.tim is refused: not a TIM: a block lies outside"},
        {"offset not a number", {}, "0x10 NEW", 2, "needs an offset in bytes as the listing gives it, not 0x10"},
        {"NEW missing", {}, at + (dir / "missing.tim").string(), 3, "missing.tim: file not found"},
        {"NEW a folder", {}, at + (dir / "folder").string(), 7, "is a folder, not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(path, image);
        if (!c.now.empty()) WriteBytes(dir / "new.tim", c.now);
        std::string arguments = c.arguments;
        if (const size_t n = arguments.find("NEW"); n != std::string::npos)
            arguments.replace(n, 3, (dir / "new.tim").string());
        const RunResult run = Timscan("--replace " + arguments + " " + path.string());
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(ReadBytes(path) == image) << "the image changed";
    }
    // The image itself: a folder, a CUE sheet.
    WriteBytes(dir / "new.tim", timtest::MakeTim(0, Block(16, 1, clut16), Block(8, 16, Bytes(256, 9))));
    const RunResult folder = Timscan("--replace 0 " + (dir / "new.tim").string() + " " + (dir / "folder").string());
    EXPECT_EQ(folder.code, 7) << folder.err;
    std::ofstream(dir / "disc.cue") << "FILE \"image.bin\" BINARY\n  TRACK 1 MODE2/2352\n    INDEX 1 00:00:00\n";
    const RunResult cue = Timscan("--replace " + at + (dir / "new.tim").string() + " " + (dir / "disc.cue").string());
    EXPECT_EQ(cue.code, 2) << cue.err;
    EXPECT_NE(cue.err.find("is a CUE sheet: --replace takes the image file its listing names"), std::string::npos);
}

// The translator's road on a disc: the TIM and its picture out, one palette
// colour edited in a program that drops the TIM chunk, png2tim like the TIM
// taken out, put back, and taken out again: the edited TIM.
TEST(TimscanReplace, RoundTripThroughPng2Tim) {
    const fs::path dir = Folder("replace-round");
    const Bytes old = timtest::MakeTim(
        0, timtest::Block(16, 1, timtest::Colours({0, 0x1234, 0x2345, 0x3456, 0x4567, 0x5678, 0x6789, 0x789A, 0x0101,
                                                   0x0202, 0x0303, 0x0404, 0x0505, 0x0606, 0x0707, 0x0808})),
        timtest::Block(8, 16, timtest::Noise(256, 5)));
    const Bytes image = ImageWith(cd::SectorKind::Mode2Form1, 3, 0, old, 2048 - 100);
    const uint64_t offset = UserByteOffset(cd::SectorKind::Mode2Form1, 2048 - 100);
    WriteBytes(dir / "disc.bin", image);
    const std::string stem = "disc.bin@" + std::to_string(offset);

    ASSERT_EQ(Timscan("--png -o " + (dir / "out").string() + " " + (dir / "disc.bin").string()).code, 0);
    ASSERT_EQ(ReadBytes(dir / "out" / (stem + ".tim")), old);
    PngInput png;
    std::string why;
    ASSERT_EQ(ReadPngFile((dir / "out" / (stem + ".png")).string(), png, why), PngReadResult::Read) << why;
    ASSERT_TRUE(png.indexed);
    png.palette[1] = 0xFFFF0000u;  // opaque red
    PngPicture edited;
    edited.width = png.width;
    edited.height = png.height;
    edited.indices = png.indices.data();
    edited.palette = png.palette.data();
    edited.paletteSize = 16;
    ASSERT_EQ(WritePng((dir / "edited.png").string(), edited, {}), "");
    const std::string png2tim = std::string(PNG2TIM_PATH) + " --like " + (dir / "out" / (stem + ".tim")).string() +
                                " " + (dir / "edited.png").string() + " " + (dir / "edited.tim").string() + " >/dev/null";
    ASSERT_EQ(std::system(png2tim.c_str()), 0) << png2tim;
    Bytes want = old;
    want[22] = 0x1F;  // CLUT entry 1, after the file and CLUT headers: red, 0x001F
    want[23] = 0x00;
    ASSERT_EQ(ReadBytes(dir / "edited.tim"), want);

    const RunResult run = Timscan("--replace " + std::to_string(offset) + " " + (dir / "edited.tim").string() + " " +
                                  (dir / "disc.bin").string());
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find(": replaced 320 bytes (2 changed) in sector 0 (1 sector, EDC/ECC recomputed)"),
              std::string::npos)
        << run.out;
    ASSERT_EQ(Timscan("-o " + (dir / "again").string() + " " + (dir / "disc.bin").string()).code, 0);
    EXPECT_EQ(ReadBytes(dir / "again" / (stem + ".tim")), want);
}

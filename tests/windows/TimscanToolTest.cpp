// timscan.exe run as a user runs it: a raw image and its CUE sheet under a
// name with a space (the tests' Wine runs with LC_ALL=C, which makes no file
// names beyond ASCII), a TIM across sectors found at its file offset, written
// byte for byte, a missing input skipped with its exit code.
#include "ChildProcess.h"
#include "DiscBuilder.h"
#include "TimBuilder.h"
#include "WinTestSupport.h"

#include <fstream>
#include <string>
#include <vector>

using namespace wintest;

namespace {

const std::wstring kTimscan = ProgramFolder() + L"\\timscan.exe";


bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(TimscanTool, RawImageThroughItsCueSheet) {
    TempDir dir;
    // A TIM from byte 1500 of the second Form 1 sector, across three sectors;
    // then a Form 2 sector and a TIM that a Form 2 sector cuts (never found).
    const timtest::Bytes tim = timtest::MakeTim(2, std::nullopt, timtest::Block(64, 40, timtest::Noise(5120, 1)));
    timtest::Bytes user = timtest::Noise(5 * 2048, 2);
    std::copy(tim.begin(), tim.end(), user.begin() + 2048 + 1500);
    timtest::Bytes raw;
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form1, 0, user);
    timtest::Bytes cut = timtest::Noise(2048, 3);
    std::copy(tim.begin(), tim.begin() + 1000, cut.end() - 1000);
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form1, 5, cut);
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form2, 6, timtest::Noise(2324, 4));
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form1, 7, timtest::Bytes(tim.begin() + 1000, tim.end()));
    const std::wstring bin = dir.Write(L"disc one.bin", raw);
    const std::string sheet = "REM x\r\nFILE \"disc one.bin\" BINARY\r\n  TRACK 1 MODE2/2352\r\n    INDEX 1 00:00:00\r\n";
    const std::wstring cue = dir.Write(L"disc.cue", std::vector<uint8_t>(sheet.begin(), sheet.end()));
    const uint64_t offset = disctest::RawOffset(1, cd::SectorKind::Mode2Form1, 1500);

    const std::wstring out = dir.PathOf(L"out");
    const RunResult run = RunProgram(kTimscan, {L"--json", L"-o", out, cue, dir.PathOf(L"missing.bin")});
    EXPECT_EQ(run.exitCode, 3u) << run.output;
    EXPECT_TRUE(Contains(run.output, "disc one.bin\",\"offset\":" + std::to_string(offset) +
                                         ",\"bytes\":" + std::to_string(tim.size()) + ",\"sector\":1,\"bpp\":16,"
                                         "\"width\":64,\"height\":40,\"palettes\":0}"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "missing.bin: file not found")) << run.output;
    EXPECT_TRUE(Contains(run.output, "timscan: 1 TIM in 2 files")) << run.output;
    const std::wstring written = out + L"\\disc one.bin@" + std::to_wstring(offset) + L".tim";
    EXPECT_EQ(ReadAll(written), tim);
    EXPECT_TRUE(DeleteFileW(written.c_str()));
    EXPECT_TRUE(RemoveDirectoryW(out.c_str())) << "nothing else was left in the folder";

    // --png: the picture beside the TIM.
    const std::wstring pictures = dir.PathOf(L"pictures");
    const RunResult png = RunProgram(kTimscan, {L"--png", L"-o", pictures, bin});
    const std::wstring picture = pictures + L"\\disc one.bin@" + std::to_wstring(offset) + L".png";
    EXPECT_EQ(png.exitCode, 0u) << png.output;
    const std::vector<uint8_t> pngBytes = ReadAll(picture);
    EXPECT_TRUE(pngBytes.size() > 8 && pngBytes[1] == 'P' && pngBytes[2] == 'N' && pngBytes[3] == 'G') << png.output;
    DeleteFileW(picture.c_str());
    DeleteFileW((pictures + L"\\disc one.bin@" + std::to_wstring(offset) + L".tim").c_str());
    RemoveDirectoryW(pictures.c_str());
}

// --replace on a raw image under a name with a space: the TIM's user bytes
// and the changed sectors' checks written in place, every other byte kept.
TEST(TimscanTool, ReplacesATimInARawImage) {
    TempDir dir;
    const timtest::Bytes old = timtest::MakeTim(2, std::nullopt, timtest::Block(64, 40, timtest::Noise(5120, 1)));
    timtest::Bytes now = old;
    for (size_t i = 20; i < now.size(); i += 7) now[i] ^= 0x5A;
    timtest::Bytes user = timtest::Noise(5 * 2048, 2);
    std::copy(old.begin(), old.end(), user.begin() + 2048 + 1500);
    timtest::Bytes raw;
    disctest::AppendSectors(raw, cd::SectorKind::Mode2Form1, 0, user);
    // Expected: the new bytes in the user data of sectors 1-4, their checks made again.
    std::copy(now.begin(), now.end(), user.begin() + 2048 + 1500);
    timtest::Bytes expected;
    disctest::AppendSectors(expected, cd::SectorKind::Mode2Form1, 0, user);
    const std::wstring bin = dir.Write(L"disc one.bin", raw);
    const std::wstring tim = dir.Write(L"new.tim", now);
    const uint64_t offset = disctest::RawOffset(1, cd::SectorKind::Mode2Form1, 1500);

    const RunResult run = RunProgram(kTimscan, {L"--replace", std::to_wstring(offset), tim, bin});
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(Contains(run.output, "disc one.bin@" + std::to_string(offset) + ": replaced 5140 bytes (") &&
                Contains(run.output, " changed) in sectors 1-4 (4 sectors, EDC/ECC recomputed)"))
        << run.output;
    EXPECT_TRUE(ReadAll(bin) == expected);
}

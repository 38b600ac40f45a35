// tim2png.exe and png2tim.exe run as a user runs them: every sample's PNG
// holds its expected picture (read back by Windows' own PNG decoder, not the
// tools' libpng) and turns back into the same TIM, a name beyond ASCII comes
// through whole, and each refusal has its exit code and its one line.
#include "ChildProcess.h"
#include "Conformance.h"
#include "SampleTims.h"
#include "WinTestSupport.h"

#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace wintest;

namespace {

const std::wstring kTim2Png = ProgramFolder() + L"\\tim2png.exe";
const std::wstring kPng2Tim = ProgramFolder() + L"\\png2tim.exe";

std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}


bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A PNG through WIC: whether it is stored indexed, and its pixels as straight
// BGRA, top row first.
struct Png {
    bool read = false, indexed = false;
    UINT width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

Png ReadPng(const std::wstring& path) {
    Png png;
    void* p = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, &p)))
        return png;
    auto factory = Adopt<IWICImagingFactory>(p);
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICBitmapSource> converted;
    GUID format{}, container{};
    if (FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                  decoder.GetAddressOf())) ||
        FAILED(decoder->GetContainerFormat(&container)) || !IsEqualGUID(container, GUID_ContainerFormatPng) ||
        FAILED(decoder->GetFrame(0, frame.GetAddressOf())) || FAILED(frame->GetPixelFormat(&format)) ||
        FAILED(frame->GetSize(&png.width, &png.height)) ||
        FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.Get(), converted.GetAddressOf())))
        return png;
    png.indexed = IsEqualGUID(format, GUID_WICPixelFormat4bppIndexed) || IsEqualGUID(format, GUID_WICPixelFormat8bppIndexed);
    png.pixels.resize(size_t(png.width) * png.height);
    png.read = SUCCEEDED(converted->CopyPixels(nullptr, png.width * 4, UINT(png.pixels.size() * 4),
                                               reinterpret_cast<BYTE*>(png.pixels.data())));
    return png;
}

::testing::AssertionResult IsSamplePicture(const std::wstring& path, const samples::Sample& sample) {
    const Png png = ReadPng(path);
    if (!png.read) return ::testing::AssertionFailure() << "WIC cannot read " << Utf8(path);
    // 4-bit and 8-bit TIMs are written as indexed PNGs at full size.
    const bool indexed = sample.summary.find("-bit indexed") != std::string::npos;
    if (png.indexed != indexed) return ::testing::AssertionFailure() << "stored indexed: " << png.indexed;
    return tim_conformance::MatchesSample(
        sample.name, {png.width, png.height, reinterpret_cast<const uint8_t*>(png.pixels.data()),
                      png.pixels.size() * 4, size_t(png.width) * 4, tim_conformance::RowOrder::TopDown,
                      tim_conformance::PixelLayout::StraightBgra});
}

size_t Lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

class ConverterTools : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        for (const auto& sample : samples::AllSamples()) dir_.Write(Wide(sample.name).c_str(), sample.bytes);
    }
    void TearDown() override {
        // Nothing half-written is left behind by any run.
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(dir_.PathOf(L"~tim*.tmp").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "left " << Utf8(found.cFileName);
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        CoUninitialize();
    }

    std::wstring In(const std::string& name) const { return dir_.PathOf(Wide(name).c_str()); }
    std::wstring Out(const std::wstring& name) {
        const std::wstring path = dir_.PathOf(name.c_str());
        dir_.Track(path);
        return path;
    }
    TempDir dir_;
};

}  // namespace

// Two inputs whose PNGs differ only in case are one file on Windows: the
// second is refused rather than written over the first.
TEST_F(ConverterTools, OutputNamesThatDifferOnlyInCaseAreOneFile) {
    TempDir other(dir_.path() + L"\\", L"other-");
    TempDir pngs(dir_.path() + L"\\", L"png-");
    const std::vector<samples::Sample> all = samples::AllSamples();
    const auto checker = std::find_if(all.begin(), all.end(), [](const auto& s) { return s.name == "checker-16bit.tim"; });
    ASSERT_NE(checker, all.end());
    const std::wstring upper = In(checker->name);
    const std::wstring lower = other.Write(L"CHECKER-16bit.tim", all[0].bytes);
    const std::wstring png = pngs.PathOf(L"checker-16bit.png");
    pngs.Track(png);
    const RunResult r = RunProgram(kTim2Png, {L"-o", pngs.path(), upper, lower});
    EXPECT_EQ(r.exitCode, 1u) << r.output;  // with several inputs: one of them failed
    EXPECT_NE(r.output.find(Utf8(lower) + ": not converted: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("is already the PNG of " + Utf8(upper)), std::string::npos) << r.output;
    EXPECT_TRUE(IsSamplePicture(png, *checker)) << "the first input's picture stays";
}

// One batch over every sample, as a user converts a folder from cmd.exe,
// which leaves the pattern to the program: each drawn sample's PNG is its
// expected picture, the refused one is listed at the end, and png2tim turns
// each PNG back into the sample's own bytes.
TEST_F(ConverterTools, EverySampleBecomesItsPictureAndComesBackByteForByte) {
    TempDir pngs(dir_.path() + L"\\", L"png-");
    const std::vector<samples::Sample> all = samples::AllSamples();
    const RunResult batch = RunProgram(kTim2Png, {L"-o", pngs.path(), In("*.tim")});
    EXPECT_EQ(batch.exitCode, 1u) << batch.output;
    EXPECT_EQ(batch.output.find('\r'), std::string::npos) << "no progress line and no CR: not a terminal";

    size_t refused = 0, back = 0;
    for (const auto& sample : all) {
        SCOPED_TRACE(sample.name);
        const std::wstring png = pngs.PathOf(Wide(sample.name.substr(0, sample.name.size() - 4) + ".png").c_str());
        pngs.Track(png);
        if (!sample.accepted) {
            ++refused;
            EXPECT_FALSE(Exists(png));
            EXPECT_NE(batch.output.find("\n  " + Utf8(In(sample.name)) + ": refused: " + sample.summary + "\n"),
                      std::string::npos)
                << batch.output;
            continue;
        }
        EXPECT_NE(batch.output.find(Utf8(In(sample.name)) + ": " + sample.summary + " -> " + Utf8(png) + "\n"),
                  std::string::npos)
            << batch.output;
        EXPECT_TRUE(IsSamplePicture(png, sample));

        const std::wstring tim = pngs.PathOf(Wide(sample.name).c_str());
        pngs.Track(tim);
        const RunResult r = RunProgram(kPng2Tim, {png, tim});
        EXPECT_EQ(r.exitCode, 0u) << r.output;
        EXPECT_EQ(r.output, Utf8(png) + " -> " + Utf8(tim) + ": " + sample.summary + ", from its TIM chunk\n");
        EXPECT_EQ(ReadAll(tim), sample.bytes);
        back += ReadAll(tim) == sample.bytes;
    }
    EXPECT_EQ(refused, 1u);
    EXPECT_EQ(back + refused, all.size());
    EXPECT_NE(batch.output.find("tim2png: 1 of " + std::to_string(all.size()) + " files failed:"), std::string::npos)
        << batch.output;
}

// Latin, Japanese and a character beyond 16 bits (a surrogate pair): the
// name reaches both programs whole, makes the default output's name, and is
// printed in UTF-8.
TEST_F(ConverterTools, NamesBeyondAsciiComeThroughWhole) {
    const samples::Sample sample = samples::Sprite4BitClut();
    const std::wstring input = dir_.Write(L"Grüße-テスト-😀.tim", sample.bytes);
    const std::wstring png = Out(L"Grüße-テスト-😀.png");
    const RunResult toPng = RunProgram(kTim2Png, {input});
    EXPECT_EQ(toPng.exitCode, 0u) << toPng.output;
    EXPECT_EQ(toPng.output, Utf8(input) + ": " + sample.summary + " -> " + Utf8(png) + "\n");
    EXPECT_TRUE(IsSamplePicture(png, sample));

    const std::wstring tim = Out(L"Zurück-テスト-😀.tim");
    const RunResult toTim = RunProgram(kPng2Tim, {png, tim});
    EXPECT_EQ(toTim.exitCode, 0u) << toTim.output;
    EXPECT_EQ(toTim.output.rfind(Utf8(png) + " -> " + Utf8(tim) + ": ", 0), 0u) << toTim.output;
    EXPECT_EQ(ReadAll(tim), sample.bytes);
}

TEST_F(ConverterTools, EachRefusalHasItsExitCodeAndOneLine) {
    // A thumbnail carries no TIM chunk, as a PNG an editor saved.
    const std::wstring thumbnail = Out(L"thumbnail.png");
    ASSERT_EQ(RunProgram(kTim2Png, {L"--size", L"16", In("checker-16bit.tim"), thumbnail}).exitCode, 0u);
    const std::wstring missing = dir_.PathOf(L"missing.tim");
    const std::wstring noFolder = dir_.PathOf(L"no-such-folder\\out.png");
    const std::wstring notWritten = dir_.PathOf(L"not-written.png");
    const std::wstring notWrittenTim = dir_.PathOf(L"not-written.tim");
    const struct {
        const char* what;
        const std::wstring& program;
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::string line;  // the start of the one line printed
    } cases[] = {
        {"a damaged TIM", kTim2Png, {In("refused-truncated.tim"), notWritten}, 1,
         Utf8(In("refused-truncated.tim")) + ": refused: damaged TIM file: its blocks do not fit the file\n"},
        {"a missing TIM", kTim2Png, {missing, notWritten}, 3, Utf8(missing) + ": file not found\n"},
        {"a pattern that matches nothing", kTim2Png, {In("none-*.tim"), notWritten}, 3,
         Utf8(In("none-*.tim")) + ": "},
        {"a folder", kTim2Png, {dir_.path(), notWritten}, 7, Utf8(dir_.path()) + ": is a folder, not a file; not read\n"},
        {"the null device", kTim2Png, {L"NUL", notWritten}, 7,
         "NUL: not a regular file (a pipe, device or socket); not read\n"},
        {"an output folder missing", kTim2Png, {In("checker-16bit.tim"), noFolder}, 5,
         "tim2png: cannot write " + Utf8(noFolder) + ": its folder does not exist\n"},
        {"a PNG that is a TIM", kPng2Tim, {In("checker-16bit.tim"), notWrittenTim}, 1,
         Utf8(In("checker-16bit.tim")) + ": refused: "},
        {"a PNG without the TIM chunk", kPng2Tim, {thumbnail, notWrittenTim}, 2,
         Utf8(thumbnail) + ": has no TIM chunk (an editor dropped it): the original TIM is needed, as --like ORIGINAL.tim\n"},
        {"a folder as the PNG", kPng2Tim, {dir_.path(), notWrittenTim}, 7,
         Utf8(dir_.path()) + ": is a folder, not a file; not read\n"},
        {"a folder as the original", kPng2Tim, {L"--like", dir_.path(), thumbnail, notWrittenTim}, 7,
         Utf8(dir_.path()) + ": is a folder, not a file; not read\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RunResult r = RunProgram(c.program, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_EQ(r.output.rfind(c.line, 0), 0u) << r.output;
        EXPECT_EQ(Lines(r.output), 1u) << r.output;
        EXPECT_EQ(r.output.find('\r'), std::string::npos) << r.output;
    }
    EXPECT_FALSE(Exists(notWritten));
    EXPECT_FALSE(Exists(notWrittenTim));
}

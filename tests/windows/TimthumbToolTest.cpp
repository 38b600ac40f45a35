// timthumb run as a user runs it: the PNG it writes holds the sample's
// expected picture, through COM after a machine install or straight from the
// DLL, and every failure has its message and exit code.
#include "ChildProcess.h"
#include "Conformance.h"
#include "Guids.h"
#include "SampleTims.h"
#include "WinTestSupport.h"

#include <objbase.h>
#include <propsys.h>
#include <thumbcache.h>
#include <wincodec.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace wintest;

namespace {

std::wstring ProgramPath(const wchar_t* name) {
    return ProgramFolder() + L"\\" + name;
}
const std::wstring kTimthumb = ProgramPath(L"timthumb.exe");
const std::wstring kDll = ProgramPath(L"TimThumbnailHandler.dll");

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// A PNG read back through WIC: its container, stored pixel format and its
// pixels as straight-alpha BGRA, top row first.
struct Png {
    GUID container = {};
    GUID format = {};
    UINT width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

Png ReadPng(const std::wstring& path) {
    Png png;
    void* p = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, &p);
    if (FAILED(hr)) {
        ADD_FAILURE() << "no WIC factory: " << std::hex << hr;
        return png;
    }
    auto factory = Adopt<IWICImagingFactory>(p);
    IWICBitmapDecoder* decoder = nullptr;
    hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                            &decoder);
    if (FAILED(hr)) {
        ADD_FAILURE() << "cannot decode " << Utf8(path) << ": " << std::hex << hr;
        return png;
    }
    auto decoderRef = Adopt<IWICBitmapDecoder>(decoder);
    IWICBitmapFrameDecode* frame = nullptr;
    decoder->GetContainerFormat(&png.container);
    if (FAILED(decoder->GetFrame(0, &frame))) {
        ADD_FAILURE() << "no frame";
        return png;
    }
    auto frameRef = Adopt<IWICBitmapFrameDecode>(frame);
    frame->GetSize(&png.width, &png.height);
    frame->GetPixelFormat(&png.format);
    png.pixels.resize(size_t(png.width) * png.height);
    hr = frame->CopyPixels(nullptr, png.width * 4, UINT(png.pixels.size() * 4),
                           reinterpret_cast<BYTE*>(png.pixels.data()));
    if (FAILED(hr)) ADD_FAILURE() << "CopyPixels: " << std::hex << hr;
    return png;
}

// The PNG holds sample `name`'s expected picture, in 8-bit RGBA.
void ExpectPngIsSample(const std::wstring& pngPath, const std::string& name) {
    const Png png = ReadPng(pngPath);
    EXPECT_TRUE(IsEqualGUID(png.container, GUID_ContainerFormatPng));
    EXPECT_TRUE(IsEqualGUID(png.format, GUID_WICPixelFormat32bppBGRA)) << "8-bit RGBA, alpha kept";
    EXPECT_TRUE(tim_conformance::MatchesSample(
        name, {png.width, png.height, reinterpret_cast<const uint8_t*>(png.pixels.data()), png.pixels.size() * 4,
               size_t(png.width) * 4, tim_conformance::RowOrder::TopDown, tim_conformance::PixelLayout::StraightBgra}));
}

class TimthumbTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        for (const auto& sample : samples::AllSamples()) dir_.Write(Widen(sample.name).c_str(), sample.bytes);
    }
    void TearDown() override { CoUninitialize(); }

    std::wstring In(const std::string& name) const { return dir_.PathOf(Widen(name).c_str()); }
    std::wstring Out(const wchar_t* name) {
        const std::wstring path = dir_.PathOf(name);
        dir_.Track(path);
        return path;
    }
    TempDir dir_;
};

// Installs the handler machine-wide with the registration tool, the one place
// Wine's COM looks, from copies under Program Files (the only place it
// registers from for all users), and removes it again.
class MachineInstall {
public:
    MachineInstall() : dir_(ProgramFilesFolder()) {
        setup_ = CopyInto(dir_, ProgramPath(L"TimThumbnailSetup.exe"));
        CopyInto(dir_, kDll);
        const RunResult r = RunProgram(setup_, {L"install", L"--machine"});
        ok_ = r.exitCode == 0;
        EXPECT_TRUE(ok_) << r.output;
    }
    ~MachineInstall() {
        const RunResult r = RunProgram(setup_, {L"uninstall", L"--machine"});
        EXPECT_EQ(r.exitCode, 0u) << r.output;
    }
    bool ok() const { return ok_; }

private:
    TempDir dir_;
    std::wstring setup_;
    bool ok_ = false;
};

}  // namespace

TEST_F(TimthumbTool, ThroughComEverySampleBecomesAPngOfItsExpectedPicture) {
    MachineInstall install;
    ASSERT_TRUE(install.ok());
    int n = 0;
    for (const auto& sample : samples::AllSamples()) {
        SCOPED_TRACE(sample.name);
        const std::wstring png = Out((L"sample" + std::to_wstring(n++) + L".png").c_str());
        const RunResult r = RunProgram(kTimthumb, {In(sample.name), png});
        if (!sample.accepted) {
            EXPECT_EQ(r.exitCode, 1u) << r.output;
            EXPECT_EQ(r.output, Utf8(In(sample.name)) + ": refused: " + sample.summary + "\n");
            EXPECT_EQ(GetFileAttributesW(png.c_str()), INVALID_FILE_ATTRIBUTES) << "no PNG for a refused file";
            continue;
        }
        EXPECT_EQ(r.exitCode, 0u) << r.output;
        EXPECT_EQ(r.output, Utf8(In(sample.name)) + ": " + sample.summary + " -> " + Utf8(png) + "\n");
        ExpectPngIsSample(png, sample.name);
    }
}

TEST_F(TimthumbTool, DllOptionWorksWithoutRegistrationAndSizeIsOnlyARequest) {
    const std::wstring input = In("checker-16bit.tim");
    const RunResult unregistered = RunProgram(kTimthumb, {input, Out(L"com.png")});
    EXPECT_EQ(unregistered.exitCode, 4u) << unregistered.output;
    EXPECT_TRUE(Contains(unregistered.output, "not registered")) << unregistered.output;

    const std::wstring png = Out(L"direct.png");
    const RunResult direct = RunProgram(kTimthumb, {L"--size", L"32", L"--dll", kDll, input, png});
    EXPECT_EQ(direct.exitCode, 0u) << direct.output;
    EXPECT_TRUE(Contains(direct.output, "64 x 64, 16-bit direct colour")) << direct.output;
    ExpectPngIsSample(png, "checker-16bit");

    // An existing output is replaced.
    const RunResult again = RunProgram(kTimthumb, {L"--dll", kDll, In("sprite-4bit-clut.tim"), png});
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    ExpectPngIsSample(png, "sprite-4bit-clut");
}

TEST_F(TimthumbTool, FailuresHaveTheirOwnMessagesAndExitCodes) {
    const std::wstring kept = dir_.Write(L"kept.png", {'k', 'e', 'e', 'p'});
    const std::wstring empty = dir_.Write(L"empty.tim", {});
    const std::wstring missingFolder = dir_.PathOf(L"no-such-folder\\out.png");
    const std::wstring folder = dir_.PathOf(L"folder");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const struct {
        const char* name;
        std::vector<std::wstring> args;
        DWORD exitCode;
        std::string message;
    } cases[] = {
        {"refused file", {L"--dll", kDll, In("refused-truncated.tim"), kept}, 1,
         ": refused: damaged TIM file: its blocks do not fit the file"},
        {"empty file", {L"--dll", kDll, empty, Out(L"empty.png")}, 1, ": refused: the file is empty"},
        {"missing input", {L"--dll", kDll, dir_.PathOf(L"missing.tim"), Out(L"missing.png")}, 3,
         "missing.tim: file not found"},
        {"input is a folder", {L"--dll", kDll, dir_.path(), Out(L"folder.png")}, 3, "is a folder, not a file"},
        {"output folder missing", {L"--dll", kDll, In("sprite-4bit-clut.tim"), missingFolder}, 5,
         "cannot write " + Utf8(missingFolder) + ": its folder does not exist"},
        {"output is a folder", {L"--dll", kDll, In("sprite-4bit-clut.tim"), folder}, 5, "cannot write"},
        {"DLL missing", {L"--dll", dir_.PathOf(L"none.dll"), In("sprite-4bit-clut.tim"), Out(L"x.png")}, 4,
         "cannot load"},
        {"DLL is no DLL", {L"--dll", In("sprite-4bit-clut.tim"), In("sprite-4bit-clut.tim"), Out(L"y.png")}, 4,
         "not a 64-bit Windows DLL"},
    };
    for (const auto& c : cases) {
        const RunResult r = RunProgram(kTimthumb, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.output;
        EXPECT_TRUE(Contains(r.output, c.message)) << c.name << ": " << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << c.name << ": one line: " << r.output;
    }
    // A refused input leaves an existing output file as it was.
    HANDLE h = CreateFileW(kept.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[8] = {};
    DWORD read = 0;
    ReadFile(h, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(h);
    EXPECT_EQ(std::string(buffer, read), "keep");
    // Nothing half-written is left behind.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(dir_.PathOf(L"*.tmp").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "left " << Utf8(found.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    RemoveDirectoryW(folder.c_str());
}

TEST_F(TimthumbTool, BadArgumentsPrintUsageAndExitWith2) {
    const std::wstring in = In("sprite-4bit-clut.tim"), out = Out(L"args.png");
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {in},
        {in, out, out},
        {L"--size", in, out},
        {L"--size", L"0", in, out},
        {L"--size", L"65536", in, out},
        {L"--size", L"12x", in, out},
        {in, out, L"--dll"},
        {L"--frobnicate", in, out},
        {in, in},
    };
    for (const auto& args : cases) {
        const RunResult r = RunProgram(kTimthumb, args);
        EXPECT_EQ(r.exitCode, 2u) << r.output;
        EXPECT_TRUE(Contains(r.output, "Usage: timthumb [--size N] [--dll PATH] input.tim output.png")) << r.output;
    }
    EXPECT_EQ(GetFileAttributesW(out.c_str()), INVALID_FILE_ATTRIBUTES);
    HANDLE h = CreateFileW(in.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<uint8_t> bytes(65536);
    DWORD read = 0;
    ReadFile(h, bytes.data(), DWORD(bytes.size()), &read, nullptr);
    CloseHandle(h);
    bytes.resize(read);
    EXPECT_EQ(bytes, samples::Sprite4BitClut().bytes) << "the input is never overwritten";

    const RunResult help = RunProgram(kTimthumb, {L"--help"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_TRUE(Contains(help.output, "Exit codes: 0 thumbnail written, 1 the handler refused the file")) << help.output;
}

// The built DLL itself: what it exports and imports, its version resource,
// and the two exports driven through LoadLibrary as a host would, down to
// each sample's expected picture. Built for every processor, each against
// the DLL of its own; the first three checks also for the image codec's DLL.
#include "CodecGuids.h"
#include "Conformance.h"
#include "Guids.h"
#include "SampleTims.h"
#include "TimBuilder.h"
#include "WinTestSupport.h"

#include <propsys.h>
#include <thumbcache.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <string>

using wintest::Adopt;

namespace {

std::wstring DllPath() {
    return wintest::ProgramFolder() + L"\\" TIM_DLL_NAME;
}

class LoadedDll {
public:
    explicit LoadedDll(const std::wstring& path = DllPath()) : module_(LoadLibraryW(path.c_str())) {}
    ~LoadedDll() {
        if (module_) FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }
    const uint8_t* base() const { return reinterpret_cast<const uint8_t*>(module_); }
    const IMAGE_DATA_DIRECTORY& Directory(int index) const {
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base());
        // This program's own bitness: a PE32 header for the 32-bit DLL.
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base() + dos->e_lfanew);
        return nt->OptionalHeader.DataDirectory[index];
    }
    template <class T>
    T Export(const char* name) const {
        return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

// Each shipped DLL, with the system DLLs it may import and its description.
struct Shipped {
    const wchar_t* name;
    std::set<std::string> imports;
    const wchar_t* description;
};
const Shipped kShipped[] = {
    {TIM_DLL_NAME, {"kernel32.dll", "gdi32.dll", "msvcrt.dll"}, L"Thumbnail handler for PlayStation\u2122 TIM textures"},
    {TIM_CODEC_DLL_NAME, {"kernel32.dll", "ole32.dll", "msvcrt.dll"},
     L"Windows Imaging Component codec and property handler for PlayStation\u2122 TIM textures"},
};

std::wstring PathOf(const Shipped& s) {
    return wintest::ProgramFolder() + L"\\" + s.name;
}

}  // namespace

TEST(ShippedDll, ExportsExactlyTheTwoComFunctions) {
    for (const Shipped& shipped : kShipped) {
        const std::wstring path = PathOf(shipped);
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        LoadedDll dll(path);
        ASSERT_NE(dll.get(), nullptr);
        const auto& dir = dll.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
        ASSERT_NE(dir.VirtualAddress, 0u);
        const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(dll.base() + dir.VirtualAddress);
        const auto* names = reinterpret_cast<const DWORD*>(dll.base() + exports->AddressOfNames);
        std::set<std::string> found;
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            found.insert(reinterpret_cast<const char*>(dll.base() + names[i]));
        EXPECT_EQ(found, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject"}));
        EXPECT_EQ(exports->NumberOfFunctions, 2u) << "no exports by ordinal only";
    }
}

TEST(ShippedDll, ImportsOnlySystemDlls) {
    for (const Shipped& shipped : kShipped) {
        LoadedDll dll(PathOf(shipped));
        ASSERT_NE(dll.get(), nullptr);
        const auto& dir = dll.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
        ASSERT_NE(dir.VirtualAddress, 0u);
        std::set<std::string> imported;
        for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(dll.base() + dir.VirtualAddress); d->Name; ++d)
            imported.insert(Lower(reinterpret_cast<const char*>(dll.base() + d->Name)));
        for (const auto& name : imported) EXPECT_TRUE(shipped.imports.count(name)) << "imports " << name;
        EXPECT_EQ(imported.size(), shipped.imports.size());
    }
}

TEST(ShippedDll, VersionResourceCarriesTheDescriptionAndVersion) {
    for (const Shipped& shipped : kShipped) {
        const std::wstring path = PathOf(shipped);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0u);
        std::vector<uint8_t> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

        wchar_t* description = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                                   reinterpret_cast<void**>(&description), &length));
        EXPECT_EQ(std::wstring(description), shipped.description);
        wchar_t* original = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                                   reinterpret_cast<void**>(&original), &length));
        EXPECT_EQ(std::wstring(original), shipped.name);

        VS_FIXEDFILEINFO* fixed = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), TIM_VERSION_MAJOR);
        EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), TIM_VERSION_MINOR);
        EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), TIM_VERSION_PATCH);
    }
}

TEST(ShippedDll, ExportsDriveAProviderAndReportWhenItMayUnload) {
    LoadedDll dll;
    ASSERT_NE(dll.get(), nullptr);
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    auto getClassObject = dll.Export<GetClassObjectFn>("DllGetClassObject");
    auto canUnload = dll.Export<CanUnloadFn>("DllCanUnloadNow");
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_OK) << "right after loading";

    void* p = nullptr;
    ASSERT_EQ(getClassObject(CLSID_TimThumbnailProvider, kIidClassFactory, &p), S_OK);
    auto factory = Adopt<IClassFactory>(p);
    EXPECT_EQ(canUnload(), S_FALSE);
    ASSERT_EQ(factory->CreateInstance(nullptr, kIidInitializeWithFile, &p), S_OK);
    auto provider = Adopt<IInitializeWithFile>(p);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE);

    wintest::TempDir dir;
    const auto file = dir.Write(L"dll.tim", timtest::MakeTim(2, std::nullopt, timtest::Block{3, 2}));
    ASSERT_EQ(provider->Initialize(file.c_str(), 0), S_OK);
    ASSERT_EQ(provider->QueryInterface(kIidThumbnailProvider, &p), S_OK);
    auto thumb = Adopt<IThumbnailProvider>(p);
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    ASSERT_EQ(thumb->GetThumbnail(96, &bitmap, &alpha), S_OK);
    const auto dib = wintest::ReadDib(bitmap);
    EXPECT_EQ(dib.width, 3);
    EXPECT_EQ(dib.height, 2);
    EXPECT_EQ(dib.pixels, std::vector<uint32_t>(6, 0)) << "TIM colour 0 is transparent";
    DeleteObject(bitmap);
    thumb.Reset();
    provider.Reset();
    EXPECT_EQ(canUnload(), S_OK);
}

// Every sample through the exports as Explorer drives them: the bitmap is the
// sample's expected picture, premultiplied, bottom row first; the damaged
// sample is refused by Initialize.
TEST(ShippedDll, SamplesAreDrawnAsTheirExpectedPictures) {
    LoadedDll dll;
    ASSERT_NE(dll.get(), nullptr);
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = dll.Export<GetClassObjectFn>("DllGetClassObject");
    ASSERT_NE(getClassObject, nullptr);
    void* p = nullptr;
    ASSERT_EQ(getClassObject(CLSID_TimThumbnailProvider, kIidClassFactory, &p), S_OK);
    auto factory = Adopt<IClassFactory>(p);
    wintest::TempDir dir;
    size_t drawn = 0;
    for (const auto& sample : samples::AllSamples()) {
        SCOPED_TRACE(sample.name);
        const auto file = dir.Write(std::wstring(sample.name.begin(), sample.name.end()).c_str(), sample.bytes);
        ASSERT_EQ(factory->CreateInstance(nullptr, kIidInitializeWithFile, &p), S_OK);
        auto provider = Adopt<IInitializeWithFile>(p);
        const HRESULT initialized = provider->Initialize(file.c_str(), 0);
        if (!sample.accepted) {
            EXPECT_EQ(initialized, E_INVALIDARG);
            continue;
        }
        ASSERT_EQ(initialized, S_OK);
        ASSERT_EQ(provider->QueryInterface(kIidThumbnailProvider, &p), S_OK);
        auto thumb = Adopt<IThumbnailProvider>(p);
        HBITMAP bitmap = nullptr;
        WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
        ASSERT_EQ(thumb->GetThumbnail(256, &bitmap, &alpha), S_OK);
        EXPECT_EQ(alpha, WTSAT_ARGB);
        const auto dib = wintest::ReadDib(bitmap);
        DeleteObject(bitmap);
        EXPECT_EQ(dib.bitCount, 32);
        const uint32_t height = uint32_t(dib.height < 0 ? -dib.height : dib.height);
        EXPECT_TRUE(tim_conformance::MatchesSample(
            sample.name, {uint32_t(dib.width), height, reinterpret_cast<const uint8_t*>(dib.pixels.data()),
                          dib.pixels.size() * 4, size_t(dib.width) * 4,
                          dib.height > 0 ? tim_conformance::RowOrder::BottomUp : tim_conformance::RowOrder::TopDown,
                          tim_conformance::PixelLayout::PremultipliedBgra}));
        ++drawn;
    }
    EXPECT_EQ(drawn, 7u);
}

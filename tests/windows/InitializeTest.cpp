// Initialize on real files in a scratch folder.
#include "HandlerFixture.h"
#include "TimBuilder.h"

#include <optional>

using namespace timtest;
using wintest::TempDir;

namespace {

constexpr HRESULT kFileNotFound = HRESULT(0x80070002);
constexpr HRESULT kAlreadyInitialized = HRESULT(0x800704DF);

Bytes SmallTim() {
    return MakeTim(2, std::nullopt, Block{2, 2, Colours({0x7FFF, 0x001F, 0x03E0, 0x7C00})});
}

}  // namespace

TEST_F(HandlerTest, InitializeResults) {
    TempDir dir;
    Bytes nineteen = SmallTim();
    nineteen.resize(19);
    Bytes flags16 = SmallTim();
    flags16[4] = 16;
    struct {
        const char* name;
        std::wstring path;
        HRESULT result;
    } const cases[] = {
        {"valid file", dir.Write(L"ok.tim", SmallTim()), S_OK},
        {"missing path", dir.PathOf(L"missing.tim"), kFileNotFound},
        {"a folder", dir.path(), kFileNotFound},
        {"empty file", dir.Write(L"empty.tim", {}), E_INVALIDARG},
        {"19 bytes", dir.Write(L"nineteen.tim", nineteen), E_INVALIDARG},
        {"flags above 15", dir.Write(L"flags.tim", flags16), E_INVALIDARG},
        {"not a TIM file", dir.Write(L"text.tim", Bytes(100, 'x')), E_INVALIDARG},
    };
    for (const auto& c : cases) {
        auto provider = NewProvider();
        EXPECT_EQ(provider->Initialize(c.path.c_str(), STGM_READ), c.result) << c.name;
    }
}

TEST_F(HandlerTest, SecondInitializeAfterSuccessKeepsTheFirstFile) {
    TempDir dir;
    const std::wstring first = dir.Write(L"first.tim", SmallTim());
    const std::wstring second = dir.Write(L"second.tim", MakeTim(2, std::nullopt, Block{5, 1}));
    auto provider = NewProvider();
    ASSERT_EQ(provider->Initialize(first.c_str(), 0), S_OK);
    EXPECT_EQ(provider->Initialize(second.c_str(), 0), kAlreadyInitialized);
    EXPECT_EQ(provider->Initialize(dir.PathOf(L"missing.tim").c_str(), 0), kAlreadyInitialized);

    auto thumb = ThumbnailFace(provider.Get());
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    ASSERT_EQ(thumb->GetThumbnail(256, &bitmap, &alpha), S_OK);
    const auto dib = wintest::ReadDib(bitmap);
    EXPECT_EQ(dib.width, 2) << "still the first file";
    EXPECT_EQ(dib.height, 2);
    DeleteObject(bitmap);
}

TEST_F(HandlerTest, InitializeAfterFailureIsProcessedNormally) {
    TempDir dir;
    const std::wstring good = dir.Write(L"good.tim", SmallTim());
    auto provider = NewProvider();
    EXPECT_EQ(provider->Initialize(dir.PathOf(L"missing.tim").c_str(), 0), kFileNotFound);
    EXPECT_EQ(provider->Initialize(dir.Write(L"bad.tim", Bytes(40, 0)).c_str(), 0), E_INVALIDARG);
    EXPECT_EQ(provider->Initialize(good.c_str(), 0), S_OK);
}

TEST_F(HandlerTest, DeletedFileStillRendersFromTheView) {
    TempDir dir;
    const std::wstring path = dir.Write(L"doomed.tim", SmallTim());
    auto provider = NewProvider();
    ASSERT_EQ(provider->Initialize(path.c_str(), 0), S_OK);
    // The handle is closed and the file shared for deletion: it can go away
    // while the provider still holds its view.
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    auto thumb = ThumbnailFace(provider.Get());
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    ASSERT_EQ(thumb->GetThumbnail(0, &bitmap, &alpha), S_OK);
    const auto dib = wintest::ReadDib(bitmap);
    ASSERT_EQ(dib.pixels.size(), 4u);
    EXPECT_EQ(dib.pixels[0], 0xFF00FF00u);  // bottom row first: 0x03E0 is green
    DeleteObject(bitmap);
}

namespace {

// The import slot through which the module, linked into this program, calls
// MapViewOfFile. Swapping it lets a test spoil a page of the fresh view before
// Initialize reads it, as a medium failing at that moment would.
extern "C" decltype(&MapViewOfFile) __imp_MapViewOfFile;

decltype(&MapViewOfFile) g_mapViewOfFile = nullptr;
void* g_lastView = nullptr;

LPVOID WINAPI MapViewWithUnreadableThirdPage(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T bytes) {
    void* view = g_mapViewOfFile(mapping, access, high, low, bytes);
    DWORD old = 0;
    if (view && VirtualProtect(static_cast<char*>(view) + 2 * 4096, 4096, PAGE_NOACCESS, &old)) g_lastView = view;
    return view;
}

void SwapImportSlot(decltype(&MapViewOfFile) function) {
    DWORD old = 0;
    VirtualProtect(&__imp_MapViewOfFile, sizeof function, PAGE_READWRITE, &old);
    __imp_MapViewOfFile = function;
    VirtualProtect(&__imp_MapViewOfFile, sizeof function, old, &old);
}

}  // namespace

TEST_F(HandlerTest, ReadFaultDuringTheHeaderWalkFailsLikeAnUnreadableFile) {
    // The image block's header lies on the third page, after a CLUT of 17
    // palettes; the signature and the CLUT header on the first read fine.
    TempDir dir;
    const std::wstring path = dir.Write(
        L"paged.tim", MakeTim(1, Block{256, 17, Noise(256 * 17 * 2, 24)}, Block{2, 2, Noise(8, 25)}));
    auto provider = NewProvider();
    g_mapViewOfFile = __imp_MapViewOfFile;
    SwapImportSlot(MapViewWithUnreadableThirdPage);
    const HRESULT spoiled = provider->Initialize(path.c_str(), 0);
    SwapImportSlot(g_mapViewOfFile);
    ASSERT_NE(g_lastView, nullptr) << "the module did not map through the swapped slot";
    EXPECT_EQ(spoiled, kFileNotFound);
    MEMORY_BASIC_INFORMATION region = {};
    ASSERT_EQ(VirtualQuery(g_lastView, &region, sizeof region), sizeof region);
    EXPECT_EQ(region.State, DWORD(MEM_FREE)) << "the view was left mapped";
    // The same provider, the same file, an intact medium: processed normally.
    EXPECT_EQ(provider->Initialize(path.c_str(), 0), S_OK);
}

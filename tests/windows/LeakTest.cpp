// Ten thousand host rounds through the shipped DLL must leave the process's
// kernel handles, GDI objects, mapped views and private memory where they
// were. Each figure is taken with the documented call where it works and with
// an equivalent measure where Wine leaves the call unimplemented (see docs/testing.md).
#include "DllHost.h"
#include "ProcessCounters.h"
#include "Premultiply.h"
#include "TimBuilder.h"
#include "TimDecode.h"

#include <psapi.h>
#include <winternl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

using namespace timtest;
using namespace wintest;

namespace {

constexpr int kRounds = 10000;
constexpr int kWarmUpRounds = 500;
constexpr int kRefusedEvery = 5;  // one extra round on a refused file per five

// A leaked 32 x 32 bitmap costs 4 KiB of committed memory, 40 MiB over the
// run; a leaked provider or class object at least 64 heap bytes, 625 KiB.
// Allocator noise after the warm-up stays far below both limits.
constexpr int64_t kCommittedSlack = 1 << 20;
constexpr int64_t kHeapSlack = 64 << 10;

// One host round as CoCreateInstance and the thumbnail cache make it: class
// object, provider, Initialize, GetThumbnail, DeleteObject, releases. False on
// any unexpected answer, or if the deleted bitmap still resolves.
bool Round(const wintest::DllHost& dll, const std::wstring& path, bool refused) {
    void* p = nullptr;
    if (dll.GetClassObject()(CLSID_TimThumbnailProvider, kIidClassFactory, &p) != S_OK) return false;
    auto* factory = static_cast<IClassFactory*>(p);
    const bool created = factory->CreateInstance(nullptr, kIidInitializeWithFile, &p) == S_OK;
    bool ok = factory->Release() == 0 && created;
    if (!created) return false;
    auto* init = static_cast<IInitializeWithFile*>(p);
    const HRESULT hr = init->Initialize(path.c_str(), 0);
    if (refused) {
        ok = ok && hr == E_INVALIDARG;
    } else if (hr != S_OK || init->QueryInterface(kIidThumbnailProvider, &p) != S_OK) {
        ok = false;
    } else {
        auto* thumb = static_cast<IThumbnailProvider*>(p);
        HBITMAP bitmap = nullptr;
        WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
        ok = ok && thumb->GetThumbnail(256, &bitmap, &alpha) == S_OK && GetObjectType(bitmap) == OBJ_BITMAP;
        if (bitmap) ok = DeleteObject(bitmap) && GetObjectType(bitmap) == 0 && ok;
        ok = thumb->Release() == 1 && ok;
    }
    return init->Release() == 0 && ok;
}

}  // namespace

TEST(Leaks, TenThousandRoundsLeaveHandlesGdiObjectsViewsAndMemoryWhereTheyWere) {
    wintest::DllHost dll;
    ASSERT_TRUE(dll.ok());
    wintest::TempDir dir;
    // 32 x 32 in every format: each thumbnail is a 4 KiB bitmap.
    const std::wstring files[] = {
        dir.Write(L"l4.tim", MakeTim(0, Block{16, 1, Bytes(32, 0x11)}, Block{8, 32, Bytes(512, 0x97)})),
        dir.Write(L"l8.tim", MakeTim(1, Block{256, 1, Bytes(512, 0x22)}, Block{16, 32, Bytes(1024, 0x5C)})),
        dir.Write(L"l16.tim", MakeTim(2, std::nullopt, Block{32, 32, Bytes(2048, 0x3D)})),
        dir.Write(L"l24.tim", MakeTim(3, std::nullopt, Block{48, 32, Bytes(3072, 0xC4)})),
    };
    const std::wstring refused =
        dir.Write(L"short.tim", [] {
            Bytes v = MakeTim(2, std::nullopt, Block{32, 32});
            v.resize(v.size() - 1);
            return v;
        }());

    int failedRounds = 0;
    auto run = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            failedRounds += !Round(dll, files[i % 4], false);
            if (i % kRefusedEvery == 0) failedRounds += !Round(dll, refused, true);
        }
    };
    run(kWarmUpRounds);
    // Wine keeps no GDI object count; there the free handles stand in for it.
    // The first exhaustion grows GDI's own tables, so it comes before measuring.
    const bool countsGdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS) != 0;
    if (!countsGdi) FreeGdiHandles();
    const Snapshot before = Take();
    const int64_t gdiFreeBefore = countsGdi ? 0 : FreeGdiHandles();

    const auto started = std::chrono::steady_clock::now();
    run(kRounds);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const Snapshot after = Take();
    const int64_t gdiFreeAfter = countsGdi ? 0 : FreeGdiHandles();
    EXPECT_EQ(failedRounds, 0);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    std::printf("[leaks] %d rounds on 32 x 32 thumbnails plus %d on a refused file, in %.1f s (%.0f us a round)\n",
                kRounds, kRounds / kRefusedEvery, seconds, seconds * 1e6 / (kRounds + kRounds / kRefusedEvery));
    Print("GetProcessHandleCount", before.handleCount, after.handleCount);
    Print("handles listed by SystemHandleInformation", before.listedHandles, after.listedHandles);
    Print("GetGuiResources(GR_GDIOBJECTS)", before.gdiObjects, after.gdiObjects);
    if (before.gdiObjects == 0) std::printf("[leaks]   (GetGuiResources: error %lu)\n", before.gdiError);
    if (!countsGdi) Print("free GDI handles", gdiFreeBefore, gdiFreeAfter);
    Print("PrivateUsage", int64_t(before.privateUsage), int64_t(after.privateUsage));
    Print("PagefileUsage", int64_t(before.pagefileUsage), int64_t(after.pagefileUsage));
    Print("committed private bytes (VirtualQuery)", before.committedPrivate, after.committedPrivate);
    Print("mapped views (VirtualQuery)", before.mappedViews, after.mappedViews);
    Print("process heap bytes in use (HeapWalk)", before.heapBusy, after.heapBusy);

    // Handles: the documented count where the system keeps one, else the list.
    if (before.handleCount != 0) {
        EXPECT_EQ(after.handleCount, before.handleCount);
    } else {
        ASSERT_GT(before.listedHandles, 0) << "no way to count this process's handles";
        EXPECT_EQ(after.listedHandles, before.listedHandles);
    }
    // GDI objects: likewise, else the free handles left.
    if (countsGdi) {
        EXPECT_EQ(after.gdiObjects, before.gdiObjects);
    } else {
        ASSERT_GT(gdiFreeBefore, 0) << "no way to count this process's GDI objects";
        EXPECT_EQ(gdiFreeAfter, gdiFreeBefore);
    }
    EXPECT_EQ(after.mappedViews, before.mappedViews);
    EXPECT_LE(after.committedPrivate - before.committedPrivate, kCommittedSlack);
    EXPECT_LE(after.heapBusy - before.heapBusy, kHeapSlack);
    if (before.privateUsage != 0) {
        EXPECT_LE(int64_t(after.privateUsage) - int64_t(before.privateUsage), kCommittedSlack);
    }
}

namespace {

// The folder shared with tests/windows/truncate-mapped-file.sh, as a Wine path
// (drive Z: is the Linux root); empty when the script did not start this run.
std::wstring SharedFolder() {
    const char* unix = std::getenv("TIM_TRUNCATE_DIR");
    if (!unix || !*unix) return {};
    std::wstring path = L"Z:";
    for (const char* c = unix; *c; ++c) path += *c == '/' ? L'\\' : wchar_t(*c);
    return path;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A provider of the DLL initialised on `path`, through its thumbnail face;
// null (with a failure recorded) if any step is refused.
wintest::ComPtr<IThumbnailProvider> InitializedProvider(const wintest::DllHost& dll, const std::wstring& path) {
    auto factory = dll.Factory();
    void* p = nullptr;
    if (!factory || factory->CreateInstance(nullptr, kIidInitializeWithFile, &p) != S_OK) return nullptr;
    auto init = wintest::Adopt<IInitializeWithFile>(p);
    const HRESULT hr = init->Initialize(path.c_str(), 0);
    EXPECT_EQ(hr, S_OK);
    if (hr != S_OK || init->QueryInterface(kIidThumbnailProvider, &p) != S_OK) return nullptr;
    return wintest::Adopt<IThumbnailProvider>(p);
}

}  // namespace

// A medium that fails under a mapped view: the file is cut short from the
// Linux side after Initialize (Wine, like Windows, refuses to truncate a
// mapped file from inside), so the decode reads pages that no longer exist.
TEST(MediumFailure, ReadErrorDuringGetThumbnailFailsTheCallAndLeavesNothingBehind) {
    const std::wstring folder = SharedFolder();
    if (folder.empty()) GTEST_SKIP() << "run by the truncate_mapped_file step, which cuts the file from Linux";
    wintest::DllHost dll;
    ASSERT_TRUE(dll.ok());
    // 16-bit 1024 x 1024: 2 MiB of pixels, cut to its first two pages.
    const Bytes file = MakeTim(2, std::nullopt, Block{1024, 1024, Noise(size_t(1024) * 1024 * 2, 23)});
    const std::wstring doomed = folder + L"\\image.tim", intact = folder + L"\\intact.tim";
    ASSERT_TRUE(wintest::WriteWholeFile(doomed, file));
    ASSERT_TRUE(wintest::WriteWholeFile(intact, file));
    std::vector<uint32_t> expected(size_t(1024) * 1024);
    {
        TimImageInfo info{};
        ASSERT_TRUE(ParseTimHeader(info, file.data(), file.data() + file.size()));
        DecodeTimPixels(info, expected.data());
        PremultiplyPixels(expected.data(), expected.size());
    }
    auto drawIntact = [&] {
        auto thumb = InitializedProvider(dll, intact);
        ASSERT_TRUE(thumb);
        HBITMAP bitmap = nullptr;
        WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
        ASSERT_EQ(thumb->GetThumbnail(256, &bitmap, &alpha), S_OK);
        EXPECT_EQ(wintest::ReadDib(bitmap).pixels, expected);
        DeleteObject(bitmap);
    };
    // Warm up GDI and the heap (see the leak test above), then measure.
    drawIntact();
    FreeGdiHandles();
    const Snapshot before = Take();
    const int64_t gdiFreeBefore = FreeGdiHandles();
    {
        auto thumb = InitializedProvider(dll, doomed);
        ASSERT_TRUE(thumb);

        // Tell the script, and wait until the file is cut.
        HANDLE ready = CreateFileW((folder + L"\\ready").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(ready, INVALID_HANDLE_VALUE);
        CloseHandle(ready);
        for (int i = 0; i < 600 && !Exists(folder + L"\\truncated"); ++i) Sleep(100);
        ASSERT_TRUE(Exists(folder + L"\\truncated")) << "the script did not cut the file within a minute";

        // Twice: the provider stays usable after a read fault.
        for (int call = 0; call < 2; ++call) {
            HBITMAP bitmap = reinterpret_cast<HBITMAP>(uintptr_t(0xBAD));
            WTS_ALPHATYPE alpha = WTSAT_ARGB;
            EXPECT_EQ(thumb->GetThumbnail(256, &bitmap, &alpha), HRESULT(0x8007001E)) << "call " << call;
            EXPECT_EQ(bitmap, nullptr);
            EXPECT_EQ(alpha, WTSAT_UNKNOWN);
        }
    }
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    const Snapshot after = Take();
    const int64_t gdiFreeAfter = FreeGdiHandles();
    Print("handles listed by SystemHandleInformation", before.listedHandles, after.listedHandles);
    Print("free GDI handles", gdiFreeBefore, gdiFreeAfter);
    Print("mapped views (VirtualQuery)", before.mappedViews, after.mappedViews);
    Print("committed private bytes (VirtualQuery)", before.committedPrivate, after.committedPrivate);
    EXPECT_EQ(after.listedHandles, before.listedHandles);
    EXPECT_EQ(gdiFreeAfter, gdiFreeBefore);
    EXPECT_EQ(after.mappedViews, before.mappedViews);
    // A leaked 4 MiB bitmap would show here.
    EXPECT_LE(after.committedPrivate - before.committedPrivate, kCommittedSlack);
    // The next provider, on a file whose medium is fine, draws as ever.
    drawIntact();
    DeleteFileW(doomed.c_str());
    DeleteFileW(intact.c_str());
}

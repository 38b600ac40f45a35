// The class as the shell reaches it: registered machine-wide, created by the
// COM runtime by CLSID, and unloaded by it once everything is released. The
// 32-bit build registers its DLL in the registry's 32-bit view, where the
// runtime of a 32-bit process looks, as TimThumbnailSetup does.
#include "Guids.h"
#include "TimBuilder.h"
#include "WinTestSupport.h"

#include <objbase.h>
#include <propsys.h>
#include <thumbcache.h>

#include <optional>

using wintest::Adopt;

namespace {

const wchar_t kClsidKey[] = L"Software\\Classes\\CLSID";
const wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\" TIM_CLSID_STRING;
#ifdef _WIN64
constexpr REGSAM kView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kView = KEY_WOW64_32KEY;
#endif

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          DWORD((value.size() + 1) * sizeof(wchar_t)));
}

// Wine's HKEY_CLASSES_ROOT does not merge the per-user classes, so the class
// is registered for the machine, and removed again afterwards.
class MachineRegistration {
public:
    MachineRegistration() {
        const std::wstring dll = wintest::ProgramFolder() + L"\\" TIM_DLL_NAME;
        HKEY cls = nullptr, server = nullptr;
        ok_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, nullptr, 0, KEY_WRITE | kView, nullptr, &cls,
                              nullptr) ==
                  ERROR_SUCCESS &&
              SetString(cls, nullptr, L"TIM Thumbnail Provider") == ERROR_SUCCESS &&
              RegCreateKeyExW(cls, L"InprocServer32", 0, nullptr, 0, KEY_WRITE | kView, nullptr, &server, nullptr) ==
                  ERROR_SUCCESS &&
              SetString(server, nullptr, dll) == ERROR_SUCCESS &&
              SetString(server, L"ThreadingModel", L"Apartment") == ERROR_SUCCESS;
        if (server) RegCloseKey(server);
        if (cls) RegCloseKey(cls);
    }
    ~MachineRegistration() {
        HKEY clsid = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClsidKey, 0, KEY_ALL_ACCESS | kView, &clsid) != ERROR_SUCCESS) return;
        RegDeleteTreeW(clsid, TIM_CLSID_STRING);
        RegCloseKey(clsid);
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

}  // namespace

TEST(ComRuntime, CreatesTheProviderByClsidAndUnloadsTheDllAfterwards) {
    MachineRegistration registration;
    ASSERT_TRUE(registration.ok());
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
        void* p = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_TimThumbnailProvider, nullptr, CLSCTX_INPROC_SERVER,
                                   kIidInitializeWithFile, &p),
                  S_OK);
        auto init = Adopt<IInitializeWithFile>(p);
        EXPECT_NE(GetModuleHandleW(TIM_DLL_NAME), nullptr);

        wintest::TempDir dir;
        const auto file = dir.Write(
            L"com.tim", timtest::MakeTim(2, std::nullopt, timtest::Block{2, 1, timtest::Colours({0x001F, 0x8000})}));
        ASSERT_EQ(init->Initialize(file.c_str(), 0), S_OK);
        ASSERT_EQ(init->QueryInterface(kIidThumbnailProvider, &p), S_OK);
        auto thumb = Adopt<IThumbnailProvider>(p);
        HBITMAP bitmap = nullptr;
        WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
        ASSERT_EQ(thumb->GetThumbnail(256, &bitmap, &alpha), S_OK);
        EXPECT_EQ(alpha, WTSAT_ARGB);
        EXPECT_EQ(wintest::ReadDib(bitmap).pixels, (std::vector<uint32_t>{0xFFFF0000, 0xFF000000}));
        DeleteObject(bitmap);
    }
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(GetModuleHandleW(TIM_DLL_NAME), nullptr) << "the runtime unloaded the DLL";
    CoUninitialize();
}

TEST(ComRuntime, UnregisteredClassIsNotFound) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    void* p = reinterpret_cast<void*>(uintptr_t(0xBAD));
    EXPECT_EQ(CoCreateInstance(CLSID_TimThumbnailProvider, nullptr, CLSCTX_INPROC_SERVER, kIidInitializeWithFile, &p),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    CoUninitialize();
}

#pragma once
// The shipped DLL driven as the shell drives it: LoadLibrary beside the test
// program, the two exports, then the class object and its providers.
#include "Guids.h"
#include "WinTestSupport.h"

#include <propsys.h>
#include <thumbcache.h>

namespace wintest {

class DllHost {
public:
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();

    DllHost() : module_(LoadLibraryW((ProgramFolder() + L"\\" TIM_DLL_NAME).c_str())) {
        if (!module_) return;
        getClassObject_ =
            reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        canUnload_ = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    }
    ~DllHost() {
        if (module_) FreeLibrary(module_);
    }
    DllHost(const DllHost&) = delete;
    DllHost& operator=(const DllHost&) = delete;

    bool ok() const { return module_ && getClassObject_ && canUnload_; }
    HRESULT CanUnloadNow() const { return canUnload_(); }
    GetClassObjectFn GetClassObject() const { return getClassObject_; }
    CanUnloadFn CanUnload() const { return canUnload_; }

    // A new class object; null (with a test failure) if the DLL refuses.
    ComPtr<IClassFactory> Factory() const {
        void* p = nullptr;
        EXPECT_EQ(getClassObject_(CLSID_TimThumbnailProvider, kIidClassFactory, &p), S_OK);
        return Adopt<IClassFactory>(p);
    }

private:
    HMODULE module_;
    GetClassObjectFn getClassObject_ = nullptr;
    CanUnloadFn canUnload_ = nullptr;
};

// Replaces the whole content of `path`, creating the file if needed. The
// handle is closed again: Initialize opens the file without write sharing.
// (Overwriting and cutting the file is much cheaper under Wine than
// CREATE_ALWAYS.)
inline bool WriteWholeFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = (bytes.empty() || (WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
                                       written == bytes.size())) &&
                    SetEndOfFile(h);
    CloseHandle(h);
    return ok;
}

}  // namespace wintest

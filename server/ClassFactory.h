#pragma once
#include <windows.h>
#include <unknwn.h>

#include <atomic>

// The class object handed out by DllGetClassObject. It may be shared between
// the host's threads, so its count changes only atomically.
class ClassFactory final : public IClassFactory {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static ClassFactory* Create();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ClassFactory() = default;
    std::atomic<ULONG> refCount{1};
};

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow();
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

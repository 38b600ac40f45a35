#pragma once
#include "ComObject.h"

#include <windows.h>
#include <unknwn.h>

class ClassFactory;
using ClassFactoryBase = ComObject<ClassFactory, AtomicCount, IClassFactory>;

// The class object handed out by DllGetClassObject. It may be shared between
// the host's threads, so its count changes only atomically.
class ClassFactory final : public ClassFactoryBase {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static ClassFactory* Create() { return New(); }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    friend ClassFactoryBase;
    ClassFactory() = default;
    void* Face(REFIID riid);
};

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow();
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

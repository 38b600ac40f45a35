#pragma once
#include "ComObject.h"

#include <windows.h>
#include <unknwn.h>

// The class object handed out by DllGetClassObject.
class ClassFactory final : public ClassObject<ClassFactory> {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static ClassFactory* Create() { return New(); }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;

private:
    friend ComObject<ClassFactory, AtomicCount, IClassFactory>;
    ClassFactory() = default;
};

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow();
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

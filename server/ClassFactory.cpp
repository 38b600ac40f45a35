#include "ClassFactory.h"

#include "Guids.h"
#include "Module.h"
#include "Platform.h"
#include "TimThumbnailProvider.h"

#include <new>

ClassFactory* ClassFactory::Create() {
    void* memory = HeapAllocChecked(GetProcessHeap(), sizeof(ClassFactory));
    if (!memory) return nullptr;
    ClassFactory* factory = new (memory) ClassFactory();
    ModuleAddRef();
    return factory;
}

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (!SameGuid(riid, kIidClassFactory) && !SameGuid(riid, kIidUnknown)) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
    ModuleAddRef();
    return refCount.fetch_add(1) + 1;
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
    const ULONG remaining = refCount.fetch_sub(1) - 1;
    if (remaining == 0) HeapFree(GetProcessHeap(), 0, this);
    ModuleRelease();
    return remaining;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    const bool wantsInitialize = SameGuid(riid, kIidInitializeWithFile);
    if (!wantsInitialize && !SameGuid(riid, kIidThumbnailProvider) && !SameGuid(riid, kIidUnknown))
        return E_NOINTERFACE;
    TimThumbnailProvider* provider = TimThumbnailProvider::Create();
    if (!provider) return E_OUTOFMEMORY;
    // The creation reference is the one handed out: no QueryInterface, no AddRef.
    if (wantsInitialize)
        *ppv = static_cast<IInitializeWithFile*>(provider);
    else
        *ppv = static_cast<IThumbnailProvider*>(provider);
    return S_OK;
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ModuleAddRef();
    else
        ModuleRelease();
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (!SameGuid(rclsid, CLSID_TimThumbnailProvider)) return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = ClassFactory::Create();
    if (!factory) return E_OUTOFMEMORY;
    // On refusal the Release frees the object and restores the module count.
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

#include "ClassFactory.h"

#include "Guids.h"
#include "TimThumbnailProvider.h"

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
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

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!SameGuid(rclsid, CLSID_TimThumbnailProvider)) return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = ClassFactory::Create();
    if (!factory) return E_OUTOFMEMORY;
    // On refusal the Release frees the object and restores the module count.
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

#include "CodecFactory.h"

#include "CodecGuids.h"
#include "Module.h"
#include "Platform.h"
#include "TimPropertyStore.h"
#include "TimWicDecoder.h"

#include <new>

namespace codec {

CodecFactory* CodecFactory::Create(CodecClass which) {
    void* memory = HeapAllocChecked(GetProcessHeap(), sizeof(CodecFactory));
    if (!memory) return nullptr;
    CodecFactory* factory = new (memory) CodecFactory(which);
    ModuleAddRef();
    return factory;
}

STDMETHODIMP CodecFactory::QueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (!SameGuid(riid, kIidClassFactory) && !SameGuid(riid, kIidUnknown)) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CodecFactory::AddRef() {
    ModuleAddRef();
    return refCount.fetch_add(1) + 1;
}

STDMETHODIMP_(ULONG) CodecFactory::Release() {
    const ULONG remaining = refCount.fetch_sub(1) - 1;
    if (remaining == 0) HeapFree(GetProcessHeap(), 0, this);
    ModuleRelease();
    return remaining;
}

STDMETHODIMP CodecFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IUnknown* object = which == CodecClass::Decoder ? static_cast<IUnknown*>(TimWicDecoder::Create())
                                                    : static_cast<IPropertyStore*>(TimPropertyStore::Create());
    if (!object) return E_OUTOFMEMORY;
    // On refusal the Release frees the object and restores the module count.
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

STDMETHODIMP CodecFactory::LockServer(BOOL lock) {
    if (lock)
        ModuleAddRef();
    else
        ModuleRelease();
    return S_OK;
}

}  // namespace codec

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    using namespace codec;
    *ppv = nullptr;
    CodecClass which;
    if (SameGuid(rclsid, CLSID_TimWicDecoder))
        which = CodecClass::Decoder;
    else if (SameGuid(rclsid, CLSID_TimPropertyHandler))
        which = CodecClass::Properties;
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    CodecFactory* factory = CodecFactory::Create(which);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

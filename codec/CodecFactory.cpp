#include "CodecFactory.h"

#include "CodecGuids.h"
#include "TimPropertyStore.h"
#include "TimWicDecoder.h"

namespace codec {

STDMETHODIMP CodecFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
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

}  // namespace codec

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    using namespace codec;
    if (!ppv) return E_POINTER;
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

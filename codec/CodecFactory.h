#pragma once
// The class objects of the codec DLL: one factory type serving either class.
#include "ComObject.h"

#include <windows.h>
#include <unknwn.h>

namespace codec {

enum class CodecClass { Decoder, Properties };

class CodecFactory final : public ClassObject<CodecFactory> {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static CodecFactory* Create(CodecClass which) { return New(which); }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;

private:
    friend ComObject<CodecFactory, AtomicCount, IClassFactory>;
    explicit CodecFactory(CodecClass w) : which(w) {}

    const CodecClass which;
};

}  // namespace codec

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow();

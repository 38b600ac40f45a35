#pragma once
// The class objects of the codec DLL: one factory type serving either class.
#include <windows.h>
#include <unknwn.h>

#include <atomic>

namespace codec {

enum class CodecClass { Decoder, Properties };

class CodecFactory final : public IClassFactory {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static CodecFactory* Create(CodecClass which);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    explicit CodecFactory(CodecClass w) : which(w) {}
    std::atomic<ULONG> refCount{1};
    const CodecClass which;
};

}  // namespace codec

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow();

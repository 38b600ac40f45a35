#pragma once
// The property handler: what Explorer's Details pane, columns and tooltips
// show of a TIM file. Read-only; initialised from a stream.
#include <windows.h>
#include <propsys.h>

#include <atomic>
#include <cstdint>

namespace codec {

class TimPropertyStore final : public IInitializeWithStream,
                               public IPropertyStore,
                               public IPropertyStoreCapabilities {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static TimPropertyStore* Create();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Initialize(IStream* stream, DWORD mode) override;

    STDMETHODIMP GetCount(DWORD* count) override;
    STDMETHODIMP GetAt(DWORD index, PROPERTYKEY* key) override;
    STDMETHODIMP GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
    STDMETHODIMP SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override;
    STDMETHODIMP Commit() override;

    STDMETHODIMP IsPropertyWritable(REFPROPERTYKEY key) override;

private:
    TimPropertyStore() = default;
    DWORD Count() const;

    std::atomic<ULONG> refCount{1};
    SRWLOCK lock = SRWLOCK_INIT;
    bool initialized = false;
    bool indexed = false;       // 4- or 8-bit: the palette property is shown
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bitDepth = 0;
    uint32_t paletteSize = 0;   // colours per palette; 0 without a CLUT block
    uint32_t palettes = 0;      // whole palettes in the CLUT
};

}  // namespace codec

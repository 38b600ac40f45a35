#pragma once
// The property handler: what Explorer's Details pane, columns and tooltips
// show of a TIM file. Read-only; initialised from a stream.
#include "ComObject.h"

#include <windows.h>
#include <propsys.h>

#include <cstdint>

namespace codec {

class TimPropertyStore;
using TimPropertyStoreBase =
    ComObject<TimPropertyStore, AtomicCount, IInitializeWithStream, IPropertyStore, IPropertyStoreCapabilities>;

class TimPropertyStore final : public TimPropertyStoreBase {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static TimPropertyStore* Create() { return New(); }

    STDMETHODIMP Initialize(IStream* stream, DWORD mode) override;

    STDMETHODIMP GetCount(DWORD* count) override;
    STDMETHODIMP GetAt(DWORD index, PROPERTYKEY* key) override;
    STDMETHODIMP GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
    STDMETHODIMP SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override;
    STDMETHODIMP Commit() override;

    STDMETHODIMP IsPropertyWritable(REFPROPERTYKEY key) override;

private:
    friend TimPropertyStoreBase;
    TimPropertyStore() = default;
    void* Face(REFIID riid);
    DWORD Count() const;

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

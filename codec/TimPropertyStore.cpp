#include "TimPropertyStore.h"

#include "CodecGuids.h"
#include "SlimLock.h"
#include "StreamRead.h"

namespace codec {

namespace {

// HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED).
constexpr HRESULT kAlreadyInitialized = HRESULT(0x800704DF);

// FMTID_ImageSummaryInformation: System.Image.*.
constexpr GUID kImageSummary = {0x6444048f, 0x4c8b, 0x11d1, {0x8b, 0x70, 0x08, 0x00, 0x36, 0xb1, 0x1a, 0x03}};
// FMTID_SummaryInformation: System.Comment, shown in the Details pane and tooltips.
constexpr GUID kSummary = {0xf29f85e0, 0x4ff9, 0x1068, {0xab, 0x91, 0x08, 0x00, 0x2b, 0x27, 0xb3, 0xd9}};

enum Property : DWORD { kDimensions, kHorizontalSize, kVerticalSize, kBitDepth, kComment, kPropertyCount };
constexpr PROPERTYKEY kKeys[kPropertyCount] = {
    {kImageSummary, 13},  // System.Image.Dimensions, "64 x 64"
    {kImageSummary, 3},   // System.Image.HorizontalSize
    {kImageSummary, 4},   // System.Image.VerticalSize
    {kImageSummary, 7},   // System.Image.BitDepth
    {kSummary, 6},        // System.Comment: the palettes of an indexed file
};

bool SameKey(const PROPERTYKEY& a, const PROPERTYKEY& b) {
    return SameGuid(a.fmtid, b.fmtid) && a.pid == b.pid;
}

// Small text builder into a fixed buffer: no allocation, no C runtime.
struct Text {
    wchar_t chars[96];
    size_t length = 0;
    void Add(const wchar_t* s) {
        while (*s && length + 1 < sizeof chars / sizeof chars[0]) chars[length++] = *s++;
        chars[length] = 0;
    }
    void Add(uint32_t n) {
        wchar_t digits[11];
        size_t i = 0;
        do {
            digits[i++] = wchar_t(L'0' + n % 10);
            n /= 10;
        } while (n);
        while (i && length + 1 < sizeof chars / sizeof chars[0]) chars[length++] = digits[--i];
        chars[length] = 0;
    }
};

HRESULT StringValue(const Text& text, PROPVARIANT* value) {
    const size_t bytes = (text.length + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    for (size_t i = 0; i <= text.length; ++i) copy[i] = text.chars[i];
    value->vt = VT_LPWSTR;
    value->pwszVal = copy;
    return S_OK;
}

HRESULT NumberValue(uint32_t n, PROPVARIANT* value) {
    value->vt = VT_UI4;
    value->ulVal = n;
    return S_OK;
}

}  // namespace

void* TimPropertyStore::Face(REFIID riid) {
    if (SameGuid(riid, kIidInitializeWithStream)) return static_cast<IInitializeWithStream*>(this);
    if (SameGuid(riid, kIidPropertyStore) || SameGuid(riid, kIidUnknown)) return static_cast<IPropertyStore*>(this);
    if (SameGuid(riid, kIidPropertyStoreCapabilities)) return static_cast<IPropertyStoreCapabilities*>(this);
    return nullptr;
}

STDMETHODIMP TimPropertyStore::Initialize(IStream* stream, DWORD mode) {
    if (!stream) return E_INVALIDARG;
    // Read-only: a request to open the file for writing is refused.
    if (mode & (STGM_WRITE | STGM_READWRITE)) return STG_E_ACCESSDENIED;
    AcquireSRWLockExclusive(&lock);
    HRESULT hr = kAlreadyInitialized;
    if (!initialized) {
        HeapReader file;
        TimImageInfo info;
        hr = ReadTimStream(stream, file, info, true);  // the headers alone
        if (SUCCEEDED(hr)) {
            width = info.width;
            height = info.height;
            bitDepth = TimBitsPerPixel(info.format);
            indexed = info.format == TimPixelFormat::Indexed4 || info.format == TimPixelFormat::Indexed8;
            paletteSize = info.paletteSize;
            palettes = TimPaletteCount(info);
            initialized = true;
        }
    }
    ReleaseSRWLockExclusive(&lock);
    return hr;
}

DWORD TimPropertyStore::Count() const {
    if (!initialized) return 0;
    return indexed ? kPropertyCount : kComment;
}

STDMETHODIMP TimPropertyStore::GetCount(DWORD* count) {
    if (!count) return E_POINTER;
    SharedHold hold(lock);
    *count = Count();
    return S_OK;
}

STDMETHODIMP TimPropertyStore::GetAt(DWORD index, PROPERTYKEY* key) {
    if (!key) return E_POINTER;
    *key = PROPERTYKEY{};
    SharedHold hold(lock);
    if (index >= Count()) return E_INVALIDARG;
    *key = kKeys[index];
    return S_OK;
}

STDMETHODIMP TimPropertyStore::GetValue(REFPROPERTYKEY key, PROPVARIANT* value) {
    if (!value) return E_POINTER;
    PropVariantInit(value);
    SharedHold hold(lock);
    DWORD which = 0;
    while (which < Count() && !SameKey(key, kKeys[which])) ++which;
    if (which == Count()) return S_OK;  // not a property of this file: empty
    Text text;
    switch (which) {
        case kDimensions:
            text.Add(width);
            text.Add(L" x ");
            text.Add(height);
            return StringValue(text, value);
        case kHorizontalSize: return NumberValue(width, value);
        case kVerticalSize: return NumberValue(height, value);
        case kBitDepth: return NumberValue(bitDepth, value);
        case kComment:
            if (paletteSize == 0) {
                text.Add(L"No palette: drawn in greys");
            } else if (palettes == 0) {
                text.Add(L"Palette shorter than ");
                text.Add(paletteSize);
                text.Add(L" colours");
            } else {
                text.Add(palettes);
                text.Add(palettes == 1 ? L" palette of " : L" palettes of ");
                text.Add(paletteSize);
                text.Add(L" colours");
            }
            return StringValue(text, value);
        default: return S_OK;
    }
}

STDMETHODIMP TimPropertyStore::SetValue(REFPROPERTYKEY, REFPROPVARIANT) {
    return STG_E_ACCESSDENIED;
}

STDMETHODIMP TimPropertyStore::Commit() {
    return STG_E_ACCESSDENIED;
}

STDMETHODIMP TimPropertyStore::IsPropertyWritable(REFPROPERTYKEY) {
    return S_FALSE;
}

}  // namespace codec

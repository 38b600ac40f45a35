#include "TimThumbnailProvider.h"

#include "Guids.h"
#include "Module.h"
#include "Platform.h"
#include "Premultiply.h"
#include "TimDecode.h"

#include <new>

namespace {

// HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED) and (ERROR_FILE_NOT_FOUND).
constexpr HRESULT kAlreadyInitialized = HRESULT(0x800704DF);
constexpr HRESULT kFileNotFound = HRESULT(0x80070002);

// biSizeImage is 32 bits: width * height * 4 must stay below 2^32.
constexpr uint64_t kMaxPixels = uint64_t(1) << 30;

}  // namespace

TimThumbnailProvider* TimThumbnailProvider::Create() {
    void* memory = HeapAllocChecked(GetProcessHeap(), sizeof(TimThumbnailProvider));
    if (!memory) return nullptr;
    TimThumbnailProvider* provider = new (memory) TimThumbnailProvider();
    ModuleAddRef();
    return provider;
}

STDMETHODIMP TimThumbnailProvider::QueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (SameGuid(riid, kIidInitializeWithFile))
        *ppv = static_cast<IInitializeWithFile*>(this);
    else if (SameGuid(riid, kIidThumbnailProvider) || SameGuid(riid, kIidUnknown))
        *ppv = static_cast<IThumbnailProvider*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) TimThumbnailProvider::AddRef() {
    ModuleAddRef();
    return ++refCount;
}

STDMETHODIMP_(ULONG) TimThumbnailProvider::Release() {
    const ULONG remaining = --refCount;
    if (remaining == 0) {
        if (initialized && view) UnmapViewOfFile(view);
        HeapFree(GetProcessHeap(), 0, this);
    }
    ModuleRelease();
    return remaining;
}

STDMETHODIMP TimThumbnailProvider::Initialize(LPCWSTR path, DWORD) {
    if (initialized) return kAlreadyInitialized;

    HANDLE file = OpenFileForRead(path);
    if (!file) return kFileNotFound;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        return kFileNotFound;
    }
    const uint64_t byteCount = uint64_t(size.QuadPart);
    // An empty file cannot be mapped; it has no view and fails the signature check.
    const void* mapped = byteCount ? MapWholeFile(file) : nullptr;
    view = mapped;
    fileSize = byteCount;
    CloseHandle(file);
    if (byteCount && !mapped) return kFileNotFound;

    const auto* start = static_cast<const uint8_t*>(mapped);
    if (CheckTimSignature(start, byteCount) &&
        ParseTimHeader(image, start, start + byteCount)) {
        initialized = 1;
        return S_OK;
    }
    if (mapped) UnmapViewOfFile(mapped);
    view = nullptr;
    return E_INVALIDARG;
}

STDMETHODIMP TimThumbnailProvider::GetThumbnail(UINT, HBITMAP* phbmp, WTS_ALPHATYPE* pdwAlpha) {
    *phbmp = nullptr;
    *pdwAlpha = WTSAT_UNKNOWN;
    // Without a successful Initialize the record holds nothing meaningful.
    if (!initialized) return E_UNEXPECTED;

    const uint32_t width = image.width;
    const uint32_t height = image.height;
    const uint64_t pixelCount = uint64_t(width) * height;
    if (pixelCount == 0 || pixelCount >= kMaxPixels) return E_OUTOFMEMORY;

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = LONG(width);
    info.bmiHeader.biHeight = LONG(height);  // positive: bottom-up rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = DWORD(pixelCount * 4);

    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return E_OUTOFMEMORY;

    auto* pixels = static_cast<uint32_t*>(bits);
    DecodeTimPixels(image, pixels);
    PremultiplyPixels(pixels, size_t(pixelCount));

    *phbmp = bitmap;
    *pdwAlpha = WTSAT_ARGB;
    return S_OK;
}

#include "TimThumbnailProvider.h"

#include "GuardedRead.h"
#include "Guids.h"
#include "Platform.h"
#include "Premultiply.h"
#include "TimDecode.h"

namespace {

// HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED), (ERROR_FILE_NOT_FOUND) and
// (ERROR_READ_FAULT).
constexpr HRESULT kAlreadyInitialized = HRESULT(0x800704DF);
constexpr HRESULT kFileNotFound = HRESULT(0x80070002);
constexpr HRESULT kReadFault = HRESULT(0x8007001E);


// What the guarded reads of the view work on; they report only through it.
struct HeaderWalk {
    TimImageInfo* image;
    const uint8_t* start;
    uint64_t size;
    bool accepted;
};

void WalkHeader(void* context) {
    auto& walk = *static_cast<HeaderWalk*>(context);
    walk.accepted = CheckTimSignature(walk.start, walk.size) &&
                    ParseTimHeader(*walk.image, walk.start, walk.start + walk.size);
}

struct DecodeJob {
    const TimImageInfo* image;
    uint32_t* pixels;
    size_t count;
};

void DecodeAndPremultiply(void* context) {
    const auto& job = *static_cast<const DecodeJob*>(context);
    DecodeTimPixels(*job.image, job.pixels);
    PremultiplyPixels(job.pixels, job.count);
}

}  // namespace

void* TimThumbnailProvider::Face(REFIID riid) {
    if (SameGuid(riid, kIidInitializeWithFile)) return static_cast<IInitializeWithFile*>(this);
    if (SameGuid(riid, kIidThumbnailProvider) || SameGuid(riid, kIidUnknown))
        return static_cast<IThumbnailProvider*>(this);
    return nullptr;
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

    // Every read of the file is a read of the view, and may fault if the
    // medium fails; that is a failure to read the file like any other.
    HeaderWalk walk = {&image, static_cast<const uint8_t*>(mapped), byteCount, false};
    const bool read = GuardedViewRead(WalkHeader, &walk, mapped, size_t(byteCount));
    if (read && walk.accepted) {
        initialized = 1;
        return S_OK;
    }
    if (mapped) UnmapViewOfFile(mapped);
    view = nullptr;
    return read ? E_INVALIDARG : kFileNotFound;
}

STDMETHODIMP TimThumbnailProvider::GetThumbnail(UINT, HBITMAP* phbmp, WTS_ALPHATYPE* pdwAlpha) {
    if (!phbmp || !pdwAlpha) return E_POINTER;
    *phbmp = nullptr;
    *pdwAlpha = WTSAT_UNKNOWN;
    // Without a successful Initialize the record holds nothing meaningful.
    if (!initialized) return E_UNEXPECTED;

    const uint32_t width = image.width;
    const uint32_t height = image.height;
    const uint64_t pixelCount = uint64_t(width) * height;
    if (pixelCount == 0 || pixelCount > kMaxTimPixels) return E_OUTOFMEMORY;

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

    // A read fault leaves the bitmap half written; the provider stays usable
    // and a later call may succeed once the medium is back.
    DecodeJob job = {&image, static_cast<uint32_t*>(bits), size_t(pixelCount)};
    if (!GuardedViewRead(DecodeAndPremultiply, &job, view, size_t(fileSize))) {
        DeleteObject(bitmap);
        return kReadFault;
    }

    *phbmp = bitmap;
    *pdwAlpha = WTSAT_ARGB;
    return S_OK;
}

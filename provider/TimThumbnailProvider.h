#pragma once
#include "ComObject.h"
#include "TimFormat.h"

#include <windows.h>
#include <propsys.h>
#include <thumbcache.h>

#include <cstdint>

// The object the host initialises with a file path and asks for a thumbnail.
// Its two faces share one count. The IThumbnailProvider face is the object's
// IUnknown identity; its QueryInterface/AddRef/Release forward to the
// IInitializeWithFile face (the compiler's this-adjusting thunks do exactly
// that). A provider is used by one thread at a time, so its own count is plain;
// only the module count is atomic.
class TimThumbnailProvider;
using TimThumbnailProviderBase =
    ComObject<TimThumbnailProvider, PlainCount, IInitializeWithFile, IThumbnailProvider>;

class TimThumbnailProvider final : public TimThumbnailProviderBase {
public:
    // Null when memory is short. The memory is not cleared: view, fileSize and
    // image are written by Initialize and read only once it has succeeded.
    static TimThumbnailProvider* Create() { return New(); }

    STDMETHODIMP Initialize(LPCWSTR path, DWORD mode) override;
    STDMETHODIMP GetThumbnail(UINT cx, HBITMAP* phbmp, WTS_ALPHATYPE* pdwAlpha) override;

private:
    friend TimThumbnailProviderBase;
    TimThumbnailProvider() : initialized(0) {}
    ~TimThumbnailProvider() {
        if (initialized && view) UnmapViewOfFile(view);
    }
    void* Face(REFIID riid);

    const void* view;  // null for an empty file
    uint64_t fileSize;
    uint8_t initialized;
    TimImageInfo image;  // points into view
};

#pragma once
// The WIC bitmap decoder for TIM files and its one frame. WIC callers may use
// one decoder from several threads (ThreadingModel Both): counts are atomic,
// the decoder's state is guarded by a slim lock, and a frame never changes
// once made.
#include "ComObject.h"
#include "HeapBlock.h"
#include "StreamRead.h"
#include "TimFormat.h"

#include <windows.h>
#include <wincodec.h>

#include <cstdint>

namespace codec {

class TimWicFrame;
using TimWicFrameBase = ComObject<TimWicFrame, AtomicCount, IWICBitmapFrameDecode>;

class TimWicFrame final : public TimWicFrameBase {
public:
    // Takes the file as read and its record (pointing into it); null when
    // memory is short.
    static TimWicFrame* Create(HeapReader&& file, const TimImageInfo& info) {
        return New(static_cast<HeapReader&&>(file), info);
    }

    STDMETHODIMP GetSize(UINT* width, UINT* height) override;
    STDMETHODIMP GetPixelFormat(WICPixelFormatGUID* format) override;
    STDMETHODIMP GetResolution(double* dpiX, double* dpiY) override;
    STDMETHODIMP CopyPalette(IWICPalette* palette) override;
    STDMETHODIMP CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) override;

    STDMETHODIMP GetMetadataQueryReader(IWICMetadataQueryReader** reader) override;
    STDMETHODIMP GetColorContexts(UINT count, IWICColorContext** contexts, UINT* actualCount) override;
    STDMETHODIMP GetThumbnail(IWICBitmapSource** thumbnail) override;

private:
    friend TimWicFrameBase;
    TimWicFrame(HeapReader&& f, const TimImageInfo& i) : file(static_cast<HeapReader&&>(f)), info(i) {}
    void* Face(REFIID riid);
    // The whole image decoded once, bottom row first, for copies of parts of
    // it; null when memory is short.
    const uint32_t* Decoded();

    const HeapReader file;  // never changes: any thread may decode from it
    const TimImageInfo info;
    SRWLOCK lock = SRWLOCK_INIT;  // guards `decoded`
    HeapBlock decoded;
};

class TimWicDecoder;
using TimWicDecoderBase = ComObject<TimWicDecoder, AtomicCount, IWICBitmapDecoder>;

class TimWicDecoder final : public TimWicDecoderBase {
public:
    // Null when memory is short; otherwise one reference, counted in the module.
    static TimWicDecoder* Create() { return New(); }

    STDMETHODIMP QueryCapability(IStream* stream, DWORD* capability) override;
    STDMETHODIMP Initialize(IStream* stream, WICDecodeOptions options) override;
    STDMETHODIMP GetContainerFormat(GUID* format) override;
    STDMETHODIMP GetDecoderInfo(IWICBitmapDecoderInfo** info) override;
    STDMETHODIMP CopyPalette(IWICPalette* palette) override;
    STDMETHODIMP GetMetadataQueryReader(IWICMetadataQueryReader** reader) override;
    STDMETHODIMP GetPreview(IWICBitmapSource** preview) override;
    STDMETHODIMP GetColorContexts(UINT count, IWICColorContext** contexts, UINT* actualCount) override;
    STDMETHODIMP GetThumbnail(IWICBitmapSource** thumbnail) override;
    STDMETHODIMP GetFrameCount(UINT* count) override;
    STDMETHODIMP GetFrame(UINT index, IWICBitmapFrameDecode** frame) override;

private:
    friend TimWicDecoderBase;
    TimWicDecoder() = default;
    ~TimWicDecoder() {
        if (frame) frame->Release();
    }
    void* Face(REFIID riid);

    SRWLOCK lock = SRWLOCK_INIT;
    TimWicFrame* frame = nullptr;  // set once by a successful Initialize
};

}  // namespace codec

#include "TimWicDecoder.h"

#include "CodecGuids.h"
#include "SlimLock.h"
#include "StreamRead.h"
#include "TimDecode.h"

#include <algorithm>
#include <cstring>

namespace codec {

namespace {

// Reads the file; the frame, or the failure. Pixels are decoded only when
// asked for, straight into the caller's buffer where they can be: fresh
// memory is what costs most here, far more than decoding.
HRESULT ReadFrame(IStream* stream, TimWicFrame*& frame) {
    HeapReader file;
    TimImageInfo info;
    const HRESULT hr = ReadTimStream(stream, file, info);
    if (FAILED(hr)) return hr;
    // Nothing to show: WIC has no bitmap of width or height zero.
    if (uint64_t(info.width) * info.height == 0) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    frame = TimWicFrame::Create(static_cast<HeapReader&&>(file), info);
    return frame ? S_OK : E_OUTOFMEMORY;
}

// What a method that has nothing to hand out answers: E_POINTER without a
// place for the answer, otherwise `none` there and `result`.
template <class T>
HRESULT NothingToHand(T* out, T none, HRESULT result) {
    if (!out) return E_POINTER;
    *out = none;
    return result;
}

// Rows in the opposite order, in place.
void FlipRows(uint32_t* pixels, uint32_t width, uint32_t height) {
    for (uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
        std::swap_ranges(pixels + size_t(top) * width, pixels + size_t(top + 1) * width,
                         pixels + size_t(bottom) * width);
}

}  // namespace

// ---- Frame ----

void* TimWicFrame::Face(REFIID riid) {
    if (SameGuid(riid, kIidWicBitmapFrameDecode) || SameGuid(riid, kIidWicBitmapSource) ||
        SameGuid(riid, kIidUnknown))
        return static_cast<IWICBitmapFrameDecode*>(this);
    return nullptr;
}

STDMETHODIMP TimWicFrame::GetSize(UINT* w, UINT* h) {
    if (!w || !h) return E_POINTER;
    *w = info.width;
    *h = info.height;
    return S_OK;
}

STDMETHODIMP TimWicFrame::GetPixelFormat(WICPixelFormatGUID* format) {
    if (!format) return E_POINTER;
    *format = kPixelFormat32bppBgra;
    return S_OK;
}

// TIM files carry no resolution. 96 dpi is the one at which Windows shows an
// image pixel for pixel, as the console drew textures: one texel per pixel.
STDMETHODIMP TimWicFrame::GetResolution(double* dpiX, double* dpiY) {
    if (!dpiX || !dpiY) return E_POINTER;
    *dpiX = 96.0;
    *dpiY = 96.0;
    return S_OK;
}

STDMETHODIMP TimWicFrame::CopyPalette(IWICPalette*) {
    return WINCODEC_ERR_PALETTEUNAVAILABLE;
}

const uint32_t* TimWicFrame::Decoded() {
    AcquireSRWLockExclusive(&lock);
    if (!decoded.get()) {
        HeapBlock pixels;
        if (pixels.Allocate(size_t(info.width) * info.height * 4)) {
            DecodeTimPixels(info, static_cast<uint32_t*>(pixels.get()));
            decoded = static_cast<HeapBlock&&>(pixels);
        }
    }
    const auto* pixels = static_cast<const uint32_t*>(decoded.get());
    ReleaseSRWLockExclusive(&lock);
    return pixels;
}

STDMETHODIMP TimWicFrame::CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) {
    const uint32_t width = info.width, height = info.height;
    const WICRect whole = {0, 0, INT(width), INT(height)};
    const WICRect& r = rect ? *rect : whole;
    // In 64 bits: X + Width must not wrap past the image's edge.
    if (r.X < 0 || r.Y < 0 || r.Width < 0 || r.Height < 0 || int64_t(r.X) + r.Width > int64_t(width) ||
        int64_t(r.Y) + r.Height > int64_t(height))
        return E_INVALIDARG;
    if (r.Width == 0 || r.Height == 0) return S_OK;
    if (!buffer) return E_INVALIDARG;
    const uint64_t rowBytes = uint64_t(r.Width) * 4;
    if (stride < rowBytes) return E_INVALIDARG;
    if (uint64_t(stride) * uint64_t(r.Height - 1) + rowBytes > bufferSize) return WINCODEC_ERR_INSUFFICIENTBUFFER;

    // The whole image into rows without gaps: decoded in place, then turned
    // top-down. TIM alpha is 0 or 255 and transparent pixels are all zero, so
    // these straight-alpha pixels equal the handler's premultiplied ones.
    auto* out = reinterpret_cast<uint32_t*>(buffer);
    if (r.Width == whole.Width && r.Height == whole.Height && stride == rowBytes &&
        reinterpret_cast<uintptr_t>(buffer) % alignof(uint32_t) == 0) {
        DecodeTimPixels(info, out);
        FlipRows(out, width, height);
        return S_OK;
    }
    const uint32_t* pixels = Decoded();
    if (!pixels) return E_OUTOFMEMORY;
    // Rows top-down; the decoded pixels are stored bottom row first.
    for (INT y = 0; y < r.Height; ++y) {
        const uint32_t* from = pixels + size_t(height - 1 - uint32_t(r.Y + y)) * width + uint32_t(r.X);
        std::memcpy(buffer + size_t(y) * stride, from, size_t(rowBytes));
    }
    return S_OK;
}

STDMETHODIMP TimWicFrame::GetMetadataQueryReader(IWICMetadataQueryReader** reader) {
    return NothingToHand<IWICMetadataQueryReader*>(reader, nullptr, WINCODEC_ERR_UNSUPPORTEDOPERATION);
}

STDMETHODIMP TimWicFrame::GetColorContexts(UINT, IWICColorContext**, UINT* actualCount) {
    return NothingToHand<UINT>(actualCount, 0, WINCODEC_ERR_UNSUPPORTEDOPERATION);
}

STDMETHODIMP TimWicFrame::GetThumbnail(IWICBitmapSource** thumbnail) {
    return NothingToHand<IWICBitmapSource*>(thumbnail, nullptr, WINCODEC_ERR_CODECNOTHUMBNAIL);
}

// ---- Decoder ----

void* TimWicDecoder::Face(REFIID riid) {
    if (SameGuid(riid, kIidWicBitmapDecoder) || SameGuid(riid, kIidUnknown))
        return static_cast<IWICBitmapDecoder*>(this);
    return nullptr;
}

STDMETHODIMP TimWicDecoder::QueryCapability(IStream* stream, DWORD* capability) {
    if (!capability) return E_POINTER;
    if (!stream) return E_INVALIDARG;
    *capability = 0;
    ULARGE_INTEGER position = {};
    HRESULT hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &position);
    if (FAILED(hr)) return hr;
    HeapReader file;
    TimImageInfo info;
    // The verdict needs the headers alone: WIC asks every codec that matches
    // the first bytes, before it picks one to decode with.
    const HRESULT read = ReadTimStream(stream, file, info, true);
    LARGE_INTEGER back;
    back.QuadPart = LONGLONG(position.QuadPart);
    hr = stream->Seek(back, STREAM_SEEK_SET, nullptr);
    if (FAILED(read) && !IsRefusal(read)) return read;
    if (FAILED(hr)) return hr;
    if (SUCCEEDED(read) && uint64_t(info.width) * info.height != 0)
        *capability = WICBitmapDecoderCapabilityCanDecodeAllImages;
    return S_OK;
}

STDMETHODIMP TimWicDecoder::Initialize(IStream* stream, WICDecodeOptions) {
    if (!stream) return E_INVALIDARG;
    ExclusiveHold hold(lock);
    if (frame) return WINCODEC_ERR_WRONGSTATE;
    return ReadFrame(stream, frame);
}

STDMETHODIMP TimWicDecoder::GetContainerFormat(GUID* format) {
    if (!format) return E_POINTER;
    *format = GUID_ContainerFormatTim;
    return S_OK;
}

STDMETHODIMP TimWicDecoder::GetDecoderInfo(IWICBitmapDecoderInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    // The registered description, as WIC itself keeps it.
    IWICImagingFactory* factory = nullptr;
    HRESULT hr = CoCreateInstance(kClsidWicImagingFactory, nullptr, CLSCTX_INPROC_SERVER, kIidWicImagingFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    IWICComponentInfo* component = nullptr;
    hr = factory->CreateComponentInfo(CLSID_TimWicDecoder, &component);
    factory->Release();
    if (FAILED(hr)) return hr;
    hr = component->QueryInterface(kIidWicBitmapDecoderInfo, reinterpret_cast<void**>(info));
    component->Release();
    return hr;
}

STDMETHODIMP TimWicDecoder::CopyPalette(IWICPalette*) {
    return WINCODEC_ERR_PALETTEUNAVAILABLE;
}

STDMETHODIMP TimWicDecoder::GetMetadataQueryReader(IWICMetadataQueryReader** reader) {
    return NothingToHand<IWICMetadataQueryReader*>(reader, nullptr, WINCODEC_ERR_UNSUPPORTEDOPERATION);
}

STDMETHODIMP TimWicDecoder::GetPreview(IWICBitmapSource** preview) {
    return NothingToHand<IWICBitmapSource*>(preview, nullptr, WINCODEC_ERR_UNSUPPORTEDOPERATION);
}

STDMETHODIMP TimWicDecoder::GetColorContexts(UINT, IWICColorContext**, UINT* actualCount) {
    return NothingToHand<UINT>(actualCount, 0, WINCODEC_ERR_UNSUPPORTEDOPERATION);
}

STDMETHODIMP TimWicDecoder::GetThumbnail(IWICBitmapSource** thumbnail) {
    return NothingToHand<IWICBitmapSource*>(thumbnail, nullptr, WINCODEC_ERR_CODECNOTHUMBNAIL);
}

STDMETHODIMP TimWicDecoder::GetFrameCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    SharedHold hold(lock);
    if (!frame) return WINCODEC_ERR_NOTINITIALIZED;
    *count = 1;
    return S_OK;
}

STDMETHODIMP TimWicDecoder::GetFrame(UINT index, IWICBitmapFrameDecode** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    SharedHold hold(lock);
    if (!frame) return WINCODEC_ERR_NOTINITIALIZED;
    if (index != 0) return WINCODEC_ERR_FRAMEMISSING;
    frame->AddRef();
    *result = frame;
    return S_OK;
}

}  // namespace codec

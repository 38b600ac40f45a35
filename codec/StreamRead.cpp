#include "StreamRead.h"

#include <cstring>

namespace codec {

namespace {

// The stream's size, told by Stat or else by seeking to its end.
HRESULT StreamSize(IStream* stream, uint64_t& size) {
    STATSTG stat = {};
    if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME))) {
        size = stat.cbSize.QuadPart;
        return S_OK;
    }
    ULARGE_INTEGER end = {};
    const HRESULT hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &end);
    if (FAILED(hr)) return hr;
    size = end.QuadPart;
    return S_OK;
}

// Exactly `count` bytes, in as many calls as the stream needs.
HRESULT ReadExactly(IStream* stream, uint8_t* to, size_t count) {
    while (count) {
        const ULONG ask = count > 0x40000000 ? 0x40000000 : ULONG(count);
        ULONG got = 0;
        const HRESULT hr = stream->Read(to, ask, &got);
        if (FAILED(hr)) return hr;
        if (got == 0 || got > ask) return WINCODEC_ERR_STREAMREAD;
        to += got;
        count -= got;
    }
    return S_OK;
}

}  // namespace

HRESULT ReadTimStream(IStream* stream, HeapBlock& bytes, TimImageInfo& info) {
    HRESULT hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;
    uint64_t size = 0;
    hr = StreamSize(stream, size);
    if (FAILED(hr)) return hr;
    // StreamSize may have moved to the end.
    hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;

    // Only what the header says the blocks need, and never more than the
    // stream holds: a file whose blocks need more is refused whole, so the
    // rest of it is not read at all.
    uint64_t known = 0;
    for (;;) {
        const TimBytesNeeded need = TimBytesToRead(static_cast<const uint8_t*>(bytes.get()), size_t(known));
        if (need.bytes > size) return WINCODEC_ERR_BADHEADER;
        if (need.sizeKnown && uint64_t(need.width) * need.height > kMaxTimPixels)
            return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
        if (need.bytes <= known) break;
        if (need.bytes > SIZE_MAX / 2) return E_OUTOFMEMORY;
        HeapBlock grown;
        if (!grown.Allocate(size_t(need.bytes))) return E_OUTOFMEMORY;
        if (known) std::memcpy(grown.get(), bytes.get(), size_t(known));
        hr = ReadExactly(stream, static_cast<uint8_t*>(grown.get()) + known, size_t(need.bytes - known));
        if (FAILED(hr)) return hr;
        bytes = static_cast<HeapBlock&&>(grown);
        known = need.bytes;
    }
    const uint8_t* start = static_cast<const uint8_t*>(bytes.get());
    if (FindTimRefusal(info, start, known).reason != TimRefusalReason::Accepted) return WINCODEC_ERR_BADHEADER;
    return S_OK;
}

}  // namespace codec

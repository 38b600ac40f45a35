#include "StreamRead.h"

#include "Platform.h"

#include <new>

namespace codec {

namespace {

// The rows' memory: the process heap, as everything else the DLL holds.
void* AllocateRows(size_t bytes) {
    return HeapAllocChecked(GetProcessHeap(), bytes ? bytes : 1);
}

void ReleaseRows(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

// The stream's size, told by Stat (`told`) or else by seeking to its end.
HRESULT StreamSize(IStream* stream, uint64_t& size, bool& told) {
    STATSTG stat = {};
    told = SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME));
    if (told) {
        size = stat.cbSize.QuadPart;
        return S_OK;
    }
    ULARGE_INTEGER end = {};
    const HRESULT hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &end);
    if (FAILED(hr)) return hr;
    size = end.QuadPart;
    return S_OK;
}

// What the reader asks for, read or sought over. Bytes it skips are dropped
// when the stream cannot seek.
HRESULT Drive(IStream* stream, TimReader& reader) {
    uint8_t buffer[16384];
    for (;;) {
        const TimReadStep step = reader.Next();
        if (step.action == TimReadAction::Done || step.action == TimReadAction::Refused) return S_OK;
        if (step.action == TimReadAction::Skip && step.count <= uint64_t(INT64_MAX)) {
            LARGE_INTEGER move;
            move.QuadPart = LONGLONG(step.count);
            if (SUCCEEDED(stream->Seek(move, STREAM_SEEK_CUR, nullptr))) {
                reader.Skipped(step.count);
                continue;
            }
        }
        const ULONG ask = step.count < sizeof buffer ? ULONG(step.count) : ULONG(sizeof buffer);
        ULONG got = 0;
        const HRESULT hr = stream->Read(buffer, ask, &got);
        if (FAILED(hr)) return hr;
        // Ended before the size it claimed.
        if (got == 0 || got > ask) return WINCODEC_ERR_STREAMREAD;
        reader.Feed(buffer, got);
    }
}

}  // namespace

bool HeapReader::Create(const TimReadOptions& options) {
    Reset();
    void* memory = HeapAllocChecked(GetProcessHeap(), sizeof(TimReader));
    if (!memory) return false;
    p_ = new (memory) TimReader(options);
    return true;
}

void HeapReader::Reset() {
    if (!p_) return;
    p_->~TimReader();
    HeapFree(GetProcessHeap(), 0, p_);
    p_ = nullptr;
}

HRESULT ReadTimStream(IStream* stream, HeapReader& reader, TimImageInfo& info, bool headerOnly) {
    HRESULT hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;
    uint64_t size = 0;
    bool told = false;
    hr = StreamSize(stream, size, told);
    if (FAILED(hr)) return hr;
    // StreamSize may have moved to the end.
    hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;

    // Designated, so that the default allocator (C++'s operator new) is never
    // named here and stays out of the DLL.
    if (!reader.Create(TimReadOptions{.palette = 0,
                                      .headerOnly = headerOnly,
                                      .inputSize = size,
                                      .allocate = AllocateRows,
                                      .release = ReleaseRows}))
        return E_OUTOFMEMORY;
    TimReader& r = *reader;
    hr = Drive(stream, r);
    if (FAILED(hr)) return hr;
    if (r.Next().action == TimReadAction::Refused)
        return r.Refusal().reason == TimRefusalReason::NoMemory ? E_OUTOFMEMORY : WINCODEC_ERR_BADHEADER;
    // Too many pixels: the reader read no rows of it.
    if (r.DrawRefusal().reason == TimRefusalReason::TooManyPixels) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    // Bytes taken on Stat's word alone (slack sought over, the rows of a
    // header-only read): the stream's own end must reach them. A stream that
    // cannot seek to its end is taken at its word.
    ULARGE_INTEGER end = {};
    if (told && r.Position() < r.ImageEnd() && SUCCEEDED(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &end)) &&
        end.QuadPart < r.ImageEnd())
        return WINCODEC_ERR_STREAMREAD;
    info = r.Record();
    return S_OK;
}

}  // namespace codec

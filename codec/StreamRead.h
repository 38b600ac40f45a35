#pragma once
// A TIM file read from a stream, as WIC and the property system hand files
// over, through the decoder's front-to-back reader.
#include "TimDecode.h"
#include "TimFormat.h"
#include "TimReader.h"

#include <windows.h>
#include <objidl.h>

#include <utility>

namespace codec {

// A TimReader on the process heap, its rows there too: what a frame keeps of
// a file (the headers, the palette it draws with and the rows), freed when
// its holder goes.
class HeapReader {
public:
    HeapReader() = default;
    ~HeapReader() { Reset(); }
    HeapReader(HeapReader&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    HeapReader& operator=(HeapReader&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    HeapReader(const HeapReader&) = delete;
    HeapReader& operator=(const HeapReader&) = delete;

    // False, with nothing held, when memory is short.
    bool Create(const TimReadOptions& options);
    void Reset();
    TimReader* operator->() const { return p_; }
    TimReader& operator*() const { return *p_; }

private:
    TimReader* p_ = nullptr;
};

// Reads the file from its start, whatever the stream's position: its headers,
// the palette drawn and the rows, seeking over the rest. Memory follows the
// image, never a length in the file or the size Stat tells, which serves
// only as the end the blocks are checked against. With `headerOnly`, neither
// palette nor rows are read. On S_OK `info` points into `reader`. A refused
// file gives WINCODEC_ERR_BADHEADER; an image of more than kMaxTimPixels
// gives WINCODEC_ERR_IMAGESIZEOUTOFRANGE, told before its rows are read (an
// image without pixels is accepted); a failing stream its own error, or
// WINCODEC_ERR_STREAMREAD when it ends early.
HRESULT ReadTimStream(IStream* stream, HeapReader& reader, TimImageInfo& info, bool headerOnly = false);

// ReadTimStream's answer for a file the decoder refuses or cannot draw.
inline bool IsRefusal(HRESULT hr) {
    return hr == WINCODEC_ERR_BADHEADER || hr == WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
}

}  // namespace codec

#pragma once
// A TIM file read from a stream, as WIC and the property system hand files
// over, into a buffer of the codec's own.
#include "HeapBlock.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <windows.h>
#include <objidl.h>

namespace codec {

// Reads the file from its start, whatever the stream's position, and only the
// bytes its blocks need, then parses them. On S_OK `bytes` holds the blocks
// and `info` points into them. A refused file gives WINCODEC_ERR_BADHEADER;
// an image of more than kMaxTimPixels gives WINCODEC_ERR_IMAGESIZEOUTOFRANGE,
// told before its rows are read (an image without pixels is accepted); a failing
// stream its own error, or WINCODEC_ERR_STREAMREAD when it ends early.
HRESULT ReadTimStream(IStream* stream, HeapBlock& bytes, TimImageInfo& info);

// ReadTimStream's answer for a file the decoder refuses or cannot draw.
inline bool IsRefusal(HRESULT hr) {
    return hr == WINCODEC_ERR_BADHEADER || hr == WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
}

}  // namespace codec

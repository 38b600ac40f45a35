#pragma once
// A TIM file taken front to back, the one way every streaming client reads:
// the reader says what it needs next, the client feeds it bytes or moves on.
// It keeps the file's headers, the one palette it draws with and the pixel
// rows, never a block's slack, so its memory follows the image, whatever the
// lengths in the file claim. Its verdict and record are FindTimRefusal's on
// the whole file, wherever that file ends.
//
//     TimReader reader(options);
//     for (;;) {
//         const TimReadStep step = reader.Next();
//         if (step.action == TimReadAction::Read)      read up to step.count bytes, Feed them
//         else if (step.action == TimReadAction::Skip) seek step.count on, Skipped(n); or Feed them
//         else break;                                  Done or Refused
//         (when the input ends first: EndOfInput())
//     }
#include "TimFormat.h"

#include <cstddef>
#include <cstdint>
#include <new>

enum class TimReadAction : uint8_t {
    Read,     // feed the next `count` bytes, in pieces of any size
    Skip,     // the next `count` bytes are not needed: seek past them and call
              // Skipped, or feed them and they are dropped
    Done,     // the file is accepted: Record()
    Refused,  // Refusal() says why
};

struct TimReadStep {
    TimReadAction action = TimReadAction::Read;
    uint64_t count = 0;  // for Read and Skip, at least 1
};

inline constexpr uint64_t kTimUnknownSize = UINT64_MAX;

// The rows' memory by default: C++'s heap.
inline void* TimNewBytes(size_t bytes) { return new (std::nothrow) uint8_t[bytes]; }
inline void TimDeleteBytes(void* block) { delete[] static_cast<uint8_t*>(block); }

struct TimReadOptions {
    // The palette to draw with, as SelectTimPalette numbers it: 0 is the
    // handler's. Only that palette is kept.
    uint32_t palette = 0;
    // Headers only, for clients that want a file's size and verdict: neither
    // palette nor pixels are read (the record's clutData points at no
    // colours), the blocks are checked by position alone.
    bool headerOnly = false;
    // The input's size, when the client knows it (a regular file's, a
    // stream's): the blocks are then checked against it, without moving to
    // their ends, and nothing past it is asked for.
    uint64_t inputSize = kTimUnknownSize;
    // Where the rows' buffer comes from (null when memory is short: the
    // reader refuses with NoMemory) and goes back to. A client that must not
    // bring in the C++ runtime's operator new, or that allocates only from a
    // heap of its own, gives both.
    void* (*allocate)(size_t bytes) = TimNewBytes;
    void (*release)(void* block) = TimDeleteBytes;
};

class TimReader {
public:
    explicit TimReader(const TimReadOptions& options = {});
    ~TimReader();
    TimReader(const TimReader&) = delete;
    TimReader& operator=(const TimReader&) = delete;

    // What the reader needs next.
    TimReadStep Next() const { return step_; }

    // The next bytes of the input. Takes what Read and Skip steps ask for,
    // across as many steps as the bytes cover, and returns how many it took:
    // fewer than `size` only once it is Done or Refused.
    size_t Feed(const uint8_t* data, size_t size);

    // Feed for a client that draws as soon as the reader is Done, before
    // `data` goes: when this one piece holds all the rows and the reader is
    // Done by its end, the record points into `data` instead of a copy (a
    // loader handed a whole file draws from it as it is). Otherwise the same
    // as Feed: rows taken but not yet Done are copied before it returns.
    size_t FeedInPlace(const uint8_t* data, size_t size);

    // The client moved `count` bytes on itself during a Skip step (at most
    // its count; fewer when the input ends inside the skip, then EndOfInput).
    void Skipped(uint64_t count);

    // The input has no more bytes: the verdict is given from where it ended.
    void EndOfInput();

    // Accepted unless Refused: FindTimRefusal's reason on the whole input.
    // A reader out of memory for the image's rows refuses with NoMemory.
    TimRefusal Refusal() const { return refusal_; }

    // Once Done: the record FindTimRefusal fills, with the palette of the
    // options selected as SelectTimPalette does, when the file has it. Its
    // pointers point into the reader: clutData (set exactly when the file
    // has a CLUT block) at the kept palette, pixelData at the rows when they
    // were read (null otherwise). DecodeTimPixels and DecodeTimRows draw
    // from it while the reader lives, when DrawRefusal() is Accepted.
    const TimImageInfo& Record() const { return info_; }

    // Once Done: false when the options' palette is not in the file (the
    // record is then the file's, unselected, and not drawn).
    bool PaletteFound() const { return paletteFound_; }

    // Once Done: why Record() is not drawn (TimDrawRefusal), Accepted when
    // it is. The rows are read exactly when it is Accepted, the palette is
    // found and the options are not headerOnly.
    TimRefusal DrawRefusal() const;

    // The image's size in pixels as soon as its header is in, before its
    // rows: for clients that refuse a size before reading on. The width is
    // not yet checked against kMaxTimWidth.
    bool SizeKnown() const { return sizeKnown_; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

    // Once Done: the offset just past the image block, slack included (the
    // record's imageEnd, in 64 bits). A client that trusted a told size for
    // bytes it never read can check that its input reaches this far.
    uint64_t ImageEnd() const { return imageEnd_; }

    // Bytes fed or skipped so far: the input's position.
    uint64_t Position() const { return position_; }

    // The bytes the reader holds (headers, palette, rows), for tests of its
    // memory.
    size_t StoredBytes() const;

private:
    // The file must reach `offset`, or it is refused for `refusal`; with
    // `offset` 0, it is refused for `refusal` once every earlier gate passed.
    struct Gate {
        uint64_t offset;
        TimRefusal refusal;
    };
    // Bytes [offset, offset + length) of the file, kept at `to` (the rows'
    // buffer when null, made when their first byte arrives).
    struct Span {
        uint64_t offset;
        uint64_t length;
        uint8_t* to;
    };

    void Advance();
    void Refuse(TimRefusal refusal);
    void AddGate(uint64_t offset, TimRefusal refusal);
    void AddSpan(uint64_t offset, uint64_t length, uint8_t* to);
    void PlanFromHead();
    void PlanPalette(uint16_t clutWidth, uint16_t clutHeight);
    void PlanFromImageHeader(const uint8_t* header, uint64_t imageStart);
    bool Take(const uint8_t* data, size_t count);

    TimReadOptions options_;
    TimReadStep step_;
    TimRefusal refusal_;
    uint64_t position_ = 0;
    uint64_t end_;  // the input's size, when known
    bool headDone_ = false;
    // The walk of FindTimRefusal as gates in its order, and the spans to keep,
    // in file order: at most seven gates and three spans (palette, image
    // header, rows), planned from the headers as they come in.
    Gate gates_[8] = {};
    size_t gateCount_ = 0, gatesPassed_ = 0;  // passed: reached by the position
    Span spans_[3] = {};
    size_t spanCount_ = 0, spansDone_ = 0;
    uint64_t imageStart_ = 0;
    uint64_t imageEnd_ = 0;

    TimImageInfo info_{};
    bool paletteFound_ = true;
    bool sizeKnown_ = false;
    uint32_t width_ = 0, height_ = 0;

    uint8_t head_[20] = {};  // the file header and the first block's header
    uint8_t imageHeader_[12] = {};
    uint8_t palette_[512] = {};  // one palette of at most 256 colours
    uint8_t* rows_ = nullptr;  // from options_.allocate
    size_t rowBytes_ = 0;  // the size of rows_ once made
    const uint8_t* borrowedRows_ = nullptr;  // in FeedInPlace's piece
    size_t borrowedLength_ = 0;
    bool inPlace_ = false;                   // inside FeedInPlace
};

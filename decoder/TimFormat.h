#pragma once
// The TIM container: signature check, header walk and the parsed record.
#include <cstdint>
#include <string>

enum class TimPixelFormat : uint8_t {
    Indexed4 = 4,
    Indexed8 = 8,
    Direct16 = 16,
    Direct24 = 14,  // not 24: the tag is the format's historical code
};

#pragma pack(push, 1)
// Filled only by ParseTimHeader. The pointers point into the byte range that
// was parsed and are valid only while that range stays mapped.
struct TimImageInfo {
    TimPixelFormat format;
    uint16_t paletteSize;  // entries per palette: 16, 256, or 0 without a usable CLUT
    uint16_t clutWidth;
    uint16_t clutHeight;
    uint16_t clutCount;  // (clutWidth * clutHeight) / paletteSize, modulo 65536
    uint16_t rawWidth;   // image row length in 16-bit units
    uint16_t width;      // pixels per row
    uint16_t height;
    uint32_t imageEnd;  // file offset just past the image block (effective length)
    const uint8_t* clutData;  // first CLUT entry; unset without a CLUT block
    const uint8_t* pixelData;
    uint16_t imageX;
    uint16_t imageY;
    uint16_t clutX;
    uint16_t clutY;
};
#pragma pack(pop)

static_assert(sizeof(TimImageInfo) == 1 + 7 * 2 + 4 + 2 * sizeof(void*) + 4 * 2,
              "TimImageInfo must be byte-packed");

// Quick test of the first twelve bytes of a file of `size` bytes.
bool CheckTimSignature(const uint8_t* view, uint64_t size);

// Validates the blocks of [fileStart, fileEnd) and fills `info`. On failure
// `info` may be partly written and must be treated as meaningless.
bool ParseTimHeader(TimImageInfo& info, const uint8_t* fileStart, const uint8_t* fileEnd);

// Why a file is refused: the first rule of CheckTimSignature and then
// ParseTimHeader that it breaks. Both functions answer from these same rules,
// so a file is accepted exactly when the reason is Accepted.
enum class TimRefusalReason : uint8_t {
    Accepted,
    Empty,
    NoIdentifier,
    TooShort,            // value: the file's size
    UnknownFlags,        // value: the flags
    FirstBlockTooShort,  // shorter than its own header
    FirstBlockPastEnd,
    UnsupportedMode,     // value: the pixel mode
    BlockTooLarge,       // a side of more than 32768 units
    ClutShorterThanColours,
    BlocksPastEnd,
    TooWide,             // value: the width in pixels
};

struct TimRefusal {
    TimRefusalReason reason = TimRefusalReason::Accepted;
    uint32_t value = 0;  // the number the reason names, if any
};

// CheckTimSignature and then ParseTimHeader on the `size` bytes at `file`,
// with the reason of the first failing rule. `info` is filled as
// ParseTimHeader fills it.
TimRefusal FindTimRefusal(TimImageInfo& info, const uint8_t* file, uint64_t size);

// The reason as one line for people, e.g. "not a TIM file (unknown flags 16)";
// empty for Accepted. Kept out of the handler, which reports no text.
std::string TimRefusalText(const TimRefusal& refusal);

// Whole palettes in the CLUT: clutCount without its wrap modulo 65536. Zero
// without a palette, also when the CLUT is shorter than one palette.
uint32_t TimPaletteCount(const TimImageInfo& info);

// Points `info` at palette `index` of its CLUT, seen as a CLUT of that one
// palette, so that DecodeTimPixels draws with it. Index 0 leaves the record as
// it is (a short CLUT included), which is what the handler draws. False, with
// `info` unchanged, for an index the file does not have.
bool SelectTimPalette(TimImageInfo& info, uint32_t index);

// For readers of a stream rather than a mapped view, which must not read
// more than the blocks need: how many leading bytes of a file of `size` bytes
// to read, told from the `known` bytes already read at `head`. Read up to
// `bytes` and ask again until `bytes` equals `known`; FindTimRefusal on those
// leading bytes then accepts exactly the files it accepts whole, with the same
// record. At most three rounds: the file header, the image block's header,
// the blocks themselves.
struct TimReadPlan {
    uint64_t bytes;
    uint64_t pixels;  // width * height once the image block's header is read (else 0), so
                      // that a reader can refuse a huge image before reading its rows
};
TimReadPlan PlanTimRead(const uint8_t* head, uint64_t known, uint64_t size);

// Bits per pixel of the file: 4, 8, 16 or 24.
uint32_t TimBitsPerPixel(TimPixelFormat format);

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

// The u32 every TIM file starts with. The flags after it are at most 15, so
// bytes 5 to 7 are zero: the byte pattern of clients that pick a reader by a
// file's first bytes. CheckTimSignature is the real test.
constexpr uint32_t kTimIdentifier = 16;
constexpr uint32_t kTimMaxFlags = 15;

// That pattern as WIC and shared-mime-info match it: a file's first eight
// bytes b start like a TIM file when (b[i] & kTimSignatureMask[i]) ==
// kTimSignature[i] for each i. Clients generate their registrations from
// these, so that every one picks the same files.
inline constexpr uint8_t kTimSignature[8] = {uint8_t(kTimIdentifier), uint8_t(kTimIdentifier >> 8),
                                             uint8_t(kTimIdentifier >> 16), uint8_t(kTimIdentifier >> 24),
                                             0, 0, 0, 0};
inline constexpr uint8_t kTimSignatureMask[8] = {0xFF, 0xFF, 0xFF, 0xFF, uint8_t(~kTimMaxFlags), 0xFF, 0xFF, 0xFF};
static_assert(((kTimMaxFlags + 1) & kTimMaxFlags) == 0, "the flags' limit is a mask of low bits");

// The widest image any client draws: rows are counted in 16 bits.
inline constexpr uint32_t kMaxTimWidth = 0xFFFF;

// The most pixels any of the project's readers draws: the handler makes no
// bitmap above this (64 MiB of pixels), and every other client refuses such
// images alike, so that every client shows the same files.
inline constexpr uint64_t kMaxTimPixels = uint64_t(1) << 24;

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
    // Why an accepted file is not drawn (TimDrawRefusal), with its size in
    // value and height; FindTimRefusal never gives these.
    NoPixels,
    TooManyPixels,  // more than kMaxTimPixels
    NoMemory,       // a reader found no memory for the image's rows
    // Why bytes inside other data are not a TIM (FindEmbeddedTimRefusal),
    // though the decoder may accept them.
    OutsideFrameBuffer,  // an origin outside, or a block larger than, the frame buffer
    LengthOverclaimed,   // value: a block's length field, over its size + kMaxTimLengthSlack
    CutShort,            // value: the bytes the blocks need; fewer are left
};

struct TimRefusal {
    TimRefusalReason reason = TimRefusalReason::Accepted;
    uint32_t value = 0;   // the number the reason names, if any (the width, for a size)
    uint32_t height = 0;  // the height, for the reasons that name a size
};

// CheckTimSignature and then ParseTimHeader on the `size` bytes at `file`,
// with the reason of the first failing rule. `info` is filled as
// ParseTimHeader fills it.
TimRefusal FindTimRefusal(TimImageInfo& info, const uint8_t* file, uint64_t size);

// The reason as one line for people, e.g. "not a TIM file (unknown flags 16)";
// empty for Accepted. Kept out of the handler, which reports no text.
std::string TimRefusalText(const TimRefusal& refusal);

// Why an accepted file cannot be drawn: no pixels at all (NoPixels), or more
// than kMaxTimPixels (TooManyPixels); Accepted when it can be drawn.
TimRefusal TimDrawRefusal(const TimImageInfo& info);

// TimRefusalText of TimDrawRefusal: empty when the file can be drawn.
std::string TimDrawRefusalText(const TimImageInfo& info);

// Whole palettes in the CLUT: clutCount without its wrap modulo 65536. Zero
// without a palette, also when the CLUT is shorter than one palette.
uint32_t TimPaletteCount(const TimImageInfo& info);

// Points `info` at palette `index` of its CLUT, seen as a CLUT of that one
// palette, so that DecodeTimPixels draws with it. Index 0 leaves the record as
// it is (a short CLUT included), which is what the handler draws. False, with
// `info` unchanged, for an index the file does not have.
bool SelectTimPalette(TimImageInfo& info, uint32_t index);

// TIMs inside other data (archives, executables, disc images). Byte runs
// that the decoder accepts turn up in any large file, so a TIM found there
// must also look like one a tool wrote for the console's frame buffer:
// 1024 x 512 units, where image and CLUT origins lie (positions may wrap) and
// no block is larger; no block claims more than its computed size plus two
// bytes (real files hold it exactly, often two over, sometimes less); and it
// has pixels. Such a TIM is at most kMaxEmbeddedTimBytes long.
inline constexpr uint32_t kFrameBufferWidth = 1024;  // 16-bit units
inline constexpr uint32_t kFrameBufferHeight = 512;
inline constexpr uint32_t kMaxTimLengthSlack = 2;
inline constexpr uint64_t kMaxEmbeddedTimBytes =
    8 + 2 * (12 + uint64_t(kFrameBufferWidth) * kFrameBufferHeight * 2 + kMaxTimLengthSlack);

// Whether the `size` bytes at `data` start with a TIM by the rules above; on
// Accepted, `info` is FindTimRefusal's record of exactly the TIM's bytes,
// info.imageEnd of them (the rest of `data` is other data). CutShort when
// the headers pass but the blocks run past `size`. Otherwise the decoder's
// reason, or OutsideFrameBuffer, LengthOverclaimed, NoPixels.
TimRefusal FindEmbeddedTimRefusal(TimImageInfo& info, const uint8_t* data, uint64_t size);

// The first position p in [from, end - 8] whose eight bytes match
// kTimSignature under kTimSignatureMask, or null: where a search for TIMs
// inside other data looks.
const uint8_t* FindTimSignature(const uint8_t* from, const uint8_t* end);

// Bits per pixel of the file: 4, 8, 16 or 24.
uint32_t TimBitsPerPixel(TimPixelFormat format);

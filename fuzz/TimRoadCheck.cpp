#include "TimRoadCheck.h"

#include "ByteIo.h"
#include "Premultiply.h"
#include "TimColor.h"
#include "TimDecode.h"
#include "TimReader.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kFirstBlockData = 8 + kHeaderSize;  // offset 20
constexpr uint32_t kMaxSide = 32768;

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Byte offset of `p` from `base`, compared as integers: a bad record may hold
// a pointer outside the file, and subtracting such pointers is undefined.
uint64_t OffsetOf(const uint8_t* p, const uint8_t* base) {
    return uint64_t(uintptr_t(p) - uintptr_t(base));
}

bool IsIndexed(TimPixelFormat f) {
    return f == TimPixelFormat::Indexed4 || f == TimPixelFormat::Indexed8;
}

unsigned PaletteEntries(TimPixelFormat f) {
    return f == TimPixelFormat::Indexed4 ? 16 : 256;
}

// A model of the decoder written pixel by pixel, independent of its row
// functions and palette table: what bitmap pixel (x, from source row r) must be.
uint32_t PaletteColour(const TimImageInfo& info, unsigned index) {
    const unsigned entries = PaletteEntries(info.format);
    if (info.paletteSize < entries)
        return TimColorToBgra(entries == 16 ? kDefaultGrey16[index] : kDefaultGrey256[index]);
    // Entries past a short CLUT are transparent; they are never read.
    if (index >= uint32_t(info.clutWidth) * info.clutHeight) return 0;
    return TimColorToBgra(LoadU16LE(info.clutData + 2 * size_t(index)));
}

uint32_t ExpectedPixel(const TimImageInfo& info, size_t x, size_t sourceRow) {
    const uint8_t* row = info.pixelData + sourceRow * 2 * size_t(info.rawWidth);
    switch (info.format) {
        case TimPixelFormat::Indexed4: return PaletteColour(info, (row[x / 2] >> (x % 2 * 4)) & 15);
        case TimPixelFormat::Indexed8: return PaletteColour(info, row[x]);
        case TimPixelFormat::Direct16: return TimColorToBgra(LoadU16LE(row + 2 * x));
        case TimPixelFormat::Direct24: {
            const uint8_t* p = row + 3 * x;
            return 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        }
    }
    return kTimRoadUnwritten;
}

std::unique_ptr<uint32_t[]> NewBitmap(size_t count) {
    // Exactly `count` pixels, so that a sanitizer flags any write past them.
    std::unique_ptr<uint32_t[]> bitmap(new uint32_t[count]);
    std::fill_n(bitmap.get(), count, kTimRoadUnwritten);
    return bitmap;
}

std::string FirstDifference(const char* what, const uint32_t* want, const uint32_t* got,
                            size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (want[i] != got[i])
            return Format("%s: pixel %zu is 0x%08X, was 0x%08X", what, i, got[i], want[i]);
    }
    return {};
}

// Nothing after the image block, and no header byte once the header is
// parsed, may change what is decoded: the trimmed copy is exactly imageEnd
// bytes long, so a read past the image block is caught by the sanitizer, and
// its headers are overwritten before decoding.
std::string CheckTrimmedAndScribbled(const TimImageInfo& info, const uint8_t* data,
                                     const uint32_t* decoded, size_t count) {
    const size_t end = info.imageEnd;
    std::unique_ptr<uint8_t[]> trimmed(new uint8_t[end]);
    std::memcpy(trimmed.get(), data, end);
    if (!CheckTimSignature(trimmed.get(), end))
        return Format("the file cut at its image block's end (%zu bytes) fails the signature check",
                      end);
    TimImageInfo again;
    std::memset(&again, 0, sizeof again);
    if (!ParseTimHeader(again, trimmed.get(), trimmed.get() + end))
        return Format("the file cut at its image block's end (%zu bytes) is rejected by the parser",
                      end);

    // Same record, pointers taken relative to each buffer.
    if (OffsetOf(again.pixelData, trimmed.get()) != OffsetOf(info.pixelData, data) ||
        (info.clutData && OffsetOf(again.clutData, trimmed.get()) != OffsetOf(info.clutData, data)))
        return "the file cut at its image block's end gives other block offsets";
    TimImageInfo a = info, b = again;
    a.pixelData = b.pixelData = a.clutData = b.clutData = nullptr;
    if (std::memcmp(&a, &b, sizeof a) != 0)
        return "the file cut at its image block's end gives another record";

    const size_t imageHeader = size_t(OffsetOf(again.pixelData, trimmed.get())) - kHeaderSize;
    std::memset(trimmed.get() + 4, 0xFF, kFirstBlockData - 4);
    std::memset(trimmed.get() + imageHeader, 0xFF, kHeaderSize);
    std::unique_ptr<uint32_t[]> redecoded = NewBitmap(count);
    DecodeTimPixels(again, redecoded.get());
    return FirstDifference("decoding after the headers were overwritten", decoded, redecoded.get(),
                           count);
}

}  // namespace

std::string CheckTimRecord(const TimImageInfo& info, const uint8_t* data, size_t size) {
    if (size < kFirstBlockData) return Format("accepted a %zu-byte file", size);
    const uint32_t flags = LoadU32LE(data + 4);
    const uint32_t mode = flags & 7;
    const bool hasClut = (flags & 8) != 0;
    if (flags > 15 || mode > 3) return Format("accepted flags 0x%X", flags);

    static constexpr TimPixelFormat kFormats[4] = {TimPixelFormat::Indexed4, TimPixelFormat::Indexed8,
                                                   TimPixelFormat::Direct16, TimPixelFormat::Direct24};
    if (info.format != kFormats[mode])
        return Format("format tag %u for pixel mode %u", unsigned(info.format), mode);
    if (info.rawWidth > kMaxSide || info.height > kMaxSide)
        return Format("accepted an image of %u x %u units", info.rawWidth, info.height);
    const uint64_t raw = info.rawWidth;
    const uint64_t wantWidth = mode == 0 ? 4 * raw : mode == 1 ? 2 * raw : mode == 2 ? raw : 2 * raw / 3;
    if (info.width != wantWidth)
        return Format("width %u for mode %u and rows of %u units, should be %llu", info.width, mode,
                      info.rawWidth, static_cast<unsigned long long>(wantWidth));

    // The image block follows the first 8 bytes and, when flagged, the CLUT
    // block at the length that block claims.
    const uint64_t clutLength = hasClut ? LoadU32LE(data + 8) : 0;
    const uint64_t pixelOffset = 8 + clutLength + kHeaderSize;
    if (uintptr_t(info.pixelData) < uintptr_t(data) || OffsetOf(info.pixelData, data) != pixelOffset)
        return Format("pixelData is not at offset %llu", static_cast<unsigned long long>(pixelOffset));
    const uint64_t pixelBytes = 2 * raw * info.height;
    if (pixelOffset > size || pixelBytes > size - pixelOffset)
        return Format("image data at offset %llu, %llu bytes long, runs past the end of a %zu-byte file",
                      static_cast<unsigned long long>(pixelOffset),
                      static_cast<unsigned long long>(pixelBytes), size);
    // The image block ends at the larger of its length field and the size its
    // rows need; that end fits imageEnd whenever the file size does.
    const uint64_t imageLength = std::max<uint64_t>(LoadU32LE(data + pixelOffset - kHeaderSize),
                                                    pixelBytes + kHeaderSize);
    const uint64_t imageEnd = pixelOffset - kHeaderSize + imageLength;
    if (size <= UINT32_MAX && (info.imageEnd != imageEnd || imageEnd > size))
        return Format("imageEnd %u, the image block ends at %llu in a %zu-byte file", info.imageEnd,
                      static_cast<unsigned long long>(imageEnd), size);

    if (hasClut) {
        if (info.clutData != data + kFirstBlockData) return "clutData is not at offset 20";
        if (info.clutWidth > kMaxSide || info.clutHeight > kMaxSide)
            return Format("accepted a CLUT of %u x %u entries", info.clutWidth, info.clutHeight);
        // The entries must end inside the CLUT block, before the image header,
        // and so inside the file.
        const uint64_t clutEnd = kFirstBlockData + 2 * uint64_t(info.clutWidth) * info.clutHeight;
        if (clutEnd > pixelOffset - kHeaderSize)
            return Format("CLUT entries run to offset %llu, past their block's end at %llu",
                          static_cast<unsigned long long>(clutEnd),
                          static_cast<unsigned long long>(pixelOffset - kHeaderSize));
        const unsigned wantPalette = mode == 0 ? 16 : mode == 1 ? 256 : 0;
        const unsigned wantCount =
            wantPalette ? uint16_t(uint32_t(info.clutWidth) * info.clutHeight / wantPalette) : 0;
        if (info.paletteSize != wantPalette || info.clutCount != wantCount)
            return Format("palette size %u and count %u, should be %u and %u", info.paletteSize,
                          info.clutCount, wantPalette, wantCount);
    } else if (info.paletteSize || info.clutWidth || info.clutHeight || info.clutCount) {
        return "a file without a CLUT block has CLUT sizes";
    }
    return {};
}

std::string CheckDecodedPixels(const TimImageInfo& info, const uint32_t* pixels) {
    const size_t width = info.width, height = info.height;
    const bool greyRamp = IsIndexed(info.format) && info.paletteSize < PaletteEntries(info.format);
    for (size_t row = 0; row < height; ++row) {
        const size_t sourceRow = height - 1 - row;  // bottom-up bitmap
        for (size_t x = 0; x < width; ++x) {
            const uint32_t p = pixels[row * width + x];
            const uint32_t alpha = p >> 24;
            const uint32_t r = (p >> 16) & 255, g = (p >> 8) & 255, b = p & 255;
            const char* broken = nullptr;
            if (p == kTimRoadUnwritten)
                broken = "was never written";
            else if (alpha == 0 && p != 0)
                broken = "has alpha 0 but colour bits set";
            else if (alpha != 0 && alpha != 255)
                broken = "has an alpha other than 0 and 255";
            else if (info.format == TimPixelFormat::Direct24 && alpha != 255)
                broken = "is a 24-bit pixel that is not opaque";
            else if (greyRamp && (alpha != 255 || r != g || g != b))
                broken = "comes from the grey ramp but is not opaque grey";
            else if (p != ExpectedPixel(info, x, sourceRow))
                broken = "differs from its source bytes";
            if (broken)
                return Format("pixel (%zu, %zu) of a %zu x %zu bitmap, from source row %zu, %s: 0x%08X "
                              "(expected 0x%08X)",
                              x, row, width, height, sourceRow, broken, p, ExpectedPixel(info, x, sourceRow));
        }
    }
    return {};
}

std::string CheckTimReader(const uint8_t* data, size_t size, const TimReaderDrive& drive) {
    TimReadOptions options;
    options.palette = drive.palette;
    options.headerOnly = drive.headerOnly;
    if (drive.sizeKnown) options.inputSize = size;
    TimReader reader(options);
    size_t at = 0;
    // The piece the reader ended in: what FeedInPlace may point into, kept
    // until the pixels are compared; every other piece is freed once fed.
    std::unique_ptr<uint8_t[]> last;
    size_t fed = 0;  // bytes given to Feed
    for (;;) {
        const TimReadStep step = reader.Next();
        if (step.action == TimReadAction::Done || step.action == TimReadAction::Refused) break;
        if (step.count == 0) return Format("reader: asks for 0 bytes at %zu", at);
        if (reader.Position() != at) return Format("reader: at %llu, the input at %zu",
                                                   (unsigned long long)reader.Position(), at);
        if (at == size) {
            reader.EndOfInput();
            const TimReadAction after = reader.Next().action;
            if (after != TimReadAction::Done && after != TimReadAction::Refused)
                return Format("reader: still asks for bytes after the input ended at %zu", size);
            break;
        }
        if (drive.seek && step.action == TimReadAction::Skip) {
            const size_t moved = size_t(std::min<uint64_t>(step.count, size - at));
            reader.Skipped(moved);
            at += moved;
            continue;
        }
        size_t piece = std::min(drive.piece, size - at);
        if (drive.seek) piece = size_t(std::min<uint64_t>(piece, step.count));  // skips stay seeks
        // Exactly the piece, so that a sanitizer flags a read past it.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[piece]);
        std::memcpy(copy.get(), data + at, piece);
        const size_t used = drive.inPlace ? reader.FeedInPlace(copy.get(), piece) : reader.Feed(copy.get(), piece);
        at += used;
        fed += piece;
        const TimReadAction after = reader.Next().action;
        if (after == TimReadAction::Done || after == TimReadAction::Refused) last = std::move(copy);
        if (used < piece && after != TimReadAction::Done && after != TimReadAction::Refused)
            return Format("reader: took %zu of %zu bytes and asks for more", used, piece);
    }

    TimImageInfo whole;
    std::memset(&whole, 0, sizeof whole);
    const TimRefusal expected = FindTimRefusal(whole, data, size);
    const TimRefusal got = reader.Refusal();
    if (got.reason != expected.reason || got.value != expected.value)
        return Format("reader: reason %u (%u), the whole file's %u (%u)", unsigned(got.reason), got.value,
                      unsigned(expected.reason), expected.value);
    if (reader.Position() > size) return "reader: moved past the input's end";
    // Headers only, by seeking: the file header, the first block's header and
    // the image block's header are all it reads.
    if (drive.headerOnly && drive.seek && fed > 32) return Format("reader: read %zu bytes for the headers", fed);
    if (expected.reason != TimRefusalReason::Accepted) return "";
    if (reader.Next().action != TimReadAction::Done) return "reader: accepted but not done";
    if (reader.Position() > whole.imageEnd) return "reader: read past the image block";

    const bool found = SelectTimPalette(whole, drive.palette);
    if (reader.PaletteFound() != found) return "reader: palette found where SelectTimPalette did not, or not where it did";
    TimImageInfo mine = reader.Record();
    if ((mine.clutData == nullptr) != (whole.clutData == nullptr)) return "reader: clutData set without a CLUT, or not with one";
    const TimRefusal draw = TimDrawRefusal(whole);
    if (reader.DrawRefusal().reason != draw.reason) return "reader: another draw refusal";
    const bool drawn = found && !drive.headerOnly && draw.reason == TimRefusalReason::Accepted;
    if ((mine.pixelData != nullptr) != drawn) return drawn ? "reader: no rows for an image it draws" : "reader: kept rows it does not draw";
    const size_t pixels = size_t(whole.width) * whole.height;
    if (reader.StoredBytes() > 544 + 4 * (drawn ? pixels : 0))
        return Format("reader: holds %zu bytes for %zu pixels", reader.StoredBytes(), drawn ? pixels : 0);
    if (drive.inPlace && drive.piece >= size && reader.StoredBytes() > 544)
        return "reader: copied the rows of a file fed whole in place";

    TimImageInfo a = whole, b = mine;
    a.clutData = b.clutData = a.pixelData = b.pixelData = nullptr;
    if (std::memcmp(&a, &b, sizeof a) != 0) return "reader: the record differs from the whole file's";
    if (!drawn || uint64_t(pixels) * 4 > kTimRoadMaxBitmapBytes) return "";
    std::unique_ptr<uint32_t[]> want = NewBitmap(pixels), have = NewBitmap(pixels);
    DecodeTimPixels(whole, want.get());
    DecodeTimPixels(mine, have.get());
    return FirstDifference("reader: decoding its record", want.get(), have.get(), pixels);
}

TimRoadOutcome RunTimRoad(const uint8_t* data, size_t size) {
    TimRoadOutcome outcome;
    // The reader as the plug-ins drive it (pieces, skips fed) and as tim2png
    // does (a seekable file of known size), with another palette.
    for (const TimReaderDrive drive : {TimReaderDrive{7, false, false, 0, false, false},
                                       TimReaderDrive{4096, true, true, 1, false, false},
                                       TimReaderDrive{SIZE_MAX, false, false, 0, false, true}}) {
        outcome.fault = CheckTimReader(data, size, drive);
        if (!outcome.fault.empty()) return outcome;
    }
    if (!CheckTimSignature(data, size)) return outcome;
    outcome.stage = TimRoadStage::RejectedByParser;
    TimImageInfo info;
    std::memset(&info, 0, sizeof info);  // clutData stays null without a CLUT block
    if (!ParseTimHeader(info, data, data + size)) return outcome;
    outcome.stage = TimRoadStage::Accepted;
    outcome.fault = CheckTimRecord(info, data, size);
    if (!outcome.fault.empty()) return outcome;

    const size_t count = size_t(info.width) * info.height;
    if (uint64_t(count) * 4 > kTimRoadMaxBitmapBytes) return outcome;
    outcome.stage = TimRoadStage::Decoded;
    std::unique_ptr<uint32_t[]> decoded = NewBitmap(count);
    DecodeTimPixels(info, decoded.get());
    outcome.fault = CheckDecodedPixels(info, decoded.get());
    if (!outcome.fault.empty()) return outcome;

    // Decoded pixels are opaque or all zero, so premultiplying changes nothing.
    std::unique_ptr<uint32_t[]> premultiplied = NewBitmap(count);
    std::copy_n(decoded.get(), count, premultiplied.get());
    PremultiplyPixels(premultiplied.get(), count);
    outcome.fault = FirstDifference("premultiplying a decoded image", decoded.get(), premultiplied.get(), count);
    if (!outcome.fault.empty()) return outcome;

    if (info.imageEnd <= size) outcome.fault = CheckTrimmedAndScribbled(info, data, decoded.get(), count);
    return outcome;
}

// The psTM chunk's layout, version 1 (integers little-endian, as in a TIM):
//
//   offset 0   u8  layout version, 1
//   offset 1   u8  0 (no flags yet)
//   offset 2   u32 H: head length, the TIM's bytes before its first pixel
//                  (file header, the whole CLUT block as the file has it,
//                  the image block's header)
//   offset 6   u32 S: slack length, the image block's bytes after its last
//                  row, up to the end its length field claims
//   offset 10  u32 T: tail length, the bytes of 24-bit rows after their last
//                  whole pixel, row after row (0 for other formats)
//   offset 14  u32 P: STP length, one bit per pixel of a 16-bit image, row
//                  after row, lowest bit first (0 for other formats)
//   offset 18  H head bytes, S slack bytes, T tail bytes, P STP bytes
//
// The four lengths add up to the chunk's size exactly. Between head and slack
// go the pixel rows, which the PNG's pixels give back.
#include "TimChunk.h"

#include "ByteIo.h"
#include "TimLayout.h"

#include <cstring>

namespace {

constexpr uint8_t kLayoutVersion = 1;
constexpr size_t kFixedBytes = 18;

void PutU32(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

uint64_t PixelBytes(const TimImageInfo& info) { return uint64_t(info.rawWidth) * 2 * info.height; }

// Bytes after the last whole pixel of each 24-bit row.
uint32_t RowTail(const TimImageInfo& info) {
    return info.format == TimPixelFormat::Direct24 ? uint32_t(info.rawWidth) * 2 - 3u * info.width : 0;
}

uint64_t StpBytes(const TimImageInfo& info) {
    return info.format == TimPixelFormat::Direct16 ? (uint64_t(info.width) * info.height + 7) / 8 : 0;
}

// The decoder's verdict on a whole template: accepted, drawn, and ending
// exactly where the bytes do.
bool Accept(TimTemplate& t, std::string& why) {
    const TimRefusal refusal = FindTimRefusal(t.info, t.tim.data(), t.tim.size());
    if (refusal.reason != TimRefusalReason::Accepted) {
        why = TimRefusalText(refusal);
        return false;
    }
    if (const std::string draw = TimDrawRefusalText(t.info); !draw.empty()) {
        why = draw;
        return false;
    }
    return true;
}

}  // namespace

uint64_t TimBytesBesidePixels(uint64_t imageEnd, const TimImageInfo& info) {
    const uint64_t pixels = PixelBytes(info);
    return imageEnd > pixels ? imageEnd - pixels : 0;
}

std::vector<uint8_t> MakeTimChunk(const std::vector<uint8_t>& tim, const TimImageInfo& info) {
    const uint8_t* start = tim.data();
    const size_t head = size_t(info.pixelData - start);
    const uint64_t pixels = PixelBytes(info);
    const uint64_t slack = info.imageEnd - head - pixels;
    const uint32_t tail = RowTail(info);
    const uint64_t tails = uint64_t(tail) * info.height, stp = StpBytes(info);
    if (kFixedBytes + head + slack + tails + stp > kMaxTimChunkBytes) return {};

    std::vector<uint8_t> chunk{kLayoutVersion, 0};
    chunk.reserve(size_t(kFixedBytes + head + slack + tails + stp));
    PutU32(chunk, head);
    PutU32(chunk, slack);
    PutU32(chunk, tails);
    PutU32(chunk, stp);
    chunk.insert(chunk.end(), start, start + head);
    chunk.insert(chunk.end(), start + head + pixels, start + info.imageEnd);
    const size_t stride = size_t(info.rawWidth) * 2;
    for (size_t y = 0; y < info.height && tail; ++y) {
        const uint8_t* row = info.pixelData + y * stride;
        chunk.insert(chunk.end(), row + 3 * size_t(info.width), row + stride);
    }
    if (stp) {
        const size_t at = chunk.size();
        chunk.resize(at + size_t(stp), 0);
        const size_t count = size_t(info.width) * info.height;
        for (size_t i = 0; i < count; ++i)
            if (info.pixelData[2 * i + 1] & 0x80) chunk[at + i / 8] |= uint8_t(1u << (i % 8));
    }
    return chunk;
}

bool TimTemplateFromChunk(const uint8_t* data, size_t size, uint32_t width, uint32_t height, TimTemplate& out,
                          std::string& why) {
    const auto fail = [&why](std::string text) {
        why = std::move(text);
        return false;
    };
    const std::string damaged = "damaged TIM chunk: ";
    if (size < kFixedBytes) return fail(damaged + "shorter than its header");
    if (data[0] != kLayoutVersion) return fail(damaged + "layout " + std::to_string(data[0]) + " is not known");
    const uint64_t head = LoadU32LE(data + 2), slack = LoadU32LE(data + 6), tails = LoadU32LE(data + 10),
                   stp = LoadU32LE(data + 14);
    const uint8_t* p = data + kFixedBytes;
    const size_t held = size_t(data + size - p);
    if (head + slack + tails + stp != held)
        return fail(damaged + "its lengths claim " + std::to_string(head + slack + tails + stp) + " bytes, it holds " +
                    std::to_string(held));
    using namespace tim_layout;
    if (head < kFileHeaderSize + kBlockHeaderSize) return fail(damaged + "its TIM head is too short");
    // The image block's header ends the head: it says how many pixel bytes
    // go between head and slack, which must be the PNG's own size.
    const uint32_t mode = LoadU32LE(p + 4) & 7;
    const BlockHeader image = ReadBlockHeader(p + head - kBlockHeaderSize);
    if (mode > 3 || PixelWidth(mode, image.w) != width || image.h != height)
        return fail("the TIM chunk describes another image than the PNG's " + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels");
    const uint64_t pixels = DataBlockSize(image) - kBlockHeaderSize;

    out = {};
    out.tim.reserve(size_t(head + pixels + slack));
    out.tim.assign(p, p + head);
    out.tim.resize(size_t(head + pixels), 0);
    out.tim.insert(out.tim.end(), p + head, p + head + slack);
    if (!Accept(out, why)) return fail("the TIM chunk holds a TIM the decoder refuses: " + why);
    if (out.info.pixelData != out.tim.data() + head || out.info.imageEnd != out.tim.size())
        return fail(damaged + "its head and slack do not make one TIM");
    if (tails != uint64_t(RowTail(out.info)) * height || stp != StpBytes(out.info))
        return fail(damaged + "its row tails or STP bits do not fit the image");

    uint8_t* rows = out.tim.data() + head;
    const size_t stride = size_t(out.info.rawWidth) * 2, tail = RowTail(out.info);
    const uint8_t* from = p + head + slack;
    for (size_t y = 0; y < height && tail; ++y, from += tail)
        std::memcpy(rows + y * stride + 3 * size_t(width), from, tail);
    for (size_t i = 0; i < size_t(width) * height && stp; ++i)
        if (from[i / 8] >> (i % 8) & 1) rows[2 * i + 1] = 0x80;
    out.pixelsKnown = false;
    return true;
}

bool TimTemplateFromFile(std::vector<uint8_t> bytes, TimTemplate& out, std::string& why) {
    out = {};
    out.tim = std::move(bytes);
    if (!Accept(out, why)) return false;
    out.tim.resize(out.info.imageEnd);  // trailing bytes are no part of the TIM; shrinking keeps the pointers
    out.pixelsKnown = true;
    return true;
}

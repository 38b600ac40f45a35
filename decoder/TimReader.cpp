#include "TimReader.h"

#include "ByteIo.h"
#include "TimLayout.h"

#include <algorithm>
#include <cstring>

using namespace tim_layout;

namespace {

using R = TimRefusalReason;

// The file header and the first block's header: every rule before the first
// "fits in the file" test reads these bytes only.
constexpr uint64_t kHeadSize = kFileHeaderSize + kBlockHeaderSize;

}  // namespace

TimReader::TimReader(const TimReadOptions& options) : options_(options), end_(options.inputSize) {
    Advance();
}

TimReader::~TimReader() {
    if (rows_) options_.release(rows_);
}

void TimReader::Refuse(TimRefusal refusal) {
    refusal_ = refusal;
    step_ = {TimReadAction::Refused, 0};
}

void TimReader::AddGate(uint64_t offset, TimRefusal refusal) {
    gates_[gateCount_++] = {offset, refusal};
}

void TimReader::AddSpan(uint64_t offset, uint64_t length, uint8_t* to) {
    if (length) spans_[spanCount_++] = {offset, length, to};
}

// The rules of FindTimRefusal, in its order, as gates: each size test
// becomes the offset the file must reach; a rule that fails on the headers
// alone refuses once the gates before it are passed, as the whole-file walk
// reaches it only then.
void TimReader::PlanFromHead() {
    const uint32_t flags = LoadU32LE(head_ + 4);
    const uint32_t firstLength = LoadU32LE(head_ + 8);
    if (LoadU32LE(head_) != kTimIdentifier) return Refuse({R::NoIdentifier});
    if (flags > kTimMaxFlags) return Refuse({R::UnknownFlags, flags});
    if (firstLength < kBlockHeaderSize) return Refuse({R::FirstBlockTooShort});
    AddGate(kFileHeaderSize + uint64_t(firstLength), {R::FirstBlockPastEnd});
    const uint32_t mode = flags & 7;
    if (mode > 3) return AddGate(0, {R::UnsupportedMode, mode});

    if (!(flags & kClutFlag)) {
        paletteFound_ = options_.palette == 0;
        return PlanFromImageHeader(head_ + kFileHeaderSize, kFileHeaderSize);
    }
    // 13, not 12: a CLUT block must leave at least one byte after its header.
    AddGate(kHeadSize + 1, {R::BlocksPastEnd});
    const BlockHeader clut = ReadBlockHeader(head_ + kFileHeaderSize);
    if (clut.w > kMaxBlockSide || clut.h > kMaxBlockSide) return AddGate(0, {R::BlockTooLarge});
    if (clut.length < DataBlockSize(clut)) return AddGate(0, {R::ClutShorterThanColours});
    info_.clutX = clut.x;
    info_.clutY = clut.y;
    info_.paletteSize = PaletteSizeOfMode(mode);
    info_.clutData = palette_;
    info_.clutCount = info_.paletteSize ? uint16_t((uint32_t(clut.w) * clut.h) / info_.paletteSize) : 0;
    info_.clutWidth = clut.w;
    info_.clutHeight = clut.h;
    PlanPalette(clut.w, clut.h);
    imageStart_ = kFileHeaderSize + uint64_t(clut.length);
    AddGate(imageStart_ + kBlockHeaderSize, {R::BlocksPastEnd});
    AddSpan(imageStart_, kBlockHeaderSize, imageHeader_);
}

// Keeps the one palette drawn, the colours DecodeTimPixels reads of it.
void TimReader::PlanPalette(uint16_t clutWidth, uint16_t clutHeight) {
    const uint32_t index = options_.palette;
    paletteFound_ = index == 0 || index < TimPaletteCount(info_);
    const uint64_t entries = info_.paletteSize;
    if (!paletteFound_ || entries == 0 || options_.headerOnly) return;
    // Whole palettes lie inside the CLUT block, which the gates above check.
    uint64_t offset = kHeadSize, count = std::min<uint64_t>(uint64_t(clutWidth) * clutHeight, entries);
    if (index > 0) {
        offset += uint64_t(index) * entries * 2;
        count = entries;
        info_.clutWidth = info_.paletteSize;
        info_.clutHeight = 1;
        info_.clutCount = 1;
    }
    AddSpan(offset, count * 2, palette_);
}

void TimReader::PlanFromImageHeader(const uint8_t* header, uint64_t imageStart) {
    const BlockHeader image = ReadBlockHeader(header);
    if (image.w > kMaxBlockSide || image.h > kMaxBlockSide) return AddGate(0, {R::BlockTooLarge});
    // A too-small length field is not an error: the block is taken at the
    // size its rows need. A longer one is slack, checked by position only.
    const uint64_t effectiveLength = std::max<uint64_t>(DataBlockSize(image), image.length);
    AddGate(imageStart + effectiveLength, {R::BlocksPastEnd});
    const uint32_t mode = LoadU32LE(head_ + 4) & 7;
    width_ = PixelWidth(mode, image.w);
    height_ = image.h;
    sizeKnown_ = true;
    if (width_ > kMaxTimWidth) return AddGate(0, {R::TooWide, width_});
    info_.format = FormatOfMode(mode);
    info_.width = uint16_t(width_);
    info_.imageX = image.x;
    info_.imageY = image.y;
    imageEnd_ = imageStart + effectiveLength;
    info_.imageEnd = uint32_t(imageEnd_);
    info_.rawWidth = image.w;
    info_.height = image.h;
    if (!options_.headerOnly && paletteFound_ && TimDrawRefusal(info_).reason == R::Accepted)
        AddSpan(imageStart + kBlockHeaderSize, uint64_t(image.w) * image.h * 2, nullptr);
}

void TimReader::Advance() {
    while (step_.action == TimReadAction::Read || step_.action == TimReadAction::Skip) {
        if (!headDone_) {
            const uint64_t want = std::min(kHeadSize, end_);
            if (position_ < want) {
                step_ = {TimReadAction::Read, want - position_};
                return;
            }
            headDone_ = true;
            if (position_ < kHeadSize) {
                // The whole file is in the head: the whole-file walk judges it.
                TimImageInfo unused{};
                return Refuse(FindTimRefusal(unused, head_, position_));
            }
            PlanFromHead();
            continue;
        }

        // The gates the position has reached stay passed; the others pass
        // or fail against the input's size when it is known, and otherwise
        // wait, and every gate after them with them.
        while (gatesPassed_ < gateCount_ && gates_[gatesPassed_].offset != 0 &&
               gates_[gatesPassed_].offset <= position_)
            ++gatesPassed_;
        uint64_t waitingFor = 0;
        for (size_t i = gatesPassed_; i < gateCount_ && !waitingFor; ++i) {
            const Gate& gate = gates_[i];
            if (gate.offset == 0) return Refuse(gate.refusal);
            if (gate.offset <= position_ || (end_ != kTimUnknownSize && gate.offset <= end_)) continue;
            if (end_ != kTimUnknownSize) return Refuse(gate.refusal);
            waitingFor = gate.offset;
        }

        if (spansDone_ < spanCount_) {
            const Span& span = spans_[spansDone_];
            if (position_ < span.offset) {
                step_ = {TimReadAction::Skip, span.offset - position_};
                return;
            }
            if (position_ < span.offset + span.length) {
                step_ = {TimReadAction::Read, span.offset + span.length - position_};
                return;
            }
            ++spansDone_;
            if (span.to == imageHeader_) PlanFromImageHeader(imageHeader_, imageStart_);
            continue;
        }
        if (waitingFor) {
            step_ = {TimReadAction::Skip, waitingFor - position_};
            return;
        }
        info_.pixelData = rows_ ? rows_ : borrowedRows_;
        step_ = {TimReadAction::Done, 0};
    }
}

bool TimReader::Take(const uint8_t* data, size_t count) {
    if (!headDone_) {
        std::memcpy(head_ + position_, data, count);
        return true;
    }
    const Span& span = spans_[spansDone_];
    uint8_t* to = span.to;
    if (!to && inPlace_ && !rows_ && position_ == span.offset && count == span.length) {
        borrowedRows_ = data;
        borrowedLength_ = count;
        return true;
    }
    if (!to) {
        // The rows' buffer, once their first byte is here: at most 4 bytes a
        // pixel of an image the draw limits let through.
        if (!rows_) {
            rows_ = static_cast<uint8_t*>(options_.allocate(size_t(span.length)));
            if (!rows_) {
                Refuse({R::NoMemory, width_, height_});
                return false;
            }
            rowBytes_ = size_t(span.length);
        }
        to = rows_;
    }
    std::memcpy(to + (position_ - span.offset), data, count);
    return true;
}

size_t TimReader::Feed(const uint8_t* data, size_t size) {
    size_t used = 0;
    while (used < size && (step_.action == TimReadAction::Read || step_.action == TimReadAction::Skip)) {
        const size_t count = size_t(std::min<uint64_t>(size - used, step_.count));
        if (step_.action == TimReadAction::Read && !Take(data + used, count)) break;
        position_ += count;
        used += count;
        Advance();
    }
    return used;
}

size_t TimReader::FeedInPlace(const uint8_t* data, size_t size) {
    inPlace_ = true;
    const size_t used = Feed(data, size);
    inPlace_ = false;
    if (borrowedRows_ && (step_.action == TimReadAction::Read || step_.action == TimReadAction::Skip)) {
        // Still waiting for the file to reach its end: the rows must outlive
        // the piece they came in.
        rows_ = static_cast<uint8_t*>(options_.allocate(borrowedLength_));
        if (rows_) {
            std::memcpy(rows_, borrowedRows_, borrowedLength_);
            rowBytes_ = borrowedLength_;
        } else {
            Refuse({TimRefusalReason::NoMemory, width_, height_});
        }
    }
    if (step_.action != TimReadAction::Done) borrowedRows_ = nullptr;
    return used;
}

void TimReader::Skipped(uint64_t count) {
    if (step_.action != TimReadAction::Skip) return;
    position_ += std::min(count, step_.count);
    Advance();
}

void TimReader::EndOfInput() {
    if (step_.action != TimReadAction::Read && step_.action != TimReadAction::Skip) return;
    end_ = position_;
    Advance();
}

TimRefusal TimReader::DrawRefusal() const {
    return TimDrawRefusal(info_);
}

size_t TimReader::StoredBytes() const {
    return sizeof head_ + sizeof imageHeader_ + sizeof palette_ + rowBytes_;
}

#include "TimDeviceReader.h"

#include "TimDecode.h"

#include <QIODevice>

#include <algorithm>

namespace {

// How long a pipe may stay silent before the file counts as ended.
constexpr int kReadTimeoutMs = 5000;

constexpr size_t kHeadBytes = 20;

bool Ended(const TimReader& reader) {
    const TimReadAction action = reader.Next().action;
    return action == TimReadAction::Done || action == TimReadAction::Refused;
}

}  // namespace

void TimDeviceReader::Drive(QIODevice* device, bool untilSize) {
    if (!reader_) {
        // What a seekable device still holds bounds the file, so that slack is
        // sought over and never past the end. A size of 0 may only mean
        // unknown, as for files in /proc: then it is read like a pipe.
        TimReadOptions options;
        const qint64 left = device->isSequential() ? 0 : device->size() - device->pos();
        if (left > 0) options.inputSize = uint64_t(left);
        seekable_ = left > 0;
        reader_ = std::make_unique<TimReader>(options);
    }
    TimReader& reader = *reader_;
    char buffer[65536];
    while (!Ended(reader) && !(untilSize && reader.SizeKnown())) {
        const TimReadStep step = reader.Next();
        if (step.action == TimReadAction::Skip && seekable_ && device->seek(device->pos() + qint64(step.count))) {
            reader.Skipped(step.count);
            continue;
        }
        const qint64 ask = qint64(std::min<uint64_t>(step.count, sizeof buffer));
        qint64 got = device->read(buffer, ask);
        if (got == 0 && device->isSequential() && device->waitForReadyRead(kReadTimeoutMs))
            got = device->read(buffer, ask);
        if (got <= 0) {
            reader.EndOfInput();
            continue;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
        if (head_.size() < kHeadBytes)
            head_.insert(head_.end(), bytes, bytes + std::min<size_t>(size_t(got), kHeadBytes - head_.size()));
        reader.Feed(bytes, size_t(got));
    }
}

QSize TimDeviceReader::ReadSize(QIODevice* device) {
    Drive(device, true);
    if (reader_->SizeKnown() && reader_->Width() <= kMaxTimWidth)
        return QSize(int(reader_->Width()), int(reader_->Height()));
    // Headers that refuse the file before the image block is reached.
    return QSize();
}

bool TimDeviceReader::Fail(const QString& why) {
    error_ = why;
    return false;
}

bool TimDeviceReader::ReadImage(QIODevice* device, QImage* image) {
    error_.clear();
    Drive(device, true);
    // Refused before its pixels are read: nothing of it would be drawn.
    if (reader_->SizeKnown() && reader_->Width() <= kMaxTimWidth) {
        TimImageInfo probe{};
        probe.width = uint16_t(reader_->Width());
        probe.height = uint16_t(reader_->Height());
        if (const TimRefusal draw = TimDrawRefusal(probe); draw.reason != TimRefusalReason::Accepted)
            return Fail(QString::fromStdString(TimRefusalText(draw)));
    }
    Drive(device, false);
    if (const TimRefusal refusal = reader_->Refusal(); refusal.reason != TimRefusalReason::Accepted)
        return Fail(QString::fromStdString(TimRefusalText(refusal)));
    if (const TimRefusal draw = reader_->DrawRefusal(); draw.reason != TimRefusalReason::Accepted)
        return Fail(QString::fromStdString(TimRefusalText(draw)));

    const TimImageInfo& info = reader_->Record();
    QImage decoded(info.width, info.height, QImage::Format_ARGB32);
    if (decoded.isNull())
        return Fail(QString::fromStdString(TimRefusalText({TimRefusalReason::NoMemory, info.width, info.height})));
    // Format_ARGB32 is the decoder's pixel (0xAARRGGBB), its rows have no gap
    // at 4 bytes per pixel, and they run top-down. The decoder's pixels have
    // alpha 0 or 255 only, which premultiplying leaves unchanged, so they are
    // already the handler's in straight alpha.
    DecodeTimRows(info, 0, info.height, reinterpret_cast<uint32_t*>(decoded.bits()));
    *image = std::move(decoded);
    return true;
}

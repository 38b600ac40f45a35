#include "TimDeviceReader.h"

#include "TimDecode.h"

#include <QIODevice>

#include <algorithm>
#include <new>

namespace {

// A header may claim gigabytes that the file does not hold: the buffer grows
// with what actually arrives, at most doubling, never by what is claimed.
constexpr qint64 kFirstChunk = 64 * 1024;

// How long a pipe may stay silent before the file counts as ended.
constexpr int kReadTimeoutMs = 5000;

}  // namespace

TimBytesNeeded TimDeviceReader::Fill(QIODevice* device, bool headerOnly) {
    for (;;) {
        const TimBytesNeeded need = TimBytesToRead(bytes_.data(), bytes_.size());
        const uint64_t have = bytes_.size();
        if (need.bytes <= have || ended_ || (headerOnly && need.sizeKnown)) return need;
        // What a seekable device still holds is known, and bounds the read
        // as well as what the header claims (a size of 0 may only mean
        // unknown, as for files in /proc: then it is read like a pipe).
        uint64_t chunk = std::min<uint64_t>(need.bytes - have, std::max<uint64_t>(kFirstChunk, have));
        const qint64 left = device->isSequential() ? 0 : device->size() - device->pos();
        if (left > 0) chunk = std::min(need.bytes - have, uint64_t(left));
        try {
            bytes_.resize(size_t(have) + size_t(chunk));
        } catch (const std::bad_alloc&) {
            outOfMemory_ = ended_ = true;
            return need;
        }
        auto* target = reinterpret_cast<char*>(bytes_.data() + have);
        qint64 got = device->read(target, qint64(chunk));
        if (got == 0 && device->isSequential() && device->waitForReadyRead(kReadTimeoutMs))
            got = device->read(target, qint64(chunk));
        bytes_.resize(size_t(have) + size_t(std::max<qint64>(got, 0)));
        if (got <= 0) ended_ = true;
    }
}

QSize TimDeviceReader::ReadSize(QIODevice* device) {
    const TimBytesNeeded need = Fill(device, true);
    if (need.sizeKnown && need.width <= 0xFFFF) return QSize(int(need.width), int(need.height));
    // Headers that refuse the file before the image block is reached.
    return QSize();
}

bool TimDeviceReader::Fail(const QString& why) {
    error_ = why;
    return false;
}

bool TimDeviceReader::ReadImage(QIODevice* device, QImage* image) {
    error_.clear();
    const TimBytesNeeded need = Fill(device, true);
    // Refused before its pixels are read: nothing of it would be drawn.
    if (need.sizeKnown && uint64_t(need.width) * need.height > kMaxTimPixels)
        return Fail(QStringLiteral("image too large: %1 x %2 pixels (at most %3)")
                        .arg(need.width)
                        .arg(need.height)
                        .arg(kMaxTimPixels));
    Fill(device, false);
    if (outOfMemory_) return Fail(QStringLiteral("not enough memory to read the file"));

    // Zero-filled, so that clutData stays null without a CLUT block.
    TimImageInfo info{};
    const TimRefusal refusal = FindTimRefusal(info, bytes_.data(), bytes_.size());
    if (refusal.reason != TimRefusalReason::Accepted)
        return Fail(QString::fromStdString(TimRefusalText(refusal)));
    if (info.width == 0 || info.height == 0)
        return Fail(QStringLiteral("the image has no pixels (%1 x %2)").arg(info.width).arg(info.height));

    QImage decoded(info.width, info.height, QImage::Format_ARGB32);
    if (decoded.isNull()) return Fail(QStringLiteral("not enough memory for the image"));
    // Format_ARGB32 is the decoder's pixel (0xAARRGGBB), its rows have no gap
    // at 4 bytes per pixel, and they run top-down. The decoder's pixels have
    // alpha 0 or 255 only, which premultiplying leaves unchanged, so they are
    // already the handler's in straight alpha.
    DecodeTimRows(info, 0, info.height, reinterpret_cast<uint32_t*>(decoded.bits()));
    *image = std::move(decoded);
    return true;
}

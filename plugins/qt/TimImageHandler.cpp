#include "TimImageHandler.h"

#include "TimFormat.h"

#include <QIODevice>
#include <QVariant>

#include <algorithm>
#include <limits>

namespace {

// CheckTimSignature reads the first twelve bytes; twenty let it answer for
// every file shorter than a TIM file can be.
constexpr qint64 kSignatureBytes = 20;

// The signature rule on a file's first bytes, `head`; `fileSize` is 0 when
// unknown (a pipe).
bool StartsLikeTim(const char* head, qint64 headSize, uint64_t fileSize) {
    // The rule's last test compares the first block with the file's size. A
    // pipe's size is unknown until it has been read, so there the test waits
    // for read(), which judges the whole file; a short head is all there is
    // of a short file.
    uint64_t size = uint64_t(headSize);
    if (headSize >= kSignatureBytes) size = fileSize ? fileSize : std::numeric_limits<uint64_t>::max();
    return CheckTimSignature(reinterpret_cast<const uint8_t*>(head), size);
}

}  // namespace

bool TimImageHandler::CanRead(QIODevice* device) {
    if (!device) return false;
    const QByteArray head = device->peek(kSignatureBytes);
    const uint64_t size =
        device->isSequential() ? 0 : uint64_t(std::max<qint64>(device->size() - device->pos(), 1));
    return StartsLikeTim(head.constData(), head.size(), size);
}

bool TimImageHandler::canRead() const {
    if (done_ || !device()) return false;
    // After option(Size) on a pipe, the file's start is in the reader, no
    // longer in the device.
    const std::vector<uint8_t>& read = reader_.Bytes();
    const bool tim = read.empty() ? CanRead(device())
                                  : StartsLikeTim(reinterpret_cast<const char*>(read.data()),
                                                  qint64(std::min<size_t>(read.size(), kSignatureBytes)), 0);
    if (tim) setFormat("tim");
    return tim;
}

bool TimImageHandler::read(QImage* image) {
    if (done_ || !device()) return false;
    done_ = true;
    return reader_.ReadImage(device(), image);
}

bool TimImageHandler::supportsOption(ImageOption option) const {
    return option == Size || option == ImageFormat;
}

QVariant TimImageHandler::option(ImageOption option) const {
    if (option == ImageFormat) return QImage::Format_ARGB32;
    if (option != Size || done_ || !device()) return QVariant();
    QSize size;
    if (device()->isSequential()) {
        size = reader_.ReadSize(device());
    } else {
        // Qt's callers (Gwenview among them) expect the device where it was.
        const qint64 start = device()->pos();
        size = TimDeviceReader().ReadSize(device());
        device()->seek(start);
    }
    return size.isValid() ? QVariant(size) : QVariant();
}

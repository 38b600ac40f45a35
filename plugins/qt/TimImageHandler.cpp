#include "TimImageHandler.h"

#include "TimFormat.h"

#include <QIODevice>
#include <QVariant>

#include <limits>

namespace {

// CheckTimSignature reads the first twelve bytes; twenty let it answer for
// every file shorter than a TIM file can be.
constexpr qint64 kSignatureBytes = 20;

}  // namespace

bool TimImageHandler::CanRead(QIODevice* device) {
    if (!device) return false;
    const QByteArray head = device->peek(kSignatureBytes);
    // The signature's last rule compares the first block with the file's
    // size. A pipe's size is unknown until it has been read, so there the
    // rule waits for read(), which judges the whole file; a short peek is
    // all there is of a short file.
    uint64_t size = uint64_t(head.size());
    if (head.size() == kSignatureBytes)
        size = device->isSequential() ? std::numeric_limits<uint64_t>::max()
                                      : uint64_t(std::max<qint64>(device->size() - device->pos(), 0));
    return CheckTimSignature(reinterpret_cast<const uint8_t*>(head.constData()), size);
}

bool TimImageHandler::canRead() const {
    if (done_ || !CanRead(device())) return false;
    setFormat("tim");
    return true;
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
    const QSize size = reader_.ReadSize(device());
    return size.isValid() ? QVariant(size) : QVariant();
}

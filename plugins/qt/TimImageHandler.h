#pragma once
// Qt's reader of one TIM image on a device, created by TimImagePlugin for
// QImageReader (and so for every Qt program: image viewers, file dialogs,
// KDE's own image thumbnailer).
#include "TimDeviceReader.h"

#include <QImageIOHandler>

class TimImageHandler : public QImageIOHandler {
public:
    bool canRead() const override;
    bool read(QImage* image) override;
    QVariant option(ImageOption option) const override;
    bool supportsOption(ImageOption option) const override;

    // The signature rule on the device's next bytes, without consuming them.
    static bool CanRead(QIODevice* device);

private:
    // Keeps what option(Size) read from a pipe, which cannot be read again;
    // other devices are put back where they were.
    mutable TimDeviceReader reader_;
    bool done_ = false;               // one image per file
};

#pragma once
// A TIM file read from a QIODevice into a QImage, for the Qt image plugin and
// the KIO thumbnailer alike, through the decoder's TimReader: from the
// device's position, only the headers, the palette drawn and the rows, up to
// the end of the image block, so it works on pipes and other sequential
// devices and never reads a following file's bytes. A seekable device is
// sought over what a block's length claims beyond its pixels; a pipe's bytes
// are dropped as they come.
#include "TimFormat.h"
#include "TimReader.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class QIODevice;

class TimDeviceReader {
public:
    // The image's size from its headers alone, without its pixels; an invalid
    // QSize when the headers are not those of a TIM file or the file ends
    // before them.
    QSize ReadSize(QIODevice* device);

    // The whole image: Format_ARGB32, straight alpha, top row first, the
    // pixels of the Windows handler. False for a refused, short or
    // too-large file, with `image` untouched. One call per reader.
    bool ReadImage(QIODevice* device, QImage* image);

    // The file's first bytes read so far, at most the 20 of its first headers.
    const std::vector<uint8_t>& Bytes() const { return head_; }

    // Why the last ReadImage failed, in words; empty after a success.
    const QString& Error() const { return error_; }

private:
    // Drives the reader until it is done or refuses; with `untilSize`, until
    // the image's size is known.
    void Drive(QIODevice* device, bool untilSize);
    bool Fail(const QString& why);

    std::unique_ptr<TimReader> reader_;  // made on the first read, with what the device says of its size
    bool seekable_ = false;  // its size known, so that no skip passes its end
    std::vector<uint8_t> head_;
    QString error_;
};

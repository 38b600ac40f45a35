#pragma once
// A TIM file read from a QIODevice into a QImage, for the Qt image plugin and
// the KIO thumbnailer alike. It reads from the device's position only as far
// as the file's header says it reaches, so it works on pipes and other
// sequential devices and never reads a following file's bytes.
#include "TimFormat.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
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

    // What was read so far: the file's first bytes.
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

    // Why the last ReadImage failed, in words; empty after a success.
    const QString& Error() const { return error_; }

private:
    // Reads until TimBytesToRead is satisfied or the file ends; with
    // `headerOnly`, until the image's size is known.
    TimBytesNeeded Fill(QIODevice* device, bool headerOnly);
    bool Fail(const QString& why);

    std::vector<uint8_t> bytes_;  // the file from the device's first position on
    bool ended_ = false;
    bool outOfMemory_ = false;
    QString error_;
};

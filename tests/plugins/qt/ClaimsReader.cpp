// One file through QImageReader, as an application opens it: by name, or
// from a sequential device that hands over CHUNK bytes a read (a socket, a
// pipe, a download). For tests/claims/claims_test.py, which judges the
// picture and measures the process's memory. A device is read as a "tim",
// as such a client knows the type from its source: Qt picks a plugin by
// peeking at what the device has at that moment, so no format is recognised
// on a device that hands over fewer bytes than its signature.
//
//     qt<N>_claims_reader FILE CHUNK OUT.rgba
//
// Prints "WIDTH HEIGHT" and writes the picture's rows, top first, as straight
// RGBA; or prints "refused: ERROR" and exits 1.
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <cstdio>

namespace {

class ChunkedDevice : public QIODevice {
public:
    ChunkedDevice(const QString& path, qint64 chunk) : file_(path), chunk_(chunk) {}
    bool open(OpenMode mode) override { return file_.open(QIODevice::ReadOnly) && QIODevice::open(mode); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 max) override { return file_.read(data, std::min(max, chunk_)); }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QFile file_;
    qint64 chunk_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE CHUNK OUT.rgba\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const qint64 chunk = QByteArray(argv[2]).toLongLong();
    ChunkedDevice device(path, chunk);
    QImageReader reader;
    if (chunk > 0) {
        if (!device.open(QIODevice::ReadOnly)) return 3;
        reader.setDevice(&device);
        reader.setFormat("tim");
    } else {
        reader.setFileName(path);
    }
    const QImage image = reader.read().convertToFormat(QImage::Format_RGBA8888);
    if (image.isNull()) {
        std::printf("refused: %s\n", qPrintable(reader.errorString()));
        return 1;
    }
    QFile out(QString::fromLocal8Bit(argv[3]));
    if (!out.open(QIODevice::WriteOnly)) return 3;
    for (int y = 0; y < image.height(); ++y)
        out.write(reinterpret_cast<const char*>(image.constScanLine(y)), qint64(image.width()) * 4);
    std::printf("%d %d\n", image.width(), image.height());
    return 0;
}

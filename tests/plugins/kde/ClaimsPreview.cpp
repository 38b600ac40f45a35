// One file through KIO::PreviewJob, as Dolphin asks for its thumbnail, for
// tests/claims/claims_test.py, which judges the picture and measures the
// memory of this process and of the thumbnail worker it starts.
//
//     kio_claims_preview FILE SIZE OUT.rgba
//
// Prints "WIDTH HEIGHT" and writes the preview's rows, top first, as
// straight RGBA; or prints "refused: no preview" and exits 1.
#include <KFileItem>
#include <KIO/PreviewJob>

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE SIZE OUT.rgba\n", argv[0]);
        return 2;
    }
    const QStringList plugins = {QStringLiteral("timthumbnail")};
    const int size = QByteArray(argv[2]).toInt();
    KIO::PreviewJob* job = KIO::filePreview(KFileItemList{KFileItem(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])))},
                                            QSize(size, size), &plugins);
    job->setIgnoreMaximumSize(true);  // the claims are large files with small images
    QImage image;
    QObject::connect(job, &KIO::PreviewJob::gotPreview,
                     [&](const KFileItem&, const QPixmap& preview) { image = preview.toImage(); });
    QEventLoop loop;
    QObject::connect(job, &KJob::result, &loop, &QEventLoop::quit);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    if (image.isNull()) {
        std::printf("refused: no preview\n");
        return 1;
    }
    image = image.convertToFormat(QImage::Format_RGBA8888);
    QFile out(QString::fromLocal8Bit(argv[3]));
    if (!out.open(QIODevice::WriteOnly)) return 3;
    for (int y = 0; y < image.height(); ++y)
        out.write(reinterpret_cast<const char*>(image.constScanLine(y)), qint64(image.width()) * 4);
    std::printf("%d %d\n", image.width(), image.height());
    return 0;
}

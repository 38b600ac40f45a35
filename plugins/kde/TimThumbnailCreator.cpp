// Dolphin's TIM thumbnails: KIO's thumbnail worker hands a file and the size
// it wants; the image is read by the same glue as the Qt image plugin and,
// when larger, shrunk exactly as tim2png shrinks it for GNOME, so that every
// desktop shows the same thumbnail.
#include "BoxFilter.h"
#include "TimDeviceReader.h"

#include <KIO/ThumbnailCreator>
#include <KPluginFactory>

#include <QFile>

#include <algorithm>

namespace {

// Premultiplied on the way into the filter and back out of it, as tim2png
// does: averaging premultiplied pixels keeps transparent ones from darkening
// their neighbours.
QImage Shrink(const QImage& image, const QSize& box) {
    const PixelSize from{uint32_t(image.width()), uint32_t(image.height())};
    const uint32_t side = uint32_t(std::max(1, std::min(box.width(), box.height())));
    const PixelSize to = FitInBox(from, side);
    if (to.width == from.width && to.height == from.height) return image;
    const QImage premultiplied = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const std::vector<uint32_t> shrunk =
        ShrinkPremultiplied(reinterpret_cast<const uint32_t*>(premultiplied.constBits()), from, to);
    QImage out(int(to.width), int(to.height), QImage::Format_ARGB32_Premultiplied);
    if (out.isNull()) return QImage();
    std::copy(shrunk.begin(), shrunk.end(), reinterpret_cast<uint32_t*>(out.bits()));
    return out;
}

}  // namespace

class TimThumbnailCreator : public KIO::ThumbnailCreator {
    Q_OBJECT

public:
    TimThumbnailCreator(QObject* parent, const QVariantList& args) : KIO::ThumbnailCreator(parent, args) {}

    KIO::ThumbnailResult create(const KIO::ThumbnailRequest& request) override {
        QFile file(request.url().toLocalFile());
        if (!file.open(QIODevice::ReadOnly)) return KIO::ThumbnailResult::fail();
        TimDeviceReader reader;
        QImage image;
        if (!reader.ReadImage(&file, &image)) return KIO::ThumbnailResult::fail();
        image = Shrink(image, request.targetSize());
        if (image.isNull()) return KIO::ThumbnailResult::fail();
        return KIO::ThumbnailResult::pass(image);
    }
};

K_PLUGIN_CLASS_WITH_JSON(TimThumbnailCreator, "timthumbnail.json")

#include "TimThumbnailCreator.moc"

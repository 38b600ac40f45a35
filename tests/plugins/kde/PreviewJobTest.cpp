// Dolphin's road to a TIM thumbnail: KIO::filePreview (the call Dolphin
// makes) with the thumbnail plugin named, KIO's thumbnail worker loading the
// installed plugin by the image/x-tim MIME type. 128 and 256 pixel previews
// of the samples must be their expected pictures, those of a larger image the
// handler's pixels (shrunk as tim2png shrinks them for GNOME), and the
// damaged sample must get none.
//
// Run by tests/plugins/plugin_clients_test.py with the package installed,
// QT_QPA_PLATFORM=offscreen, and HOME and XDG_* folders of its own (a fresh
// thumbnail cache).
#include "BoxFilter.h"
#include "Premultiply.h"
#include "SamePixels.h"
#include "SampleTims.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <KFileItem>
#include <KIO/PreviewJob>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace {

using timtest::Bytes;

const QStringList kPlugins = {QStringLiteral("timthumbnail")};

// The handler's pixels of an accepted file, premultiplied, top row first,
// shrunk to fit box x box as tim2png does.
QImage HandlersThumbnail(const Bytes& file, uint32_t box) {
    TimImageInfo info{};
    if (FindTimRefusal(info, file.data(), file.size()).reason != TimRefusalReason::Accepted) return QImage();
    std::vector<uint32_t> pixels(size_t(info.width) * info.height);
    DecodeTimPixels(info, pixels.data());
    PremultiplyPixels(pixels.data(), pixels.size());
    const PixelSize from{info.width, info.height}, to = FitInBox(from, box);
    if (to.width != from.width || to.height != from.height) pixels = ShrinkPremultiplied(pixels.data(), from, to);
    QImage image(int(to.width), int(to.height), QImage::Format_ARGB32_Premultiplied);
    for (uint32_t y = 0; y < to.height; ++y)  // bottom-up to top-down
        std::copy_n(pixels.data() + size_t(to.height - 1 - y) * to.width, to.width,
                    reinterpret_cast<uint32_t*>(image.scanLine(int(y))));
    return image;
}

struct Previews {
    std::map<std::string, QImage> images;  // by file name
    std::set<std::string> failed;
    bool finished = false;
};

Previews RunPreviewJob(const QStringList& paths, int size) {
    KFileItemList items;
    for (const QString& path : paths) items.append(KFileItem(QUrl::fromLocalFile(path)));
    Previews out;
    KIO::PreviewJob* job = KIO::filePreview(items, QSize(size, size), &kPlugins);
    QObject::connect(job, &KIO::PreviewJob::gotPreview, [&](const KFileItem& item, const QPixmap& preview) {
        out.images[item.name().toStdString()] = preview.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    });
    QObject::connect(job, &KIO::PreviewJob::failed,
                     [&](const KFileItem& item) { out.failed.insert(item.name().toStdString()); });
    QEventLoop loop;
    QObject::connect(job, &KJob::result, [&] {
        out.finished = true;
        loop.quit();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    return out;
}

// A 300 x 200 16-bit image: red across, green down, a transparent corner.
Bytes Wide16Bit() {
    Bytes pixels;
    for (unsigned y = 0; y < 200; ++y)
        for (unsigned x = 0; x < 300; ++x)
            timtest::PutU16(pixels, x < 75 && y < 50 ? 0 : uint16_t(0x8000 | (x * 31 / 299) | ((y * 31 / 199) << 5)));
    return timtest::MakeTim(2, std::nullopt, timtest::Block{300, 200, pixels});
}

}  // namespace

TEST(PreviewJob, TheThumbnailPluginIsInstalledForDolphin) {
    // Dolphin asks for every available plugin until its user saves a list.
    EXPECT_TRUE(KIO::PreviewJob::availablePlugins().contains(kPlugins[0]))
        << KIO::PreviewJob::availablePlugins().join(QStringLiteral(", ")).toStdString();
}

TEST(PreviewJob, SamplesAtBothSizesAreTheirExpectedPictures) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::map<std::string, Bytes> files;
    QStringList paths;
    auto add = [&](const std::string& name, const Bytes& bytes) {
        QFile f(dir.filePath(QString::fromStdString(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        files[name] = bytes;
        paths << f.fileName();
    };
    const auto all = samples::AllSamples();
    for (const auto& sample : all) add(sample.name, sample.bytes);
    add("wide-16bit.tim", Wide16Bit());

    const std::map<int, QSize> wideAt = {{128, QSize(128, 85)}, {256, QSize(256, 171)}};
    for (const int size : {128, 256}) {
        SCOPED_TRACE("preview size " + std::to_string(size));
        const Previews got = RunPreviewJob(paths, size);
        ASSERT_TRUE(got.finished) << "the preview job did not finish in 2 minutes";
        for (const auto& sample : all) {
            SCOPED_TRACE(sample.name);
            const auto image = got.images.find(sample.name);
            if (!sample.accepted) {
                EXPECT_TRUE(image == got.images.end()) << "the damaged sample got a preview";
                EXPECT_EQ(got.failed.count(sample.name), 1u);
                continue;
            }
            ASSERT_TRUE(image != got.images.end()) << "no preview";
            EXPECT_EQ(image->second.size(), QSize(64, 64)) << "smaller images keep their size";
            EXPECT_TRUE(MatchesSample(sample.name, image->second));
        }
        const auto wide = got.images.find("wide-16bit.tim");
        ASSERT_TRUE(wide != got.images.end()) << "no preview of the larger image";
        EXPECT_EQ(wide->second.size(), wideAt.at(size));
        EXPECT_TRUE(SamePixels(wide->second, HandlersThumbnail(files["wide-16bit.tim"], uint32_t(size))));
        EXPECT_EQ(qAlpha(wide->second.pixel(0, 0)), 0) << "the transparent corner";
    }
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

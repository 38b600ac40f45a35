// The Qt image plugin through QImageReader, as every Qt program reads images:
// the samples and the fuzz seeds (by name and by content), a pipe, the pixel
// cap, and the hostile-file set. Built for Qt 5 and for Qt 6 from this one
// source. A sample's pixels are its expected picture (the conformance
// driver); other files' are the handler's (decode, premultiply, straight alpha
// top-down, as tim2png writes them).
//
// TIM_QT_PLUGIN (environment): the folder the tested libqtim.so must come
// from, so that the build tree's plugin and the installed package's are
// never confused.
#include "HostileFiles.h"
#include "Premultiply.h"
#include "SamePixels.h"
#include "SampleTims.h"
#include "StraightAlpha.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImageReader>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using timtest::Bytes;

namespace {

QByteArray ToQt(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the handler draws from these bytes, as Qt holds it; nothing for a file
// the handler refuses or cannot draw.
std::optional<QImage> HandlersImage(const Bytes& file) {
    TimImageInfo info{};
    if (FindTimRefusal(info, file.data(), file.size()).reason != TimRefusalReason::Accepted) return std::nullopt;
    if (!TimDrawRefusalText(info).empty()) return std::nullopt;
    std::vector<uint32_t> pixels(size_t(info.width) * info.height);
    DecodeTimPixels(info, pixels.data());
    PremultiplyPixels(pixels.data(), pixels.size());
    QImage image(info.width, info.height, QImage::Format_ARGB32);
    ToStraightTopDown(reinterpret_cast<const uint8_t*>(pixels.data()), size_t(info.width) * 4, info.width,
                      info.height, true, true, reinterpret_cast<uint32_t*>(image.bits()));
    return image;
}

// Equal size, format and every pixel; says where they first differ.
// The plugin's format as well as its pixels.
::testing::AssertionResult SameImage(const QImage& got, const QImage& expected) {
    if (got.format() != expected.format())
        return ::testing::AssertionFailure() << "format " << int(got.format()) << ", expected " << int(expected.format());
    return SamePixels(got, expected);
}

// A pipe: sequential, delivering its bytes once, then end of file. Unbuffered,
// so that what the reader took is exactly what is no longer available.
class PipeDevice : public QIODevice {
public:
    explicit PipeDevice(QByteArray data) : data_(std::move(data)) { open(ReadOnly | Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return data_.size() - pos_ + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* out, qint64 max) override {
        const qint64 n = std::min<qint64>(max, data_.size() - pos_);
        if (n <= 0) return -1;
        std::memcpy(out, data_.constData() + pos_, size_t(n));
        pos_ += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray data_;
    qint64 pos_ = 0;
};

// The one libqtim.so mapped into this process, once a TIM file was read.
std::string LoadedPlugin() {
    std::ifstream maps("/proc/self/maps");
    const std::string name = "/libqtim.so";
    std::string line, found;
    while (std::getline(maps, line)) {
        const size_t at = line.find('/');
        if (at != std::string::npos && line.size() > name.size() &&
            line.compare(line.size() - name.size(), name.size(), name) == 0) {
            if (!found.empty() && found != line.substr(at)) return "two plugins: " + found + " and " + line.substr(at);
            found = line.substr(at);
        }
    }
    return found;
}

}  // namespace

TEST(QImageReader, SamplesAreReadAsTheirExpectedPictures) {
    const auto all = samples::AllSamples();
    for (const auto& sample : all) {
        SCOPED_TRACE(sample.name);
        const QString path = QStringLiteral(TIM_SAMPLES_DIR "/") + QString::fromStdString(sample.name);
        QImageReader reader(path);
        if (!sample.accepted) {
            QImage untouched(1, 1, QImage::Format_ARGB32);
            untouched.fill(0xFF123456);
            EXPECT_FALSE(reader.read(&untouched));
            EXPECT_EQ(untouched.pixel(0, 0), 0xFF123456u) << "a refused file left something behind";
            continue;
        }
        EXPECT_EQ(reader.format(), QByteArray("tim"));
        EXPECT_EQ(reader.size(), QSize(64, 64)) << "QImageIOHandler::Size";
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        EXPECT_EQ(image.format(), QImage::Format_ARGB32);
        EXPECT_TRUE(MatchesSample(sample.name, image));

        // By content alone, as for a file with another name, in Gwenview's
        // order: the size, then whether the file can be read, then the read.
        QByteArray bytes = ToQt(sample.bytes);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader byContent(&buffer);
        EXPECT_EQ(byContent.size(), QSize(64, 64));
        EXPECT_EQ(buffer.pos(), 0) << "the size moved the device";
        EXPECT_TRUE(byContent.canRead());
        const QImage read = byContent.read();
        EXPECT_EQ(read.format(), QImage::Format_ARGB32) << "by content";
        EXPECT_TRUE(MatchesSample(sample.name, read)) << "by content";
    }
    const std::string plugin = LoadedPlugin();
    const char* expectedDir = std::getenv("TIM_QT_PLUGIN");
    ASSERT_NE(expectedDir, nullptr) << "TIM_QT_PLUGIN names the plugin folder under test";
    EXPECT_EQ(plugin, std::string(expectedDir) + "/libqtim.so");
    std::printf("[qt %s] plugin under test: %s\n", qVersion(), plugin.c_str());
}

TEST(QImageReader, FuzzSeedsAreReadOrRefusedAsTheHandlerDoes) {
    DIR* dir = opendir(TIM_FUZZ_DIR "/corpus");
    ASSERT_NE(dir, nullptr);
    size_t drawn = 0, refused = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".tim") != 0) continue;
        SCOPED_TRACE(name);
        const std::string path = TIM_FUZZ_DIR "/corpus/" + name;
        const std::optional<QImage> expected = HandlersImage(ReadFile(path));
        QImageReader reader(QString::fromStdString(path), "tim");
        const QImage image = reader.read();
        if (expected) {
            ++drawn;
            EXPECT_TRUE(SameImage(image, *expected));
        } else {
            ++refused;
            EXPECT_TRUE(image.isNull()) << "drawn, but the handler draws nothing";
        }
    }
    closedir(dir);
    EXPECT_GE(drawn, 15u);
    EXPECT_GE(refused, 15u);
}

// From a pipe, the reader takes the header for the size and then just the
// image: whatever follows stays in the pipe.
TEST(QImageReader, PipeIsReadUpToTheEndOfTheImageOnly) {
    const samples::Sample sample = samples::Rings8BitClut();
    const QByteArray after = "and the next file";
    PipeDevice pipe(ToQt(sample.bytes) + after);
    QImageReader reader(&pipe);
    EXPECT_EQ(reader.size(), QSize(64, 64));
    EXPECT_TRUE(reader.canRead()) << "the header, taken for the size, still counts";
    const QImage image = reader.read();
    EXPECT_EQ(image.format(), QImage::Format_ARGB32);
    EXPECT_TRUE(MatchesSample(sample.name, image));
    EXPECT_EQ(pipe.readAll(), after);
}

// Above 2^24 pixels nothing is drawn, and the pixels are not even read;
// 2^24 itself is drawn.
TEST(QImageReader, PixelCapRefusesLargerImagesFromTheHeader) {
    timtest::Bytes tooLarge = timtest::MakeTim(2, std::nullopt, timtest::Block{4097, 4096, {0x00}});
    tooLarge.resize(20);  // the header alone; the pixels need never come
    PipeDevice pipe(ToQt(tooLarge) + QByteArray(1000, '\x7F'));
    QImageReader reader(&pipe, "tim");
    EXPECT_EQ(reader.size(), QSize(4097, 4096));
    EXPECT_TRUE(reader.read().isNull());
    EXPECT_EQ(pipe.bytesAvailable(), 1000) << "bytes past the header were read";

    QByteArray largest = ToQt(timtest::MakeTim(0, std::nullopt, timtest::Block{1024, 4096}));
    QBuffer buffer(&largest);
    buffer.open(QIODevice::ReadOnly);
    const QImage image = QImageReader(&buffer).read();
    EXPECT_EQ(image.size(), QSize(4096, 4096));
    EXPECT_EQ(image.pixel(4095, 4095), 0xFF000000u) << "index 0 of the grey ramp";
}

namespace {

// A random-access device of `size` bytes that holds only a few parts (offset,
// bytes), the rest zeros that exist nowhere. Past a megabyte handed out it
// fails, as a reader that read what it should seek over would otherwise take
// minutes.
class SparseDevice : public QIODevice {
public:
    SparseDevice(std::vector<std::pair<qint64, QByteArray>> parts, qint64 size)
        : parts_(std::move(parts)), size_(size) {
        open(ReadOnly | Unbuffered);
    }
    qint64 size() const override { return size_; }
    qint64 handedOut = 0;

protected:
    qint64 readData(char* out, qint64 max) override {
        const qint64 n = std::min(max, size_ - pos());
        if (n <= 0) return 0;
        if (handedOut + n > (1 << 20)) return -1;
        std::memset(out, 0, size_t(n));
        for (const auto& [offset, bytes] : parts_)
            for (qint64 i = std::max<qint64>(offset, pos()); i < std::min<qint64>(offset + bytes.size(), pos() + n); ++i)
                out[i - pos()] = bytes[int(i - offset)];
        handedOut += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    std::vector<std::pair<qint64, QByteArray>> parts_;
    qint64 size_;
};

}  // namespace

// Lengths that claim gigabytes, on a device whose size says it holds them: a
// CLUT block of 1 GiB and an image block of 3.75 GiB around a 4-bit 8 x 2
// image. The reader seeks over what the blocks claim beyond their colours and
// pixels; nothing is allocated by the size the device reports.
TEST(QImageReader, ClaimedLengthsAreSoughtOverNotRead) {
    const timtest::Block clut{16, 1, timtest::Noise(32, 41)}, image{2, 2, timtest::Noise(8, 42)};
    Bytes head;
    timtest::PutU32(head, 16);
    timtest::PutU32(head, 8);
    timtest::AppendBlock(head, timtest::Block{16, 1, clut.data, 0x40000000u});
    Bytes imageBlock;
    timtest::AppendBlock(imageBlock, timtest::Block{2, 2, image.data, 0xF0000000u});
    const qint64 imageAt = 8 + 0x40000000LL;
    SparseDevice device({{0, ToQt(head)}, {imageAt, ToQt(imageBlock)}}, imageAt + 0xF0000000LL);
    QImageReader reader(&device, "tim");
    const QImage got = reader.read();
    EXPECT_TRUE(SameImage(got, *HandlersImage(timtest::MakeTim(0, clut, image)))) << reader.errorString().toStdString();
    // The headers, colours and pixels are 72 bytes; the plugin also peeks at
    // the first 20 to recognise the file.
    EXPECT_LE(device.handedOut, 200) << "bytes read rather than sought over";
}

// Every file of the Windows sweep, given to the plugin as a TIM file whatever
// its bytes: drawn exactly when the handler draws it, with its pixels.
TEST(QImageReader, HostileFilesGiveTheHandlersAnswer) {
    const timtest::HostileSet set = timtest::MakeHostileSet();
    size_t files = 0, drawn = 0, faults = 0;
    for (const auto& group : set.groups) {
        for (size_t i = 0; i < group.files.size(); ++i) {
            const Bytes& file = group.files[i];
            QByteArray bytes = ToQt(file);
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer, "tim");
            const QImage image = reader.read();
            const std::optional<QImage> expected = HandlersImage(file);
            ++files;
            const bool same = expected ? bool(SameImage(image, *expected)) : image.isNull();
            drawn += !image.isNull();
            if (!same && ++faults <= 10)
                ADD_FAILURE() << group.name << ", file " << i << " (" << file.size() << " bytes): "
                              << (expected ? "not the handler's image" : "drawn, but the handler draws nothing");
        }
    }
    std::printf("[qt %s] hostile files: %zu, %zu drawn, %zu faults\n", qVersion(), files, drawn, faults);
    EXPECT_EQ(files, set.truncations + set.changes + set.random);
    EXPECT_GE(drawn, 500u);
    EXPECT_EQ(faults, 0u);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

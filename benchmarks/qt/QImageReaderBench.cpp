// The Qt image plugin through QImageReader, next to the decoder's own decode
// and premultiply of the same file in the same process: a 1024 x 512 file of
// each format from memory (QBuffer) to a QImage, as a viewer opens a file.
// Rounds alternate which side runs first; each side keeps its fastest time,
// as other processes can only slow a run down. The ratio is QImageReader's
// time over decode + premultiply; the target is 2. (The plugin hands out
// straight alpha and so runs no premultiply; decode alone is shown too.)
//
//   qt<N>_reader_bench [--rows]    (--rows: the table's rows only, to add
//                                   them to another Qt's table)
#include "BenchData.h"
#include "Premultiply.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kRounds = 31;
constexpr int kCallsPerRound = 5;
constexpr double kTarget = 2.0;

template <class F>
double FastestMicroseconds(F&& f) {
    double best = 1e30;
    for (int i = 0; i < kCallsPerRound; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool rowsOnly = argc == 2 && std::strcmp(argv[1], "--rows") == 0;
    if (!rowsOnly) {
        std::printf("| Qt | format | decode | decode + premultiply | QImageReader | ratio |\n");
        std::printf("|---|---|---|---|---|---|\n");
    }
    bool missed = false;
    for (uint32_t mode = 0; mode < 4; ++mode) {
        const timbench::Case c = timbench::MakeCase(mode, 1024, 512);
        TimImageInfo info{};
        if (FindTimRefusal(info, c.file.data(), c.file.size()).reason != TimRefusalReason::Accepted) return 1;
        std::vector<uint32_t> pixels(size_t(c.width) * c.height);
        const QByteArray bytes(reinterpret_cast<const char*>(c.file.data()), int(c.file.size()));
        QImage image;
        auto decodeOnly = [&] { DecodeTimPixels(info, pixels.data()); };
        auto decoder = [&] {
            DecodeTimPixels(info, pixels.data());
            PremultiplyPixels(pixels.data(), pixels.size());
        };
        auto reader = [&] {
            QBuffer buffer;
            buffer.setData(bytes);
            buffer.open(QIODevice::ReadOnly);
            image = QImageReader(&buffer).read();
        };
        reader();
        if (image.width() != c.width || image.height() != c.height) {
            std::fprintf(stderr, "QImageReader did not read the %s file: is the plugin on QT_PLUGIN_PATH?\n",
                         c.format);
            return 1;
        }
        double ours = 1e30, base = 1e30, decode = 1e30;
        for (int r = 0; r < kRounds; ++r) {
            decode = std::min(decode, FastestMicroseconds(decodeOnly));
            if (r % 2) {
                ours = std::min(ours, FastestMicroseconds(reader));
                base = std::min(base, FastestMicroseconds(decoder));
            } else {
                base = std::min(base, FastestMicroseconds(decoder));
                ours = std::min(ours, FastestMicroseconds(reader));
            }
        }
        const double ratio = ours / base;
        missed |= ratio > kTarget;
        std::printf("| %s | %s | %.0f µs | %.0f µs | %.0f µs | %.2f%s |\n", qVersion(), c.format, decode, base, ours, ratio,
                    ratio > kTarget ? " !" : "");
    }
    if (missed) std::printf("! target missed: QImageReader over 2x the decoder (Qt %s)\n", qVersion());
    return 0;
}

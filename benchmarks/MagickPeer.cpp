#include "MagickPeer.h"

#include "RatioReporter.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <benchmark/benchmark.h>
#include <magick/MagickCore.h>

#include <string>
#include <vector>

namespace timbench {

void StartMagick(const char* argv0) {
    MagickCoreGenesis(argv0, MagickFalse);
    SetMagickResourceLimit(ThreadResource, 1);
}

void StopMagick() {
    MagickCoreTerminus();
}

namespace {

// Reads the file with the TIM coder named explicitly and exports RGBA bytes.
// Returns an empty string on success, else what went wrong.
std::string ReadWithMagick(const Case& c, std::vector<uint8_t>& rgba) {
    ExceptionInfo* exception = AcquireExceptionInfo();
    ImageInfo* imageInfo = AcquireImageInfo();
    CopyMagickString(imageInfo->magick, "TIM", MaxTextExtent);
    CopyMagickString(imageInfo->filename, "TIM:", MaxTextExtent);
    std::string error;
    Image* image = BlobToImage(imageInfo, c.file.data(), c.file.size(), exception);
    if (image == nullptr) {
        error = std::string("ImageMagick refused the file: ") +
                (exception->reason ? exception->reason : "no reason given");
    } else if (image->columns != c.width || image->rows != c.height) {
        error = "ImageMagick read " + std::to_string(image->columns) + "x" +
                std::to_string(image->rows) + " pixels";
    } else if (!ExportImagePixels(image, 0, 0, c.width, c.height, "RGBA", CharPixel, rgba.data(),
                                  exception)) {
        error = "ImageMagick could not export the pixels";
    }
    if (image) DestroyImage(image);
    DestroyImageInfo(imageInfo);
    DestroyExceptionInfo(exception);
    return error;
}

// Opaque pixels whose colour differs from ours: the peer must really have
// decoded the same image for its time to mean anything.
size_t CountColourDifferences(const Case& c, const std::vector<uint8_t>& rgba) {
    TimImageInfo info{};
    ParseTimHeader(info, c.file.data(), c.file.data() + c.file.size());
    std::vector<uint32_t> ours(size_t(c.width) * c.height);
    DecodeTimPixels(info, ours.data());
    size_t differences = 0;
    for (size_t y = 0; y < c.height; ++y) {
        for (size_t x = 0; x < c.width; ++x) {
            const uint32_t p = ours[(c.height - 1 - y) * c.width + x];  // ours is bottom-up
            if (p >> 24 != 255) continue;
            const uint8_t* q = &rgba[(y * c.width + x) * 4];
            const uint32_t theirs = uint32_t(q[0]) << 16 | uint32_t(q[1]) << 8 | q[2];
            if ((p & 0xFFFFFF) != theirs) ++differences;
        }
    }
    return differences;
}

}  // namespace

void RegisterMagickBenchmark(const Case& c) {
    WithMinimum(benchmark::RegisterBenchmark(BenchName("imagemagick", c.format, c.Size()).c_str(),
                                             [&c](benchmark::State& state) {
        std::vector<uint8_t> rgba(c.OutputBytes());
        const std::string error = ReadWithMagick(c, rgba);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        const size_t differences = CountColourDifferences(c, rgba);
        if (differences) state.SetLabel(std::to_string(differences) + " opaque pixels differ from ours");
        for (auto _ : state) {
            ReadWithMagick(c, rgba);
            benchmark::ClobberMemory();
        }
    }));
}

}  // namespace timbench

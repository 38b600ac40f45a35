// A 1024 x 512 file of each format read through GdkPixbuf with the TIM loader
// as built (a PixbufLoader fed the whole file from memory, as viewers feed
// it, and gdk_pixbuf_new_from_file), next to the decoder's own decode and
// premultiply of the same bytes, in the same run. Rounds alternate the
// contenders; each takes its fastest round, since other processes can only
// slow a round down. Target: the loader within 2x the decoder's time. The
// last column is the floor of any loader: a new pixbuf of the same size with
// every pixel written once, which the decoder's own rows (a buffer reused
// from round to round) do not pay.
//
// Usage: pixbuf_bench LOADERS_CACHE WORK_DIR   (the cache lists the built loader)
#include "BenchData.h"
#include "Premultiply.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace timbench;

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds per call of the fastest of `rounds` rounds, each about 20 ms.
struct Contender {
    const char* name;
    std::function<bool()> call;
    double best = 1e300;
    int perRound = 1;
};

// Null when every contender ran; else the one that failed.
const char* Measure(std::vector<Contender>& contenders, int rounds) {
    for (auto& c : contenders) {
        if (!c.call()) return c.name;  // warm up, and stop on a failure
        const auto t0 = Clock::now();
        c.call();
        const double once = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        c.perRound = std::max(1, int(20.0 / std::max(once, 1e-3)));
    }
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            auto& c = contenders[(k + size_t(r)) % contenders.size()];
            const auto t0 = Clock::now();
            for (int i = 0; i < c.perRound; ++i) c.call();
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / c.perRound;
            c.best = std::min(c.best, ms);
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pixbuf_bench LOADERS_CACHE WORK_DIR\n");
        return 2;
    }
    g_setenv("GDK_PIXBUF_MODULE_FILE", argv[1], TRUE);
    const std::string work = argv[2];
    std::printf("| %-6s | %-25s | %-17s | %-16s | %-18s | %-18s |\n", "format", "decode + premultiply (ms)",
                "PixbufLoader (ms)", "loader / decoder", "new_from_file (ms)", "new pixbuf, filled");
    bool missed = false, failed = false;
    for (uint32_t mode = 0; mode < 4; ++mode) {
        const Case c = MakeCase(mode, 1024, 512);
        const std::string path = work + "/bench-" + c.format + ".tim";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(c.file.data()),
                                                    std::streamsize(c.file.size()));
        std::vector<uint32_t> pixels(size_t(c.width) * c.height);
        std::vector<Contender> contenders = {
            {"decoder",
             [&] {
                 TimImageInfo info{};
                 if (FindTimRefusal(info, c.file.data(), c.file.size()).reason != TimRefusalReason::Accepted)
                     return false;
                 DecodeTimPixels(info, pixels.data());
                 PremultiplyPixels(pixels.data(), pixels.size());
                 return true;
             }},
            {"loader",
             [&] {
                 GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("tim", nullptr);
                 if (!loader) return false;
                 bool ok = gdk_pixbuf_loader_write(loader, c.file.data(), c.file.size(), nullptr) &&
                           gdk_pixbuf_loader_close(loader, nullptr) && gdk_pixbuf_loader_get_pixbuf(loader) &&
                           gdk_pixbuf_get_width(gdk_pixbuf_loader_get_pixbuf(loader)) == c.width;
                 if (!ok) gdk_pixbuf_loader_close(loader, nullptr);
                 g_object_unref(loader);
                 return ok;
             }},
            // The floor of any loader: a new pixbuf of the size, every pixel
            // written once (its memory is fresh from the system each time).
            {"new pixbuf",
             [&] {
                 GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, c.width, c.height);
                 if (!pixbuf) return false;
                 gdk_pixbuf_fill(pixbuf, 0x11223344);
                 g_object_unref(pixbuf);
                 return true;
             }},
            {"file",
             [&] {
                 GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
                 if (!pixbuf) return false;
                 g_object_unref(pixbuf);
                 return true;
             }},
        };
        if (const char* failure = Measure(contenders, 101)) {
            std::printf("| %-6s | %s failed to read the file\n", c.format, failure);
            failed = true;
            continue;
        }
        const double ratio = contenders[1].best / contenders[0].best;
        missed |= ratio > 2.0;
        std::printf("| %-6s | %25.3f | %17.3f | %15.2fx | %18.3f | %18.3f |\n", c.format, contenders[0].best,
                    contenders[1].best, ratio, contenders[3].best, contenders[2].best);
    }
    if (missed) std::printf("! target missed: the loader takes more than 2x the decoder's time\n");
    return failed ? 1 : 0;
}

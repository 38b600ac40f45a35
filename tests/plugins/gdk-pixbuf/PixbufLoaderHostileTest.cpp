// The hostile-file set of the Windows sweep through gdk-pixbuf with the TIM
// loader as built (under AddressSanitizer in the sanitize preset): each file
// opened as a viewer opens it (gdk_pixbuf_new_from_file, the loader's FILE
// road) and fed to a GdkPixbufLoader whole and in small chunks. Every answer
// must be the decoder's: a pixbuf of its pixels when it accepts the file, and
// otherwise no pixbuf and a GError with its reason. The process's leak check
// at exit covers every pixbuf, error and loader.
#define GDK_PIXBUF_ENABLE_BACKEND  // the formats' signatures
#include "HostileFiles.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using namespace timtest;

namespace {

std::string g_dir;

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// gdk-pixbuf sees only the loader as built, and the image/x-tim type from
// the project's MIME file; set before gdk-pixbuf first reads either.
class PixbufEnvironment : public testing::Environment {
public:
    void SetUp() override {
        char* dir = g_dir_make_tmp("tim-pixbuf-hostile-XXXXXX", nullptr);
        ASSERT_NE(dir, nullptr);
        g_dir = dir;
        g_free(dir);
        const std::string mime = g_dir + "/mime";
        ASSERT_TRUE(Run("mkdir -p '" + mime + "/packages' && cp '" TIM_MIME_XML "' '" + mime +
                        "/packages/' && update-mime-database '" + mime + "'"));
        // The query tool loads the module; a sanitized module needs the
        // sanitizer's runtime loaded first.
        std::string preload;
#if defined(__SANITIZE_ADDRESS__)
        preload = "LD_PRELOAD=\"$(" TIM_CXX " -print-file-name=libasan.so)\" ASAN_OPTIONS=detect_leaks=0 ";
#endif
        const std::string cache = g_dir + "/loaders.cache";
        ASSERT_TRUE(Run(preload + "'" TIM_QUERY_LOADERS "' '" TIM_PIXBUF_LOADER "' > '" + cache + "'"));
        g_setenv("GDK_PIXBUF_MODULE_FILE", cache.c_str(), TRUE);
        g_setenv("XDG_DATA_DIRS", g_dir.c_str(), TRUE);
        g_setenv("XDG_DATA_HOME", (g_dir + "/data-home").c_str(), TRUE);
    }
    void TearDown() override { Run("rm -rf '" + g_dir + "'"); }
};

const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new PixbufEnvironment);

// What the decoder says of `file`: its RGBA pixels top-down, or why there are none.
struct Verdict {
    bool drawn = false;
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    std::string reason;
};

Verdict DecoderVerdict(const Bytes& file) {
    Verdict v;
    TimImageInfo info{};
    const TimRefusal refusal = FindTimRefusal(info, file.data(), file.size());
    v.reason = refusal.reason != TimRefusalReason::Accepted ? TimRefusalText(refusal) : TimDrawRefusalText(info);
    if (!v.reason.empty()) return v;
    v.drawn = true;
    v.width = info.width;
    v.height = info.height;
    std::vector<uint32_t> bgra(size_t(info.width) * info.height);
    DecodeTimPixels(info, bgra.data());
    for (int y = v.height - 1; y >= 0; --y)
        for (int x = 0; x < v.width; ++x) {
            const uint32_t p = bgra[size_t(y) * v.width + x];
            v.rgba.insert(v.rgba.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p), uint8_t(p >> 24)});
        }
    return v;
}

// The answer of one road: a pixbuf or an error, as a Verdict, plus whether
// the TIM loader gave it (gdk-pixbuf may pick no loader for a file that
// sniffs as something else).
struct Answer {
    Verdict verdict;
    bool fromTimLoader = true;
};

Answer FromPixbuf(GdkPixbuf* pixbuf, GError* error) {
    Answer a;
    if (pixbuf) {
        a.verdict.drawn = true;
        a.verdict.width = gdk_pixbuf_get_width(pixbuf);
        a.verdict.height = gdk_pixbuf_get_height(pixbuf);
        const int stride = gdk_pixbuf_get_rowstride(pixbuf);
        const int channels = gdk_pixbuf_get_n_channels(pixbuf);
        const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
        if (channels == 4)
            for (int y = 0; y < a.verdict.height; ++y)
                a.verdict.rgba.insert(a.verdict.rgba.end(), pixels + size_t(y) * stride,
                                      pixels + size_t(y) * stride + 4 * size_t(a.verdict.width));
    }
    if (error) {
        a.verdict.reason = error->message;
        a.fromTimLoader = !g_error_matches(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_UNKNOWN_TYPE) ||
                          a.verdict.reason.find("TIM") != std::string::npos;
        g_error_free(error);
    } else if (!pixbuf) {
        a.verdict.reason = "(no pixbuf and no error)";
    }
    return a;
}

Answer OpenFile(const std::string& path) {
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &error);
    Answer a = FromPixbuf(pixbuf, error);
    if (pixbuf) g_object_unref(pixbuf);
    // gdk-pixbuf puts "Failed to load image "PATH": " before the loader's message.
    const size_t cut = a.verdict.reason.find(": ");
    if (!a.verdict.drawn && a.fromTimLoader && cut != std::string::npos) a.verdict.reason.erase(0, cut + 2);
    return a;
}

Answer Feed(const Bytes& file, size_t chunk) {
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("tim", &error);
    if (!loader) return FromPixbuf(nullptr, error);
    // Each chunk in a buffer of its own size, so that a read past it is seen.
    bool ok = true;
    for (size_t at = 0; ok && at < file.size(); at += chunk) {
        const Bytes piece(file.begin() + at, file.begin() + std::min(file.size(), at + chunk));
        ok = gdk_pixbuf_loader_write(loader, piece.data(), piece.size(), &error);
    }
    // A failed write has closed the loader already; close reports nothing new then.
    if (ok) ok = gdk_pixbuf_loader_close(loader, &error);
    else gdk_pixbuf_loader_close(loader, nullptr);
    Answer a = FromPixbuf(ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr, error);
    g_object_unref(loader);
    return a;
}

// A refusal may also come from the size alone: the loader refuses an image
// too large (or empty) to draw as soon as its header is in, before reading
// data that might also be missing.
bool SizeRefusal(const std::string& reason) {
    return reason.rfind("image too large: ", 0) == 0 || reason.rfind("the image has no pixels", 0) == 0;
}

bool Same(const Verdict& got, const Verdict& expected) {
    if (!got.drawn && !expected.drawn && SizeRefusal(got.reason)) return true;
    return got.drawn == expected.drawn && got.width == expected.width && got.height == expected.height &&
           got.rgba == expected.rgba && got.reason == expected.reason;
}

}  // namespace

TEST(PixbufLoaderHostileFiles, EveryRoadGivesTheDecodersAnswer) {
    const HostileSet set = MakeHostileSet();
    const std::string path = g_dir + "/hostile.tim";
    size_t files = 0, drawn = 0, refused = 0, notReached = 0, faults = 0;
    for (const auto& group : set.groups) {
        for (size_t i = 0; i < group.files.size(); ++i) {
            const Bytes& file = group.files[i];
            ++files;
            const Verdict expected = DecoderVerdict(file);
            (expected.drawn ? drawn : refused)++;
            {
                std::ofstream out(path, std::ios::binary | std::ios::trunc);
                out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
            }
            struct Road {
                const char* name;
                Answer answer;
            };
            std::vector<Road> roads = {{"new_from_file", OpenFile(path)},
                                       {"loader, whole", Feed(file, file.size() + 1)},
                                       {"loader, chunks of 7", Feed(file, 7)}};
            if (file.size() <= 256) roads.push_back({"loader, chunks of 1", Feed(file, 1)});
            for (const Road& road : roads) {
                // Only a file that sniffs as another type (or an empty one,
                // which gdk-pixbuf answers itself) may miss the TIM loader, and
                // only when opened by name.
                if ((!road.answer.fromTimLoader || file.empty()) && !expected.drawn && road.name[0] == 'n') {
                    ++notReached;
                    continue;
                }
                if (Same(road.answer.verdict, expected)) continue;
                if (++faults <= 20)
                    ADD_FAILURE() << group.name << ", file " << i << " (" << file.size() << " bytes), " << road.name
                                  << ": got " << (road.answer.verdict.drawn ? "a pixbuf" : road.answer.verdict.reason)
                                  << ", the decoder says "
                                  << (expected.drawn ? "it draws " + std::to_string(expected.width) + " x " +
                                                           std::to_string(expected.height)
                                                     : expected.reason);
            }
        }
    }
    std::printf("[pixbuf hostile] %zu files (%zu drawn, %zu refused); %zu opened by name reached another "
                "type's check\n",
                files, drawn, refused, notReached);
    EXPECT_EQ(faults, 0u);
    EXPECT_EQ(files, set.truncations + set.changes + set.random);
    // The sweep must reach the decoder's pixels, not only its refusals.
    EXPECT_GE(drawn, 500u);
    EXPECT_GE(refused, 500u);
}

namespace {

void CountPrepared(GdkPixbufLoader*, gpointer count) {
    ++*static_cast<int*>(count);
}

}  // namespace

// A file ends with its first image block: padding after it, or more TIM files
// after it, are not read, whole or in chunks of any size, so the first image is shown at
// its own size, `area-prepared` comes once, and nothing else is made (the
// process's leak check covers every pixbuf).
TEST(PixbufLoader, EndsWithTheFirstImage) {
    const Bytes first = MakeTim(0, Block{16, 1, Noise(32, 31)}, Block{2, 3, Noise(12, 32)});
    const Bytes second = MakeTim(2, std::nullopt, Block{5, 4, Noise(40, 33)});
    const Verdict expected = DecoderVerdict(first);
    ASSERT_TRUE(expected.drawn);
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const struct {
        const char* what;
        Bytes file;
    } cases[] = {
        {"padding", join({first, Bytes(4096, 0)})},
        {"two TIM files", join({first, second})},
        {"four TIM files", join({first, second, second, first})},
    };
    const std::string path = g_dir + "/followed.tim";
    for (const auto& c : cases) {
        // Chunks the size of the first file start the next part afresh.
        for (size_t chunk : {size_t(7), first.size(), c.file.size()}) {
            SCOPED_TRACE(std::string(c.what) + ", chunks of " + std::to_string(chunk));
            GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("tim", nullptr);
            ASSERT_NE(loader, nullptr);
            int prepared = 0;
            g_signal_connect(loader, "area-prepared", G_CALLBACK(CountPrepared), &prepared);
            GError* error = nullptr;
            bool ok = true;
            for (size_t at = 0; ok && at < c.file.size(); at += chunk)
                ok = gdk_pixbuf_loader_write(loader, c.file.data() + at, std::min(chunk, c.file.size() - at), &error);
            if (ok) ok = gdk_pixbuf_loader_close(loader, &error);
            EXPECT_TRUE(ok) << (error ? error->message : "");
            const Answer answer = FromPixbuf(ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr, error);
            EXPECT_TRUE(Same(answer.verdict, expected));
            EXPECT_EQ(prepared, 1);
            g_object_unref(loader);
        }
        SCOPED_TRACE(std::string(c.what) + ", opened by name");
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(c.file.data()), std::streamsize(c.file.size()));
        }
        EXPECT_TRUE(Same(OpenFile(path).verdict, expected));
    }
}

// The loader's signature, as gdk-pixbuf holds it after reading the loaders
// cache, picks exactly the files the decoder's signature and mask pick: every
// value of each of the first eight bytes of a TIM file. A prefix byte with
// mask ' ' must be equal, with 'z' zero, with 'x' anything; gdk-pixbuf reads
// both as C strings.
TEST(PixbufLoader, SignatureIsTheDecoders) {
    GdkPixbufFormat* tim = nullptr;
    GSList* formats = gdk_pixbuf_get_formats();
    for (GSList* f = formats; f; f = f->next) {
        auto* format = static_cast<GdkPixbufFormat*>(f->data);
        if (std::strcmp(format->name, "tim") == 0) tim = format;
    }
    g_slist_free(formats);
    ASSERT_NE(tim, nullptr);
    const Bytes valid = MakeTim(2, std::nullopt, Block{1, 1});
    size_t matched = 0;
    for (size_t offset = 0; offset < 8; ++offset) {
        for (unsigned value = 0; value < 256; ++value) {
            Bytes head(valid.begin(), valid.begin() + 8);
            head[offset] = uint8_t(value);
            bool byPattern = false;
            for (const GdkPixbufModulePattern* p = tim->signature; p->prefix; ++p) {
                bool all = true;
                size_t j = 0;
                for (; p->prefix[j] && j < head.size(); ++j)
                    all &= p->mask[j] == 'x' || (p->mask[j] == 'z' ? head[j] == 0
                                                                   : p->mask[j] == ' ' && head[j] == uint8_t(p->prefix[j]));
                byPattern |= all && p->prefix[j] == 0 && p->relevance > 0;
            }
            bool byMask = true;
            for (size_t i = 0; i < 8; ++i) byMask &= (head[i] & kTimSignatureMask[i]) == kTimSignature[i];
            EXPECT_EQ(byPattern, byMask) << "byte " << offset << " = " << value;
            matched += byPattern;
        }
    }
    EXPECT_EQ(matched, 7u + 16u);
}

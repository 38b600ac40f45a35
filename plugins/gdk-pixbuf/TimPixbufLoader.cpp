// The gdk-pixbuf loader of TIM files (libpixbufloader-tim.so): Eye of GNOME,
// gThumb, Geeqie, Ristretto and other GTK programs open TIM files through it.
// Glue around the decoder: its TimReader takes the file and judges it,
// DecodeTimRows draws. Both of gdk-pixbuf's roads, `load` (a FILE*) and the
// incremental one (chunks of any size), go through one PixbufRead.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "TimDecode.h"
#include "TimFormat.h"
#include "TimReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

void SetError(GError** error, GdkPixbufError code, const std::string& message) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, int(code), message.c_str());
}

// The decoder's pixel is the u32 0xAARRGGBB; a pixbuf's bytes R, G, B, A
// read as a little-endian u32 are 0xAABBGGRR. The decoder's alpha is 0 or 255
// and its transparent pixels are all zero, so its pixels are already straight
// alpha (the handler's premultiplying pass leaves them as they are).
static_assert(std::endian::native == std::endian::little, "pixels are reordered as little-endian words");
inline uint32_t BgraToRgba(uint32_t v) {
    return (v & 0xFF00FF00u) | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
}

// Four pixels a step, which the compiler makes one vector operation of at
// -O2 already; then the rest one by one.
void BgraToRgbaInPlace(uint32_t* pixels, size_t count) {
    size_t i = 0;
    for (; i + 4 <= count; i += 4)
        for (size_t k = 0; k < 4; ++k) pixels[i + k] = BgraToRgba(pixels[i + k]);
    for (; i < count; ++i) pixels[i] = BgraToRgba(pixels[i]);
}

// Decodes in bands of rows, each reordered while it is still in the cache.
constexpr uint32_t kBandRows = 16;

// One file taken front to back through the decoder's TimReader, which keeps
// the headers, the palette and the rows, no block's slack; the pixbuf is made
// once they are in. The file ends with its image block: whatever follows
// (padding, another TIM file) is not read.
class PixbufRead {
public:
    PixbufRead(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
               GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, uint64_t inputSize = kTimUnknownSize)
        : reader_(ReadOptions(inputSize)),
          sizeFunc_(sizeFunc),
          preparedFunc_(preparedFunc),
          updatedFunc_(updatedFunc),
          userData_(userData) {}
    ~PixbufRead() {
        if (pixbuf_) g_object_unref(pixbuf_);
    }
    PixbufRead(const PixbufRead&) = delete;
    PixbufRead& operator=(const PixbufRead&) = delete;

    // Takes what the reader wants of `data`; the rest, after the image, is
    // ignored. The pixbuf is drawn before this returns, so that a piece that
    // holds all the rows (a whole file, as viewers that read it first hand
    // it over) is drawn from as it is, with no copy.
    bool Feed(const uint8_t* data, size_t count, GError** error) {
        if (failed_) return false;
        while (count > 0 && !Ended()) {
            const size_t used = reader_.FeedInPlace(data, count);
            data += used;
            count -= used;
            if (!Advance(error)) return Fail();
        }
        return true;
    }

    // Reads from `file` what the reader asks for, seeking over what it skips
    // where the file allows.
    bool ReadFrom(FILE* file, GError** error) {
        uint8_t buffer[65536];
        while (!Ended()) {
            const TimReadStep step = reader_.Next();
            if (step.action == TimReadAction::Skip && seekable_ && step.count <= uint64_t(INT64_MAX) &&
                fseeko(file, off_t(step.count), SEEK_CUR) == 0) {
                reader_.Skipped(step.count);
            } else {
                const size_t n = std::fread(buffer, 1, size_t(std::min<uint64_t>(step.count, sizeof buffer)), file);
                if (n == 0) {
                    if (std::ferror(file)) {
                        SetError(error, GDK_PIXBUF_ERROR_FAILED,
                                 std::string("cannot read the file: ") + std::strerror(errno));
                        return Fail();
                    }
                    reader_.EndOfInput();
                } else {
                    reader_.Feed(buffer, n);
                }
            }
            if (!Advance(error)) return Fail();
        }
        return true;
    }

    // The file has ended: the pixbuf, or the reason there is none.
    bool Finish(GError** error) {
        if (failed_) return false;
        if (!Ended()) reader_.EndOfInput();
        return Advance(error) || Fail();
    }

    GdkPixbuf* Pixbuf() const { return pixbuf_; }

    void SetSeekable() { seekable_ = true; }

private:
    static TimReadOptions ReadOptions(uint64_t inputSize) {
        TimReadOptions options;
        options.inputSize = inputSize;
        return options;
    }

    bool Ended() const {
        const TimReadAction action = reader_.Next().action;
        return action == TimReadAction::Done || action == TimReadAction::Refused;
    }

    bool Fail() {
        failed_ = true;
        return false;
    }

    // After the reader took bytes: the size once its header is in, the
    // verdict and the picture once the file is read.
    bool Advance(GError** error) {
        if (reader_.SizeKnown() && !sizeTold_ && reader_.Width() <= kMaxTimWidth) {
            sizeTold_ = true;
            // An image too large (or empty) is refused before its rows are read.
            TimImageInfo probe{};
            probe.width = uint16_t(reader_.Width());
            probe.height = uint16_t(reader_.Height());
            if (const TimRefusal draw = TimDrawRefusal(probe); draw.reason != TimRefusalReason::Accepted) {
                SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, TimRefusalText(draw));
                return false;
            }
            if (sizeFunc_) {
                int width = int(reader_.Width()), height = int(reader_.Height());
                sizeFunc_(&width, &height, userData_);
                // A caller that sets no size wants only the size (as
                // gdk_pixbuf_get_file_info does): nothing more to read.
                if (width == 0 || height == 0) {
                    SetError(error, GDK_PIXBUF_ERROR_FAILED, "only the image's size was asked for");
                    return false;
                }
            }
        }
        switch (reader_.Next().action) {
            case TimReadAction::Refused: {
                const TimRefusal refusal = reader_.Refusal();
                const GdkPixbufError code = refusal.reason == TimRefusalReason::NoIdentifier ||
                                                    refusal.reason == TimRefusalReason::UnknownFlags
                                                ? GDK_PIXBUF_ERROR_UNKNOWN_TYPE
                                            : refusal.reason == TimRefusalReason::NoMemory
                                                ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY
                                                : GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
                SetError(error, code, TimRefusalText(refusal));
                return false;
            }
            case TimReadAction::Done: return pixbuf_ || Draw(error);
            default: return true;
        }
    }

    bool Draw(GError** error) {
        const TimImageInfo& info = reader_.Record();
        if (const TimRefusal draw = reader_.DrawRefusal(); draw.reason != TimRefusalReason::Accepted) {
            SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, TimRefusalText(draw));
            return false;
        }
        GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, info.width, info.height);
        if (!pixbuf) {
            SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                     TimRefusalText({TimRefusalReason::NoMemory, info.width, info.height}));
            return false;
        }
        // gdk-pixbuf pads rows to four bytes, so four-byte pixels have none:
        // the decoder's gapless rows fit the pixbuf's memory as they are.
        if (gdk_pixbuf_get_rowstride(pixbuf) != int(info.width) * 4) {
            g_object_unref(pixbuf);
            SetError(error, GDK_PIXBUF_ERROR_FAILED, "unexpected pixbuf row layout");
            return false;
        }
        // Memory from g_malloc, aligned for any type, that nothing else reads
        // as bytes meanwhile.
        auto* pixels = reinterpret_cast<uint32_t*>(gdk_pixbuf_get_pixels(pixbuf));
        if (preparedFunc_) preparedFunc_(pixbuf, nullptr, userData_);
        for (uint32_t row = 0; row < info.height; row += kBandRows) {
            uint32_t* band = pixels + size_t(row) * info.width;
            DecodeTimRows(info, row, kBandRows, band);
            BgraToRgbaInPlace(band, size_t(std::min<uint32_t>(kBandRows, info.height - row)) * info.width);
        }
        if (updatedFunc_) updatedFunc_(pixbuf, 0, 0, info.width, info.height, userData_);
        pixbuf_ = pixbuf;
        return true;
    }

    TimReader reader_;
    GdkPixbufModuleSizeFunc sizeFunc_;
    GdkPixbufModulePreparedFunc preparedFunc_;
    GdkPixbufModuleUpdatedFunc updatedFunc_;
    gpointer userData_;
    bool sizeTold_ = false, failed_ = false, seekable_ = false;
    GdkPixbuf* pixbuf_ = nullptr;
};

GdkPixbuf* Load(FILE* file, GError** error) {
    // A regular file's size from where gdk-pixbuf left it: the blocks are
    // checked against it and its slack is seeked over.
    struct stat st {};
    const off_t at = ftello(file);
    const bool regular = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && at >= 0 && at <= st.st_size;
    PixbufRead read(nullptr, nullptr, nullptr, nullptr, regular ? uint64_t(st.st_size - at) : kTimUnknownSize);
    if (regular) read.SetSeekable();
    if (!read.ReadFrom(file, error) || !read.Finish(error)) return nullptr;
    return GDK_PIXBUF(g_object_ref(read.Pixbuf()));
}

gpointer BeginLoad(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
                   GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, GError** error) {
    auto* read = new (std::nothrow) PixbufRead(sizeFunc, preparedFunc, updatedFunc, userData);
    if (!read) SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory to start reading");
    return read;
}

gboolean LoadIncrement(gpointer context, const guchar* data, guint size, GError** error) {
    return static_cast<PixbufRead*>(context)->Feed(data, size, error);
}

gboolean StopLoad(gpointer context, GError** error) {
    auto* read = static_cast<PixbufRead*>(context);
    const bool done = read->Finish(error);
    delete read;
    return done;
}

// gdk-pixbuf matches a prefix byte for byte (' ') or a zero byte ('z'), with
// no bit masks: the decoder's signature becomes one pattern for each value
// its mask leaves free. Each prefix is read as a C string, so the mask alone
// decides the bytes that must be zero.
constexpr size_t kSignatureBytes = sizeof kTimSignature;

constexpr size_t SignaturePatternCount() {
    size_t count = 1;
    for (uint8_t mask : kTimSignatureMask) count <<= 8 - std::popcount(mask);
    return count;
}

struct PatternText {
    char prefix[kSignatureBytes + 1];
    char mask[kSignatureBytes + 1];
};

GdkPixbufModulePattern* SignaturePatterns() {
    static PatternText texts[SignaturePatternCount()];
    static GdkPixbufModulePattern patterns[SignaturePatternCount() + 1];
    for (size_t n = 0; n < SignaturePatternCount(); ++n) {
        size_t pick = n;  // its digits choose the free bits of each byte in turn
        for (size_t i = 0; i < kSignatureBytes; ++i) {
            uint8_t value = kTimSignature[i];
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (kTimSignatureMask[i] >> bit & 1) continue;
                value = uint8_t(value | (pick & 1) << bit);
                pick >>= 1;
            }
            texts[n].prefix[i] = value ? char(value) : 'z';
            texts[n].mask[i] = value ? ' ' : 'z';
        }
        patterns[n] = {texts[n].prefix, texts[n].mask, 80};
    }
    return patterns;  // ends with the zeroed entry
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = Load;
    module->begin_load = BeginLoad;
    module->load_increment = LoadIncrement;
    module->stop_load = StopLoad;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    static gchar* mimeTypes[] = {const_cast<gchar*>("image/x-tim"), nullptr};
    static gchar* extensions[] = {const_cast<gchar*>("tim"), nullptr};
    info->name = const_cast<gchar*>("tim");
    info->signature = SignaturePatterns();
    info->description = const_cast<gchar*>("PlayStation TIM image");
    info->mime_types = mimeTypes;
    info->extensions = extensions;
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = const_cast<gchar*>("MIT");
}

}  // extern "C"

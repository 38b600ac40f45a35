// The gdk-pixbuf loader of TIM files (libpixbufloader-tim.so): Eye of GNOME,
// gThumb, Geeqie, Ristretto and other GTK programs open TIM files through it.
// Glue around the decoder: TimBytesToRead says how much to take, FindTimRefusal
// judges, DecodeTimRows draws. Both of gdk-pixbuf's roads, `load` (a FILE*)
// and the incremental one (chunks of any size), go through one TimReader.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "TimDecode.h"
#include "TimFormat.h"

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

// One file taken front to back: keeps the bytes the header says the file
// holds, no more, and makes the pixbuf once they are all in.
class TimReader {
public:
    TimReader(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
              GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData)
        : sizeFunc_(sizeFunc), preparedFunc_(preparedFunc), updatedFunc_(updatedFunc), userData_(userData) {}
    ~TimReader() {
        g_free(bytes_);
        if (pixbuf_) g_object_unref(pixbuf_);
    }
    TimReader(const TimReader&) = delete;
    TimReader& operator=(const TimReader&) = delete;

    // How many more bytes the reader wants; 0 once it has them all or has failed.
    uint64_t Wanted() const { return failed_ || pixbuf_ ? 0 : need_ - size_; }

    // Takes what it wants of `data` and ignores the rest (bytes after the image).
    bool Feed(const uint8_t* data, size_t count, GError** error) {
        if (failed_) return false;
        // A whole file in one piece, as viewers that read it first hand it
        // over: drawn from the caller's bytes, with no copy.
        if (size_ == 0 && count > 0 && TimBytesToRead(data, count).bytes <= count)
            return Advance(data, count, error) || Fail();
        while (count > 0 && Wanted() > 0) {
            const size_t take = size_t(std::min<uint64_t>(count, Wanted()));
            if (!Reserve(size_ + take, error)) return Fail();
            std::memcpy(bytes_ + size_, data, take);
            size_ += take;
            data += take;
            count -= take;
            if (!Advance(bytes_, size_, error)) return Fail();
        }
        return true;
    }

    // Reads from `file` what the header says the file holds, straight into
    // the reader's buffer, which grows with what the file really holds (not
    // with what a header claims).
    bool ReadFrom(FILE* file, GError** error) {
        while (uint64_t wanted = Wanted()) {
            const size_t step = size_t(std::min<uint64_t>(wanted, std::max<size_t>(size_, 65536)));
            if (!Reserve(size_ + step, error)) return Fail();
            const size_t n = std::fread(bytes_ + size_, 1, step, file);
            size_ += n;
            if (n > 0 && !Advance(bytes_, size_, error)) return Fail();
            if (n < step) break;
        }
        if (std::ferror(file)) {
            SetError(error, GDK_PIXBUF_ERROR_FAILED, std::string("cannot read the file: ") + std::strerror(errno));
            return Fail();
        }
        return true;
    }

    // The file has ended: the pixbuf, or the reason there is none.
    bool Finish(GError** error) {
        if (failed_) return false;
        if (pixbuf_) return true;
        return Decode(bytes_, size_, error) || Fail();
    }

    GdkPixbuf* Pixbuf() const { return pixbuf_; }

private:
    bool Fail() {
        failed_ = true;
        return false;
    }

    bool Reserve(size_t size, GError** error) {
        if (size <= capacity_) return true;
        // Doubling, so that one-byte chunks cost no more than large ones;
        // never past what the header asked for.
        size_t capacity = std::max<size_t>(capacity_ * 2, 64);
        if (capacity > need_) capacity = size_t(need_);
        if (capacity < size) capacity = size;
        auto* grown = static_cast<uint8_t*>(g_try_realloc(bytes_, capacity));
        if (!grown) {
            SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                     "not enough memory to read the TIM file's " + std::to_string(size) + " bytes");
            return false;
        }
        bytes_ = grown;
        capacity_ = capacity;
        return true;
    }

    // After new bytes: how many the file wants now, the size once its header
    // is in, and the picture once everything is.
    bool Advance(const uint8_t* file, size_t size, GError** error) {
        const TimBytesNeeded need = TimBytesToRead(file, size);
        need_ = need.bytes;
        if (need.sizeKnown && !sizeTold_) {
            sizeTold_ = true;
            // An image too large (or empty) is refused before its data is read.
            TimImageInfo probe{};
            probe.width = uint16_t(need.width > 0xFFFF ? 0xFFFF : need.width);
            probe.height = uint16_t(need.height);
            if (need.width <= 0xFFFF) {
                const std::string why = TimDrawRefusalText(probe);
                if (!why.empty()) {
                    SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, why);
                    return false;
                }
            }
            if (sizeFunc_ && need.width <= 0xFFFF) {
                int width = int(need.width), height = int(need.height);
                sizeFunc_(&width, &height, userData_);
                // A caller that sets no size wants only the size (as
                // gdk_pixbuf_get_file_info does): nothing more to read.
                if (width == 0 || height == 0) {
                    SetError(error, GDK_PIXBUF_ERROR_FAILED, "only the image's size was asked for");
                    return false;
                }
            }
        }
        if (size >= need_) return Decode(file, size, error);
        return true;
    }

    bool Decode(const uint8_t* file, size_t size, GError** error) {
        TimImageInfo info{};
        const TimRefusal refusal = FindTimRefusal(info, file, size);
        if (refusal.reason != TimRefusalReason::Accepted) {
            const bool notTim =
                refusal.reason == TimRefusalReason::NoIdentifier || refusal.reason == TimRefusalReason::UnknownFlags;
            SetError(error, notTim ? GDK_PIXBUF_ERROR_UNKNOWN_TYPE : GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                     TimRefusalText(refusal));
            return false;
        }
        if (const std::string why = TimDrawRefusalText(info); !why.empty()) {
            SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, why);
            return false;
        }
        GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, info.width, info.height);
        if (!pixbuf) {
            SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                     "not enough memory for a " + std::to_string(info.width) + " x " + std::to_string(info.height) +
                         " image");
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
        g_free(bytes_);  // the pixels are all out; the bytes are no longer needed
        bytes_ = nullptr;
        capacity_ = size_ = 0;
        return true;
    }

    GdkPixbufModuleSizeFunc sizeFunc_;
    GdkPixbufModulePreparedFunc preparedFunc_;
    GdkPixbufModuleUpdatedFunc updatedFunc_;
    gpointer userData_;
    uint8_t* bytes_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
    uint64_t need_ = 1;  // until the first byte is in
    bool sizeTold_ = false, failed_ = false;
    GdkPixbuf* pixbuf_ = nullptr;
};

GdkPixbuf* Load(FILE* file, GError** error) {
    TimReader reader(nullptr, nullptr, nullptr, nullptr);
    if (!reader.ReadFrom(file, error) || !reader.Finish(error)) return nullptr;
    return GDK_PIXBUF(g_object_ref(reader.Pixbuf()));
}

gpointer BeginLoad(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
                   GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, GError** error) {
    auto* reader = new (std::nothrow) TimReader(sizeFunc, preparedFunc, updatedFunc, userData);
    if (!reader) SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory to start reading");
    return reader;
}

gboolean LoadIncrement(gpointer context, const guchar* data, guint size, GError** error) {
    return static_cast<TimReader*>(context)->Feed(data, size, error);
}

gboolean StopLoad(gpointer context, GError** error) {
    auto* reader = static_cast<TimReader*>(context);
    const bool done = reader->Finish(error);
    delete reader;
    return done;
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
    // The identifier's low byte, three zero bytes, any flags byte, three more
    // zero bytes. gdk-pixbuf reads each prefix as a C string, so the mask
    // alone decides the bytes that must be zero ('z').
    static char prefix[] = {char(kTimIdentifier & 0xFF), 'z', 'z', 'z', 'x', 'z', 'z', 'z', 0};
    static char mask[] = " zzzxzzz";
    static GdkPixbufModulePattern signature[] = {{prefix, mask, 80}, {nullptr, nullptr, 0}};
    static gchar* mimeTypes[] = {const_cast<gchar*>("image/x-tim"), nullptr};
    static gchar* extensions[] = {const_cast<gchar*>("tim"), nullptr};
    static_assert(kTimIdentifier < 256, "the pattern holds the identifier in one byte");
    info->name = const_cast<gchar*>("tim");
    info->signature = signature;
    info->description = const_cast<gchar*>("PlayStation TIM image");
    info->mime_types = mimeTypes;
    info->extensions = extensions;
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = const_cast<gchar*>("MIT");
}

}  // extern "C"

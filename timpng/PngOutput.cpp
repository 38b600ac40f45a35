#include "PngOutput.h"

#include "PortableFile.h"
#include "TimChunk.h"

#include <png.h>

#include <csetjmp>

namespace {

struct Sink {
    AtomicFile* file;
    bool failed;
};

void WriteToSink(png_structp png, png_bytep data, size_t length) {
    Sink* sink = static_cast<Sink*>(png_get_io_ptr(png));
    if (!sink->file->Write(data, length)) {
        sink->failed = true;
        png_error(png, "write failed");
    }
}

void FlushNothing(png_structp) {}

// libpng's errors come back here by longjmp: nothing in this frame, nor in
// the callbacks it jumps over, owns anything that a destructor would free.
bool Encode(png_structp png, png_infop info, const PngPicture& picture, png_colorp plte, png_bytep alpha,
            int alphaCount, const uint8_t* chunk, size_t chunkSize) {
    if (setjmp(png_jmpbuf(png))) return false;
    const bool indexed = picture.indices != nullptr;
    png_set_IHDR(png, info, picture.width, picture.height, indexed && picture.paletteSize <= 16 ? 4 : 8,
                 indexed ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (indexed) {
        png_set_PLTE(png, info, plte, int(picture.paletteSize));
        if (alphaCount > 0) png_set_tRNS(png, info, alpha, alphaCount, nullptr);
    }
    png_write_info(png, info);
    if (chunkSize) {
        png_byte name[5] = {};
        for (int i = 0; i < 4; ++i) name[i] = png_byte(kTimChunkName[i]);
        png_write_chunk(png, name, chunk, chunkSize);
    }
    if (indexed) {
        png_set_packing(png);  // one index a byte in, two a byte out at depth 4
        for (uint32_t y = 0; y < picture.height; ++y)
            png_write_row(png, picture.indices + size_t(y) * picture.width);
    } else {
        png_set_bgr(png);  // the bytes of 0xAARRGGBB in memory
        const uint8_t* rows = reinterpret_cast<const uint8_t*>(picture.bgra);
        for (uint32_t y = 0; y < picture.height; ++y) png_write_row(png, rows + size_t(y) * picture.width * 4);
    }
    png_write_end(png, info);
    return true;
}

}  // namespace

std::string WritePng(const std::string& path, const PngPicture& picture, const std::vector<uint8_t>& timChunk) {
    png_color plte[256] = {};
    png_byte alpha[256] = {};
    int alphaCount = 0;
    for (uint32_t i = 0; i < picture.paletteSize && i < 256; ++i) {
        const uint32_t c = picture.palette[i];
        plte[i] = {png_byte(c >> 16), png_byte(c >> 8), png_byte(c)};
        alpha[i] = png_byte(c >> 24);
        if (alpha[i] != 255) alphaCount = int(i) + 1;  // tRNS stops at the last entry that is not opaque
    }
    AtomicFile file;
    if (!file.Create(path)) return file.LastError();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return "out of memory";
    }
    Sink sink{&file, false};
    png_set_write_fn(png, &sink, WriteToSink, FlushNothing);
    const bool encoded =
        Encode(png, info, picture, plte, alpha, alphaCount, timChunk.data(), timChunk.size());
    png_destroy_write_struct(&png, &info);
    if (sink.failed) return file.LastError();
    if (!encoded) return "PNG encoder failed";
    if (!file.Commit()) return file.LastError();
    return "";
}

std::string WritePngFile(const std::string& path, const uint32_t* pixels, uint32_t width, uint32_t height) {
    PngPicture picture;
    picture.width = width;
    picture.height = height;
    picture.bgra = pixels;
    return WritePng(path, picture, {});
}

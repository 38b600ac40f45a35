#include "PngInput.h"

#include "PortableFile.h"
#include "TimChunk.h"
#include "TimFormat.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <new>

namespace {

struct Source {
    InputFile* file;
    uint64_t offset;
    bool failed;
};

void ReadFromSource(png_structp png, png_bytep data, size_t length) {
    Source* source = static_cast<Source*>(png_get_io_ptr(png));
    size_t got = 0;
    if (!source->file->ReadAt(source->offset, data, length, got)) {
        source->failed = true;
        png_error(png, "read failed");
    }
    source->offset += got;
    if (got < length) png_error(png, "the file ends inside a chunk");
}

// Each stage arms libpng's error jump for itself; nothing in these frames
// owns anything a destructor would free.
bool ReadHeader(png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    return true;
}

bool SetTransforms(png_structp png, png_infop info, bool indexed) {
    if (setjmp(png_jmpbuf(png))) return false;
    if (indexed) {
        png_set_packing(png);  // one index a byte
    } else {
        png_set_expand(png);  // grey below 8 bits, tRNS to alpha
        png_set_scale_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
        png_set_bgr(png);  // bytes B, G, R, A: 0xAARRGGBB in memory
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return true;
}

bool ReadRows(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    return true;
}

bool ReadEnd(png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_end(png, info);
    return true;
}

// libpng's errors and warnings, kept for the one line png2tim prints rather
// than printed by libpng. A chunk over the memory limit is dropped with a
// warning: it counts as a damaged file, never as a PNG without a TIM chunk.
struct Messages {
    std::string last;
    bool chunkTooLarge = false;
};

void LastMessage(png_structp png, png_const_charp message) {
    static_cast<Messages*>(png_get_error_ptr(png))->last = message;
}

void Warning(png_structp png, png_const_charp message) {
    if (std::strstr(message, "memory limit")) static_cast<Messages*>(png_get_error_ptr(png))->chunkTooLarge = true;
}

}  // namespace

std::vector<uint32_t> PngInput::Pixels() const {
    if (!indexed) return bgra;
    std::vector<uint32_t> pixels(indices.size());
    for (size_t i = 0; i < indices.size(); ++i) pixels[i] = indices[i] < palette.size() ? palette[indices[i]] : 0;
    return pixels;
}

PngReadResult ReadPngFile(const std::string& path, PngInput& out, std::string& why) {
    out = {};
    InputFile file;
    switch (file.Open(path)) {
        case OpenFailure::None: break;
        case OpenFailure::Missing: why = "file not found"; return PngReadResult::Missing;
        case OpenFailure::NotAFile: why = file.LastError() + "; not read"; return PngReadResult::NotAFile;
        default: why = "cannot read it: " + file.LastError(); return PngReadResult::Unreadable;
    }
    uint8_t signature[8] = {};
    size_t got = 0;
    if (!file.ReadAt(0, signature, 8, got)) {
        why = "cannot read it: " + file.LastError();
        return PngReadResult::Unreadable;
    }
    if (got < 8 || png_sig_cmp(signature, 0, 8) != 0) {
        why = "not a PNG file";
        return PngReadResult::Refused;
    }

    Messages messages;
    const std::string& message = messages.last;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, LastMessage, Warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        why = "out of memory";
        return PngReadResult::NoMemory;
    }
    Source source{&file, 0, false};
    png_set_read_fn(png, &source, ReadFromSource);
    const png_byte name[5] = {png_byte(kTimChunkName[0]), png_byte(kTimChunkName[1]), png_byte(kTimChunkName[2]),
                              png_byte(kTimChunkName[3]), 0};
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, name, 1);
    png_set_chunk_malloc_max(png, kMaxTimChunkBytes + 64);
    // A damaged ancillary chunk is an error, not dropped without a word: the
    // TIM chunk's bytes are kept only when they are the ones written.
    png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_ERROR_QUIT);

    PngReadResult result = PngReadResult::Refused;
    const auto refuse = [&](const std::string& text) {
        why = source.failed ? "cannot read it: " + file.LastError() : text;
        result = source.failed ? PngReadResult::Unreadable : PngReadResult::Refused;
    };
    if (!ReadHeader(png, info)) {
        refuse("damaged PNG file: " + message);
    } else {
        out.width = png_get_image_width(png, info);
        out.height = png_get_image_height(png, info);
        out.indexed = png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE;
        const uint64_t pixels = uint64_t(out.width) * out.height;
        if (out.width > kMaxTimWidth || pixels > kMaxTimPixels) {
            refuse("image too large for a TIM: " + std::to_string(out.width) + " x " + std::to_string(out.height) +
                   " pixels");
        } else if (!SetTransforms(png, info, out.indexed)) {
            refuse("damaged PNG file: " + message);
        } else {
            try {
                const size_t rowBytes = png_get_rowbytes(png, info);
                uint8_t* base = nullptr;
                if (out.indexed) {
                    out.indices.resize(size_t(pixels));
                    base = out.indices.data();
                } else {
                    out.bgra.resize(size_t(pixels));
                    base = reinterpret_cast<uint8_t*>(out.bgra.data());
                }
                std::vector<png_bytep> rows(out.height);
                for (uint32_t y = 0; y < out.height; ++y) rows[y] = base + size_t(y) * rowBytes;
                if (rowBytes != (out.indexed ? 1u : 4u) * out.width) {
                    refuse("PNG rows of an unexpected size");
                } else if (!ReadRows(png, rows.data()) || !ReadEnd(png, info)) {
                    refuse("damaged PNG file: " + message);
                } else if (messages.chunkTooLarge) {
                    refuse("damaged PNG file: a chunk larger than a TIM chunk can be");
                } else {
                    result = PngReadResult::Read;
                    png_colorp plte = nullptr;
                    int plteCount = 0;
                    png_bytep alpha = nullptr;
                    int alphaCount = 0;
                    if (out.indexed) {
                        png_get_PLTE(png, info, &plte, &plteCount);
                        png_get_tRNS(png, info, &alpha, &alphaCount, nullptr);
                        for (int i = 0; i < plteCount; ++i)
                            out.palette.push_back(uint32_t(i < alphaCount ? alpha[i] : 255) << 24 |
                                                  uint32_t(plte[i].red) << 16 | uint32_t(plte[i].green) << 8 |
                                                  plte[i].blue);
                    }
                    png_unknown_chunkp chunks = nullptr;
                    const int count = png_get_unknown_chunks(png, info, &chunks);
                    for (int i = 0; i < count; ++i) {
                        if (std::memcmp(chunks[i].name, name, 4) != 0) continue;
                        if (out.hasTimChunk) {
                            refuse("damaged PNG file: two TIM chunks");
                            break;
                        }
                        out.hasTimChunk = true;
                        out.timChunk.assign(chunks[i].data, chunks[i].data + chunks[i].size);
                    }
                }
            } catch (const std::bad_alloc&) {
                why = "out of memory for " + std::to_string(out.width) + " x " + std::to_string(out.height) +
                      " pixels";
                result = PngReadResult::NoMemory;
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return result;
}

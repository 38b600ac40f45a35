// The Windows tools' libpng (scripts/mingw-libpng.sh), linked statically as
// they link it, on Windows' own C runtime: an indexed PNG of the kind a TIM
// becomes (4-bit palette, tRNS, a private chunk) written to a file and read
// back, raw and expanded to RGBA.
#include <png.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A private, ancillary, safe-to-copy chunk: the image's frame-buffer position.
const char kChunkName[] = "vrAm";

struct Indexed {
    uint32_t width = 0, height = 0;
    std::vector<png_color> palette;
    std::vector<uint8_t> alpha;                 // tRNS: the first entries' alpha; the rest are opaque
    std::vector<uint8_t> indices;               // one per pixel, top row first
    std::vector<uint8_t> chunk;                 // the private chunk's data
};

Indexed MakeImage(uint32_t width, uint32_t height, size_t colours, size_t alphas) {
    Indexed image;
    image.width = width;
    image.height = height;
    for (size_t i = 0; i < colours; ++i)
        image.palette.push_back({png_byte(i * 16 + 1), png_byte(255 - i * 13), png_byte(i * 37 + 5)});
    for (size_t i = 0; i < alphas; ++i) image.alpha.push_back(png_byte(i * 71 % 256));
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) image.indices.push_back(uint8_t((x * 3 + y * 5) % colours));
    for (size_t i = 0; i < 10; ++i) image.chunk.push_back(uint8_t(i * 29 + width));
    return image;
}

std::string Write(const std::string& path, const Indexed& image) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return "cannot create the file";
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return "libpng failed while writing";
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, image.width, image.height, 4, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, image.palette.data(), int(image.palette.size()));
    png_set_tRNS(png, info, image.alpha.data(), int(image.alpha.size()), nullptr);
    png_unknown_chunk chunk{};
    std::memcpy(chunk.name, kChunkName, 5);
    chunk.data = const_cast<png_bytep>(image.chunk.data());
    chunk.size = image.chunk.size();
    chunk.location = PNG_HAVE_PLTE;
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, reinterpret_cast<png_const_bytep>(kChunkName), 1);
    png_set_unknown_chunks(png, info, &chunk, 1);
    png_write_info(png, info);
    std::vector<uint8_t> row((image.width + 1) / 2);
    for (uint32_t y = 0; y < image.height; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (uint32_t x = 0; x < image.width; ++x)
            row[x / 2] |= uint8_t(image.indices[size_t(y) * image.width + x] << (x % 2 ? 0 : 4));
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0 ? "" : "cannot close the file";
}

// The file as stored: header, palette, tRNS, the private chunk, the 4-bit
// indices unpacked to one byte each.
struct Stored {
    int bitDepth = 0, colourType = 0;
    Indexed image;
};

std::string ReadStored(const std::string& path, Stored& stored) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return "cannot open the file";
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return "libpng failed while reading";
    }
    png_init_io(png, file);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, reinterpret_cast<png_const_bytep>(kChunkName), 1);
    png_read_info(png, info);
    Indexed& image = stored.image;
    image.width = png_get_image_width(png, info);
    image.height = png_get_image_height(png, info);
    stored.bitDepth = png_get_bit_depth(png, info);
    stored.colourType = png_get_color_type(png, info);
    png_colorp palette = nullptr;
    int colours = 0;
    if (png_get_PLTE(png, info, &palette, &colours)) image.palette.assign(palette, palette + colours);
    png_bytep alpha = nullptr;
    int alphas = 0;
    if (png_get_tRNS(png, info, &alpha, &alphas, nullptr)) image.alpha.assign(alpha, alpha + alphas);
    png_set_packing(png);  // one byte per index
    png_read_update_info(png, info);
    std::vector<uint8_t> row(png_get_rowbytes(png, info));
    for (uint32_t y = 0; y < image.height; ++y) {
        png_read_row(png, row.data(), nullptr);
        image.indices.insert(image.indices.end(), row.begin(), row.begin() + image.width);
    }
    png_read_end(png, info);
    png_unknown_chunkp chunks = nullptr;
    const int count = png_get_unknown_chunks(png, info, &chunks);
    for (int i = 0; i < count; ++i)
        if (std::memcmp(chunks[i].name, kChunkName, 4) == 0) image.chunk.assign(chunks[i].data, chunks[i].data + chunks[i].size);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return "";
}

TEST(PngLibrary, IsTheVersionItWasBuiltWith) {
    EXPECT_EQ(png_access_version_number(), png_uint_32(PNG_LIBPNG_VER));
    EXPECT_STREQ(zlibVersion(), ZLIB_VERSION);
}

TEST(PngLibrary, KeepsAnIndexedImageWithAlphaAndAPrivateChunk) {
    struct Case {
        uint32_t width, height;
        size_t colours, alphas;
    };
    // Odd widths leave half a byte at each row's end; a tRNS may be shorter
    // than the palette.
    const Case cases[] = {{1, 1, 2, 1}, {5, 3, 3, 2}, {16, 16, 16, 16}, {33, 7, 16, 9}, {640, 2, 11, 11}};
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const std::string path = (folder / ("png-library-" + std::to_string(c.width) + ".png")).string();
        const Indexed image = MakeImage(c.width, c.height, c.colours, c.alphas);
        ASSERT_EQ(Write(path, image), "");

        Stored stored;
        ASSERT_EQ(ReadStored(path, stored), "");
        EXPECT_EQ(stored.colourType, PNG_COLOR_TYPE_PALETTE);
        EXPECT_EQ(stored.bitDepth, 4);
        EXPECT_EQ(stored.image.width, c.width);
        EXPECT_EQ(stored.image.height, c.height);
        ASSERT_EQ(stored.image.palette.size(), image.palette.size());
        for (size_t i = 0; i < image.palette.size(); ++i) {
            EXPECT_EQ(stored.image.palette[i].red, image.palette[i].red) << "colour " << i;
            EXPECT_EQ(stored.image.palette[i].green, image.palette[i].green) << "colour " << i;
            EXPECT_EQ(stored.image.palette[i].blue, image.palette[i].blue) << "colour " << i;
        }
        EXPECT_EQ(stored.image.alpha, image.alpha);
        EXPECT_EQ(stored.image.indices, image.indices);
        EXPECT_EQ(stored.image.chunk, image.chunk);

        // Through the simplified API, as a viewer reads it: each pixel its
        // palette colour, with the tRNS alpha or opaque.
        png_image simple{};
        simple.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&simple, path.c_str())) << simple.message;
        simple.format = PNG_FORMAT_RGBA;
        std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(simple));
        ASSERT_TRUE(png_image_finish_read(&simple, nullptr, rgba.data(), 0, nullptr)) << simple.message;
        ASSERT_EQ(rgba.size(), size_t(c.width) * c.height * 4);
        for (size_t p = 0; p < image.indices.size(); ++p) {
            const size_t index = image.indices[p];
            const uint8_t expected[4] = {image.palette[index].red, image.palette[index].green,
                                         image.palette[index].blue,
                                         index < image.alpha.size() ? image.alpha[index] : uint8_t(255)};
            ASSERT_EQ(std::memcmp(&rgba[p * 4], expected, 4), 0) << "pixel " << p << " (colour " << index << ")";
        }
        std::filesystem::remove(path);
    }
}

}  // namespace

// conformance_check: a client's picture of a sample against the sample's
// expected picture, for the tests that drive a client from a script.
//
//   conformance_check SAMPLE OUTPUT.png
//       OUTPUT.png must be an 8-bit RGBA PNG (straight alpha) of SAMPLE, or
//       an indexed one whose palette and tRNS draw it.
//   conformance_check SAMPLE --raw WIDTH HEIGHT STRIDE LAYOUT FILE
//       FILE holds rows STRIDE bytes apart, top row first; LAYOUT is rgba,
//       bgra or premultiplied-bgra.
//
// Exit 0 on a match; 1 with a one-line reason on standard error otherwise;
// 2 for bad arguments.
#include "Conformance.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace tim_conformance;

namespace {

int Fail(const std::string& reason) {
    std::fprintf(stderr, "conformance_check: %s\n", reason.c_str());
    return 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: conformance_check SAMPLE OUTPUT.png\n"
                 "       conformance_check SAMPLE --raw WIDTH HEIGHT STRIDE rgba|bgra|premultiplied-bgra FILE\n");
    return 2;
}

bool ParseNumber(const char* text, size_t& out) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (!*text || *end || n > 1u << 30) return false;
    out = size_t(n);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string sample = argv[1];
    ClientPicture picture;
    std::vector<uint8_t> bytes;

    if (std::strcmp(argv[2], "--raw") == 0) {
        if (argc != 8) return Usage();
        size_t width = 0, height = 0;
        if (!ParseNumber(argv[3], width) || !ParseNumber(argv[4], height) || !ParseNumber(argv[5], picture.stride))
            return Usage();
        const std::string layout = argv[6];
        if (layout == "rgba")
            picture.layout = PixelLayout::StraightRgba;
        else if (layout == "bgra")
            picture.layout = PixelLayout::StraightBgra;
        else if (layout == "premultiplied-bgra")
            picture.layout = PixelLayout::PremultipliedBgra;
        else
            return Usage();
        std::ifstream in(argv[7], std::ios::binary);
        if (!in) return Fail(std::string(argv[7]) + ": cannot be read");
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        picture.width = uint32_t(width);
        picture.height = uint32_t(height);
    } else {
        if (argc != 3) return Usage();
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, argv[2]))
            return Fail(std::string(argv[2]) + ": not a readable PNG file (" + image.message + ")");
        // The stored format, before libpng converts anything: a client that
        // writes 16-bit channels or drops the alpha channel is wrong too. An
        // indexed PNG (8-bit palette entries, tRNS for their alpha) is read
        // through its palette, as viewers show it.
        const bool indexed = (image.format & PNG_FORMAT_FLAG_COLORMAP) && !(image.format & PNG_FORMAT_FLAG_LINEAR);
        if (image.format != PNG_FORMAT_RGBA && !indexed) {
            png_image_free(&image);
            return Fail(std::string(argv[2]) + ": not 8-bit RGBA nor indexed");
        }
        image.format = PNG_FORMAT_RGBA;
        picture.width = image.width;
        picture.height = image.height;
        picture.stride = size_t(image.width) * 4;
        bytes.resize(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr))
            return Fail(std::string(argv[2]) + ": " + image.message);
        picture.layout = PixelLayout::StraightRgba;
    }
    picture.pixels = bytes.data();
    picture.size = bytes.size();
    const std::string why = Mismatch(sample, picture);
    if (!why.empty()) return Fail(why);
    return 0;
}

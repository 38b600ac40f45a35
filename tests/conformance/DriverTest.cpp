// The driver itself: its compiled-in pictures are the checked-in PNG files as
// libpng reads them, and a client's picture that differs by one pixel is
// reported, whatever its layout and row order, in the library and the CLI.
#include "Conformance.h"

#include <png.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

namespace fs = std::filesystem;
using namespace tim_conformance;

namespace {

struct Layout {
    PixelLayout layout;
    RowOrder order;
    const char* cliName;  // conformance_check's name of the layout
};
const Layout kLayouts[] = {
    {PixelLayout::StraightRgba, RowOrder::TopDown, "rgba"},
    {PixelLayout::StraightBgra, RowOrder::TopDown, "bgra"},
    {PixelLayout::PremultipliedBgra, RowOrder::BottomUp, "premultiplied-bgra"},
};

// `picture` as a client in `l` would hold it, with 8 bytes of padding after
// each row. Written from the straight RGBA bytes here, not through the
// driver's own conversion; for the samples (alpha 0 or 255) premultiplying
// only clears the transparent pixels.
std::vector<uint8_t> AsClient(const ExpectedPicture& picture, const Layout& l, size_t stride) {
    std::vector<uint8_t> out(stride * picture.height, 0xCD);
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint32_t row = l.order == RowOrder::TopDown ? y : picture.height - 1 - y;
        for (uint32_t x = 0; x < picture.width; ++x) {
            const unsigned char* p = picture.rgba + (size_t(y) * picture.width + x) * 4;
            uint8_t* q = &out[row * stride + x * 4];
            const bool bgra = l.layout != PixelLayout::StraightRgba;
            const bool cleared = l.layout == PixelLayout::PremultipliedBgra && p[3] == 0;
            q[0] = cleared ? 0 : p[bgra ? 2 : 0];
            q[1] = cleared ? 0 : p[1];
            q[2] = cleared ? 0 : p[bgra ? 0 : 2];
            q[3] = p[3];
        }
    }
    return out;
}

int RunCheck(const std::string& arguments) {
    const std::string command = std::string(TIM_CONFORMANCE_CHECK) + " " + arguments + " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// The Python decoder that writes the compiled-in pixels against libpng; and
// every drawn sample has its picture, the refused one none.
TEST(ExpectedPictures, AreThePngFilesAsLibpngReadsThem) {
    std::set<std::string> drawn;
    for (const auto& entry : fs::directory_iterator(TIM_SAMPLES_DIR)) {
        const std::string stem = entry.path().stem().string();
        if (entry.path().extension() == ".tim" && stem.rfind("refused-", 0) != 0) drawn.insert(stem);
    }
    std::set<std::string> compiled;
    for (const ExpectedPicture& picture : ExpectedPictures()) {
        SCOPED_TRACE(picture.name);
        compiled.insert(picture.name);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        const std::string path = std::string(TIM_SAMPLES_DIR) + "/" + picture.name + ".png";
        ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
        EXPECT_EQ(image.format, PNG_FORMAT_RGBA);
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
        EXPECT_EQ(image.width, picture.width);
        EXPECT_EQ(image.height, picture.height);
        EXPECT_EQ(pixels, std::vector<uint8_t>(picture.rgba, picture.rgba + pixels.size()));
    }
    EXPECT_EQ(compiled, drawn);
    EXPECT_EQ(FindExpectedPicture("refused-truncated.tim"), nullptr);
    EXPECT_EQ(FindExpectedPicture("rings-8bit-clut.tim"), FindExpectedPicture("rings-8bit-clut"));
}

// A client's faithful picture matches; the same with one channel of one
// pixel off by one is reported with its position and both values; another
// sample's picture, a wrong size or a buffer too short are reported too.
TEST(Driver, ReportsOneChangedPixelInEveryLayout) {
    const ExpectedPicture& rings = *FindExpectedPicture("rings-8bit-clut");
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.cliName);
        const size_t stride = rings.width * 4 + 8;
        std::vector<uint8_t> bytes = AsClient(rings, l, stride);
        ClientPicture got{rings.width, rings.height, bytes.data(), bytes.size(), stride, l.order, l.layout};
        EXPECT_TRUE(MatchesSample("rings-8bit-clut.tim", got));

        // Top-down (20, 30): the memory row depends on the order.
        const uint32_t row = l.order == RowOrder::TopDown ? 30 : rings.height - 1 - 30;
        bytes[row * stride + 20 * 4 + 1] ^= 1;
        const ::testing::AssertionResult changed = MatchesSample("rings-8bit-clut", got);
        EXPECT_FALSE(changed);
        EXPECT_NE(std::string(changed.message()).find("1 of 4096 pixels differ"), std::string::npos)
            << changed.message();
        EXPECT_NE(std::string(changed.message()).find("first at 20, 30 (top-down)"), std::string::npos)
            << changed.message();

        EXPECT_FALSE(MatchesSample("glow-8bit-grey", got)) << "another sample's picture";
        got.height = 63;
        EXPECT_FALSE(MatchesSample("rings-8bit-clut", got)) << "a row short";
        got.height = 64;
        got.size = stride * 63;
        EXPECT_FALSE(MatchesSample("rings-8bit-clut", got)) << "the buffer ends inside the last row";
    }
    EXPECT_FALSE(MatchesSample("refused-truncated", ClientPicture{}));
}

// The premultiplied form of a half-transparent pixel: every channel, alpha
// included, c * a / 255 rounded down, B G R A in memory.
TEST(Driver, PremultipliesByAlphaRoundingDown) {
    const unsigned char rgba[] = {255, 200, 1, 128};
    const ExpectedPicture pixel{"one", 1, 1, rgba};
    uint8_t out[4];
    ExpectedBytes(pixel, 0, 0, PixelLayout::PremultipliedBgra, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0, 100, 128, 64}));
    ExpectedBytes(pixel, 0, 0, PixelLayout::StraightBgra, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 200, 255, 128}));
}

// conformance_check: 0 for a match, 1 for a mismatch, 2 for bad arguments;
// PNG files and raw rows alike.
TEST(ConformanceCheck, ExitCodeTellsMatchAndMismatch) {
    const std::string samples = TIM_SAMPLES_DIR;
    EXPECT_EQ(RunCheck("checker-16bit " + samples + "/checker-16bit.png"), 0);
    EXPECT_EQ(RunCheck("checker-16bit.tim " + samples + "/gradient-24bit.png"), 1);
    EXPECT_EQ(RunCheck("refused-truncated " + samples + "/gradient-24bit.png"), 1);
    EXPECT_EQ(RunCheck("checker-16bit " + samples + "/checker-16bit.tim"), 1) << "not a PNG";
    EXPECT_EQ(RunCheck("checker-16bit"), 2);

    const ExpectedPicture& checker = *FindExpectedPicture("checker-16bit");
    const fs::path raw = fs::path(testing::TempDir()) / "conformance-raw.bin";
    for (const Layout& each : kLayouts) {
        const Layout l{each.layout, RowOrder::TopDown, each.cliName};  // the CLI reads rows top-down
        SCOPED_TRACE(l.cliName);
        const size_t stride = checker.width * 4 + 8;
        std::vector<uint8_t> bytes = AsClient(checker, l, stride);
        const std::string arguments = "checker-16bit --raw 64 64 " + std::to_string(stride) + " " + l.cliName + " " +
                                      raw.string();
        std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        EXPECT_EQ(RunCheck(arguments), 0);
        bytes[5 * stride + 40 * 4 + 3] = 0x7F;
        std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        EXPECT_EQ(RunCheck(arguments), 1);
    }
}

// png2tim as users run it, after tim2png: every TIM the decoder draws comes
// back byte for byte, and an edited PNG comes back by the rules of the tool
// or is refused with its reason and exit code.
#include "PngOutput.h"
#include "SampleTims.h"
#include "TimBuilder.h"
#include "TimChunk.h"
#include "TimDecode.h"
#include "TimFormat.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace fs = std::filesystem;
using timtest::Bytes;

namespace {

// The record of an accepted TIM with pixels; width 0 otherwise.
TimImageInfo Parse(const Bytes& tim, uint32_t palette = 0) {
    TimImageInfo info{};
    if (FindTimRefusal(info, tim.data(), tim.size()).reason != TimRefusalReason::Accepted ||
        !SelectTimPalette(info, palette) || !TimDrawRefusalText(info).empty())
        info.width = 0;
    return info;
}

// The decoder's picture, top-down; TIM pixels are opaque or clear, so it is
// already straight alpha.
std::vector<uint32_t> Drawn(const Bytes& tim, uint32_t palette = 0) {
    const TimImageInfo info = Parse(tim, palette);
    std::vector<uint32_t> pixels(size_t(info.width) * info.height);
    DecodeTimRows(info, 0, info.height, pixels.data());
    return pixels;
}

std::vector<uint8_t> Indices(const Bytes& tim) {
    const TimImageInfo info = Parse(tim);
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < info.height; ++y)
        for (uint32_t x = 0; x < info.width; ++x) {
            const uint8_t* row = info.pixelData + size_t(y) * info.rawWidth * 2;
            out.push_back(info.format == TimPixelFormat::Indexed8 ? row[x] : (row[x / 2] >> (x & 1 ? 4 : 0)) & 15);
        }
    return out;
}

// A 4-bit TIM with index `index` at pixel i.
Bytes WithIndex(Bytes tim, size_t i, uint8_t index) {
    const TimImageInfo info = Parse(tim);
    const size_t x = i % info.width, y = i / info.width;
    uint8_t& b = tim[size_t(info.pixelData - tim.data()) + y * info.rawWidth * 2 + x / 2];
    b = x & 1 ? uint8_t((b & 0x0F) | index << 4) : uint8_t((b & 0xF0) | index);
    return tim;
}

Bytes WithWord(Bytes tim, size_t offset, uint16_t word) {
    tim[offset] = uint8_t(word);
    tim[offset + 1] = uint8_t(word >> 8);
    return tim;
}

size_t ClutOffset(const Bytes& tim, uint32_t palette, uint32_t entry) {
    return size_t(Parse(tim, palette).clutData - tim.data()) + 2 * entry;
}

std::vector<uint32_t> Palette(const Bytes& tim, uint32_t palette = 0) {
    std::vector<uint32_t> colours(256);
    colours.resize(TimDrawnPalette(Parse(tim, palette), colours.data()));
    return colours;
}

// PNGs as an editor saves them: no TIM chunk unless given.
void SaveIndexed(const fs::path& path, const Bytes& tim, std::vector<uint8_t> indices, std::vector<uint32_t> palette,
                 const std::vector<uint8_t>& chunk = {}) {
    const TimImageInfo info = Parse(tim);
    PngPicture picture;
    picture.width = info.width;
    picture.height = info.height;
    picture.indices = indices.data();
    picture.palette = palette.data();
    picture.paletteSize = uint32_t(palette.size());
    ASSERT_EQ(WritePng(path.string(), picture, chunk), "");
}

void SaveRgba(const fs::path& path, const std::vector<uint32_t>& pixels, uint32_t width, uint32_t height) {
    ASSERT_EQ(WritePngFile(path.string(), pixels.data(), width, height), "");
}

}  // namespace

// tim2png then png2tim on every sample and fuzz seed the decoder draws: the
// TIM's bytes come back exactly, header to the image block's end (a file's
// trailing bytes are no part of its TIM).
TEST(Png2Tim, EveryDrawnTimComesBackByteForByte) {
    const fs::path out = fs::path(testing::TempDir()) / "png2tim-round";
    fs::remove_all(out);
    fs::create_directories(out);
    size_t checked = 0;
    for (const char* dir : {TIM_SAMPLES_DIR, TIM_FUZZ_DIR "/corpus"})
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() != ".tim") continue;
            const Bytes original = timtest::ReadFileBytes(entry.path());
            const TimImageInfo info = Parse(original);
            if (info.width == 0) continue;
            SCOPED_TRACE(entry.path().string());
            const fs::path png = out / entry.path().filename().replace_extension(".png");
            const fs::path back = out / entry.path().filename();
            ASSERT_EQ(timtest::RunTool(TIM2PNG_PATH, entry.path().string() + " " + png.string()).code, 0);
            const timtest::ToolRun run = timtest::RunTool(PNG2TIM_PATH, png.string() + " " + back.string());
            ASSERT_EQ(run.code, 0) << run.out;
            EXPECT_EQ(timtest::ReadFileBytes(back), Bytes(original.begin(), original.begin() + info.imageEnd));
            ++checked;
        }
    EXPECT_GE(checked, 24u);
}

TEST(Png2Tim, EditsComeBackByTheRulesOrAreRefused) {
    const fs::path dir = fs::path(testing::TempDir()) / "png2tim-edits";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const Bytes sprite = timtest::ReadFileBytes(fs::path(TIM_SAMPLES_DIR) / "sprite-4bit-clut.tim");
    const Bytes two = timtest::ReadFileBytes(fs::path(TIM_SAMPLES_DIR) / "sprite-4bit-two-palettes.tim");
    // Red and opaque black with STP set, transparent, green, blue.
    const Bytes direct = timtest::MakeTim(2, std::nullopt,
                                          timtest::Block{5, 1, timtest::Colours({0x801F, 0x8000, 0x0000, 0x03E0, 0x7C00})});
    const size_t directPixels = 20;
    const std::vector<uint8_t> spriteIndices = Indices(sprite);
    const std::vector<uint32_t> spriteColours = Palette(sprite);
    // An entry of the sprite's palette drawn by no other entry, to move pixel 0 to.
    uint8_t other = 1;
    while (other == spriteIndices[0] || std::count(spriteColours.begin(), spriteColours.end(), spriteColours[other]) != 1)
        ++other;
    std::vector<uint32_t> spriteOutside = Drawn(sprite);
    spriteOutside[2] = spriteOutside[64 + 3] = 0xFF123456u;
    std::vector<uint8_t> damagedChunk = MakeTimChunk(sprite, Parse(sprite));
    damagedChunk[2] += 1;  // the head claims one byte more than the chunk holds

    const struct {
        const char* what;
        const Bytes& original;
        std::function<void(const fs::path&)> save;  // the edited PNG
        std::string options;                        // with "ORIGINAL" for the original's path
        int code;
        std::string message;
        std::function<Bytes()> expected;  // the TIM written; null when nothing is
    } cases[] = {
        {"indices changed, chunk dropped, put back like the original", sprite,
         [&](const fs::path& p) {
             std::vector<uint8_t> edited = spriteIndices;
             edited[0] = other;
             edited[64 * 5 + 7] = uint8_t((edited[64 * 5 + 7] + 1) & 15);
             SaveIndexed(p, sprite, edited, spriteColours);
         },
         "--like ORIGINAL", 0, ": 2 pixels changed",
         [&] { return WithIndex(WithIndex(sprite, 0, other), 64 * 5 + 7, uint8_t((spriteIndices[64 * 5 + 7] + 1) & 15)); }},
        {"chunk dropped and no original", sprite,
         [&](const fs::path& p) { SaveIndexed(p, sprite, spriteIndices, spriteColours); }, "", 2,
         "has no TIM chunk (an editor dropped it): the original TIM is needed, as --like ORIGINAL.tim", nullptr},
        {"a palette entry changed", sprite,
         [&](const fs::path& p) {
             std::vector<uint32_t> colours = spriteColours;
             colours[3] = 0xFF00FF00u;
             SaveIndexed(p, sprite, spriteIndices, colours);
         },
         "--like ORIGINAL", 0, ": 1 palette colour changed", [&] { return WithWord(sprite, ClutOffset(sprite, 0, 3), 0x03E0); }},
        {"a palette entry of palette 1 changed, palette 0 kept", two,
         [&](const fs::path& p) {
             std::vector<uint32_t> colours = Palette(two, 1);
             colours[2] = 0xFF0000FFu;
             SaveIndexed(p, two, Indices(two), colours);
         },
         "--palette 1 --like ORIGINAL", 0, ", palette 1, like ", [&] { return WithWord(two, ClutOffset(two, 1, 2), 0x7C00); }},
        {"an RGBA edit inside the palette", sprite,
         [&](const fs::path& p) {
             std::vector<uint32_t> pixels = Drawn(sprite);
             pixels[0] = spriteColours[other];
             SaveRgba(p, pixels, 64, 64);
         },
         "--like ORIGINAL", 0, ": 1 pixel changed", [&] { return WithIndex(sprite, 0, other); }},
        {"an RGBA edit outside the palette", sprite, [&](const fs::path& p) { SaveRgba(p, spriteOutside, 64, 64); },
         "--like ORIGINAL", 1, "refused: 2 pixels have colours that palette 0 does not hold, the first at (2, 0)",
         nullptr},
        {"the same with --nearest", sprite, [&](const fs::path& p) { SaveRgba(p, spriteOutside, 64, 64); },
         "--nearest --like ORIGINAL", 0, "2 pixels moved to the nearest palette colour", nullptr},
        {"an RGBA edit of a 16-bit TIM", direct,
         [&](const fs::path& p) {
             std::vector<uint32_t> pixels = Drawn(direct);
             pixels[2] = 0xFF000000u;  // transparent to opaque black
             pixels[3] = 0x00000000u;  // green to transparent
             pixels[4] = 0xFF102030u;  // blue to a colour between TIM colours
             SaveRgba(p, pixels, 5, 1);
         },
         "--like ORIGINAL", 0, ": 3 pixels changed, 1 colour rounded to a TIM colour",
         [&] { return WithWord(WithWord(WithWord(direct, directPixels + 4, 0x8000), directPixels + 6, 0), directPixels + 8, 0x1882); }},
        {"another size", sprite, [&](const fs::path& p) { SaveRgba(p, std::vector<uint32_t>(63 * 64), 63, 64); },
         "--like ORIGINAL", 1, "refused: its size 63 x 64 differs from the TIM's 64 x 64", nullptr},
        {"more colours than a 4-bit TIM holds", sprite,
         [&](const fs::path& p) { SaveIndexed(p, sprite, spriteIndices, std::vector<uint32_t>(256, 0xFF000000u)); },
         "--like ORIGINAL", 1, "refused: its palette holds 256 colours; a 4-bit TIM holds 16", nullptr},
        {"a palette the TIM lacks", two, [&](const fs::path& p) { SaveIndexed(p, two, Indices(two), Palette(two)); },
         "--palette 2 --like ORIGINAL", 1, "refused: the TIM has no palette 2 (2 in its CLUT, numbered from 0)", nullptr},
        {"a chunk that claims more than it holds", sprite,
         [&](const fs::path& p) { SaveIndexed(p, sprite, spriteIndices, spriteColours, damagedChunk); }, "", 1,
         "refused: damaged TIM chunk: its lengths claim", nullptr},
        {"not a PNG", sprite, [&](const fs::path& p) { timtest::WriteFileBytes(p, sprite); }, "", 1, "refused: not a PNG file",
         nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path original = dir / ("original" + std::to_string(n) + ".tim");
        const fs::path png = dir / ("edited" + std::to_string(n) + ".png");
        const fs::path out = dir / ("out" + std::to_string(n++) + ".tim");
        timtest::WriteFileBytes(original, c.original);
        c.save(png);
        std::string options = c.options;
        if (const size_t at = options.find("ORIGINAL"); at != std::string::npos) options.replace(at, 8, original.string());
        const timtest::ToolRun run = timtest::RunTool(PNG2TIM_PATH, options + " " + png.string() + " " + out.string());
        EXPECT_EQ(run.code, c.code) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_EQ(fs::exists(out), c.code == 0);
        if (c.expected) {
            EXPECT_EQ(timtest::ReadFileBytes(out), c.expected());
        }
    }
    // --nearest moved the two outside pixels to opaque entries, and nothing else.
    const Bytes nearest = timtest::ReadFileBytes(dir / "out6.tim");
    const std::vector<uint32_t> drawn = Drawn(nearest), before = Drawn(sprite);
    for (size_t i = 0; i < drawn.size(); ++i)
        if (i != 2 && i != 64 + 3) {
            ASSERT_EQ(drawn[i], before[i]) << i;
        }
    EXPECT_EQ(drawn[2] >> 24, 0xFFu);
    EXPECT_EQ(drawn[64 + 3] >> 24, 0xFFu);
    EXPECT_EQ(timtest::RunTool(PNG2TIM_PATH, (dir / "missing.png").string() + " " + (dir / "x.tim").string()).code, 3);
    // No temporary file left by any of them.
    for (const auto& entry : fs::directory_iterator(dir)) EXPECT_NE(entry.path().filename().string()[0], '.');
}

// tim2png as users run it: the PNG files it writes hold the handler's pixels,
// its palettes, its thumbnails, and its exit codes.
#include "BoxFilter.h"
#include "Conformance.h"
#include "Premultiply.h"
#include "SampleTims.h"
#include "StraightAlpha.h"
#include "TimDecode.h"
#include "TimFormat.h"
#include "ToolRun.h"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Runs tim2png with `arguments` (paths without spaces or quotes).
timtest::ToolRun Tim2Png(const std::string& arguments) { return timtest::RunTool(TIM2PNG_PATH, arguments); }

// A PNG's pixels as straight-alpha BGRA, rows top-down; empty if unreadable
// or not stored as tim2png stores them: indexed for 4-bit and 8-bit TIMs at
// full size (`indexed`), RGBA otherwise.
std::vector<uint32_t> ReadPng(const fs::path& path, uint32_t& width, uint32_t& height, bool indexed = false) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
    const bool rgba = indexed ? (image.format & PNG_FORMAT_FLAG_COLORMAP) != 0 : image.format == PNG_FORMAT_RGBA;
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint32_t> pixels(size_t(image.width) * image.height);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) || !rgba) return {};
    width = image.width;
    height = image.height;
    return pixels;
}

// The handler's bitmap for the file, as a PNG holds it; empty when the
// handler draws nothing (a refused file, or one without pixels).
std::vector<uint32_t> HandlerPixels(const timtest::Bytes& file, uint32_t palette = 0) {
    TimImageInfo info{};
    if (FindTimRefusal(info, file.data(), file.size()).reason != TimRefusalReason::Accepted) return {};
    if (!SelectTimPalette(info, palette) || info.width == 0 || info.height == 0) return {};
    std::vector<uint32_t> bitmap(size_t(info.width) * info.height), straight(bitmap.size());
    DecodeTimPixels(info, bitmap.data());
    PremultiplyPixels(bitmap.data(), bitmap.size());
    ToStraightTopDown(reinterpret_cast<const uint8_t*>(bitmap.data()), size_t(info.width) * 4, info.width,
                      info.height, true, true, straight.data());
    return straight;
}

// A PNG's straight BGRA pixels (ReadPng) as the conformance driver takes them.
tim_conformance::ClientPicture AsClient(const std::vector<uint32_t>& pixels, uint32_t width, uint32_t height) {
    return {width, height, reinterpret_cast<const uint8_t*>(pixels.data()), pixels.size() * 4, size_t(width) * 4,
            tim_conformance::RowOrder::TopDown, tim_conformance::PixelLayout::StraightBgra};
}

timtest::Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return timtest::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// 4-bit and 8-bit TIMs, which tim2png writes as indexed PNGs at full size.
bool IsIndexed(const timtest::Bytes& file) {
    TimImageInfo info{};
    FindTimRefusal(info, file.data(), file.size());
    return info.format == TimPixelFormat::Indexed4 || info.format == TimPixelFormat::Indexed8;
}

fs::path FreshFolder(const char* name) {
    const fs::path folder = fs::path(testing::TempDir()) / name;
    fs::remove_all(folder);
    return folder;
}

}  // namespace

// One batch over samples/ and the fuzz seeds: every file the handler draws
// becomes a PNG of its exact pixels (a sample's expected picture, a seed's
// decoded pixels), the others fail without stopping the rest.
TEST(Tim2Png, BatchWritesTheHandlersPixelsAndListsFailures) {
    const fs::path out = FreshFolder("tim2png-batch");
    std::vector<fs::path> inputs;
    for (const char* dir : {TIM_SAMPLES_DIR, TIM_FUZZ_DIR "/corpus"})
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().extension() == ".tim") inputs.push_back(entry.path());
    std::string arguments = "-o " + out.string();
    for (const fs::path& input : inputs) arguments += " " + input.string();
    const timtest::ToolRun run = Tim2Png(arguments);
    EXPECT_EQ(run.code, 1) << run.out;
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << "no progress line when not on a terminal";

    size_t drawn = 0, failed = 0;
    for (const fs::path& input : inputs) {
        SCOPED_TRACE(input.string());
        const std::vector<uint32_t> expected = HandlerPixels(ReadFile(input));
        const fs::path png = out / input.filename().replace_extension(".png");
        if (expected.empty()) {
            ++failed;
            EXPECT_FALSE(fs::exists(png));
            EXPECT_NE(run.out.find("  " + input.string() + ": refused: "), std::string::npos);
            continue;
        }
        ++drawn;
        uint32_t width = 0, height = 0;
        const std::vector<uint32_t> got = ReadPng(png, width, height, IsIndexed(ReadFile(input)));
        if (input.parent_path() == fs::path(TIM_SAMPLES_DIR))
            EXPECT_TRUE(tim_conformance::MatchesSample(input.filename().string(), AsClient(got, width, height)));
        else
            EXPECT_EQ(got, expected);
    }
    EXPECT_GE(drawn, 20u);
    EXPECT_NE(run.out.find("tim2png: " + std::to_string(failed) + " of " + std::to_string(inputs.size()) +
                              " files failed:"),
              std::string::npos)
        << run.out;
}

TEST(Tim2Png, PaletteChoosesAmongTheClutsPalettes) {
    const fs::path out = FreshFolder("tim2png-palette");
    fs::create_directories(out);
    const fs::path input = fs::path(TIM_SAMPLES_DIR) / "sprite-4bit-two-palettes.tim";
    const timtest::Bytes file = ReadFile(input);
    uint32_t width = 0, height = 0;

    ASSERT_EQ(Tim2Png("--palette 1 " + input.string() + " " + (out / "green.png").string()).code, 0);
    const std::vector<uint32_t> green = ReadPng(out / "green.png", width, height, true);
    EXPECT_EQ(green, HandlerPixels(file, 1));
    EXPECT_EQ(green[8 * 64 + 20], 0xFF31D629u) << "the cap, Rgb(6, 26, 5)";
    ASSERT_EQ(Tim2Png(input.string() + " " + (out / "red.png").string()).code, 0);
    const std::vector<uint32_t> red = ReadPng(out / "red.png", width, height, true);
    EXPECT_TRUE(tim_conformance::MatchesSample("sprite-4bit-two-palettes", AsClient(red, width, height)))
        << "palette 0, as the handler";

    const timtest::ToolRun missing = Tim2Png("--palette 2 " + input.string() + " " + (out / "none.png").string());
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find(": refused: it has no palette 2 (its CLUT holds 2 palettes, numbered from 0)"),
              std::string::npos)
        << missing.out;
    EXPECT_FALSE(fs::exists(out / "none.png"));
}

TEST(Tim2Png, SizeFitsTheBoxWithAreaAveragesOfPremultipliedPixels) {
    const struct {
        PixelSize from;
        uint32_t box;
        PixelSize fitted;
    } fits[] = {
        {{300, 200}, 128, {128, 85}}, {{64, 64}, 128, {64, 64}}, {{1000, 1}, 10, {10, 1}}, {{2, 1000}, 10, {1, 10}},
    };
    for (const auto& f : fits) {
        const PixelSize got = FitInBox(f.from, f.box);
        EXPECT_EQ(got.width, f.fitted.width) << f.from.width << " x " << f.from.height;
        EXPECT_EQ(got.height, f.fitted.height) << f.from.width << " x " << f.from.height;
    }
    // Three pixels into two: each output pixel takes one and a half. Red and
    // blue keep their colour at two thirds coverage rather than darkening
    // towards the transparent pixel between them.
    const uint32_t row[3] = {0xFFFF0000, 0x00000000, 0xFF0000FF};
    const std::vector<uint32_t> shrunk = ShrinkPremultiplied(row, {3, 1}, {2, 1});
    EXPECT_EQ(shrunk, (std::vector<uint32_t>{0xAAAA0000, 0xAA0000AA}));
    EXPECT_EQ(UnpremultiplyPixel(shrunk[0]), 0xAAFF0000u);
    // Rows: four into two, where each output row ends exactly on a source row.
    const uint32_t column[4] = {0xFF000000, 0xFF0000FE, 0xFF00FE00, 0xFF00FE00};
    EXPECT_EQ(ShrinkPremultiplied(column, {1, 4}, {1, 2}), (std::vector<uint32_t>{0xFF00007F, 0xFF00FE00}));
}

TEST(Tim2Png, ExitCodesAndMessages) {
    const fs::path out = FreshFolder("tim2png-codes");
    fs::create_directories(out);
    const std::string sample = std::string(TIM_SAMPLES_DIR) + "/checker-16bit.tim";
    const std::string other = std::string(TIM_SAMPLES_DIR) + "/bands-4bit-grey.tim";
    const struct {
        const char* what;
        std::string arguments;
        int code;
        const char* message;
    } cases[] = {
        {"no input", "--size 64", 2, "tim2png: an input file is needed"},
        {"a .tim output", sample + " " + other, 2, "is a .tim name; to convert several files use -o FOLDER"},
        {"missing input", (out / "missing.tim").string(), 3, "missing.tim: file not found"},
        {"missing folder", sample + " " + (out / "no" / "x.png").string(), 5, "x.png: its folder does not exist"},
        {"damaged", std::string(TIM_SAMPLES_DIR) + "/refused-truncated.tim " + (out / "d.png").string(), 1,
         "refused-truncated.tim: refused: damaged TIM file: its blocks do not fit the file"},
    };
    for (const auto& c : cases) {
        const timtest::ToolRun run = Tim2Png(c.arguments);
        EXPECT_EQ(run.code, c.code) << c.what << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.what << "\n" << run.out;
    }
    EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(out), fs::directory_iterator()), std::set<fs::path>())
        << "nothing written, no temporary file left";
}

namespace {

struct Measured {
    int code = -1;
    std::string out;  // stdout and stderr together
    long peakKiB = 0;  // the run's peak resident memory
    double seconds = 0;
};

// Runs tim2png with `arguments` as a child of its own, for its peak memory
// and time; killed after 20 seconds, which then shows as code -1.
Measured RunMeasured(const std::vector<std::string>& arguments) {
    const fs::path log = fs::path(testing::TempDir()) / "tim2png-measured.txt";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> argv{const_cast<char*>(TIM2PNG_PATH)};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(TIM2PNG_PATH, argv.data());
        _exit(127);
    }
    Measured m;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m.peakKiB = usage.ru_maxrss;
    std::ifstream in(log);
    m.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return m;
}

// A 16-bit TIM file whose image block starts with `header` and whose size is
// `size` bytes, the rest a hole of zeros that takes no disk.
fs::path SparseTim(const fs::path& path, const timtest::Bytes& header, uint64_t size) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(header.data()), std::streamsize(header.size()));
    }
    fs::resize_file(path, size);
    return path;
}

}  // namespace

// Inputs that are not what they seem: no regular file (refused at once,
// before a FIFO without a writer could hold open()), lengths claiming far
// more than the image (walked past, never held), images at and past the
// pixel cap every client shares, and output names as long as a name can be.
TEST(Tim2Png, ReadsRegularFilesAsFarAsTheImageNeeds) {
    const fs::path out = FreshFolder("tim2png-inputs");
    fs::create_directories(out);
    const fs::path fifo = out / "no-writer.tim";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    constexpr uint64_t kMiB = uint64_t(1) << 20;
    // A red 1 x 1 image whose block claims 256 MiB, and 4096 x 4096 and
    // 4096 x 4097 images of transparent black.
    const fs::path claim = SparseTim(out / "claim.tim", timtest::MakeTim(2, std::nullopt,
                                     timtest::Block{1, 1, timtest::Colours({0x001F}), uint32_t(256 * kMiB)}), 8 + 256 * kMiB);
    auto bigHeader = [](uint16_t h) {
        timtest::Bytes v;
        timtest::PutU32(v, 16);
        timtest::PutU32(v, 2);
        timtest::PutU32(v, 12 + 2 * 4096 * uint32_t(h));
        timtest::PutU32(v, 0);
        timtest::PutU16(v, 4096);
        timtest::PutU16(v, h);
        return v;
    };
    const fs::path cap = SparseTim(out / "cap.tim", bigHeader(4096), 20 + 2 * 4096 * 4096);
    const fs::path over = SparseTim(out / "over.tim", bigHeader(4097), 20 + 2 * 4096 * 4097);
    const std::string longName = (out / (std::string(251, 'n') + ".png")).string();
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        int code;
        const char* message;
        fs::path png;  // written, with this many pixels a side
        uint32_t width, height;
        long maxPeakKiB;  // 0: not measured
    } cases[] = {
        {"a device", {"/dev/zero", (out / "zero.png").string()}, 7,
         "/dev/zero: not a regular file (a pipe, device or socket); not read", {}, 0, 0, 0},
        {"a FIFO without a writer", {fifo.string(), (out / "fifo.png").string()}, 7,
         "no-writer.tim: not a regular file (a pipe, device or socket); not read", {}, 0, 0, 0},
        {"a folder", {out.string(), (out / "folder.png").string()}, 7,
         "tim2png-inputs: is a folder, not a file; not read", {}, 0, 0, 0},
        {"a block claiming 256 MiB", {claim.string(), (out / "claim.png").string()}, 0,
         "claim.tim: 1 x 1, 16-bit direct colour -> ", out / "claim.png", 1, 1, 64 * 1024},
        {"at the pixel cap", {cap.string(), (out / "cap.png").string()}, 0, "cap.tim: 4096 x 4096, 16-bit direct colour",
         out / "cap.png", 4096, 4096, 0},
        {"past the pixel cap", {over.string(), (out / "over.png").string()}, 1,
         "over.tim: refused: image too large: 4096 x 4097 pixels (at most 16777216 in all)", {}, 0, 0, 64 * 1024},
        {"a 255-byte output name", {claim.string(), longName}, 0, "-> ", longName, 1, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Measured run = RunMeasured(c.arguments);
        EXPECT_EQ(run.code, c.code) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_LT(run.seconds, 10.0);
        if (c.maxPeakKiB) {
            EXPECT_LT(run.peakKiB, c.maxPeakKiB) << "peak memory in KiB";
        }
        if (c.png.empty()) continue;
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, c.png.c_str())) << c.png;
        EXPECT_EQ(image.width, c.width);
        EXPECT_EQ(image.height, c.height);
        png_image_free(&image);
    }
    uint32_t width = 0, height = 0;
    EXPECT_EQ(ReadPng(out / "claim.png", width, height), std::vector<uint32_t>{0xFFFF0000u}) << "red, from the rows only";
    // Nothing else written, no temporary file left.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"no-writer.tim", "claim.tim", "cap.tim", "over.tim", "claim.png",
                                            "cap.png", fs::path(longName).filename().string()}));
}

// The tools' file layer on the system it runs on: natively, and cross-built
// for Windows under Wine. Reads at 64-bit offsets, refusals of what is not a
// regular file without waiting for it, replacement all at once, UTF-8 names.
#include "PortableFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A folder of the test's own, removed with what it holds.
class Scratch {
public:
    Scratch() {
        const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
        path_ = fs::temp_directory_path() / ("portable-file-" + std::to_string(ProcessId()) + "-" + test);
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& name) const { return path_ / name; }
    // The names in the folder: what a write left behind.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) names.push_back(Utf8(entry.path().filename()));
        return names;
    }

private:
    fs::path path_;
};

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good());
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

uint8_t PatternByte(uint64_t i) { return uint8_t(i * 7 + 3); }

TEST(PortableFile, ReadsAtOffsetsUpToTheEnd) {
    Scratch scratch;
    const uint64_t size = 3 * 65536 + 100;
    std::vector<uint8_t> bytes(size);
    for (uint64_t i = 0; i < size; ++i) bytes[i] = PatternByte(i);
    WriteFile(scratch / "input.bin", bytes);

    InputFile file;
    ASSERT_EQ(file.Open(Utf8(scratch / "input.bin")), OpenFailure::None) << file.LastError();
    EXPECT_EQ(file.Size(), size);
    struct Case {
        const char* what;
        uint64_t offset;
        size_t count, expected;
    };
    const Case cases[] = {
        {"the start", 0, 16, 16},
        {"across a 64 KiB boundary", 65536 - 7, 14, 14},
        {"the whole file in one call", 0, size_t(size), size_t(size)},
        {"across the end", size - 5, 10, 5},
        {"at the end", size, 4, 0},
        {"past the end", size + 1000, 4, 0},
        // Cut to 32 bits, this offset would be 3, inside the file.
        {"4 GiB past the start", (uint64_t(1) << 32) + 3, 4, 0},
        {"the last offset there is", UINT64_MAX, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> buffer(c.count + 1, 0xEE);
        size_t got = 99;
        ASSERT_TRUE(file.ReadAt(c.offset, buffer.data(), c.count, got)) << file.LastError();
        ASSERT_EQ(got, c.expected);
        for (size_t i = 0; i < got; ++i) ASSERT_EQ(buffer[i], PatternByte(c.offset + i)) << "byte " << i;
        EXPECT_EQ(buffer[c.count], 0xEE) << "written past the count";
    }
    EXPECT_FALSE(file.WriteAt(0, "x", 1)) << "written through a file opened for reading";
    EXPECT_EQ(ReadFile(scratch / "input.bin"), bytes);
}

// A file that grows past 4 GiB (sparse: nothing in between is written).
TEST(PortableFile, UpdatesInPlaceBeyond4GiB) {
    Scratch scratch;
    WriteFile(scratch / "big.bin", Bytes("head of the file"));
    const uint64_t beyond = (uint64_t(5) << 30) + 10;
    {
        InputFile file;
        ASSERT_EQ(file.Open(Utf8(scratch / "big.bin"), true), OpenFailure::None) << file.LastError();
        ASSERT_TRUE(file.WriteAt(5, "HEAD", 4)) << file.LastError();
        ASSERT_TRUE(file.WriteAt(beyond, "tail", 4)) << file.LastError();
        EXPECT_EQ(file.Size(), beyond + 4);
        ASSERT_TRUE(file.Flush()) << file.LastError();
    }
    InputFile file;
    ASSERT_EQ(file.Open(Utf8(scratch / "big.bin")), OpenFailure::None) << file.LastError();
    EXPECT_EQ(file.Size(), beyond + 4);
    struct Case {
        uint64_t offset;
        std::string expected;
    };
    const std::string zeros(4, '\0');
    // Offsets cut to 32 bits would have put "tail" at 1 GiB + 10.
    const Case cases[] = {{0, "head HEADhe file"},
                          {16, zeros},
                          {(uint64_t(1) << 30) + 10, zeros},
                          {beyond - 2, std::string("\0\0ta", 4)},
                          {beyond, "tail"}};
    for (const Case& c : cases) {
        std::string buffer(c.expected.size(), 'x');
        size_t got = 0;
        ASSERT_TRUE(file.ReadAt(c.offset, buffer.data(), buffer.size(), got)) << file.LastError();
        EXPECT_EQ(got, buffer.size()) << "at " << c.offset;
        EXPECT_EQ(buffer, c.expected) << "at " << c.offset;
    }
}

// Opens `path` on another thread, so that an open that waits fails the test
// instead of hanging it; `release` lets such an open go.
OpenFailure OpenWithin5Seconds(const std::string& path, bool forUpdate, const std::function<void()>& release,
                               std::string& error) {
    auto opened = std::async(std::launch::async, [&] {
        InputFile file;
        const OpenFailure failure = file.Open(path, forUpdate);
        error = file.LastError();
        return failure;
    });
    if (opened.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return opened.get();
    ADD_FAILURE() << path << ": the open waited";
    if (release) release();
    return opened.get();
}

TEST(PortableFile, RefusesWhatIsNotARegularFileAtOnce) {
    Scratch scratch;
    fs::create_directories(scratch / "folder");
    struct Case {
        const char* what;
        std::string path;
        bool forUpdate;
        OpenFailure expected;
        std::function<void()> release;
    };
    std::vector<Case> cases = {
        {"a missing file", Utf8(scratch / "missing.tim"), false, OpenFailure::Missing, nullptr},
        {"a file in a missing folder", Utf8(scratch / "nowhere" / "missing.tim"), false, OpenFailure::Missing,
         nullptr},
        {"a folder", Utf8(scratch / "folder"), false, OpenFailure::NotAFile, nullptr},
        {"a folder, for update", Utf8(scratch / "folder"), true, OpenFailure::NotAFile, nullptr},
    };
#ifdef _WIN32
    // A pipe that this process serves: the client end opens at once.
    const std::wstring pipeName = L"\\\\.\\pipe\\portable-file-" + std::to_wstring(ProcessId());
    const HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                         4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    const std::string pipePath = "\\\\.\\pipe\\portable-file-" + std::to_string(ProcessId());
    cases.push_back({"a named pipe", pipePath, false, OpenFailure::NotAFile, nullptr});
    cases.push_back({"the null device", "NUL", false, OpenFailure::NotAFile, nullptr});
#else
    const std::string fifo = Utf8(scratch / "fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A writer lets a waiting reader's open go.
    const auto release = [fifo] {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    };
    cases.push_back({"a FIFO with no writer", fifo, false, OpenFailure::NotAFile, release});
    cases.push_back({"a FIFO with no writer, for update", fifo, true, OpenFailure::NotAFile, release});
    cases.push_back({"/dev/zero", "/dev/zero", false, OpenFailure::NotAFile, nullptr});
    cases.push_back({"/dev/null, for update", "/dev/null", true, OpenFailure::NotAFile, nullptr});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(OpenWithin5Seconds(c.path, c.forUpdate, c.release, error), c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
#ifdef _WIN32
    CloseHandle(pipe);
#endif
}

TEST(PortableFile, ReplacesAFileAllAtOnceOrNotAtAll) {
    enum class Target { Nothing, OldFile, Folder, MissingFolder };
    struct Case {
        const char* what;
        Target target;
        bool commit;
        bool created, committed;
        const char* after;  // the target's contents afterwards; nullptr: not a file
    };
    const Case cases[] = {
        {"committed over an old file", Target::OldFile, true, true, true, "new contents"},
        {"abandoned", Target::OldFile, false, true, false, "old"},
        {"a new file", Target::Nothing, true, true, true, "new contents"},
        {"in a missing folder", Target::MissingFolder, true, false, false, nullptr},
        {"committed over a folder", Target::Folder, true, true, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch scratch;
        fs::path target = scratch / "out.png";
        if (c.target == Target::OldFile) WriteFile(target, Bytes("old"));
        if (c.target == Target::Folder) fs::create_directories(target);
        if (c.target == Target::MissingFolder) target = scratch / "missing" / "out.png";
        {
            AtomicFile out;
            ASSERT_EQ(out.Create(Utf8(target)), c.created) << out.LastError();
            if (!c.created) {
                EXPECT_FALSE(out.LastError().empty());
                EXPECT_FALSE(out.Commit());
                continue;
            }
            ASSERT_TRUE(out.Write("new ", 4)) << out.LastError();
            ASSERT_TRUE(out.Write("contents", 8)) << out.LastError();
            if (c.target == Target::OldFile) {
                EXPECT_EQ(ReadFile(target), Bytes("old")) << "replaced before Commit";
                EXPECT_EQ(scratch.Names().size(), 2u) << "the temporary is beside the target";
            }
            if (c.commit) {
                EXPECT_EQ(out.Commit(), c.committed);
                if (!c.committed) {
                    EXPECT_FALSE(out.LastError().empty());
                }
            }
        }
        if (c.after) {
            EXPECT_EQ(ReadFile(target), Bytes(c.after));
        } else {
            EXPECT_TRUE(fs::is_directory(target));
        }
        // Nothing but the target is left.
        EXPECT_EQ(scratch.Names(), std::vector<std::string>{"out.png"});
    }
}

TEST(PortableFile, KeepsUtf8NamesWhole) {
    Scratch scratch;
    // Latin, Japanese, and a character beyond 16 bits (a surrogate pair on Windows).
    const fs::path name(u8"Grüße-テスト-😀.tim");
    const std::string path = Utf8(scratch / name);
    {
        AtomicFile out;
        ASSERT_TRUE(out.Create(path)) << out.LastError();
        ASSERT_TRUE(out.Write("named", 5)) << out.LastError();
        ASSERT_TRUE(out.Commit()) << out.LastError();
    }
    ASSERT_EQ(scratch.Names(), std::vector<std::string>{Utf8(name)});
    EXPECT_EQ(ReadFile(scratch / name), Bytes("named"));
    InputFile in;
    ASSERT_EQ(in.Open(path), OpenFailure::None) << in.LastError();
    char buffer[8] = {};
    size_t got = 0;
    ASSERT_TRUE(in.ReadAt(0, buffer, sizeof buffer, got)) << in.LastError();
    EXPECT_EQ(std::string(buffer, got), "named");

    const fs::path nested = scratch / u8"Ordner-ü" / u8"子" / u8"😀";
    EXPECT_TRUE(MakeFolder(Utf8(nested)));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(MakeFolder(Utf8(nested))) << "a folder that exists";
    EXPECT_FALSE(MakeFolder(path)) << "a file is in the way";
}

#ifdef TIM_TEST_ARGUMENT
// CTest passes TIM_TEST_ARGUMENT as the last argument; Windows' narrow argv
// holds it in the ANSI code page, which has no Japanese.
TEST(PortableFile, ArgumentsComeInUtf8) {
    const std::vector<std::string> arguments = Utf8Arguments(__argc, __argv);
    ASSERT_EQ(int(arguments.size()), __argc);
    EXPECT_EQ(arguments.back(), TIM_TEST_ARGUMENT);
}
#endif

}  // namespace

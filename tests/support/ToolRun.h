#pragma once
// The tools as users run them, for the native tests: a program run through
// the shell with its exit code and what it printed, and whole files read
// and written.
#include "TimBuilder.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace timtest {

inline std::string ReadFileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes ReadFileBytes(const std::filesystem::path& path) {
    const std::string text = ReadFileText(path);
    return Bytes(text.begin(), text.end());
}

inline void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct ToolRun {
    int code = -1;    // the exit code; -1 when the program did not exit
    std::string out;  // standard output; with standard error too unless run apart
    std::string err;  // standard error, when run apart
};

// `program` with `arguments` (paths without spaces or quotes). The output
// goes through files named for the running test, since CTest runs the tests
// of one program side by side.
inline ToolRun RunTool(const std::string& program, const std::string& arguments, bool apart = false) {
    const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::filesystem::path base = std::filesystem::path(testing::TempDir()) /
                                       (std::filesystem::path(program).filename().string() + "-" + test);
    const std::string out = base.string() + ".out", err = base.string() + ".err";
    const int status =
        std::system((program + " " + arguments + " >" + out + (apart ? " 2>" + err : std::string(" 2>&1"))).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileText(out), apart ? ReadFileText(err) : ""};
}

}  // namespace timtest

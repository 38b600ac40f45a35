#pragma once
// timscan's file access, all in one place: the API of the tools' portable
// file layer (tools/common/PortableFile.h), which takes its place once that
// layer is in the tree. POSIX and Win32 bodies in ScanFileAccess.cpp.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace scanio {

enum class OpenFailure { None, Missing, Unreadable, NotAFile };  // NotAFile: pipe, device, folder

// A regular file, read by offset; never mapped whole.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    OpenFailure Open(const std::string& utf8Path, bool forUpdate = false);
    uint64_t Size() const { return size_; }
    // got < count only at the end of the file.
    bool ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got);
    std::string LastError() const { return error_; }

private:
    void Close();
    intptr_t handle_ = -1;
    uint64_t size_ = 0;
    std::string error_;
};

// A new file: written to a short temporary name in the target's folder,
// renamed over the target on Commit.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // not committed: the temporary is removed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    bool Create(const std::string& utf8Path);
    bool Write(const void* data, size_t count);
    bool Commit();  // false: nothing replaced, temporary removed
    std::string LastError() const { return error_; }

private:
    void Discard();
    intptr_t handle_ = -1;
    std::string target_, temporary_, error_;
};

bool MakeFolder(const std::string& utf8Path);  // mkdir -p; true if it exists as a folder
bool StderrIsTerminal();
std::vector<std::string> Utf8Arguments(int argc, char** argv);  // Windows: from GetCommandLineW

}  // namespace scanio

#pragma once
// The tools' file access, for Linux and for Windows: paths in UTF-8, offsets
// in 64 bits. Inputs are regular files, read by offset; outputs appear
// complete or not at all.
//
// This is the POSIX half of the shared layer's interface, so that the PNG
// tools code against it now; the layer with its Win32 body replaces it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// NotAFile: a pipe, a device or a folder, refused at once (never waited on).
enum class OpenFailure { None, Missing, Unreadable, NotAFile };

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // forUpdate: read and write in place.
    OpenFailure Open(const std::string& utf8Path, bool forUpdate = false);
    uint64_t Size() const { return size_; }
    // got < count only at the end of the file.
    bool ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got);
    bool WriteAt(uint64_t offset, const void* data, size_t count);
    bool Flush();
    std::string LastError() const { return error_; }

private:
    intptr_t handle_ = -1;
    uint64_t size_ = 0;
    bool forUpdate_ = false;
    std::string error_;
};

// A new file under a short temporary name in the target's folder, renamed
// over the target on Commit.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // not committed: the temporary is removed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool Create(const std::string& utf8Path);
    bool Write(const void* data, size_t count);
    // False: nothing replaced, the temporary removed.
    bool Commit();
    std::string LastError() const { return error_; }

private:
    void Abandon();

    intptr_t handle_ = -1;
    std::string target_, temporary_;
    std::string error_;
};

// mkdir -p; true if the path is a folder afterwards.
bool MakeFolder(const std::string& utf8Path);
bool StderrIsTerminal();
std::vector<std::string> Utf8Arguments(int argc, char** argv);

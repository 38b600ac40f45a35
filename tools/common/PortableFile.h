#pragma once
// The tools' file access, for Linux and for Windows: every path is UTF-8 and
// every offset 64-bit on both. Inputs are regular files only, read by offset
// and never mapped whole; outputs appear complete or not at all.
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

    // forUpdate: read and write in place. A file already open is closed first.
    OpenFailure Open(const std::string& utf8Path, bool forUpdate = false);
    uint64_t Size() const;
    // got < count only at the end of the file.
    bool ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got);
    // Only when opened forUpdate.
    bool WriteAt(uint64_t offset, const void* data, size_t count);
    // The data written reaches the disk.
    bool Flush();
    // The last failure's reason in one line, without the path.
    std::string LastError() const;

private:
    void Close();

    intptr_t handle_ = -1;  // a file descriptor, or a HANDLE
    uint64_t size_ = 0;
    bool forUpdate_ = false;
    std::string error_;
};

// A new file, written under a short temporary name in the target's folder
// (so that the rename stays within one file system, and a long target name
// still leaves room) and renamed over the target on Commit.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // not committed: the temporary is removed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool Create(const std::string& utf8Path);
    bool Write(const void* data, size_t count);
    // The data reaches the disk, then takes the target's name. False: nothing
    // replaced, the temporary removed.
    bool Commit();
    std::string LastError() const;

private:
    void Abandon();

    intptr_t handle_ = -1;
    std::string target_, temporary_;
    std::string error_;
};

// mkdir -p; true if the path is a folder afterwards.
bool MakeFolder(const std::string& utf8Path);
bool StderrIsTerminal();
// The arguments in UTF-8: on Windows from the wide command line (argv there
// is in the ANSI code page, which loses most names); elsewhere argv itself.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

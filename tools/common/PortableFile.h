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

// mkdir -p; true if the path is a folder afterwards. `why`, when given, gets
// the reason of a failure in one line.
bool MakeFolder(const std::string& utf8Path, std::string* why = nullptr);

enum class PathKind { Missing, Folder, Other };
// What a path names, without opening it.
PathKind KindOfPath(const std::string& utf8Path);
// Whether two paths name one existing file, whatever their spelling (links
// included).
bool SameFile(const std::string& a, const std::string& b);
// The name after a path's last separator ('/' on both systems, '\\' and a
// drive's colon on Windows too).
std::string FileNameOf(const std::string& path);
// FOLDER and NAME joined with the system's separator.
std::string PathInFolder(const std::string& folder, const std::string& name);
// A path as the file system compares names, for telling two outputs apart:
// two spellings of one name give one key (Windows ignores case, POSIX does
// not).
std::string PathKey(const std::string& utf8Path);

bool StderrIsTerminal();
enum class Stream { Out, Err };
// A line of UTF-8 text and its line feed, written at once: to a Windows
// console as wide text (its code page would garble the UTF-8 bytes),
// elsewhere as the bytes themselves, never with a carriage return added.
void WriteLine(Stream stream, const std::string& utf8);
// The same without the line feed, for a progress line on a terminal: "\r"
// and the VT sequence "\033[K" are understood there.
void WriteText(Stream stream, const std::string& utf8);
// The arguments in UTF-8: on Windows from the wide command line (argv there
// is in the ANSI code page, which loses most names), with patterns such as
// *.tim expanded as a POSIX shell would; elsewhere argv itself.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// "--help" (or "-h") and "--version" as a tool's only argument, answered
// alike by every tool on standard output: true when `args` asked.
bool AnswerHelpOrVersion(const std::vector<std::string>& args, const std::string& name, const char* usage,
                         const char* version);

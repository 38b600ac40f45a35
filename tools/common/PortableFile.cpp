#include "PortableFile.h"

#include <algorithm>

namespace {

// One system call moves at most this much: Win32 counts in DWORDs, and Linux
// moves at most about 2 GiB per call anyway.
constexpr size_t kMaxChunk = size_t(1) << 30;
// Both systems take offsets as signed 64-bit numbers.
constexpr uint64_t kMaxOffset = uint64_t(INT64_MAX);

const char kNotFound[] = "file not found";
const char kIsFolder[] = "is a folder, not a file";
const char kNotRegular[] = "not a regular file (a pipe, device or socket)";
const char kNoFolder[] = "its folder does not exist";

// The part of a path up to and including its last separator (with a drive
// letter's colon on Windows); where the temporary goes.
std::string FolderPrefix(const std::string& path) {
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos && path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
#else
    const size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

#ifdef _WIN32
// ---------------------------------------------------------------- Win32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include "Console.h"

#include <cstdio>
#include <cwchar>

namespace {

bool Widen(const std::string& text, std::wstring& wide) {
    wide.clear();
    if (text.empty()) return true;
    if (text.size() > size_t(INT32_MAX)) return false;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0) return false;
    wide.resize(size_t(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), wide.data(), n);
    return true;
}

std::string Narrow(const wchar_t* text, size_t length) {
    if (length == 0 || length > size_t(INT32_MAX)) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string narrow(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, int(length), narrow.data(), n, nullptr, nullptr);
    return narrow;
}

std::string SystemError(DWORD code) {
    const std::wstring text = console::ErrorText(code);
    return Narrow(text.data(), text.size());
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsMissing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME ||
           code == ERROR_INVALID_DRIVE || code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME;
}

}  // namespace

InputFile::~InputFile() { Close(); }

void InputFile::Close() {
    if (handle_ != -1) CloseHandle(AsHandle(handle_));
    handle_ = -1;
    size_ = 0;
}

OpenFailure InputFile::Open(const std::string& utf8Path, bool forUpdate) {
    Close();
    forUpdate_ = forUpdate;
    std::wstring path;
    if (!Widen(utf8Path, path) || path.empty()) {
        error_ = std::string(kNotFound) + " (the name is not valid UTF-8)";
        return OpenFailure::Missing;
    }
    // Without FILE_FLAG_OVERLAPPED the handle is synchronous, and a pipe or
    // device is told apart by GetFileType before anything is read. The
    // security flags keep a named pipe's server from acting as the user.
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | (forUpdate ? GENERIC_WRITE : 0),
                                 forUpdate ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (IsMissing(code)) {
            error_ = kNotFound;
            return OpenFailure::Missing;
        }
        if (code == ERROR_PIPE_BUSY) {  // a named pipe with no free instance
            error_ = kNotRegular;
            return OpenFailure::NotAFile;
        }
        // A folder cannot be opened as a file at all.
        if (IsFolder(path)) {
            error_ = kIsFolder;
            return OpenFailure::NotAFile;
        }
        error_ = SystemError(code);
        return OpenFailure::Unreadable;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK) {
        error_ = kNotRegular;
    } else if (!GetFileInformationByHandle(h, &info)) {
        error_ = SystemError(GetLastError());
        CloseHandle(h);
        return OpenFailure::Unreadable;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        error_ = kIsFolder;
    } else {
        handle_ = reinterpret_cast<intptr_t>(h);
        size_ = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        error_.clear();
        return OpenFailure::None;
    }
    CloseHandle(h);
    return OpenFailure::NotAFile;
}

uint64_t InputFile::Size() const { return size_; }

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got) {
    got = 0;
    if (handle_ == -1) {
        error_ = "no file is open";
        return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    while (got < count) {
        const uint64_t at = offset + got;
        if (at < offset || at > kMaxOffset) break;  // past any file's end
        OVERLAPPED where{};
        where.Offset = DWORD(at);
        where.OffsetHigh = DWORD(at >> 32);
        DWORD n = 0;
        if (!ReadFile(AsHandle(handle_), out + got, DWORD(std::min(count - got, kMaxChunk)), &n, &where)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) break;
            error_ = SystemError(code);
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    return true;
}

bool InputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
    if (handle_ == -1 || !forUpdate_) {
        error_ = "the file is not open for update";
        return false;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < count;) {
        const uint64_t at = offset + done;
        if (at < offset || at > kMaxOffset) {
            error_ = SystemError(ERROR_NEGATIVE_SEEK);
            return false;
        }
        OVERLAPPED where{};
        where.Offset = DWORD(at);
        where.OffsetHigh = DWORD(at >> 32);
        DWORD n = 0;
        if (!WriteFile(AsHandle(handle_), in + done, DWORD(std::min(count - done, kMaxChunk)), &n, &where)) {
            error_ = SystemError(GetLastError());
            return false;
        }
        if (n == 0) {
            error_ = SystemError(ERROR_WRITE_FAULT);
            return false;
        }
        done += n;
        size_ = std::max(size_, offset + done);
    }
    return true;
}

bool InputFile::Flush() {
    if (handle_ == -1) {
        error_ = "no file is open";
        return false;
    }
    if (!forUpdate_) return true;  // nothing written; FlushFileBuffers wants write access
    if (FlushFileBuffers(AsHandle(handle_))) return true;
    error_ = SystemError(GetLastError());
    return false;
}

std::string InputFile::LastError() const { return error_; }

AtomicFile::~AtomicFile() { Abandon(); }

void AtomicFile::Abandon() {
    if (handle_ != -1) CloseHandle(AsHandle(handle_));
    handle_ = -1;
    std::wstring temporary;
    if (!temporary_.empty() && Widen(temporary_, temporary)) DeleteFileW(temporary.c_str());
    temporary_.clear();
}

bool AtomicFile::Create(const std::string& utf8Path) {
    Abandon();
    std::wstring check;
    if (!Widen(utf8Path, check) || check.empty()) {
        error_ = "the name is not valid UTF-8";
        return false;
    }
    target_ = utf8Path;
    const std::string prefix = FolderPrefix(utf8Path);
    // A name no other run picks: the process, the clock and a count.
    static unsigned counter = 0;
    uint32_t seed = GetCurrentProcessId() * 2654435761u ^ uint32_t(GetTickCount64()) ^ (++counter * 40503u);
    for (int attempt = 0; attempt < 100; ++attempt, seed = seed * 1664525u + 1013904223u) {
        char name[24];
        std::snprintf(name, sizeof name, "~tim%08x.tmp", unsigned(seed));
        const std::string temporary = prefix + name;
        std::wstring wide;
        Widen(temporary, wide);
        const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<intptr_t>(h);
            temporary_ = temporary;
            error_.clear();
            return true;
        }
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
        error_ = code == ERROR_PATH_NOT_FOUND ? kNoFolder : SystemError(code);
        return false;
    }
    error_ = "no free temporary name in its folder";
    return false;
}

bool AtomicFile::Write(const void* data, size_t count) {
    if (handle_ == -1) {
        error_ = "no file is being written";
        return false;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < count;) {
        DWORD n = 0;
        if (!WriteFile(AsHandle(handle_), in + done, DWORD(std::min(count - done, kMaxChunk)), &n, nullptr)) {
            error_ = SystemError(GetLastError());
            return false;
        }
        if (n == 0) {
            error_ = SystemError(ERROR_WRITE_FAULT);
            return false;
        }
        done += n;
    }
    return true;
}

bool AtomicFile::Commit() {
    if (handle_ == -1) {
        error_ = "no file is being written";
        return false;
    }
    const HANDLE h = AsHandle(handle_);
    handle_ = -1;
    const bool flushed = FlushFileBuffers(h) != 0;
    DWORD code = flushed ? 0 : GetLastError();
    const bool closed = CloseHandle(h) != 0;
    if (flushed && !closed) code = GetLastError();
    std::wstring temporary, target;
    Widen(temporary_, temporary);
    Widen(target_, target);
    if (flushed && closed) {
        if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            temporary_.clear();
            return true;
        }
        code = GetLastError();
    }
    error_ = IsFolder(target) ? "a folder of that name is in the way" : SystemError(code);
    Abandon();
    return false;
}

std::string AtomicFile::LastError() const { return error_; }

bool MakeFolder(const std::string& utf8Path, std::string* why) {
    std::wstring path;
    if (!Widen(utf8Path, path) || path.empty()) {
        if (why) *why = "the name is not valid UTF-8";
        return false;
    }
    // Each ancestor in turn; those that exist (or are a drive or a share)
    // refuse, which is fine: only the whole path's outcome counts.
    for (size_t i = 1; i < path.size(); ++i) {
        if ((path[i] == L'\\' || path[i] == L'/') && path[i - 1] != L':' && path[i - 1] != L'\\' &&
            path[i - 1] != L'/')
            CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
    const DWORD code = CreateDirectoryW(path.c_str(), nullptr) ? 0 : GetLastError();
    if (IsFolder(path)) return true;
    if (why) *why = code == ERROR_ALREADY_EXISTS || code == 0 ? "a file of that name is in the way" : SystemError(code);
    return false;
}

PathKind KindOfPath(const std::string& utf8Path) {
    std::wstring path;
    if (!Widen(utf8Path, path) || path.empty()) return PathKind::Missing;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? PathKind::Folder : PathKind::Other;
}

namespace {

// The volume and file index of an existing file or folder, opened without
// access to its data.
bool FileIdentity(const std::string& utf8Path, BY_HANDLE_FILE_INFORMATION& info) {
    std::wstring path;
    if (!Widen(utf8Path, path) || path.empty()) return false;
    const HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool got = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return got;
}

// Once per process: "\r" and "\033[K" then work in a Windows 10 console;
// an older one ignores the request.
void AllowVtSequences(HANDLE console) {
    static bool done = false;
    if (done) return;
    done = true;
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode)) SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    return FileIdentity(a, ia) && FileIdentity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PathInFolder(const std::string& folder, const std::string& name) {
    const bool ends = !folder.empty() && (folder.back() == '\\' || folder.back() == '/' || folder.back() == ':');
    return folder + (ends ? "" : "\\") + name;
}

std::string PathKey(const std::string& utf8Path) {
    std::wstring wide;
    if (!Widen(utf8Path, wide) || wide.empty()) return utf8Path;
    CharUpperBuffW(wide.data(), DWORD(wide.size()));
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return Narrow(wide.data(), wide.size());
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void WriteText(Stream stream, const std::string& utf8) {
    const HANDLE out = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || utf8.empty() || utf8.size() > size_t(INT32_MAX)) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        AllowVtSequences(out);
        // Without MB_ERR_INVALID_CHARS: a stray byte shows as U+FFFD.
        const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
        if (n <= 0) return;
        std::wstring wide(size_t(n), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
        WriteConsoleW(out, wide.data(), DWORD(wide.size()), &written, nullptr);
        return;
    }
    WriteFile(out, utf8.data(), DWORD(utf8.size()), &written, nullptr);
}

namespace {

// cmd.exe hands patterns such as *.tim to the program as they are; a POSIX
// shell would have expanded them. A pattern in an argument's last part
// becomes the names it matches, sorted, with the folder as written; one that
// matches nothing stays as it is, so that the tool says it is not found.
// Names hold no * or ?, so no file name is taken for a pattern.
void AddExpanded(const std::wstring& argument, std::vector<std::string>& arguments) {
    const size_t part = argument.find_last_of(L"\\/:") + 1;  // 0 when there is no separator
    if (argument.find_first_of(L"*?", part) == std::wstring::npos) {
        arguments.push_back(Narrow(argument.data(), argument.size()));
        return;
    }
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(argument.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") names.push_back(argument.substr(0, part) + name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (names.empty()) names.push_back(argument);
    std::sort(names.begin(), names.end());
    for (const std::wstring& name : names) arguments.push_back(Narrow(name.data(), name.size()));
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) {
            if (i == 0) arguments.push_back(Narrow(wide[i], wcslen(wide[i])));
            else AddExpanded(wide[i], arguments);
        }
        LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

#else
// ---------------------------------------------------------------- POSIX

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string SystemError(int error) { return std::strerror(error); }

}  // namespace

InputFile::~InputFile() { Close(); }

void InputFile::Close() {
    if (handle_ >= 0) close(int(handle_));
    handle_ = -1;
    size_ = 0;
}

OpenFailure InputFile::Open(const std::string& utf8Path, bool forUpdate) {
    Close();
    forUpdate_ = forUpdate;
    // O_NONBLOCK: a FIFO without a writer would otherwise hold open() forever
    // before fstat could refuse it. It means nothing to a regular file.
    const int fd = open(utf8Path.c_str(), (forUpdate ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            error_ = kNotFound;
            return OpenFailure::Missing;
        }
        if (error == EISDIR || error == ENXIO) {  // a folder opened for writing; a socket
            error_ = error == EISDIR ? kIsFolder : kNotRegular;
            return OpenFailure::NotAFile;
        }
        error_ = SystemError(error);
        return OpenFailure::Unreadable;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error_ = SystemError(errno);
        close(fd);
        return OpenFailure::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? kIsFolder : kNotRegular;
        close(fd);
        return OpenFailure::NotAFile;
    }
    handle_ = fd;
    size_ = uint64_t(st.st_size);
    error_.clear();
    return OpenFailure::None;
}

uint64_t InputFile::Size() const { return size_; }

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got) {
    got = 0;
    if (handle_ < 0) {
        error_ = "no file is open";
        return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    while (got < count) {
        const uint64_t at = offset + got;
        if (at < offset || at > kMaxOffset) break;  // past any file's end
        const ssize_t n = pread(int(handle_), out + got, std::min(count - got, kMaxChunk), off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = SystemError(errno);
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    return true;
}

bool InputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
    if (handle_ < 0 || !forUpdate_) {
        error_ = "the file is not open for update";
        return false;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < count;) {
        const uint64_t at = offset + done;
        if (at < offset || at > kMaxOffset) {
            error_ = SystemError(EFBIG);
            return false;
        }
        const ssize_t n = pwrite(int(handle_), in + done, std::min(count - done, kMaxChunk), off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = SystemError(n < 0 ? errno : EIO);
            return false;
        }
        done += size_t(n);
        size_ = std::max(size_, offset + done);
    }
    return true;
}

bool InputFile::Flush() {
    if (handle_ < 0) {
        error_ = "no file is open";
        return false;
    }
    if (fsync(int(handle_)) == 0) return true;
    error_ = SystemError(errno);
    return false;
}

std::string InputFile::LastError() const { return error_; }

AtomicFile::~AtomicFile() { Abandon(); }

void AtomicFile::Abandon() {
    if (handle_ >= 0) close(int(handle_));
    handle_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
}

bool AtomicFile::Create(const std::string& utf8Path) {
    Abandon();
    target_ = utf8Path;
    // Hidden, and short: the target's own name with anything added would no
    // longer fit a file name when it is already long.
    std::string temporary = FolderPrefix(utf8Path) + ".tim-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error_ = errno == ENOENT || errno == ENOTDIR ? kNoFolder : SystemError(errno);
        return false;
    }
    // mkstemp makes the file private; give it the mode a new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    handle_ = fd;
    temporary_ = temporary;
    error_.clear();
    return true;
}

bool AtomicFile::Write(const void* data, size_t count) {
    if (handle_ < 0) {
        error_ = "no file is being written";
        return false;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < count;) {
        const ssize_t n = write(int(handle_), in + done, std::min(count - done, kMaxChunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = SystemError(n < 0 ? errno : EIO);
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool AtomicFile::Commit() {
    if (handle_ < 0) {
        error_ = "no file is being written";
        return false;
    }
    const int fd = int(handle_);
    handle_ = -1;
    // The data first, so that a crash leaves the old file or the whole new one.
    int error = fsync(fd) == 0 ? 0 : errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temporary_.c_str(), target_.c_str()) == 0) {
        temporary_.clear();
        return true;
    }
    if (error == 0) error = errno;
    error_ = error == EISDIR ? "a folder of that name is in the way" : SystemError(error);
    Abandon();
    return false;
}

std::string AtomicFile::LastError() const { return error_; }

bool MakeFolder(const std::string& utf8Path, std::string* why) {
    if (utf8Path.empty()) {
        if (why) *why = SystemError(ENOENT);
        return false;
    }
    for (size_t i = 1; i < utf8Path.size(); ++i) {
        if (utf8Path[i] == '/' && utf8Path[i - 1] != '/') mkdir(utf8Path.substr(0, i).c_str(), 0777);
    }
    const int error = mkdir(utf8Path.c_str(), 0777) == 0 ? 0 : errno;
    struct stat st {};
    if (stat(utf8Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    if (why) *why = SystemError(error ? error : ENOTDIR);
    return false;
}

PathKind KindOfPath(const std::string& utf8Path) {
    struct stat st {};
    if (stat(utf8Path.c_str(), &st) != 0) return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PathInFolder(const std::string& folder, const std::string& name) { return folder + "/" + name; }

std::string PathKey(const std::string& utf8Path) { return utf8Path; }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void WriteText(Stream stream, const std::string& utf8) {
    std::FILE* out = stream == Stream::Out ? stdout : stderr;
    std::fwrite(utf8.data(), 1, utf8.size(), out);
    std::fflush(out);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

#endif

void WriteLine(Stream stream, const std::string& utf8) { WriteText(stream, utf8 + "\n"); }

bool AnswerHelpOrVersion(const std::vector<std::string>& args, const std::string& name, const char* usage,
                         const char* version) {
    if (args.size() != 2) return false;
    if (args[1] == "--help" || args[1] == "-h") {
        WriteLine(Stream::Out, usage);
        return true;
    }
    if (args[1] == "--version") {
        WriteLine(Stream::Out, name + " " + version);
        return true;
    }
    return false;
}

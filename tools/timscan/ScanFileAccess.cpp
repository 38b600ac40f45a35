#include "ScanFileAccess.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace scanio {

namespace {

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

#ifdef _WIN32
std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 1 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::string SystemError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND: return "file not found";
        case ERROR_PATH_NOT_FOUND: return "its folder does not exist";
        case ERROR_ACCESS_DENIED: return "access denied";
        case ERROR_SHARING_VIOLATION: return "another program holds it";
        case ERROR_DISK_FULL: return "the disk is full";
        default: return "system error " + std::to_string(code);
    }
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
#else
std::string SystemError(int code) {
    if (code == ENOENT) return "file not found";
    return std::strerror(code);
}
#endif

}  // namespace

InputFile::~InputFile() { Close(); }

void InputFile::Close() {
    if (handle_ == -1) return;
#ifdef _WIN32
    CloseHandle(AsHandle(handle_));
#else
    close(int(handle_));
#endif
    handle_ = -1;
}

#ifdef _WIN32
OpenFailure InputFile::Open(const std::string& utf8Path, bool forUpdate) {
    Close();
    const DWORD attributes = GetFileAttributesW(Wide(utf8Path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error_ = "is a folder, not a file";
        return OpenFailure::NotAFile;
    }
    HANDLE h = CreateFileW(Wide(utf8Path).c_str(), GENERIC_READ | (forUpdate ? GENERIC_WRITE : 0),
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error_ = SystemError(code);
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? OpenFailure::Missing
                                                                              : OpenFailure::Unreadable;
    }
    LARGE_INTEGER size{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
        CloseHandle(h);
        error_ = "not a regular file (a pipe or a device)";
        return OpenFailure::NotAFile;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    size_ = uint64_t(size.QuadPart);
    return OpenFailure::None;
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got) {
    got = 0;
    while (got < count) {
        OVERLAPPED at{};
        const uint64_t where = offset + got;
        at.Offset = DWORD(where);
        at.OffsetHigh = DWORD(where >> 32);
        const DWORD chunk = DWORD(count - got > (1u << 30) ? (1u << 30) : count - got);
        DWORD n = 0;
        if (!ReadFile(AsHandle(handle_), static_cast<uint8_t*>(buffer) + got, chunk, &n, &at)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) return true;
            error_ = SystemError(code);
            return false;
        }
        if (n == 0) return true;
        got += n;
    }
    return true;
}
#else
OpenFailure InputFile::Open(const std::string& utf8Path, bool forUpdate) {
    Close();
    // O_NONBLOCK: a FIFO without a writer would hold open() before fstat refuses it.
    const int fd = open(utf8Path.c_str(), (forUpdate ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int code = errno;
        error_ = SystemError(code);
        return code == ENOENT ? OpenFailure::Missing : OpenFailure::Unreadable;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? "is a folder, not a file" : "not a regular file (a pipe, device or socket)";
        close(fd);
        return OpenFailure::NotAFile;
    }
    handle_ = fd;
    size_ = uint64_t(st.st_size);
    return OpenFailure::None;
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got) {
    got = 0;
    while (got < count) {
        const ssize_t n = pread(int(handle_), static_cast<uint8_t*>(buffer) + got, count - got, off_t(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = SystemError(errno);
            return false;
        }
        if (n == 0) return true;
        got += size_t(n);
    }
    return true;
}
#endif

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Discard() {
    if (handle_ == -1) return;
#ifdef _WIN32
    CloseHandle(AsHandle(handle_));
    DeleteFileW(Wide(temporary_).c_str());
#else
    close(int(handle_));
    unlink(temporary_.c_str());
#endif
    handle_ = -1;
}

#ifdef _WIN32
bool AtomicFile::Create(const std::string& utf8Path) {
    Discard();
    target_ = utf8Path;
    const std::wstring folder = Wide(FolderOf(utf8Path));
    wchar_t name[MAX_PATH + 16];
    if (!GetTempFileNameW(folder.c_str(), L"tsc", 0, name)) {
        error_ = SystemError(GetLastError());
        return false;
    }
    temporary_ = Utf8(name);
    HANDLE h = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = SystemError(GetLastError());
        DeleteFileW(name);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

bool AtomicFile::Write(const void* data, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
        DWORD n = 0;
        const DWORD chunk = DWORD(count > (1u << 30) ? (1u << 30) : count);
        if (!WriteFile(AsHandle(handle_), p, chunk, &n, nullptr)) {
            error_ = SystemError(GetLastError());
            return false;
        }
        p += n;
        count -= n;
    }
    return true;
}

bool AtomicFile::Commit() {
    if (handle_ == -1) return false;
    const bool closed = CloseHandle(AsHandle(handle_)) != 0;
    handle_ = -1;
    if (!closed || !MoveFileExW(Wide(temporary_).c_str(), Wide(target_).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error_ = SystemError(GetLastError());
        DeleteFileW(Wide(temporary_).c_str());
        return false;
    }
    return true;
}

bool MakeFolder(const std::string& utf8Path) {
    const DWORD attributes = GetFileAttributesW(Wide(utf8Path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::string parent = FolderOf(utf8Path);
    if (parent != utf8Path && parent != "." && !MakeFolder(parent)) return false;
    return CreateDirectoryW(Wide(utf8Path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> out;
    if (!wide) {
        for (int i = 0; i < argc; ++i) out.push_back(argv[i]);
        return out;
    }
    for (int i = 0; i < count; ++i) out.push_back(Utf8(wide[i]));
    LocalFree(wide);
    return out;
}
#else
bool AtomicFile::Create(const std::string& utf8Path) {
    Discard();
    target_ = utf8Path;
    // Hidden and beside the target, so that the rename stays in one file system.
    std::string pattern = FolderOf(utf8Path) + "/.timscan-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error_ = errno == ENOENT ? "its folder does not exist" : SystemError(errno);
        return false;
    }
    temporary_ = name.data();
    // mkstemp makes the file private; give it the mode a new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    handle_ = fd;
    return true;
}

bool AtomicFile::Write(const void* data, size_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const ssize_t n = write(int(handle_), p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = SystemError(errno);
            return false;
        }
        p += n;
        count -= size_t(n);
    }
    return true;
}

bool AtomicFile::Commit() {
    if (handle_ == -1) return false;
    const bool closed = close(int(handle_)) == 0;
    const int closeError = errno;
    handle_ = -1;
    if (!closed || std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error_ = SystemError(closed ? errno : closeError);
        unlink(temporary_.c_str());
        return false;
    }
    return true;
}

bool MakeFolder(const std::string& utf8Path) {
    struct stat st {};
    if (stat(utf8Path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = FolderOf(utf8Path);
    if (parent != utf8Path && parent != "." && parent != "/" && !MakeFolder(parent)) return false;
    return mkdir(utf8Path.c_str(), 0777) == 0 || errno == EEXIST;
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}
#endif

}  // namespace scanio

#include "PortableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string SystemError(int error) {
    if (error == ENOENT) return "its folder does not exist";
    return std::strerror(error);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

InputFile::~InputFile() {
    if (handle_ >= 0) close(int(handle_));
}

OpenFailure InputFile::Open(const std::string& utf8Path, bool forUpdate) {
    // O_NONBLOCK: a FIFO without a writer would otherwise hold open() forever
    // before fstat could refuse it.
    const int fd = open(utf8Path.c_str(), (forUpdate ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        error_ = std::strerror(error);
        return error == ENOENT ? OpenFailure::Missing : OpenFailure::Unreadable;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error_ = std::strerror(errno);
        close(fd);
        return OpenFailure::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file (a pipe, device or socket)";
        close(fd);
        return OpenFailure::NotAFile;
    }
    handle_ = fd;
    size_ = uint64_t(st.st_size);
    forUpdate_ = forUpdate;
    return OpenFailure::None;
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got) {
    got = 0;
    while (got < count) {
        const ssize_t n = pread(int(handle_), static_cast<uint8_t*>(buffer) + got, count - got, off_t(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    return true;
}

bool InputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
    if (!forUpdate_) {
        error_ = "not opened for writing";
        return false;
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = pwrite(int(handle_), static_cast<const uint8_t*>(data) + done, count - done,
                                 off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::strerror(errno);
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool InputFile::Flush() {
    if (fsync(int(handle_)) == 0) return true;
    error_ = std::strerror(errno);
    return false;
}

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
    // Hidden and beside the output, so that the rename stays in one file
    // system; short, so that a long output name still leaves room for it.
    std::string name = FolderOf(utf8Path) + "/.timtool-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error_ = SystemError(errno);
        return false;
    }
    handle_ = fd;
    temporary_ = name;
    // mkstemp makes the file private; give it the mode a new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return true;
}

bool AtomicFile::Write(const void* data, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(int(handle_), static_cast<const uint8_t*>(data) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = SystemError(errno);
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool AtomicFile::Commit() {
    if (handle_ < 0) return false;
    const int fd = int(handle_);
    handle_ = -1;
    if (close(fd) != 0 || std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error_ = SystemError(errno);
        Abandon();
        return false;
    }
    temporary_.clear();
    return true;
}

bool MakeFolder(const std::string& utf8Path) {
    struct stat st {};
    if (stat(utf8Path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const size_t slash = utf8Path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) MakeFolder(utf8Path.substr(0, slash));
    return mkdir(utf8Path.c_str(), 0777) == 0 || (stat(utf8Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

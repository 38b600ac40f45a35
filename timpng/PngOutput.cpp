#include "PngOutput.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SystemError(int error) {
    if (error == ENOENT) return "its folder does not exist";
    return std::strerror(error);
}

}  // namespace

std::string WritePngFile(const std::string& path, const uint32_t* pixels, uint32_t width, uint32_t height) {
    // Hidden and beside the output, so that the rename stays in one file
    // system; a short name of its own, since the output's own name with
    // anything added would no longer fit a file name when it is already long.
    std::string temporary = FolderOf(path) + "/.tim2png-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) return SystemError(errno);
    temporary = name.data();
    // mkstemp makes the file private; give it the mode a new file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    FILE* file = fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        close(fd);
        unlink(temporary.c_str());
        return SystemError(error);
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_BGRA;  // the bytes of 0xAARRGGBB in memory
    errno = 0;
    const bool encoded = png_image_write_to_stdio(&image, file, 0, pixels, 0, nullptr) != 0;
    const int writeError = errno;
    const std::string message = image.message;
    png_image_free(&image);
    const bool closed = std::fclose(file) == 0;
    const int closeError = errno;
    if (!encoded || !closed) {
        unlink(temporary.c_str());
        if (!closed) return SystemError(closeError);
        return writeError ? SystemError(writeError) : "PNG encoder: " + message;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        return SystemError(error);
    }
    return "";
}

#include "CheckedFile.h"

#include "LocalDrive.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::engine {

int ReadCheckedFile(const std::filesystem::path &file, std::size_t limit, CheckedFile &out)
{
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd)
        return errno;
    struct stat info
    {};
    if (::fstat(fd.Get(), &info) != 0)
        return errno;
    if (S_ISDIR(info.st_mode))
        return EISDIR;
    if (!S_ISREG(info.st_mode))
        return NotRegularFile;
    if (static_cast<std::size_t>(info.st_size) > limit)
        return EFBIG;
    std::string text(limit + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        const ssize_t n = ::read(fd.Get(), text.data() + filled, text.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
        if (filled > limit)
            return EFBIG;
    }
    text.resize(filled);
    out = {std::move(text), info.st_mode & 07777, info.st_uid};
    return 0;
}

std::string CheckedFileProblem(int error, std::size_t limit)
{
    switch (error) {
    case ENOENT:
        return "Datei nicht gefunden";
    case EACCES:
    case EPERM:
        return "Zugriff verweigert";
    case EISDIR:
        return "Das ist ein Verzeichnis";
    case NotRegularFile:
        return "Keine reguläre Datei";
    case EFBIG:
        return limit % (1 << 20) == 0 ? "Größer als " + std::to_string(limit >> 20) + " MiB"
                                      : "Größer als " + std::to_string(limit) + " Bytes";
    default:
        return "Fehler " + std::to_string(error);
    }
}

std::string ModeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace velmora::engine

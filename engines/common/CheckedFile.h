#pragma once

// A file of the user's (the phone book, ~/.netrc, the SSH set-up) read so that
// nothing can hold the engine up: opened without blocking and without taking
// a terminal, then the open file itself checked to be a regular file of a
// sane size. A FIFO, a device or a directory in its place fails at once, and
// what is read is what was checked.

#include <cstddef>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace velmora::engine {

struct CheckedFile
{
    std::string text;
    mode_t mode = 0;  // permission bits
    uid_t owner = 0;
};

// An error code beside the errno values: the name is no regular file.
inline constexpr int NotRegularFile = -1;

// 0 with out filled, or ENOENT, EACCES, EISDIR, NotRegularFile, EFBIG (more
// than limit bytes, also when it grew while being read) or another errno.
int ReadCheckedFile(const std::filesystem::path &file, std::size_t limit, CheckedFile &out);

// The error code as a short German phrase: "Datei nicht gefunden",
// "Keine reguläre Datei", "Größer als 1 MiB", ...
std::string CheckedFileProblem(int error, std::size_t limit);

// "0640": permission bits as error texts show them.
std::string ModeText(mode_t mode);

}  // namespace velmora::engine

#include "InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace velmora::engine {

namespace {

namespace fs = std::filesystem;

// A folder in a directory others may write to, such as the shared temp
// directory, could have been made by anyone first: it is used only when it is
// ours alone, so no other user can hold our lock.
int OpenOwnFolder(const fs::path &dir)
{
    const bool created = ::mkdir(dir.c_str(), 0700) == 0;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno != ELOOP && errno != ENOTDIR)
        throw std::system_error(errno, std::generic_category(),
                                "Sperrordner " + dir.string() + " nicht verfügbar");
    if (fd >= 0 && created)
        ::fchmod(fd, 0700);  // whatever the umask took away
    struct stat st
    {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
        (st.st_mode & 07777) == 0700)
        return fd;
    if (fd >= 0)
        ::close(fd);
    throw std::runtime_error("Unsicherer Sperrordner " + dir.string() +
                             ": Er muss dem Benutzer gehören, darf kein Link sein und "
                             "muss die Rechte 0700 haben.");
}

int OpenLockFile(const fs::path &file)
{
    const fs::path dir = file.parent_path();
    struct stat parent
    {};
    const bool shared = ::stat(dir.parent_path().c_str(), &parent) == 0 &&
                        (parent.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const int dirFd = shared ? OpenOwnFolder(dir) : AT_FDCWD;
    if (!shared) {
        std::error_code ignored;
        fs::create_directories(dir, ignored);
    }
    const fs::path at = shared ? file.filename() : file;
    // Read-only is enough for flock; O_NOFOLLOW keeps a planted symlink in /tmp
    // harmless, O_NONBLOCK a planted FIFO.
    constexpr int Flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = ::openat(dirFd, at.c_str(), Flags | O_CREAT, 0644);
    if (fd < 0 && errno == EACCES)  // protected_regular: someone else's file in a sticky dir
        fd = ::openat(dirFd, at.c_str(), Flags);
    const int err = errno;
    struct stat opened
    {};
    const bool regular = fd < 0 || (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode));
    if (!regular)
        ::close(fd);
    if (shared)
        ::close(dirFd);
    const std::string what = "Sperrdatei " + file.string() + " nicht verfügbar";
    if (!regular)  // a planted FIFO or device: never waited on
        throw std::runtime_error(what + ": Keine reguläre Datei.");
    if (fd < 0)
        throw std::system_error(err, std::generic_category(), what);
    return fd;
}

// Returns false when someone else holds the lock.
bool Lock(int fd)
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return false;
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "flock");
    }
    return true;
}

}  // namespace

fs::path DefaultLockDir()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && fs::path(runtime).is_absolute())
        return runtime;
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
    return (ec ? fs::path("/tmp") : temp) / ("velmora-" + std::to_string(::geteuid()));
}

InstanceLock::~InstanceLock()
{
    ::close(m_fd);
}

bool InstanceLock::HeldElsewhere(const std::filesystem::path &file)
{
    const int fd = OpenLockFile(file);
    bool free = false;
    try {
        free = Lock(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);  // releases the probe lock at once
    return !free;
}

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::filesystem::path &file)
{
    const int fd = OpenLockFile(file);
    try {
        if (Lock(fd))
            return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return nullptr;
}

}  // namespace velmora::engine

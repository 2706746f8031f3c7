#include "InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace velmora::engine {

namespace {

int OpenLockFile(const std::filesystem::path &file)
{
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    // Read-only is enough for flock; O_NOFOLLOW keeps a planted symlink in /tmp harmless.
    int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno == EACCES)  // protected_regular: someone else's file in a sticky dir
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(),
                                "Sperrdatei " + file.string() + " nicht verfügbar");
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

std::filesystem::path DefaultLockDir()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && std::filesystem::path(runtime).is_absolute())
        return runtime;
    std::error_code ec;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    return ec ? std::filesystem::path("/tmp") : temp;
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

#pragma once

// One Velmora suite per user session: an flock on a lock file. The kernel drops
// the lock with the last descriptor, so a killed holder never blocks a new run.

#include <filesystem>
#include <memory>

namespace velmora::engine {

// Where the lock file goes when nothing else is set: $XDG_RUNTIME_DIR, else
// velmora-UID in the temp directory. A lock folder in a directory others may
// write to must be ours, no link, and have mode 0700; the lock refuses it otherwise.
std::filesystem::path DefaultLockDir();

class InstanceLock
{
public:
    static constexpr const char *FileName = "velmora-sim.lock";

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    ~InstanceLock();

    // True when another open lock file (this process or another) holds the lock.
    // Throws std::system_error when the lock file cannot be opened.
    static bool HeldElsewhere(const std::filesystem::path &file);

    // nullptr when held elsewhere; throws std::system_error on other failures.
    static std::unique_ptr<InstanceLock> TryAcquire(const std::filesystem::path &file);

private:
    explicit InstanceLock(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace velmora::engine

#pragma once

// One Velmora suite per user session: an flock on a lock file. The kernel drops
// the lock with the last descriptor, so a killed holder never blocks a new run.

#include <filesystem>
#include <memory>

namespace velmora::sim {

class InstanceLock
{
public:
    static constexpr const char *kFileName = "velmora-sim.lock";

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    ~InstanceLock();

    // True when another open lock file (this process or another) holds the lock.
    // Throws std::system_error when the lock file cannot be opened.
    static bool HeldElsewhere(const std::filesystem::path &file);

    // nullptr when held elsewhere; throws std::system_error on other failures.
    static std::unique_ptr<InstanceLock> TryAcquire(const std::filesystem::path &file);

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace velmora::sim

#pragma once

// Starting other programs from tests and benchmarks: posix_spawn, not fork or
// QProcess, as ThreadSanitizer stops a test whose threaded process forks.

#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

namespace velmora::test {

struct SpawnOptions
{
    std::string out;          // a file stdout is appended to; empty: this process's stdout
    std::string err;          // the same for stderr
    int pipeTo = -1;          // a descriptor of the child that gets the write end of a pipe,
    int *pipeFrom = nullptr;  // whose read end (close-on-exec) the caller gets here
    const std::vector<std::string> *environment = nullptr;  // null: this process's
};

// Starts argv[0], looked up in PATH, with stdin from /dev/null; its pid, or -1.
[[nodiscard]] pid_t Spawn(std::vector<std::string> argv, const SpawnOptions &options = {});

// Waits for the child to end; its exit status, -1 when it did not exit normally.
int WaitForExit(pid_t pid, rusage *usage = nullptr);

}  // namespace velmora::test

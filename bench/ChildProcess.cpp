#include "ChildProcess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace velmora::bench {

namespace {

constexpr int ProbeFd = 3;

std::vector<std::string> ChildEnvironment()
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.starts_with("QT_QPA_PLATFORM=") || entry.starts_with("VELMORA_PROBE_FD="))
            continue;
        env.push_back(entry);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("VELMORA_PROBE_FD=" + std::to_string(ProbeFd));
    return env;
}

}  // namespace

ProbeResult RunProbed(const std::string &program, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    ProbeResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::vector<std::string> env = ChildEnvironment();
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string path = program;
    char *argv[] = {path.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], ProbeFd);  // dup2 drops close-on-exec

    pid_t pid = 0;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        result.error = "spawn " + program + ": " + std::strerror(spawned);
        return result;
    }

    std::string output;
    const auto deadline = start + timeout;
    bool timedOut = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, int(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;  // the deadline is checked above
        char buffer[256];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // the child has gone, and with it the write end
        output.append(buffer, size_t(n));
    }
    close(fds[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.rusageMaxRssKib = usage.ru_maxrss;

    long long paintNs = -1;
    std::istringstream lines(output);
    std::string key;
    long long value = 0;
    while (lines >> key >> value) {
        if (key == "first_paint_ns")
            paintNs = value;
        else if (key == "peak_rss_kib")
            result.peakRssKib = long(value);
    }
    if (timedOut)
        result.error = program + ": no exit within the time limit";
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        result.error = program + ": did not exit cleanly";
    else if (paintNs < 0 || result.peakRssKib <= 0)
        result.error = program + ": the probe did not report";
    if (paintNs >= 0)
        result.startup = std::chrono::nanoseconds(paintNs) - start.time_since_epoch();
    result.ok = result.error.empty();
    return result;
}

}  // namespace velmora::bench

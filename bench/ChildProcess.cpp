#include "ChildProcess.h"
#include "Spawn.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <sstream>
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
    const std::vector<std::string> env = ChildEnvironment();
    int probe = -1;
    test::SpawnOptions options;
    options.pipeTo = ProbeFd;
    options.pipeFrom = &probe;
    options.environment = &env;
    const auto start = Clock::now();
    const pid_t pid = test::Spawn({program}, options);
    if (pid <= 0) {
        result.error = "spawn " + program + ": " + std::strerror(errno);
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
        pollfd p{probe, POLLIN, 0};
        const int ready = poll(&p, 1, int(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;  // the deadline is checked above
        char buffer[256];
        const ssize_t n = read(probe, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // the child has gone, and with it the write end
        output.append(buffer, size_t(n));
    }
    close(probe);
    if (timedOut)
        kill(pid, SIGKILL);
    rusage usage{};
    const int status = test::WaitForExit(pid, &usage);
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
    else if (status != 0)
        result.error = program + ": did not exit cleanly";
    else if (paintNs < 0 || result.peakRssKib <= 0)
        result.error = program + ": the probe did not report";
    if (paintNs >= 0)
        result.startup = std::chrono::nanoseconds(paintNs) - start.time_since_epoch();
    result.ok = result.error.empty();
    return result;
}

}  // namespace velmora::bench

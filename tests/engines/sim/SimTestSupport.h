#pragma once

// Helpers shared by the simulated engine's tests.

#include "EngineTest.h"
#include "SimEngine.h"
#include "Spawn.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace simtest {

using velmora::DirEntry;
using velmora::TransferEngine;
using velmora::sim::CreateSimEngine;
using velmora::sim::SimConfig;
using namespace velmora::test;

// Throw-away folders for drive C: and the lock, so no test touches the user's.
struct Sandbox
{
    QTemporaryDir root;
    QTemporaryDir lock;

    [[nodiscard]] SimConfig Config(double timeScale = 0.0) const
    {
        SimConfig config;
        config.timeScale = timeScale;
        config.localRoot = QFile::encodeName(root.path()).toStdString();
        config.lockDir = QFile::encodeName(lock.path()).toStdString();
        return config;
    }
    // Everything in drive C:, hidden files (a temp file must not hide) and
    // dangling links included.
    [[nodiscard]] QStringList Entries() const
    {
        return QDir(root.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
};

inline const QString Tool = "TRANVIK7.EXE";  // 186,911 bytes in C:\TOOLS\MORVANTE
inline const QByteArray OldContent = "alte Version";

inline double OleDate(const QDateTime &local)
{
    return QDate(1899, 12, 30).daysTo(local.date()) +
           local.time().msecsSinceStartOfDay() / 86'400'000.0;
}

// Initialises, dials, and changes to dir on the server if given; nullptr when that failed.
inline std::unique_ptr<TransferEngine> Connected(const SimConfig &config,
                                                 const std::u16string &dir = {})
{
    auto engine = CreateSimEngine(config);
    engine->Initialize();
    if (!Finish(*engine, "Dial") || engine->ErrorOccurred())
        return nullptr;
    if (!dir.empty())
        engine->ChangeRemoteDirectory(dir);
    if (!WaitIdle(*engine) || engine->ErrorOccurred())
        return nullptr;
    return engine;
}

// A child process whose stdout the test reads; killed when it goes out of scope.
class Spawned
{
public:
    Spawned(const char *program, const QByteArrayList &args)
    {
        std::vector<std::string> argv{program};
        for (const QByteArray &arg : args)
            argv.push_back(arg.toStdString());
        velmora::test::SpawnOptions options;
        options.pipeTo = STDOUT_FILENO;
        options.pipeFrom = &m_out;
        m_pid = velmora::test::Spawn(argv, options);
    }
    Spawned(const Spawned &) = delete;
    Spawned &operator=(const Spawned &) = delete;
    ~Spawned()
    {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0)
            ::waitpid(m_pid, nullptr, 0);
        if (m_out >= 0)
            ::close(m_out);
    }

    [[nodiscard]] bool Started() const { return m_pid > 0; }

    // Its output until it contains marker (empty: until it closes), or 10 s passed.
    QByteArray Read(const QByteArray &marker = {})
    {
        pollfd ready{m_out, POLLIN, 0};
        char buffer[256];
        while ((marker.isEmpty() || !m_output.contains(marker)) && ::poll(&ready, 1, 10'000) > 0) {
            const ssize_t n = ::read(m_out, buffer, sizeof buffer);
            if (n <= 0)
                break;
            m_output.append(buffer, n);
        }
        return m_output;
    }

    // SIGKILL, no chance to clean up; true when that is how it ended.
    bool Kill()
    {
        if (m_pid <= 0 || ::kill(m_pid, SIGKILL) != 0)
            return false;
        int status = 0;
        const bool reaped = ::waitpid(m_pid, &status, 0) == m_pid;
        m_pid = -1;
        return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

    // Waits for it to end by itself; true when it exited with status 0.
    bool Finish()
    {
        int status = 0;
        const bool reaped = m_pid > 0 && ::waitpid(m_pid, &status, 0) == m_pid;
        m_pid = -1;
        return reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    QByteArray m_output;
};

// Another suite, as far as the instance lock goes: lockprobe.cpp in its mode
// "hold" or "ask", on the sandbox's folders.
class OtherSuite : public Spawned
{
public:
    OtherSuite(const char *mode, const Sandbox &sandbox)
        : Spawned(VELMORA_SIM_LOCKPROBE, {mode, QFile::encodeName(sandbox.lock.path()),
                                          QFile::encodeName(sandbox.root.path())})
    {}
};

// What another process sees of the lock: "running=0|1 initialize=ok|refused".
inline QByteArray AskFromAnotherProcess(const Sandbox &sandbox)
{
    OtherSuite probe("ask", sandbox);
    const QByteArray output = probe.Read().trimmed();
    return probe.Started() && probe.Finish() ? output : QByteArray("probe failed");
}

}  // namespace simtest

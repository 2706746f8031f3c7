#pragma once

// A throw-away server for tests and benchmarks, started by one of the
// project's server tools (tools/sftp-server.sh, tools/ftp-server.sh) in the
// foreground on a free loopback port, with its configuration, keys and log in
// a temporary folder of its own, serving a given folder. A temporary home
// (ClientHome) holds what the client needs: SSH keys and known_hosts, or the
// FTP login in .netrc. Not thread-safe; any thread may use it, one at a time.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <sys/types.h>

namespace velmora::test {

class ServerTool
{
public:
    // tool: the file name in tools/; kind: as the tool names it; serveDir:
    // the folder the server shows at login, empty: one of its own; args go
    // to the tool's Python servers (--module FILE --mode MODE).
    ServerTool(const QString &tool, const QString &kind, const QString &serveDir = {},
               const QStringList &args = {});
    virtual ~ServerTool();  // stops the server and every session it started
    ServerTool(const ServerTool &) = delete;
    ServerTool &operator=(const ServerTool &) = delete;

    // Starts the server and waits until it takes connections; false with Error() set.
    bool Start();
    // After Start, puts tools/linkproxy.cpp in front: Port() is then the
    // proxy's, each way delayed by half the round trip and capped at rate
    // MiB/s (0: none). For SFTP: FTP's data connections would go around it.
    bool AddLink(int roundTripMs, double rate = 0);
    // Ends the server and its sessions at once (SIGKILL), as a crash would.
    void Kill();
    // Ends only the sessions; the server keeps listening.
    void KillSessions();
    // Freezes the sessions (SIGSTOP), as a server that hangs; false thaws them.
    void PauseSessions(bool pause);
    // The processes serving connections (asyncssh, pyftpdlib: the connections); 0 when none.
    [[nodiscard]] int Sessions();
    [[nodiscard]] bool Running();

    [[nodiscard]] int Port() const { return m_linkPort ? m_linkPort : m_port; }
    [[nodiscard]] QString ServeDir() const { return m_serveDir; }
    [[nodiscard]] QString ClientHome() const;  // the client's $HOME
    // A line KEY=VALUE the tool prints at start, e.g. "user", "pin", "cert";
    // empty when there is none.
    [[nodiscard]] QString Value(const QString &key) const;
    [[nodiscard]] QString Error() const { return m_error; }
    [[nodiscard]] QString ServerLog();  // what the server wrote to stdout and stderr

    // A free loopback port with nobody listening, at least for a moment.
    static int FreePort();

    // Runs a program with this process's environment to its end, stdout and
    // stderr into output; its exit status, -1 when it did not end normally.
    static int RunProgram(const QString &program, const QStringList &args, const QString &output);

protected:
    // Runs a program to its end; false with Error() set unless it exits with 0.
    // Output goes to the file named, if any.
    bool Run(const QString &program, const QStringList &args, const QString &output = {});
    [[nodiscard]] QString Path(const QString &name) const;  // in the server's folder

    QString m_error;

private:
    bool WaitUntilListening();
    bool Reap(bool wait);

    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_ownServeDir;
    QString m_tool;
    QString m_kind;
    QString m_serveDir;
    QStringList m_args;
    pid_t m_pid = -1;
    int m_port = 0;
    pid_t m_linkPid = -1;
    int m_linkPort = 0;
};

// A socket on a free loopback port that takes connections and never says a
// word: the kernel accepts, no greeting or TLS answer ever comes.
class SilentListener
{
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener &) = delete;
    SilentListener &operator=(const SilentListener &) = delete;
    [[nodiscard]] int Port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

}  // namespace velmora::test

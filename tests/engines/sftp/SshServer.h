#pragma once

// An SFTP server for tests and benchmarks, started by tools/sftp-server.sh in
// the foreground on a free loopback port, with a configuration, host key and
// authorized keys of its own in a temporary folder, serving a given folder.
// A temporary home holds the client's key pair and known_hosts.
// Not thread-safe; any thread may use it, one at a time.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <sys/types.h>

namespace sftptest {

class SshServer
{
public:
    // serveDir: the folder the server shows at login; empty: one of its own.
    // kind: as tools/sftp-server.sh names it; args go to the asyncssh server.
    explicit SshServer(const QString &serveDir = {},
                       const QString &kind = QStringLiteral("sshd-internal"),
                       const QStringList &args = {});
    ~SshServer();  // stops the server and every session it started
    SshServer(const SshServer &) = delete;
    SshServer &operator=(const SshServer &) = delete;

    // Starts the server and waits until it takes connections; false with Error() set.
    bool Start();
    // After Start, puts tools/linkproxy.cpp in front: Port() is then the
    // proxy's, each way delayed by half the round trip and capped at rate MiB/s (0: none).
    bool AddLink(int roundTripMs, double rate = 0);
    // Ends the server and its sessions at once (SIGKILL), as a crash would.
    void Kill();
    // Ends only the sessions; the server keeps listening.
    void KillSessions();
    // Freezes the sessions (SIGSTOP), as a server that hangs; false thaws them.
    void PauseSessions(bool pause);
    // The processes serving connections (asyncssh: the connections); 0 when none.
    [[nodiscard]] int Sessions();
    [[nodiscard]] bool Running();

    [[nodiscard]] int Port() const { return m_linkPort ? m_linkPort : m_port; }
    [[nodiscard]] QString ServeDir() const { return m_serveDir; }
    [[nodiscard]] QString ClientHome() const;  // the client's $HOME
    [[nodiscard]] QString KnownHostsFile() const;
    [[nodiscard]] QString IdentityFile() const;  // the client's private key
    [[nodiscard]] QString Error() const { return m_error; }
    // "SHA256:..." of the server's host key, as ssh-keygen -l shows it.
    [[nodiscard]] QString HostKeyFingerprint();
    [[nodiscard]] QString ServerLog();  // what the server wrote to stderr

    // The client's known_hosts: trusting this server's key (hashed as
    // ssh-keygen -H writes it, or plain), another key for the same address,
    // not at all (no file), or trusting it and also marking it @revoked.
    enum class Trust { Plain, Hashed, OtherKey, None, Revoked };
    bool SetTrust(Trust trust);
    // Gives the client a key pair the server does not know.
    bool UseUnknownClientKey();

    // A free loopback port with nobody listening, at least for a moment.
    static int FreePort();

    // Runs a program with this process's environment to its end, stdout and
    // stderr into output; its exit status, -1 when it did not end normally.
    static int RunProgram(const QString &program, const QStringList &args, const QString &output);

private:
    bool WaitUntilListening();
    bool Keygen(const QString &file);
    // Runs a program to its end; false with Error() set unless it exits with 0.
    // Output goes to the file named, if any.
    bool Run(const QString &program, const QStringList &args, const QString &output = {});
    bool Reap(bool wait);
    QString Path(const QString &name) const;

    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_ownServeDir;
    QString m_serveDir;
    QString m_kind;
    QStringList m_args;
    pid_t m_pid = -1;
    QString m_error;
    int m_port = 0;
    pid_t m_linkPid = -1;
    int m_linkPort = 0;
};

}  // namespace sftptest

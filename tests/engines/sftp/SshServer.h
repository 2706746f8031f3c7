#pragma once

// OpenSSH's own sshd for tests and benchmarks: started in the foreground on a
// free loopback port with a configuration, host key and authorized keys of
// its own in a temporary folder, serving a given folder as the login
// directory. A temporary home holds the client's key pair and known_hosts.
// Not thread-safe; any thread may use it, one at a time.
// Nothing of the machine's SSH set-up is used or changed, except that, as
// root, sshd needs its privilege-separation folder /run/sshd.

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
    explicit SshServer(const QString &serveDir = {});
    ~SshServer();  // stops the server and every session it started
    SshServer(const SshServer &) = delete;
    SshServer &operator=(const SshServer &) = delete;

    // Starts sshd and waits until it takes connections; false with Error() set.
    bool Start();
    // Ends the server and its sessions at once (SIGKILL), as a crash would.
    void Kill();
    // Ends only the sessions; the server keeps listening.
    void KillSessions();
    // Freezes the sessions (SIGSTOP), as a server that hangs; false thaws them.
    void PauseSessions(bool pause);
    // The processes sshd runs for its connections.
    [[nodiscard]] int SessionProcesses();
    [[nodiscard]] bool Running();

    [[nodiscard]] int Port() const { return m_port; }
    [[nodiscard]] QString ServeDir() const { return m_serveDir; }
    [[nodiscard]] QString ClientHome() const;  // the client's $HOME
    [[nodiscard]] QString KnownHostsFile() const;
    [[nodiscard]] QString IdentityFile() const;  // the client's private key
    [[nodiscard]] QString Error() const { return m_error; }
    // "SHA256:..." of the server's host key, as ssh-keygen -l shows it.
    [[nodiscard]] QString HostKeyFingerprint();
    [[nodiscard]] QString ServerLog();  // what sshd wrote to stderr

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
    bool Prepare();
    bool WriteConfig();
    bool WaitUntilListening();
    bool Keygen(const QString &file);
    // Runs a program to its end; its exit status, -1 when it could not run.
    // Output goes to the file named, if any.
    int Run(const QString &program, const QStringList &args, const QString &output = {});
    bool Spawn(const QStringList &args);
    bool Reap(bool wait);
    QString Path(const QString &name) const;

    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_ownServeDir;
    QString m_serveDir;
    // Started with posix_spawn, not QProcess: ThreadSanitizer stops a test
    // whose threaded process forks the way Qt does.
    pid_t m_sshd = -1;
    QString m_error;
    int m_port = 0;
    bool m_prepared = false;
};

}  // namespace sftptest

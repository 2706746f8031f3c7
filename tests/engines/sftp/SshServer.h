#pragma once

// An SFTP server for tests and benchmarks, started by tools/sftp-server.sh (see
// ServerTool). The client home holds the client's key pair and known_hosts.

#include "ServerTool.h"

namespace sftptest {

class SshServer : public velmora::test::ServerTool
{
public:
    // serveDir: the folder the server shows at login; empty: one of its own.
    // kind: as tools/sftp-server.sh names it; args go to the asyncssh server.
    explicit SshServer(const QString &serveDir = {},
                       const QString &kind = QStringLiteral("sshd-internal"),
                       const QStringList &args = {});

    [[nodiscard]] QString KnownHostsFile() const;
    [[nodiscard]] QString IdentityFile() const;  // the client's private key
    // "SHA256:..." of the server's host key, as ssh-keygen -l shows it.
    [[nodiscard]] QString HostKeyFingerprint();

    // The client's known_hosts: trusting this server's key (hashed as
    // ssh-keygen -H writes it, or plain), another key for the same address,
    // not at all (no file), or trusting it and also marking it @revoked.
    enum class Trust { Plain, Hashed, OtherKey, None, Revoked };
    bool SetTrust(Trust trust);
    // Gives the client a key pair the server does not know.
    bool UseUnknownClientKey();

private:
    bool Keygen(const QString &file);
};

}  // namespace sftptest

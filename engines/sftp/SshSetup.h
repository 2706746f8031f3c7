#pragma once

// The user's own SSH set-up, taken as OpenSSH takes it and never loosened:
// ~/.ssh/config through libssh's own parser, the "@revoked" lines of
// known_hosts, and only private keys that nobody else may read or write.

#include "Handles.h"
#include "Session.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velmora::sftp {

// Where a session goes once ~/.ssh/config has had its say.
struct Target
{
    std::string host;  // to connect to: the config's HostName, else the host given
    int port = 22;
    std::string user;
    bool proxy = false;  // a ProxyCommand (or ProxyJump) connects, not a socket of ours
};

// Sets the host given (a Host alias is fine), reads <sshHome>/.ssh/config when
// it is a regular file, then sets port and user where given, and again what
// must stay as it is whatever the file says: known_hosts is
// <sshHome>/.ssh/known_hosts, no global one, strict checking, no log output,
// timeoutSeconds. Throws Error(Failure::Local) when libssh refuses.
Target Configure(ssh_session ssh, const ConnectOptions &options, long timeoutSeconds);

// Whether knownHosts has an "@revoked" line with key, whatever its hosts.
bool IsRevoked(const std::filesystem::path &knownHosts, ssh_key key);

struct Identity
{
    std::string file;
    mode_t mode = 0;
    bool usable = false;  // false: group or others may read or write it
};

// The private keys to offer, in order, as far as they exist: the IdentityFile
// libssh took from ~/.ssh/config (it tells only the last one), then the
// default ones in <sshHome>/.ssh.
std::vector<Identity> Identities(ssh_session ssh, const ConnectOptions &options,
                                 const Target &target);

// The login name of this process's user; never a home folder.
std::string LocalUser();

}  // namespace velmora::sftp

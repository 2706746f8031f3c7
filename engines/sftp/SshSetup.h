#pragma once

// The user's own SSH set-up, taken as OpenSSH takes it and never loosened:
// ~/.ssh/config through libssh's own parser, the "@revoked" lines of
// known_hosts, and only private keys that nobody else may read or write.
//
// libssh opens the files it is given by name and would wait forever on a FIFO
// put in their place, so it is never given one of the user's files: each is
// read here first, checked to be a regular file of a sane size, and libssh
// reads a copy in memory (/proc/self/fd/N): the config, every file it
// Includes, known_hosts. Private keys are read here and handed over as text.
// "~" is $HOME (ConnectOptions::sshHome) everywhere.

#include "Handles.h"
#include "LocalDrive.h"
#include "Session.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace velmora::sftp {

// A checked copy of known_hosts, for as long as libssh may read it.
struct KnownHosts
{
    std::filesystem::path file;  // the user's, as error texts name it
    std::string text;
    engine::UniqueFd copy;
};

// Where a session goes once ~/.ssh/config has had its say.
struct Target
{
    std::string host;  // to connect to: the config's HostName, else the host given
    int port = 22;
    std::string user;
    bool proxy = false;    // a ProxyCommand (or ProxyJump) connects, not a socket of ours
    std::string identity;  // the config's IdentityFile, "~" and %-tokens expanded
    KnownHosts knownHosts;
};

// Sets the host given (a Host alias is fine), reads <sshHome>/.ssh/config and
// what it Includes, then sets port and user where given, and again what must
// stay as it is whatever the file says: known_hosts is a checked copy of
// <sshHome>/.ssh/known_hosts, no global one, strict checking, no log output,
// timeoutSeconds. Throws Error: Failure::Local for a config libssh refuses or
// that is no regular file, Failure::HostKey for a known_hosts that is none.
Target Configure(ssh_session ssh, const ConnectOptions &options, long timeoutSeconds);

// Whether the known_hosts text has an "@revoked" line with key, whatever its hosts.
bool IsRevoked(std::string_view knownHosts, ssh_key key);

struct Identity
{
    std::string file;
    mode_t mode = 0;
    bool usable = false;  // false: group or others may read or write it
    std::string key;      // the private key, when usable
};

// The private keys to offer, in order, as far as they exist as regular
// files: the IdentityFile of ~/.ssh/config (libssh tells only the last one),
// then the default ones in <sshHome>/.ssh.
std::vector<Identity> Identities(const ConnectOptions &options, const Target &target);

// The login name of this process's user; never a home folder.
std::string LocalUser();

}  // namespace velmora::sftp

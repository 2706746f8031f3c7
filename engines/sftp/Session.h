#pragma once

// One connection to an SSH server and its SFTP session, over libssh: the
// SFTP wire of engine::Connection.
//
// The connection is built without blocking; the calls libssh only offers
// blocking are watched by an engine::Watchdog, which cuts the connection
// under a call that outlasts a stop request or a server silent for the
// request timeout.
//
// The user's ~/.ssh/config is read through libssh's parser (Host aliases,
// HostName, Port, User, IdentityFile, ProxyJump), but host keys are only ever
// taken from ~/.ssh/known_hosts, checked strictly, "@revoked" keys refused,
// and private keys others may read or write are not used.
//
// Texts of errors are German, UTF-8, made safe to show (SafeText); what the
// server says goes into them. Paths on the server are UTF-8 as well.

#include "Connection.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora::sftp {

using engine::Control;
using engine::Failure;
using engine::RemoteEntry;
using Error = engine::RemoteError;

struct ConnectOptions
{
    std::string host;               // may be a Host alias of ~/.ssh/config
    int port = 0;                   // 0: as ~/.ssh/config says, else 22
    std::string user;               // empty: as ~/.ssh/config says, else the local user
    std::string password;           // empty: public keys (agent, default identities)
    std::filesystem::path sshHome;  // its .ssh holds known_hosts and the identities
    int retries = 0;                // further attempts after refused or timed out
    std::chrono::milliseconds attemptTimeout{15'000};
    std::chrono::milliseconds requestTimeout{15'000};  // logged in: no answer this long ends it
    std::chrono::milliseconds retryPause{1'000};
    std::function<void(int attempt)> onAttempt;  // before each attempt, from 1
};

class Session final : public engine::Connection
{
public:
    // Connects, checks the host key, logs in and starts SFTP. Throws Error.
    static std::unique_ptr<Session> Open(const ConnectOptions &options, Control control);

    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() override;  // closes what is still open

    std::string RealPath(const std::string &path) override;
    RemoteEntry Stat(const std::string &path) override;
    std::vector<RemoteEntry> List(const std::string &directory, const std::string &base) override;

    // Streams exactly the size the server gives at open into sink, in order,
    // several reads in flight (see ReadPipeline.h). sink may throw
    // Error(Failure::Local, ...). name goes into error texts; empty: the last
    // part of path. Returns the number of bytes.
    using Progress = std::function<void(uint64_t done, uint64_t expected)>;
    uint64_t Download(const std::string &path, const Sink &sink, const Progress &progress = {},
                      const std::string &name = {});
    uint64_t Download(const std::string &path, const Sink &sink, const std::string &name) override
    {
        return Download(path, sink, Progress(), name);
    }

    void Close() override;
    [[nodiscard]] bool Lost() const override;
    [[nodiscard]] const std::string &DisplayHost() const override;

    // Tuning of the pipelined download: reads of ReadSize, at first
    // ReadsInFlight of them on their way, more for a distant server (see
    // ReadPipeline.h), but never more than MaxBytesInFlight asked for.
    static constexpr uint32_t ReadSize = 64 * 1024;
    static constexpr std::size_t ReadsInFlight = 32;
    static constexpr std::size_t MaxBytesInFlight = 16 << 20;

private:
    struct State;
    explicit Session(Control control);

    std::unique_ptr<State> m_state;
};

// The SFTP row of the remote engine's table: sftp:// entries, dialled as
// ConnectOptions above, with the user's ~/.ssh.
engine::Protocol Protocol();

// An SFTP status code as error texts name it.
std::string SftpStatusText(uint32_t status);

}  // namespace velmora::sftp

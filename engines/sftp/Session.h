#pragma once

// One connection to an SSH server and its SFTP session, over libssh.
//
// Every call blocks its thread until done, but none outlasts a stop request by
// much: the connection is built without blocking, and a helper thread watches
// the calls libssh only offers blocking. When such a call has not come back
// 100 ms after the stop request, the helper shuts the socket down; the call
// then fails and the session is lost. Once logged in, a request the server
// leaves unanswered for the request timeout ends the same way.
//
// The user's ~/.ssh/config is read through libssh's parser (Host aliases,
// HostName, Port, User, IdentityFile, ProxyJump), but host keys are only ever
// taken from ~/.ssh/known_hosts, checked strictly, "@revoked" keys refused,
// and private keys others may read or write are not used.
//
// Texts of errors are German, UTF-8, made safe to show (SafeText); what the
// server says goes into them. Paths on the server are UTF-8 as well.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::sftp {

enum class Failure {
    Stopped,         // the stop request was seen
    Refused,         // nobody listens at the address
    TimedOut,        // an attempt took longer than allowed
    HostKey,         // unknown or changed host key, or known_hosts unusable
    Authentication,  // the server did not accept us
    ConnectionLost,  // the server went away, the connection dropped, or it was
                     // closed because the server did not answer in time or broke
                     // the protocol
    Remote,          // the server refused a request (missing file, no access, ...)
    Local,           // something on this side (a write by the sink, a bad name)
};

class Error : public std::runtime_error
{
public:
    Error(Failure failure, const std::string &text);  // text: made safe to show
    [[nodiscard]] Failure failure() const { return m_failure; }

private:
    Failure m_failure;
};

// How a long call learns it should stop, and tells that it is alive. Both are
// called from the calling thread and from the session's helper thread.
struct Control
{
    std::function<bool()> stopRequested;  // polled at least every 50 ms
    std::function<void()> alive;          // at least every 100 ms while a call runs
};

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

struct RemoteEntry
{
    std::string name;
    bool directory = false;
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970, UTC
};

class Session
{
public:
    // Connects, checks the host key, logs in and starts SFTP. Throws Error.
    static std::unique_ptr<Session> Open(const ConnectOptions &options, Control control);

    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();  // closes what is still open

    // The server's absolute form of path ("." is the login directory).
    std::string RealPath(const std::string &path);
    RemoteEntry Stat(const std::string &path);  // follows symbolic links
    // Without "." and ".."; names made safe to show. A link is shown as what
    // it points to when that lies inside base, else as the link itself.
    // Past MaxEntries entries or MaxNameBytes of names: an error, and the
    // connection is closed.
    std::vector<RemoteEntry> List(const std::string &directory, const std::string &base);

    // Streams exactly the size the server gives at open into sink, in order,
    // several reads in flight (see ReadPipeline.h). sink may throw
    // Error(Failure::Local, ...). name goes into error texts; empty: the last
    // part of path. Returns the number of bytes.
    using Sink = std::function<void(const char *data, std::size_t size)>;
    using Progress = std::function<void(uint64_t done, uint64_t expected)>;
    uint64_t Download(const std::string &path, const Sink &sink, const Progress &progress = {},
                      const std::string &name = {});

    // Ends the SFTP session and the connection; the session is unusable after.
    void Close();

    [[nodiscard]] bool Lost() const;
    [[nodiscard]] const std::string &DisplayHost() const;  // "host" or "host:port"

    // Tuning of the pipelined download: reads of ReadSize, at first
    // ReadsInFlight of them on their way, more for a distant server (see
    // ReadPipeline.h), but never more than MaxBytesInFlight asked for.
    static constexpr uint32_t ReadSize = 64 * 1024;
    static constexpr std::size_t ReadsInFlight = 32;
    static constexpr std::size_t MaxBytesInFlight = 16 << 20;
    // The most a listing may hold.
    static constexpr std::size_t MaxEntries = 100'000;
    static constexpr std::size_t MaxNameBytes = 64 << 20;

private:
    struct State;
    explicit Session(Control control);

    std::unique_ptr<State> m_state;
};

// Whether path is base or lies below it; both absolute, as the server gives them.
bool PathInside(const std::string &path, const std::string &base);

// An SFTP status code as error texts name it.
std::string SftpStatusText(uint32_t status);

}  // namespace velmora::sftp

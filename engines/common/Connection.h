#pragma once

// What a real protocol gives the remote engine (RemoteEngine.h): one
// connection to a server, opened for one phone-book entry, carrying out the
// few requests the suite needs. Each protocol keeps only its own wire; the
// engine does the rest once for all of them: the phone book, drive C: of the
// server and the confinement to it, the partial file, the listing's form.
//
// Every call blocks its thread until done, but none outlasts a stop request
// by much (Control), and none waits for a silent server longer than the
// request timeout, counted from the last byte received (Watchdog.h).
// Texts of errors are German, UTF-8, made safe to show; what the server says
// goes into them. Paths on the server are UTF-8 as the server spells them.

#include "PhoneBook.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::engine {

enum class Failure {
    Stopped,         // the stop request was seen
    Refused,         // nobody listens at the address
    TimedOut,        // an attempt took longer than allowed
    HostKey,         // the server's key or certificate is unknown, changed or unusable
    Authentication,  // the server did not accept us
    ConnectionLost,  // the server went away, the connection dropped, or it was
                     // closed because the server did not answer in time or broke
                     // the protocol
    Remote,          // the server refused a request (missing file, no access, ...)
    Local,           // something on this side (a write by the sink, a bad name)
};

class RemoteError : public std::runtime_error
{
public:
    RemoteError(Failure failure, const std::string &text);  // text: made safe to show
    [[nodiscard]] Failure failure() const { return m_failure; }

private:
    Failure m_failure;
};

// How a long call learns it should stop, and tells that it is alive. Both are
// called from the calling thread and from a connection's helper thread.
struct Control
{
    std::function<bool()> stopRequested;  // polled at least every 50 ms
    std::function<void()> alive;          // at least every 100 ms while a call runs

    [[nodiscard]] bool StopRequested() const { return stopRequested && stopRequested(); }
    void ThrowIfStopped() const;  // RemoteError(Failure::Stopped, "Vorgang abgebrochen.")
};

struct RemoteEntry
{
    std::string name;
    bool directory = false;
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970, UTC
};

// What a dial asks of a protocol.
struct DialRequest
{
    PhoneBookEntry entry;        // the server, its base path and, for TLS, a pinned key
    std::string user;            // from the dial; empty: the entry's, else the protocol's default
    std::string password;        // from the dial; empty: the protocol's own way (keys, ~/.netrc)
    std::filesystem::path home;  // $HOME: ~/.ssh, ~/.netrc
    int retries = 0;             // further attempts after refused or timed out
    std::chrono::milliseconds attemptTimeout{15'000};
    std::chrono::milliseconds requestTimeout{15'000};  // logged in: silence this long ends it
    std::chrono::milliseconds retryPause{1'000};
    std::function<void(int attempt)> onAttempt;  // before each attempt, from 1
};

class Connection
{
public:
    virtual ~Connection() = default;

    // The server's absolute form of path, links followed ("." is the login
    // directory). Throws RemoteError; Failure::Remote when there is no such path.
    virtual std::string RealPath(const std::string &path) = 0;
    virtual RemoteEntry Stat(const std::string &path) = 0;  // follows links
    // Without "." and ".."; names made safe to show. A link is shown as what
    // it points to when that lies inside base, else as the link itself. Past
    // ListingLimits: an error, and the connection is closed.
    virtual std::vector<RemoteEntry> List(const std::string &directory,
                                          const std::string &base) = 0;

    // Streams the file into sink, in order: exactly the size the server gave
    // before the transfer, never more; a shorter file is an error. sink may
    // throw RemoteError(Failure::Local, ...). name goes into error texts.
    // Returns the number of bytes.
    using Sink = std::function<void(const char *data, std::size_t size)>;
    virtual uint64_t Download(const std::string &path, const Sink &sink,
                              const std::string &name) = 0;

    // Ends the session and the connection; the connection is unusable after.
    virtual void Close() = 0;

    [[nodiscard]] virtual bool Lost() const = 0;
    [[nodiscard]] virtual const std::string &DisplayHost() const = 0;  // "host" or "host:port"
};

// One row of the remote engine's table: the schemes a protocol serves and
// how it connects. open throws RemoteError.
struct Protocol
{
    std::vector<std::string> schemes;  // as the phone book writes them: "sftp", "ftp", ...
    std::function<std::unique_ptr<Connection>(const DialRequest &, Control)> open;
};

// Whether path is base or lies below it; both absolute, as the server gives them.
bool PathInside(const std::string &path, const std::string &base);
// The name after the last '/' of a path on the server.
std::string LastPart(const std::string &path);

// Frees a library's handle, as unique_ptr's deleter: one owner, one way.
template <auto Free> struct FreeWith
{
    template <typename T> void operator()(T *handle) const { Free(handle); }
};

// "host", or "host:port" when port is not the scheme's own (IPv6 in brackets).
std::string HostText(const std::string &host, int port, int defaultPort);

// Runs attempt, and again after a pause while it fails as refused or timed
// out, 1 + retries times in all; then the error says so, naming host(). The
// stop request ends the pauses.
void WithRetries(int retries, std::chrono::milliseconds pause,
                 const std::function<void(int attempt)> &onAttempt, const Control &control,
                 const std::function<void()> &attempt, const std::function<std::string()> &host);

}  // namespace velmora::engine

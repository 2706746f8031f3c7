#pragma once

// One control connection to an FTP server, in clear text (ftp://), with
// AUTH TLS required (ftpes://) or TLS from the start (ftps://), over
// libcurl's multi interface: the FTP wire of engine::Connection.
//
// - One control connection for the whole dial: each request is a transfer on
//   the same handle, which finds the connection in libcurl's cache. Should the
//   server have closed it, no new one is opened behind the user's back: the
//   request fails and the connection is lost.
// - Passive mode only (EPSV, then PASV), the address in a PASV answer ignored;
//   never active mode. Binary transfers. Every path sent is absolute (no CWD
//   behind libcurl's back counts), as the server spelled it.
// - TLS: the certificate checked against the system's CA store and the host
//   name; with a pin in the phone book (pin=sha256//...) that key alone is
//   trusted, CA or not. A certificate not trusted names the pin that would
//   trust it. Nothing is ever trusted on first use or written down.
// - Login: the user of the dial or the URL, the password of the dial or of
//   ~/.netrc (a checked file; refused when others may read its password),
//   else anonymous.
// - Every call watched as the SFTP session's are (engine::Watchdog): an abort
//   ends it within 250 ms, also in a TLS handshake that libcurl does not
//   interrupt; once logged in, a server silent for the request timeout
//   (counted from the last byte on any of its sockets) loses the connection.
// - An aborted transfer leaves the control connection unusable (libcurl
//   closes it): the connection is lost after an abort.

#include "Connection.h"

#include <memory>
#include <string>
#include <vector>

namespace velmora::ftp {

using engine::Control;
using engine::Failure;
using engine::RemoteEntry;
using Error = engine::RemoteError;

class FtpSession final : public engine::Connection
{
public:
    // Connects, logs in and asks for the server's features. Throws Error.
    static std::unique_ptr<FtpSession> Open(const engine::DialRequest &request, Control control);

    FtpSession(const FtpSession &) = delete;
    FtpSession &operator=(const FtpSession &) = delete;
    ~FtpSession() override;  // closes without waiting for the server

    std::string RealPath(const std::string &path) override;
    RemoteEntry Stat(const std::string &path) override;
    std::vector<RemoteEntry> List(const std::string &directory, const std::string &base) override;
    uint64_t Download(const std::string &path, const Sink &sink, const std::string &name) override;
    void Close() override;  // says goodbye, briefly
    [[nodiscard]] bool Lost() const override;
    [[nodiscard]] const std::string &DisplayHost() const override;

    struct State;

private:
    explicit FtpSession(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// The FTP row of the remote engine's table: ftp://, ftpes:// and ftps://.
engine::Protocol Protocol();

}  // namespace velmora::ftp

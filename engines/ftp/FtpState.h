#pragma once

// The inside of an FtpSession, shared by the files that carry out its parts:
// Transfer.cpp (libcurl's handles, one request carried out and its errors),
// Login.cpp (who logs in), Tls.cpp (the server's key), FtpSession.cpp (the
// operations).

#include "FtpSession.h"
#include "Watchdog.h"

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::ftp {

using engine::FreeWith;
using MultiPtr = std::unique_ptr<CURLM, FreeWith<curl_multi_cleanup>>;
using EasyPtr = std::unique_ptr<CURL, FreeWith<curl_easy_cleanup>>;
using ListPtr = std::unique_ptr<curl_slist, FreeWith<curl_slist_free_all>>;

// What a request was waiting for, as the timeout names it.
namespace Waits {
inline constexpr const char *Start = "FTP-Start";
inline constexpr const char *RealPath = "Pfad auflösen";
inline constexpr const char *Stat = "Attribute lesen";
inline constexpr const char *List = "Verzeichnis lesen";
inline constexpr const char *Read = "Datei lesen";
inline constexpr const char *Quit = "Abmelden";
}  // namespace Waits

// One reply of the server, to the command sent before it (empty: the greeting).
struct Reply
{
    std::string command;  // its first word, in upper case
    int code = 0;
    std::vector<std::string> lines;  // as they came, without line ends
};

// Who logs in.
struct Credentials
{
    std::string user;
    std::string password;
};

// Login.cpp: the dial's user and password, else the URL's user and ~/.netrc,
// else anonymous. Throws Error(Failure::Local) for a ~/.netrc that cannot be
// used.
Credentials FindCredentials(const engine::DialRequest &request);

// Tls.cpp: "sha256//BASE64" of a certificate's public key, as curl pins it.
std::string PinOf(const void *x509);
// Tls.cpp: installed as CURLOPT_SSL_CTX_FUNCTION; notes the server's pin in
// the State given as its data, and lets OpenSSL's verdict stand.
CURLcode NoteServerKey(CURL *easy, void *sslContext, void *state);

struct FtpSession::State
{
    State(const engine::DialRequest &request, Control control);
    ~State();

    [[nodiscard]] const Control &control() const { return watchdog.control(); }

    // Transfer.cpp
    // A fresh pair of handles, set up for this server; forgets any connection.
    void Reset();
    // Connects and logs in, then asks for the features; throws Error.
    void Connect();
    // Carries out the request set up on the handle: url below the server
    // (a path, %-encoded here), commands sent first (QUOTE), what the server
    // sends over the data connection into receive (false: stop it). Throws
    // Error for anything but a refusal of the server, which it returns.
    CURLcode Run(const char *what, const std::string &path,
                 const std::vector<std::string> &commands,
                 std::function<bool(const char *, std::size_t)> receive = {});
    // The error after Run returned a refusal; what the request was.
    [[noreturn]] void Fail(CURLcode code, const std::string &what);
    // A server that broke the rules: the connection closes, the text says why.
    [[noreturn]] void Abandon(const std::string &text);
    void RequireOpen() const;
    [[nodiscard]] bool IsLost() const;
    // The reply to the command sent, if one came.
    [[nodiscard]] const Reply *ReplyTo(const std::string &command) const;
    // Hangs up: with politeness, or cutting the sockets first.
    void Hangup(bool politely);

    // libcurl's callbacks, on the thread that runs the request.
    curl_socket_t OpenSocket(curlsocktype purpose, curl_sockaddr *address);
    void CloseSocket(curl_socket_t fd);
    void Debug(curl_infotype type, const char *data, std::size_t size);

    const engine::DialRequest request;
    const Credentials credentials;
    engine::Watchdog watchdog;
    std::string displayHost;
    std::string root;  // the URL of the server's root: "ftp://host:port/"
    std::string loginDir;
    bool mlst = false;

    MultiPtr multi;
    EasyPtr easy;
    char errorText[CURL_ERROR_SIZE] = {};
    std::vector<Reply> replies;  // of the request under way
    std::size_t replyBytes = 0;
    std::function<bool(const char *, std::size_t)> receiver;
    bool loggedIn = false;
    bool passiveAnswered = false;  // a 227 or 229 reply since libcurl was last driven
    bool lost = false;
    bool reconnectRefused = false;
    curl_socket_t controlSocket = CURL_SOCKET_BAD;
    std::string serverPin;  // of the last certificate the server showed
};

}  // namespace velmora::ftp

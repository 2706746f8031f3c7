// libcurl's handles for one server, and one request carried out on them: the
// loop that drives the multi handle while watching for a stop and for
// silence, and what its errors mean.

#include "FtpState.h"

#include "FtpListing.h"
#include "PhoneBook.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace velmora::ftp {

namespace {

using Busy = engine::Watchdog::Busy;
using Waiting = engine::Watchdog::Waiting;

constexpr long PollMs = 40;
// Replies are a few lines; a server that sends more is not listened to.
constexpr std::size_t MaxReplyBytes = 1 << 20;
constexpr long BufferSize = 2 << 20;  // fewer, larger writes: measured best on loopback

bool Unreserved(unsigned char c)
{
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// An absolute path as the URL below the root names it: the leading "/" as
// %2F, so that it stays absolute, every other byte but '/' %-encoded.
std::string UrlPath(const std::string &path)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if ((c == '/' && i > 0) || Unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 15];
        }
    }
    return out;
}

int PortOf(const curl_sockaddr *address)
{
    if (address->family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&address->addr)->sin_port);
    if (address->family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address->addr)->sin6_port);
    return 0;
}

curl_socket_t OpenSocketCallback(void *state, curlsocktype purpose, curl_sockaddr *address)
{
    return static_cast<FtpSession::State *>(state)->OpenSocket(purpose, address);
}

int CloseSocketCallback(void *state, curl_socket_t fd)
{
    static_cast<FtpSession::State *>(state)->CloseSocket(fd);
    return 0;
}

int DebugCallback(CURL *, curl_infotype type, char *data, std::size_t size, void *state)
{
    static_cast<FtpSession::State *>(state)->Debug(type, data, size);
    return 0;
}

std::size_t WriteCallback(char *data, std::size_t, std::size_t size, void *state)
{
    // Without a receiver, what libcurl makes of SIZE and MDTM: not wanted.
    const auto &receiver = static_cast<FtpSession::State *>(state)->receiver;
    return !receiver || receiver(data, size) ? size : 0;
}

template <typename Value> void Set(CURL *easy, CURLoption option, Value value)
{
    curl_easy_setopt(easy, option, value);
}

}  // namespace

FtpSession::State::State(const engine::DialRequest &dial, Control control)
    : request(dial), credentials(FindCredentials(dial)), watchdog(std::move(control))
{
    const auto &entry = request.entry;
    displayHost = engine::HostText(entry.host, entry.port, engine::DefaultPort(entry.scheme));
    const bool v6 = entry.host.find(':') != std::string::npos;
    root = std::string(entry.scheme == "ftps" ? "ftps" : "ftp") + "://" +
           (v6 ? "[" + entry.host + "]" : entry.host) + ":" + std::to_string(entry.port) + "/";
    watchdog.SetRequestTimeout(request.requestTimeout);
}

FtpSession::State::~State()
{
    Hangup(false);
}

void FtpSession::State::Reset()
{
    Hangup(false);
    watchdog.Reset();
    lost = false;
    loggedIn = false;
    reconnectRefused = false;
    controlSocket = CURL_SOCKET_BAD;
    mlst = false;
    multi.reset(curl_multi_init());
    easy.reset(curl_easy_init());
    if (!multi || !easy)
        throw Error(Failure::Local, "libcurl: keine Sitzung (Speicher?).");
    CURL *e = easy.get();
    const auto &entry = request.entry;
    Set(e, CURLOPT_PROTOCOLS_STR, "ftp,ftps");
    Set(e, CURLOPT_USERNAME, credentials.user.c_str());
    Set(e, CURLOPT_PASSWORD, credentials.password.c_str());
    Set(e, CURLOPT_USE_SSL, entry.scheme == "ftp" ? long(CURLUSESSL_NONE) : long(CURLUSESSL_ALL));
    Set(e, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_TLS));
    // A pin replaces the CA store and the name: that key, and no other.
    Set(e, CURLOPT_SSL_VERIFYPEER, entry.pin.empty() ? 1L : 0L);
    Set(e, CURLOPT_SSL_VERIFYHOST, entry.pin.empty() ? 2L : 0L);
    if (!entry.pin.empty())
        Set(e, CURLOPT_PINNEDPUBLICKEY, entry.pin.c_str());
    Set(e, CURLOPT_SSL_CTX_FUNCTION, &NoteServerKey);
    Set(e, CURLOPT_SSL_CTX_DATA, this);
    // Passive only, to the control connection's address.
    Set(e, CURLOPT_FTPPORT, static_cast<const char *>(nullptr));
    Set(e, CURLOPT_FTP_USE_EPSV, 1L);
    Set(e, CURLOPT_FTP_SKIP_PASV_IP, 1L);
    Set(e, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    Set(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.attemptTimeout.count()));
    // A backstop only: the watchdog counts silence from the last byte.
    Set(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, 3600L);
    Set(e, CURLOPT_NOSIGNAL, 1L);
    Set(e, CURLOPT_OPENSOCKETFUNCTION, &OpenSocketCallback);
    Set(e, CURLOPT_OPENSOCKETDATA, this);
    Set(e, CURLOPT_CLOSESOCKETFUNCTION, &CloseSocketCallback);
    Set(e, CURLOPT_CLOSESOCKETDATA, this);
    Set(e, CURLOPT_VERBOSE, 1L);  // the replies come to Debug
    Set(e, CURLOPT_DEBUGFUNCTION, &DebugCallback);
    Set(e, CURLOPT_DEBUGDATA, this);
    Set(e, CURLOPT_ERRORBUFFER, errorText);
    Set(e, CURLOPT_BUFFERSIZE, BufferSize);
    Set(e, CURLOPT_WRITEFUNCTION, &WriteCallback);
    Set(e, CURLOPT_WRITEDATA, this);
}

void FtpSession::State::Connect()
{
    Reset();
    const CURLcode code = Run(Waits::Start, "", {"*FEAT"});
    if (code == CURLE_OK && loggedIn) {
        std::vector<std::string> lines;
        if (const Reply *feat = ReplyTo("FEAT"))
            lines = feat->lines;
        mlst = ParseFeatures(lines).mlst;
        char *entryPath = nullptr;
        if (curl_easy_getinfo(easy.get(), CURLINFO_FTP_ENTRY_PATH, &entryPath) != CURLE_OK ||
            !entryPath || entryPath[0] != '/')
            Abandon("Anmeldeverzeichnis auf " + displayHost + " unbekannt (ungültige Antwort).");
        loginDir = entryPath;
        return;
    }
    const std::string detail = errorText[0] ? std::string(" (") + errorText + ")" : std::string();
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        throw Error(Failure::Refused, "");
    case CURLE_OPERATION_TIMEDOUT:
        throw Error(Failure::TimedOut, "");
    case CURLE_COULDNT_RESOLVE_HOST:
        throw Error(Failure::Remote,
                    "Rechner " + request.entry.host + " nicht gefunden" + detail + ".");
    case CURLE_LOGIN_DENIED:
        throw Error(Failure::Authentication,
                    "Anmeldung als " + credentials.user + " bei " + displayHost + " abgelehnt.");
    case CURLE_USE_SSL_FAILED:
        throw Error(Failure::HostKey, displayHost +
                                          " bietet kein TLS an (AUTH TLS abgelehnt). Verbindung "
                                          "abgelehnt.");
    case CURLE_PEER_FAILED_VERIFICATION:
        throw Error(Failure::HostKey, "Unbekanntes Zertifikat von " + displayHost + detail +
                                          ": sein Schlüssel pin=" + serverPin +
                                          " steht nicht im Telefonbuch. Verbindung abgelehnt.");
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        throw Error(Failure::HostKey, "WARNUNG: Der Schlüssel von " + displayHost +
                                          " passt nicht zum Pin im Telefonbuch (angeboten: pin=" +
                                          serverPin + "). Verbindung abgelehnt.");
    default:
        break;
    }
    // Dropped before it said a word: as good as refused, worth another attempt.
    if (replies.empty())
        throw Error(Failure::Refused, "");
    throw Error(Failure::Remote,
                "FTP-Verbindung zu " + displayHost + " gescheitert" + detail + ".");
}

CURLcode FtpSession::State::Run(const char *what, const std::string &path,
                                const std::vector<std::string> &commands,
                                std::function<bool(const char *, std::size_t)> receive)
{
    CURL *e = easy.get();
    replies.clear();
    replyBytes = 0;
    errorText[0] = '\0';
    receiver = std::move(receive);
    ListPtr quote;
    for (const std::string &command : commands) {
        curl_slist *grown = curl_slist_append(quote.get(), command.c_str());
        if (!grown)
            throw Error(Failure::Local, "libcurl: kein Speicher.");
        (void)quote.release();
        quote.reset(grown);
    }
    const std::string url = root + UrlPath(path);
    Set(e, CURLOPT_URL, url.c_str());
    Set(e, CURLOPT_QUOTE, quote.get());
    Set(e, CURLOPT_NOBODY, receiver ? 0L : 1L);

    CURLcode result = CURLE_OK;
    {
        const Busy busy(watchdog);
        std::optional<Waiting> waiting;
        if (loggedIn)
            waiting.emplace(watchdog, what);
        curl_multi_add_handle(multi.get(), e);
        for (bool done = false; !done;) {
            int running = 0;
            curl_multi_perform(multi.get(), &running);
            if (loggedIn && !waiting)
                waiting.emplace(watchdog, what);  // the silence counts from the login on
            int queued = 0;
            while (const CURLMsg *message = curl_multi_info_read(multi.get(), &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    result = message->data.result;
                    done = true;
                }
            }
            if (!done && control().StopRequested())
                break;
            // After EPSV or PASV libcurl opens the data connection only when
            // driven again; no socket of its own would wake it.
            if (!done && !std::exchange(passiveAnswered, false))
                curl_multi_poll(multi.get(), nullptr, 0, PollMs, nullptr);
        }
        if (result == CURLE_OK) {
            // The control connection, while the handle still holds it.
            curl_socket_t fd = CURL_SOCKET_BAD;
            if (curl_easy_getinfo(e, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK &&
                fd != CURL_SOCKET_BAD)
                controlSocket = fd;
        }
        // Also ends a transfer under way; libcurl then closes the connection.
        curl_multi_remove_handle(multi.get(), e);
    }
    Set(e, CURLOPT_QUOTE, static_cast<curl_slist *>(nullptr));
    receiver = {};
    control().ThrowIfStopped();
    if (result == CURLE_OK)
        return result;
    if (const char *late = watchdog.Overdue())
        Abandon(watchdog.TimeoutText(displayHost, late));
    if (reconnectRefused)
        Abandon("Verbindung zu " + displayHost + " getrennt: der Server hat sie beendet.");
    if (watchdog.WasCut())
        Abandon("Verbindung zu " + displayHost + " unterbrochen.");
    return result;
}

void FtpSession::State::Fail(CURLcode code, const std::string &what)
{
    std::string said;
    for (auto reply = replies.rbegin(); reply != replies.rend() && said.empty(); ++reply)
        if (reply->code >= 400 && !reply->lines.empty())
            said = reply->lines.back();
    const std::string detail = !said.empty()          ? " (" + said + ")"
                               : errorText[0] != '\0' ? std::string(" (") + errorText + ")"
                                                      : std::string();
    switch (code) {
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_BAD_FILE_LIST:
        Abandon("Verbindung zu " + displayHost + " getrennt: ungültige Antwort des Servers.");
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        // A connection the server closed: libcurl's text would name a stale
        // errno; only the server's own last words say more.
        Abandon("Verbindung zu " + displayHost + " unterbrochen" +
                (said.empty() ? std::string() : " (" + said + ")") + ".");
    case CURLE_SEND_ERROR:
    case CURLE_SSL_CONNECT_ERROR:
        Abandon("Verbindung zu " + displayHost + " unterbrochen" + detail + ".");
    case CURLE_COULDNT_CONNECT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        throw Error(Failure::Remote,
                    what + ": keine Datenverbindung zu " + displayHost + " möglich" + detail + ".");
    default:
        throw Error(Failure::Remote, what + detail + ".");
    }
}

void FtpSession::State::Abandon(const std::string &text)
{
    lost = true;
    watchdog.Cut();
    throw Error(Failure::ConnectionLost, text);
}

void FtpSession::State::RequireOpen() const
{
    if (!easy || IsLost())
        throw Error(Failure::ConnectionLost, "Keine Verbindung zu " + displayHost + " mehr.");
}

bool FtpSession::State::IsLost() const
{
    return lost || watchdog.WasCut() || (loggedIn && controlSocket == CURL_SOCKET_BAD);
}

const Reply *FtpSession::State::ReplyTo(const std::string &command) const
{
    for (auto reply = replies.rbegin(); reply != replies.rend(); ++reply)
        if (reply->command == command)
            return &*reply;
    return nullptr;
}

void FtpSession::State::Hangup(bool politely)
{
    if (!multi && !easy)
        return;
    if (politely && !IsLost()) {
        // QUIT, and a moment for its answer: a server that hangs must not
        // hold up the goodbye.
        const auto timeout = watchdog.RequestTimeout();
        watchdog.SetRequestTimeout(
            std::min<std::chrono::milliseconds>(timeout, std::chrono::seconds(2)));
        {
            const Busy busy(watchdog);
            const Waiting waiting(watchdog, Waits::Quit);
            multi.reset();
        }
        watchdog.SetRequestTimeout(timeout);
    } else {
        watchdog.Cut();
    }
    multi.reset();
    easy.reset();
    lost = true;
}

curl_socket_t FtpSession::State::OpenSocket(curlsocktype purpose, curl_sockaddr *address)
{
    // Once logged in, a socket to the server's own port is a new control
    // connection: the old one is gone, and no new login happens unasked.
    if (loggedIn && purpose == CURLSOCKTYPE_IPCXN && PortOf(address) == request.entry.port) {
        reconnectRefused = true;
        return CURL_SOCKET_BAD;
    }
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd >= 0)
        watchdog.Watch(fd);
    return fd;
}

void FtpSession::State::CloseSocket(curl_socket_t fd)
{
    watchdog.Forget(fd);
    if (fd == controlSocket)
        controlSocket = CURL_SOCKET_BAD;
    ::close(fd);
}

void FtpSession::State::Debug(curl_infotype type, const char *data, std::size_t size)
{
    if (type == CURLINFO_HEADER_OUT) {
        std::string command(data,
                            std::min(size, std::string_view(data, size).find_first_of(" \r\n")));
        std::transform(command.begin(), command.end(), command.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        replies.push_back({std::move(command), 0, {}});
        return;
    }
    if (type != CURLINFO_HEADER_IN)
        return;
    std::string_view text(data, size);
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (replies.empty())
            replies.push_back({});  // the greeting
        Reply &reply = replies.back();
        if (replyBytes + line.size() > MaxReplyBytes)
            continue;
        replyBytes += line.size();
        if (reply.code == 0 && line.size() >= 3 &&
            std::isdigit(static_cast<unsigned char>(line[0])) &&
            std::isdigit(static_cast<unsigned char>(line[1])) &&
            std::isdigit(static_cast<unsigned char>(line[2])))
            reply.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        if (reply.code == 230 || reply.code == 232)
            loggedIn = true;
        passiveAnswered = passiveAnswered || reply.code == 227 || reply.code == 229;
        reply.lines.emplace_back(line);
    }
}

}  // namespace velmora::ftp

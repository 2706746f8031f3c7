#include "Session.h"

#include "Handles.h"
#include "LocalDrive.h"
#include "ReadPipeline.h"
#include "SafeText.h"
#include "SshSetup.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velmora::sftp {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The helper thread's beat, and how long a blocking call may go on after a
// stop request before the helper cuts the connection. Together they keep an
// abort well inside 250 ms.
constexpr auto WatchTick = 40ms;
constexpr auto StopGrace = 80ms;
constexpr auto AliveInterval = 100ms;
// How long a socket wait may last before the stop request is looked at again.
constexpr auto PollSlice = 40ms;

// What a request without an answer was waiting for, as the timeout names it.
namespace Waits {
constexpr const char *Init = "SFTP-Start";
constexpr const char *RealPath = "Pfad auflösen";
constexpr const char *Stat = "Attribute lesen";
constexpr const char *List = "Verzeichnis lesen";
constexpr const char *Open = "Datei öffnen";
constexpr const char *Read = "Datei lesen";
constexpr const char *Close = "Datei schließen";
}  // namespace Waits

std::string HostText(const std::string &host, int port)
{
    const bool v6 = host.find(':') != std::string::npos;
    if (port == 22)
        return host;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string AttemptsText(int attempts)
{
    return attempts == 1 ? "1 Versuch" : std::to_string(attempts) + " Versuche";
}

std::string LastPart(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

RemoteEntry FromAttributes(const sftp_attributes attributes, std::string name)
{
    RemoteEntry entry;
    entry.name = std::move(name);
    if (attributes->flags & SSH_FILEXFER_ATTR_PERMISSIONS)
        entry.directory = S_ISDIR(attributes->permissions);
    else
        entry.directory = attributes->type == SSH_FILEXFER_TYPE_DIRECTORY;
    if (attributes->flags & SSH_FILEXFER_ATTR_SIZE)
        entry.size = attributes->size;
    if (attributes->flags & SSH_FILEXFER_ATTR_ACMODTIME)
        entry.modified = attributes->mtime64 ? static_cast<int64_t>(attributes->mtime64)
                                             : static_cast<int64_t>(attributes->mtime);
    return entry;
}

bool IsLink(const sftp_attributes attributes)
{
    if (attributes->flags & SSH_FILEXFER_ATTR_PERMISSIONS)
        return S_ISLNK(attributes->permissions);
    return attributes->type == SSH_FILEXFER_TYPE_SYMLINK;
}

// Refuses to let OpenSSL ask for a passphrase on the terminal.
int NoPassphrase(const char *, char *, std::size_t, int, int, void *)
{
    return -1;
}

}  // namespace

Error::Error(Failure failure, const std::string &text)
    : std::runtime_error(engine::SafeText(text)), m_failure(failure)
{}

bool PathInside(const std::string &path, const std::string &base)
{
    if (path == base)
        return true;
    const std::string prefix = !base.empty() && base.back() == '/' ? base : base + '/';
    return path.compare(0, prefix.size(), prefix) == 0;
}

std::string SftpStatusText(uint32_t status)
{
    switch (status) {
    case SSH_FX_NO_SUCH_FILE:
    case SSH_FX_NO_SUCH_PATH:
        return "Nicht gefunden";
    case SSH_FX_PERMISSION_DENIED:
        return "Zugriff verweigert";
    case SSH_FX_WRITE_PROTECT:
        return "Schreibgeschützt";
    case SSH_FX_OP_UNSUPPORTED:
        return "Vom Server nicht unterstützt";
    default:
        return "Fehler " + std::to_string(status);
    }
}

struct Session::State
{
    explicit State(Control control) : control(std::move(control))
    {
        watchdog = std::thread([this] { Watch(); });
    }

    ~State()
    {
        CloseAll();
        {
            const std::lock_guard lock(mutex);
            quit = true;
        }
        cv.notify_all();
        watchdog.join();
    }

    bool StopRequested() const { return control.stopRequested && control.stopRequested(); }

    void ThrowIfStopped() const
    {
        if (StopRequested())
            throw Error(Failure::Stopped, "Vorgang abgebrochen.");
    }

    // Marks the span in which the helper watches the calls of this thread.
    class Busy
    {
    public:
        explicit Busy(State &state) : m_state(state)
        {
            {
                const std::lock_guard lock(m_state.mutex);
                m_state.active = true;
            }
            m_state.cv.notify_all();
        }
        ~Busy()
        {
            const std::lock_guard lock(m_state.mutex);
            m_state.active = false;
        }
        Busy(const Busy &) = delete;
        Busy &operator=(const Busy &) = delete;

    private:
        State &m_state;
    };

    // Marks a request on its way to the server: when no answer comes within
    // the request timeout, the helper cuts the connection. Nested, the inner
    // one counts until it ends; then the outer one starts afresh.
    class Waiting
    {
    public:
        Waiting(State &state, const char *what) : m_state(state)
        {
            const std::lock_guard lock(m_state.mutex);
            m_previous = m_state.waitingFor;
            m_state.waitingFor = what;
            m_state.deadline = Clock::now() + m_state.requestTimeout;
        }
        ~Waiting()
        {
            const std::lock_guard lock(m_state.mutex);
            m_state.waitingFor = m_previous;
            m_state.deadline = Clock::now() + m_state.requestTimeout;
        }
        Waiting(const Waiting &) = delete;
        Waiting &operator=(const Waiting &) = delete;

    private:
        State &m_state;
        const char *m_previous = nullptr;
    };

    // An answer came: the request timeout starts again.
    void Answered()
    {
        const std::lock_guard lock(mutex);
        deadline = Clock::now() + requestTimeout;
    }

    void Watch()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait(lock, [this] { return quit || active; });
            if (quit)
                return;
            bool stopping = false;
            Clock::time_point stopSeen{};
            auto lastAlive = Clock::now();
            while (active && !quit) {
                cv.wait_for(lock, WatchTick);
                if (!active || quit)
                    break;
                lock.unlock();
                // The owner's callbacks run without our lock: they take locks of their own.
                const bool stop = StopRequested();
                const auto now = Clock::now();
                if (now - lastAlive >= AliveInterval && control.alive) {
                    control.alive();
                    lastAlive = now;
                }
                lock.lock();
                if (waitingFor && Clock::now() >= deadline && active && watchFd >= 0 && !cut) {
                    // The server leaves a request unanswered: it is of no use any more.
                    ::shutdown(watchFd, SHUT_RDWR);
                    cut = true;
                    timedOut = waitingFor;
                }
                if (!stop) {
                    stopping = false;
                    continue;
                }
                if (!stopping) {
                    stopping = true;
                    stopSeen = now;
                } else if (now - stopSeen >= StopGrace && active && watchFd >= 0 && !cut) {
                    // The call sits in libssh and does not look at the stop
                    // request: take the connection away from under it.
                    ::shutdown(watchFd, SHUT_RDWR);
                    cut = true;
                }
            }
        }
    }

    // fd: a socket of ours (closed with the session) or libssh's (only watched).
    void SetSocket(engine::UniqueFd own, int watched)
    {
        const std::lock_guard lock(mutex);
        socket = std::move(own);
        watchFd = socket ? socket.Get() : watched;
        cut = false;
        timedOut = nullptr;
    }

    void CloseSocket()
    {
        engine::UniqueFd closing;
        {
            const std::lock_guard lock(mutex);
            closing = std::move(socket);
            watchFd = -1;
        }
        // libssh leaves a socket it was handed open; closing here closes it.
    }

    bool WasCut()
    {
        const std::lock_guard lock(mutex);
        return cut;
    }

    // Closes the connection to a server that broke the rules; the session is lost.
    void Drop()
    {
        lost = true;
        const std::lock_guard lock(mutex);
        if (watchFd >= 0 && !cut) {
            ::shutdown(watchFd, SHUT_RDWR);
            cut = true;
        }
    }

    void CloseAll()
    {
        if (unfinished)
            Drop();  // its answers must not reach libssh, nor the file's close wait for them
        unfinished.reset();
        unfinishedFile.reset();
        sftp.reset();
        if (ssh) {
            // A server that hangs must not hold up the goodbye.
            ssh_set_blocking(ssh.get(), 0);
            if (!lost)
                ssh_disconnect(ssh.get());
            ssh.reset();
        }
        CloseSocket();
    }

    // Waits until the socket has something for libssh, or a slice has passed.
    void WaitSocket(Clock::time_point until)
    {
        const int fd = ssh_get_fd(ssh.get());
        pollfd entry{fd, POLLIN, 0};
        if (ssh_get_poll_flags(ssh.get()) & SSH_WRITE_PENDING)
            entry.events |= POLLOUT;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min<Clock::duration>(PollSlice, until - Clock::now()));
        ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        ThrowIfStopped();
    }

    std::string TimeoutText(const char *what) const
    {
        const auto seconds = (requestTimeout.count() + 999) / 1000;
        return "Zeitüberschreitung: " + displayHost + " antwortet nicht (" + what + ", " +
               std::to_string(seconds) + " s). Verbindung getrennt.";
    }

    // After a libssh call failed: throws when it was stopped, timed out, or
    // the connection is gone; returns when the server refused the request.
    void ThrowIfBroken(const std::string &detail)
    {
        const bool channelGone =
            sftp && sftp->channel &&
            (ssh_channel_is_closed(sftp->channel) || ssh_channel_is_eof(sftp->channel));
        if (WasCut() || !ssh || !ssh_is_connected(ssh.get()) || channelGone)
            lost = true;
        ThrowIfStopped();
        const char *late = nullptr;
        {
            const std::lock_guard lock(mutex);
            late = timedOut ? timedOut
                            : (waitingFor && Clock::now() >= deadline ? waitingFor : nullptr);
        }
        if (late) {
            Drop();  // libssh may have given up first
            throw Error(Failure::ConnectionLost, TimeoutText(late));
        }
        if (lost) {
            throw Error(Failure::ConnectionLost,
                        "Verbindung zu " + displayHost + " unterbrochen" +
                            (detail.empty() ? std::string() : " (" + detail + ")") + ".");
        }
    }

    // The error after a libssh call failed: the stop request, a lost
    // connection, or what the server said.
    [[noreturn]] void Fail(const std::string &what)
    {
        const std::string detail = ssh ? ssh_get_error(ssh.get()) : "";
        ThrowIfBroken(detail);
        const int status = sftp ? sftp_get_error(sftp.get()) : SSH_FX_OK;
        if (status != SSH_FX_OK && status != SSH_FX_EOF)
            throw Error(Failure::Remote,
                        what + ": " + SftpStatusText(static_cast<uint32_t>(status)) + ".");
        throw Error(Failure::Remote,
                    what + (detail.empty() ? std::string(".") : " (" + detail + ")."));
    }

    // A server that broke the rules: the connection closes, the text says why.
    [[noreturn]] void Abandon(const std::string &text)
    {
        Drop();
        throw Error(Failure::ConnectionLost, text);
    }

    bool Lost()
    {
        if (WasCut())
            lost = true;
        return lost;
    }

    void RequireOpen()
    {
        if (!sftp || Lost())
            throw Error(Failure::ConnectionLost, "Keine Verbindung zu " + displayHost + " mehr.");
    }

    // The server's absolute form of path; nullopt when it refuses.
    std::optional<std::string> Canonical(const std::string &path)
    {
        const Waiting waiting(*this, Waits::RealPath);
        const TextPtr resolved(sftp_canonicalize_path(sftp.get(), path.c_str()));
        if (!resolved) {
            ThrowIfBroken(ssh_get_error(ssh.get()));
            return std::nullopt;
        }
        std::string out(resolved.get());
        if (out.empty() || out.front() != '/')
            Abandon("Pfad " + path + " auf dem Server nicht auflösbar (ungültige Antwort).");
        return out;
    }

    void Connect(const ConnectOptions &options);
    void Attempt(const ConnectOptions &options);
    void ConnectSocket(const Target &target, Clock::time_point deadline);
    void CheckHostKey(const ConnectOptions &options);
    void Authenticate(const ConnectOptions &options, const Target &target,
                      Clock::time_point deadline);
    void StartSftp();

    // Before libssh reads the channel again: what a stopped download left on
    // its way is collected, and its file closed.
    void Settle()
    {
        if (!unfinished)
            return;
        try {
            {
                const Waiting waiting(*this, Waits::Read);
                while (!unfinished->Drain(Clock::now() + PollSlice))
                    ThrowIfStopped();
            }
            unfinished.reset();
            const Waiting waiting(*this, Waits::Close);
            unfinishedFile.reset();
        } catch (const Error &e) {
            if (e.failure() != Failure::Stopped)
                Drop();
            throw;
        }
    }

    Control control;
    std::string displayHost;
    std::chrono::milliseconds requestTimeout{15'000};
    SshPtr ssh;
    SftpPtr sftp;                              // freed before ssh
    std::unique_ptr<ReadPipeline> unfinished;  // a stopped download whose answers still come
    FilePtr unfinishedFile;                    // and its file, closed once they are in
    bool lost = false;

    std::mutex mutex;  // guards what the helper thread sees
    std::condition_variable cv;
    bool active = false;
    bool quit = false;
    bool cut = false;
    engine::UniqueFd socket;
    int watchFd = -1;
    const char *waitingFor = nullptr;  // the request on its way, if any
    Clock::time_point deadline{};      // for its answer
    const char *timedOut = nullptr;    // what the helper cut the connection for
    std::thread watchdog;
};

void Session::State::Connect(const ConnectOptions &options)
{
    displayHost = HostText(options.host, options.port > 0 ? options.port : 22);
    requestTimeout = options.requestTimeout;
    const int attempts = std::max(0, options.retries) + 1;
    for (int attempt = 1;; ++attempt) {
        if (options.onAttempt)
            options.onAttempt(attempt);
        try {
            Attempt(options);
            return;
        } catch (const Error &e) {
            CloseAll();
            const bool again = e.failure() == Failure::Refused || e.failure() == Failure::TimedOut;
            if (!again)
                throw;
            if (attempt >= attempts) {
                const std::string count = " (" + AttemptsText(attempt) + ").";
                if (e.failure() == Failure::Refused)
                    throw Error(e.failure(), "Verbindung zu " + displayHost + " abgelehnt" + count);
                throw Error(e.failure(),
                            "Zeitüberschreitung beim Verbinden mit " + displayHost + count);
            }
        }
        const auto resume = Clock::now() + options.retryPause;
        while (Clock::now() < resume) {
            ThrowIfStopped();
            std::this_thread::sleep_for(
                std::min<Clock::duration>(PollSlice, resume - Clock::now()));
        }
        ThrowIfStopped();
    }
}

void Session::State::ConnectSocket(const Target &target, Clock::time_point deadline)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(target.port);
    if (const int rc = getaddrinfo(target.host.c_str(), service.c_str(), &hints, &found); rc != 0)
        throw Error(Failure::Remote,
                    "Rechner " + target.host + " nicht gefunden (" + gai_strerror(rc) + ").");
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);

    Failure failure = Failure::Refused;
    int lastError = ECONNREFUSED;
    for (const addrinfo *address = found; address; address = address->ai_next) {
        engine::UniqueFd own(::socket(address->ai_family,
                                      address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                      address->ai_protocol));
        if (!own) {
            lastError = errno;
            continue;
        }
        const int fd = own.Get();
        SetSocket(std::move(own), -1);
        int error = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                for (;;) {
                    pollfd entry{fd, POLLOUT, 0};
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::min<Clock::duration>(PollSlice, deadline - Clock::now()));
                    const int ready =
                        ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
                    if (StopRequested()) {
                        CloseSocket();
                        ThrowIfStopped();
                    }
                    if (ready > 0) {
                        socklen_t length = sizeof error;
                        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                            error = errno;
                        break;
                    }
                    if (Clock::now() >= deadline) {
                        error = ETIMEDOUT;
                        break;
                    }
                }
            }
        }
        if (error == 0) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return;
        }
        CloseSocket();
        lastError = error;
        if (error == ETIMEDOUT)
            failure = Failure::TimedOut;
    }
    if (lastError != ECONNREFUSED && lastError != ETIMEDOUT && lastError != ECONNRESET &&
        lastError != EHOSTUNREACH && lastError != ENETUNREACH)
        throw Error(Failure::Remote, "Verbindung zu " + displayHost + " nicht möglich (" +
                                         std::strerror(lastError) + ").");
    throw Error(failure, "");
}

void Session::State::Attempt(const ConnectOptions &options)
{
    const auto deadline = Clock::now() + options.attemptTimeout;
    ssh.reset(ssh_new());
    if (!ssh)
        throw Error(Failure::Local, "libssh: keine Sitzung (Speicher?).");
    const long timeout = std::max<long>(
        1, static_cast<long>(
               std::chrono::duration_cast<std::chrono::seconds>(options.attemptTimeout).count()));
    const Target target = Configure(ssh.get(), options, timeout);
    displayHost = HostText(options.host, target.port);
    if (!target.proxy) {
        ConnectSocket(target, deadline);
        const int fd = socket.Get();
        if (ssh_options_set(ssh.get(), SSH_OPTIONS_FD, &fd) != 0)
            throw Error(Failure::Local, std::string("libssh: Einstellung abgelehnt (") +
                                            ssh_get_error(ssh.get()) + ").");
    }

    ssh_set_blocking(ssh.get(), 0);
    for (;;) {
        const int rc = ssh_connect(ssh.get());
        if (target.proxy && watchFd < 0 && ssh_get_fd(ssh.get()) >= 0)
            SetSocket(engine::UniqueFd(), ssh_get_fd(ssh.get()));  // the proxy's, libssh's own
        if (rc == SSH_OK)
            break;
        if (rc == SSH_ERROR) {
            ThrowIfStopped();
            // Dropped before it said a word: as good as refused, worth another attempt.
            if (!ssh_get_serverbanner(ssh.get()))
                throw Error(Failure::Refused, "");
            throw Error(Failure::Remote, "SSH-Verbindung zu " + displayHost + " gescheitert (" +
                                             ssh_get_error(ssh.get()) + ").");
        }
        if (Clock::now() >= deadline)
            throw Error(Failure::TimedOut, "");
        WaitSocket(deadline);
    }

    CheckHostKey(options);
    Authenticate(options, target, deadline);
    StartSftp();
}

void Session::State::StartSftp()
{
    // libssh's SFTP calls need a blocking session; the helper thread covers
    // them, and libssh's own timeout must not come before the request timeout.
    ssh_set_blocking(ssh.get(), 1);
    const long timeout =
        2 * static_cast<long>(std::chrono::ceil<std::chrono::seconds>(requestTimeout).count()) + 5;
    ssh_options_set(ssh.get(), SSH_OPTIONS_TIMEOUT, &timeout);
    const Waiting waiting(*this, Waits::Init);
    sftp.reset(sftp_new(ssh.get()));
    if (!sftp)
        Fail("SFTP auf " + displayHost + " nicht verfügbar");
    if (sftp_init(sftp.get()) != 0)
        Fail("SFTP auf " + displayHost + " nicht verfügbar");
}

void Session::State::CheckHostKey(const ConnectOptions &options)
{
    ssh_key raw = nullptr;
    if (ssh_get_server_publickey(ssh.get(), &raw) != SSH_OK)
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " nicht erhalten.");
    const KeyPtr key(raw);
    unsigned char *hash = nullptr;
    std::size_t hashLength = 0;
    if (ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength) != 0)
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " nicht lesbar.");
    const TextPtr text(ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength));
    ssh_clean_pubkey_hash(&hash);
    const std::string fingerprint = text ? text.get() : "?";
    const char *typeName = ssh_key_type_to_char(ssh_key_type(key.get()));
    const std::string shownKey = std::string(typeName ? typeName : "?") + " " + fingerprint;
    const std::filesystem::path file = options.sshHome / ".ssh" / "known_hosts";

    // libssh 0.10 does not know the marker; a revoked key never counts, whatever else is listed.
    if (IsRevoked(file, key.get()))
        throw Error(Failure::HostKey, "Der Schlüssel von " + displayHost + " (" + shownKey +
                                          ") ist in " + file.string() +
                                          " als widerrufen markiert. Verbindung abgelehnt.");
    switch (ssh_session_is_known_server(ssh.get())) {
    case SSH_KNOWN_HOSTS_OK:
        return;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
        throw Error(Failure::HostKey, "WARNUNG: Der Schlüssel von " + displayHost +
                                          " passt nicht zu dem Eintrag in " + file.string() +
                                          " (angeboten: " + shownKey + "). Verbindung abgelehnt.");
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
        throw Error(Failure::HostKey, "Unbekannter Rechner " + displayHost + ": sein Schlüssel " +
                                          shownKey + " steht nicht in " + file.string() +
                                          ". Verbindung abgelehnt.");
    case SSH_KNOWN_HOSTS_ERROR:
    default:
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " (" + shownKey +
                                          ") nicht prüfbar: " + ssh_get_error(ssh.get()) +
                                          ". Verbindung abgelehnt.");
    }
}

void Session::State::Authenticate(const ConnectOptions &options, const Target &target,
                                  Clock::time_point deadline)
{
    const std::string refused =
        "Anmeldung als " + target.user + " bei " + displayHost + " abgelehnt";
    // Each libssh call returns "again" until its answer is in.
    const auto await = [&](const auto &call) {
        for (;;) {
            const int rc = call();
            if (rc != SSH_AUTH_AGAIN) {
                if (rc == SSH_AUTH_ERROR) {
                    ThrowIfStopped();
                    throw Error(Failure::Authentication, "Anmeldung als " + target.user + " bei " +
                                                             displayHost + " gescheitert (" +
                                                             ssh_get_error(ssh.get()) + ").");
                }
                return rc;
            }
            if (Clock::now() >= deadline)
                throw Error(Failure::TimedOut, "");
            WaitSocket(deadline);
        }
    };

    if (!options.password.empty()) {
        if (await([&] {
                return ssh_userauth_password(ssh.get(), nullptr, options.password.c_str());
            }) == SSH_AUTH_SUCCESS)
            return;
        throw Error(Failure::Authentication, refused + " (Passwort).");
    }

    // As ssh_userauth_publickey_auto does, the agent first, then the identities;
    // but, as OpenSSH, none that others may read or write.
    if (const char *agent = std::getenv("SSH_AUTH_SOCK");
        agent && *agent &&
        await([&] { return ssh_userauth_agent(ssh.get(), nullptr); }) == SSH_AUTH_SUCCESS)
        return;
    std::optional<Identity> exposed;
    for (const Identity &identity : Identities(ssh.get(), options, target)) {
        if (!identity.usable) {
            if (!exposed)
                exposed = identity;
            continue;
        }
        ssh_key raw = nullptr;
        if (ssh_pki_import_privkey_file(identity.file.c_str(), nullptr, NoPassphrase, nullptr,
                                        &raw) != SSH_OK)
            continue;  // unreadable, or it needs a passphrase
        const KeyPtr key(raw);
        if (await([&] { return ssh_userauth_publickey(ssh.get(), nullptr, key.get()); }) ==
            SSH_AUTH_SUCCESS)
            return;
    }
    if (exposed) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(exposed->mode));
        throw Error(Failure::Authentication,
                    refused + ": Schlüssel " + exposed->file +
                        " nicht benutzt, da Gruppe oder andere ihn lesen oder schreiben dürfen "
                        "(Rechte " +
                        mode + ").");
    }
    throw Error(Failure::Authentication, refused + " (kein passender Schlüssel).");
}

Session::Session(Control control) : m_state(std::make_unique<State>(std::move(control))) {}

Session::~Session() = default;

std::unique_ptr<Session> Session::Open(const ConnectOptions &options, Control control)
{
    static const int initialized = ssh_init();  // once; libssh also does it on load
    (void)initialized;
    std::unique_ptr<Session> session(new Session(std::move(control)));
    State &state = *session->m_state;
    const State::Busy busy(state);
    state.Connect(options);
    return session;
}

std::string Session::RealPath(const std::string &path)
{
    State &state = *m_state;
    state.RequireOpen();
    const State::Busy busy(state);
    state.Settle();
    std::optional<std::string> resolved = state.Canonical(path);
    if (!resolved)
        state.Fail("Pfad " + path + " auf dem Server nicht auflösbar");
    state.ThrowIfStopped();
    return std::move(*resolved);
}

RemoteEntry Session::Stat(const std::string &path)
{
    State &state = *m_state;
    state.RequireOpen();
    const State::Busy busy(state);
    state.Settle();
    const State::Waiting waiting(state, Waits::Stat);
    const AttributesPtr attributes(sftp_stat(state.sftp.get(), path.c_str()));
    if (!attributes)
        state.Fail(path);
    state.ThrowIfStopped();
    return FromAttributes(attributes.get(), engine::SafeText(LastPart(path)));
}

std::vector<RemoteEntry> Session::List(const std::string &directory, const std::string &base)
{
    State &state = *m_state;
    state.RequireOpen();
    const State::Busy busy(state);
    state.Settle();
    const State::Waiting waiting(state, Waits::List);  // also while the directory closes
    const DirPtr dir(sftp_opendir(state.sftp.get(), directory.c_str()));
    if (!dir)
        state.Fail("Verzeichnis " + directory + " nicht lesbar");
    std::vector<RemoteEntry> entries;
    std::vector<std::pair<std::size_t, std::string>> links;  // where, and the name as served
    std::size_t read = 0;
    std::size_t nameBytes = 0;
    for (;;) {
        const AttributesPtr attributes(sftp_readdir(state.sftp.get(), dir.get()));
        state.Answered();
        if (!attributes) {
            if (sftp_dir_eof(dir.get()))
                break;
            state.Fail("Verzeichnis " + directory + " nicht lesbar");
        }
        const std::string name = attributes->name ? attributes->name : "";
        // An endless listing must not take all memory.
        const bool dots = name.empty() || name == "." || name == "..";
        if (++read > MaxEntries + 2 || (!dots && entries.size() == MaxEntries))
            state.Abandon("Verzeichnis zu groß: mehr als 100000 Einträge.");
        nameBytes += name.size();
        if (nameBytes > MaxNameBytes)
            state.Abandon("Verzeichnis zu groß: mehr als 64 MiB an Namen.");
        if (dots)
            continue;
        if (IsLink(attributes.get()))
            links.emplace_back(entries.size(), name);
        entries.push_back(FromAttributes(attributes.get(), engine::SafeText(name)));
        if (state.StopRequested())
            break;
    }
    state.ThrowIfStopped();
    const std::string prefix =
        directory.empty() || directory.back() == '/' ? directory : directory + "/";
    for (const auto &[index, name] : links) {
        // What the link points to, if that lies inside base; else the link as it is.
        const std::optional<std::string> real = state.Canonical(prefix + name);
        state.ThrowIfStopped();
        if (real && !PathInside(*real, base))
            continue;
        const State::Waiting statting(state, Waits::Stat);
        const AttributesPtr target(sftp_stat(state.sftp.get(), (prefix + name).c_str()));
        state.ThrowIfStopped();
        if (target) {
            entries[index] = FromAttributes(target.get(), entries[index].name);
        } else {
            state.ThrowIfBroken(ssh_get_error(state.ssh.get()));
            entries[index].size = 0;  // dangling: a file of size 0
        }
    }
    return entries;
}

uint64_t Session::Download(const std::string &path, const Sink &sink, const Progress &progress,
                           const std::string &name)
{
    State &state = *m_state;
    state.RequireOpen();
    const State::Busy busy(state);
    state.Settle();
    const std::string shown = name.empty() ? LastPart(path) : name;
    const State::Waiting closing(state, Waits::Close);  // the file closes on every way out
    FilePtr file;
    uint64_t size = 0;
    {
        const State::Waiting opening(state, Waits::Open);
        file.reset(sftp_open(state.sftp.get(), path.c_str(), O_RDONLY, 0));
        if (!file)
            state.Fail("Datei " + path + " nicht lesbar");
    }
    {
        const State::Waiting statting(state, Waits::Stat);
        const AttributesPtr attributes(sftp_fstat(file.get()));
        if (!attributes)
            state.Fail("Datei " + path + " nicht lesbar");
        if (attributes->flags & SSH_FILEXFER_ATTR_PERMISSIONS && S_ISDIR(attributes->permissions))
            throw Error(Failure::Remote, path + " ist ein Verzeichnis.");
        if (!(attributes->flags & SSH_FILEXFER_ATTR_SIZE))
            throw Error(Failure::Remote,
                        "Datei " + shown + " nicht lesbar: der Server nennt ihre Größe nicht.");
        size = attributes->size;
    }

    auto pipeline = std::make_unique<ReadPipeline>(
        state.sftp.get(), file->handle, shown,
        ReadPipeline::Hooks{[&state] { state.ThrowIfStopped(); },
                            [&state] { state.WaitSocket(Clock::now() + PollSlice); },
                            [&state] { state.Answered(); },
                            [&state, shown] { state.Fail("Lesen von " + shown + " gescheitert"); }},
        ReadSize, ReadsInFlight);
    uint64_t done = 0;
    {
        const State::Waiting reading(state, Waits::Read);
        try {
            done = pipeline->Read(size, sink, progress);
        } catch (const Error &e) {
            // Answers to our requests must never reach libssh. After a stop they
            // are collected, and the file closed, before the next request: an
            // abort does not wait for the server. Else they are collected now,
            // or the connection goes.
            if (e.failure() == Failure::Stopped && !state.Lost()) {
                state.unfinished = std::move(pipeline);
                state.unfinishedFile = std::move(file);
            } else {
                bool drained = false;
                try {
                    drained = e.failure() != Failure::ConnectionLost && !state.Lost() &&
                              pipeline->Drain(Clock::now() + state.requestTimeout);
                } catch (const Error &) {
                }
                if (!drained)
                    state.Drop();
            }
            throw;
        }
    }
    state.ThrowIfStopped();
    if (sftp_close(file.release()) != 0)
        state.Fail("Schließen von " + path + " gescheitert");
    return done;
}

void Session::Close()
{
    const State::Busy busy(*m_state);
    try {
        m_state->Settle();  // for a clean goodbye
    } catch (const Error &) {
    }
    m_state->CloseAll();
    m_state->lost = true;
}

bool Session::Lost() const
{
    return m_state->Lost();
}

const std::string &Session::DisplayHost() const
{
    return m_state->displayHost;
}

}  // namespace velmora::sftp

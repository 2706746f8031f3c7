#include "Session.h"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <pwd.h>
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
// After an abort, answers still on their way are collected this long, so they
// do not pile up in the session.
constexpr auto DrainTime = 50ms;

struct SshFree
{
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
using KeyPtr = std::unique_ptr<std::remove_pointer_t<ssh_key>, SshFree>;

struct AttributesFree
{
    void operator()(sftp_attributes attributes) const { sftp_attributes_free(attributes); }
};
using AttributesPtr = std::unique_ptr<std::remove_pointer_t<sftp_attributes>, AttributesFree>;

// The login name only; the home folder is never taken from here.
std::string LocalUser()
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name)
        return found->pw_name;
    for (const char *name : {"USER", "LOGNAME"})
        if (const char *value = std::getenv(name); value && *value)
            return value;
    return {};
}

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

std::string SftpStatusText(int status)
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

}  // namespace

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

    void SetSocket(int fd)
    {
        const std::lock_guard lock(mutex);
        socketFd = fd;
        watchFd = fd;
        cut = false;
    }

    void CloseSocket()
    {
        int fd = -1;
        {
            const std::lock_guard lock(mutex);
            fd = socketFd;
            socketFd = -1;
            watchFd = -1;
        }
        if (fd >= 0)
            ::close(fd);  // libssh leaves a socket it was handed open
    }

    bool WasCut()
    {
        const std::lock_guard lock(mutex);
        return cut;
    }

    void CloseAll()
    {
        if (sftp) {
            sftp_free(sftp);
            sftp = nullptr;
        }
        if (ssh) {
            // A server that hangs must not hold up the goodbye.
            ssh_set_blocking(ssh, 0);
            if (!lost)
                ssh_disconnect(ssh);
            ssh_free(ssh);
            ssh = nullptr;
        }
        CloseSocket();
    }

    // Waits until the socket has something for libssh, or a slice has passed.
    void WaitSocket(Clock::time_point deadline)
    {
        const int fd = ssh_get_fd(ssh);
        pollfd entry{fd, POLLIN, 0};
        if (ssh_get_poll_flags(ssh) & SSH_WRITE_PENDING)
            entry.events |= POLLOUT;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min<Clock::duration>(PollSlice, deadline - Clock::now()));
        ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        ThrowIfStopped();
    }

    // The error after a libssh call failed: the stop request, a lost
    // connection, or what the server said.
    [[noreturn]] void Fail(const std::string &what)
    {
        const std::string detail = ssh ? ssh_get_error(ssh) : "";
        const bool channelGone =
            sftp && sftp->channel &&
            (ssh_channel_is_closed(sftp->channel) || ssh_channel_is_eof(sftp->channel));
        if (WasCut() || !ssh || !ssh_is_connected(ssh) || channelGone)
            lost = true;
        ThrowIfStopped();
        if (lost) {
            throw Error(Failure::ConnectionLost,
                        "Verbindung zu " + displayHost + " unterbrochen" +
                            (detail.empty() ? std::string() : " (" + detail + ")") + ".");
        }
        const int status = sftp ? sftp_get_error(sftp) : SSH_FX_OK;
        if (status != SSH_FX_OK && status != SSH_FX_EOF)
            throw Error(Failure::Remote, what + ": " + SftpStatusText(status) + ".");
        throw Error(Failure::Remote,
                    what + (detail.empty() ? std::string(".") : " (" + detail + ")."));
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

    void Connect(const ConnectOptions &options);
    void Attempt(const ConnectOptions &options, const std::string &user);
    void ConnectSocket(const ConnectOptions &options, Clock::time_point deadline);
    void CheckHostKey(const ConnectOptions &options);
    void Authenticate(const ConnectOptions &options, const std::string &user,
                      Clock::time_point deadline);

    Control control;
    std::string displayHost;
    ssh_session ssh = nullptr;
    sftp_session sftp = nullptr;
    bool lost = false;

    std::mutex mutex;  // guards what the helper thread sees
    std::condition_variable cv;
    bool active = false;
    bool quit = false;
    bool cut = false;
    int socketFd = -1;
    int watchFd = -1;
    std::thread watchdog;
};

void Session::State::Connect(const ConnectOptions &options)
{
    displayHost = HostText(options.host, options.port);
    const std::string user = options.user.empty() ? LocalUser() : options.user;
    if (user.empty())
        throw Error(Failure::Local, "Kein Benutzername: lokaler Benutzer unbekannt.");
    const int attempts = std::max(0, options.retries) + 1;
    for (int attempt = 1;; ++attempt) {
        if (options.onAttempt)
            options.onAttempt(attempt);
        try {
            Attempt(options, user);
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

void Session::State::ConnectSocket(const ConnectOptions &options, Clock::time_point deadline)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(options.port);
    if (const int rc = getaddrinfo(options.host.c_str(), service.c_str(), &hints, &found); rc != 0)
        throw Error(Failure::Remote,
                    "Rechner " + options.host + " nicht gefunden (" + gai_strerror(rc) + ").");
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);

    Failure failure = Failure::Refused;
    int lastError = ECONNREFUSED;
    for (const addrinfo *address = found; address; address = address->ai_next) {
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     address->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        SetSocket(fd);
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

void Session::State::Attempt(const ConnectOptions &options, const std::string &user)
{
    const auto deadline = Clock::now() + options.attemptTimeout;
    ConnectSocket(options, deadline);

    ssh = ssh_new();
    if (!ssh)
        throw Error(Failure::Local, "libssh: keine Sitzung (Speicher?).");
    const std::string sshDir = (options.sshHome / ".ssh").string();
    const std::string knownHosts = (options.sshHome / ".ssh" / "known_hosts").string();
    int port = options.port;
    int fd = socketFd;
    int no = 0;
    int verbosity = SSH_LOG_NOLOG;
    long timeout = std::max<long>(
        1, static_cast<long>(
               std::chrono::duration_cast<std::chrono::seconds>(options.attemptTimeout).count()));
    const bool set = ssh_options_set(ssh, SSH_OPTIONS_LOG_VERBOSITY, &verbosity) == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_HOST, options.host.c_str()) == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_PORT, &port) == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_USER, user.c_str()) == 0 &&
                     // Never the home from the password database: the caller says where.
                     ssh_options_set(ssh, SSH_OPTIONS_SSH_DIR, sshDir.c_str()) == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str()) == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null") == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_PROCESS_CONFIG, &no) == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_TIMEOUT, &timeout) == 0 &&
                     ssh_options_set(ssh, SSH_OPTIONS_FD, &fd) == 0;
    if (!set)
        throw Error(Failure::Local,
                    std::string("libssh: Einstellung abgelehnt (") + ssh_get_error(ssh) + ").");

    ssh_set_blocking(ssh, 0);
    for (;;) {
        const int rc = ssh_connect(ssh);
        if (rc == SSH_OK)
            break;
        if (rc == SSH_ERROR) {
            ThrowIfStopped();
            throw Error(Failure::Remote, "SSH-Verbindung zu " + displayHost + " gescheitert (" +
                                             ssh_get_error(ssh) + ").");
        }
        if (Clock::now() >= deadline)
            throw Error(Failure::TimedOut, "");
        WaitSocket(deadline);
    }

    CheckHostKey(options);
    Authenticate(options, user, deadline);

    // libssh's SFTP calls need a blocking session; the helper thread covers them.
    ssh_set_blocking(ssh, 1);
    sftp = sftp_new(ssh);
    if (!sftp)
        Fail("SFTP auf " + displayHost + " nicht verfügbar");
    if (sftp_init(sftp) != 0)
        Fail("SFTP auf " + displayHost + " nicht verfügbar");
}

void Session::State::CheckHostKey(const ConnectOptions &options)
{
    ssh_key raw = nullptr;
    if (ssh_get_server_publickey(ssh, &raw) != SSH_OK)
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " nicht erhalten.");
    const KeyPtr key(raw);
    unsigned char *hash = nullptr;
    std::size_t hashLength = 0;
    if (ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength) != 0)
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " nicht lesbar.");
    char *text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength);
    ssh_clean_pubkey_hash(&hash);
    const std::string fingerprint = text ? text : "?";
    ssh_string_free_char(text);
    const char *typeName = ssh_key_type_to_char(ssh_key_type(key.get()));
    const std::string shownKey = std::string(typeName ? typeName : "?") + " " + fingerprint;
    const std::string file = (options.sshHome / ".ssh" / "known_hosts").string();

    switch (ssh_session_is_known_server(ssh)) {
    case SSH_KNOWN_HOSTS_OK:
        return;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
        throw Error(Failure::HostKey, "WARNUNG: Der Schlüssel von " + displayHost +
                                          " passt nicht zu dem Eintrag in " + file +
                                          " (angeboten: " + shownKey + "). Verbindung abgelehnt.");
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
        throw Error(Failure::HostKey, "Unbekannter Rechner " + displayHost + ": sein Schlüssel " +
                                          shownKey + " steht nicht in " + file +
                                          ". Verbindung abgelehnt.");
    case SSH_KNOWN_HOSTS_ERROR:
    default:
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " (" + shownKey +
                                          ") nicht prüfbar: " + ssh_get_error(ssh) +
                                          ". Verbindung abgelehnt.");
    }
}

void Session::State::Authenticate(const ConnectOptions &options, const std::string &user,
                                  Clock::time_point deadline)
{
    const bool password = !options.password.empty();
    for (;;) {
        const int rc = password ? ssh_userauth_password(ssh, nullptr, options.password.c_str())
                                : ssh_userauth_publickey_auto(ssh, nullptr, nullptr);
        switch (rc) {
        case SSH_AUTH_SUCCESS:
            return;
        case SSH_AUTH_AGAIN:
            if (Clock::now() >= deadline)
                throw Error(Failure::TimedOut, "");
            WaitSocket(deadline);
            continue;
        case SSH_AUTH_DENIED:
        case SSH_AUTH_PARTIAL:
            throw Error(Failure::Authentication,
                        "Anmeldung als " + user + " bei " + displayHost + " abgelehnt" +
                            (password ? " (Passwort)." : " (kein passender Schlüssel)."));
        default:
            ThrowIfStopped();
            throw Error(Failure::Authentication, "Anmeldung als " + user + " bei " + displayHost +
                                                     " gescheitert (" + ssh_get_error(ssh) + ").");
        }
    }
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
    char *resolved = sftp_canonicalize_path(state.sftp, path.c_str());
    if (!resolved)
        state.Fail("Pfad " + path + " auf dem Server nicht auflösbar");
    std::string out(resolved);
    ssh_string_free_char(resolved);
    state.ThrowIfStopped();
    return out;
}

RemoteEntry Session::Stat(const std::string &path)
{
    State &state = *m_state;
    state.RequireOpen();
    const State::Busy busy(state);
    const AttributesPtr attributes(sftp_stat(state.sftp, path.c_str()));
    if (!attributes)
        state.Fail(path);
    state.ThrowIfStopped();
    const auto slash = path.find_last_of('/');
    return FromAttributes(attributes.get(),
                          slash == std::string::npos ? path : path.substr(slash + 1));
}

std::vector<RemoteEntry> Session::List(const std::string &directory)
{
    State &state = *m_state;
    state.RequireOpen();
    const State::Busy busy(state);
    sftp_dir dir = sftp_opendir(state.sftp, directory.c_str());
    if (!dir)
        state.Fail("Verzeichnis " + directory + " nicht lesbar");
    std::vector<RemoteEntry> entries;
    std::vector<std::size_t> links;
    for (;;) {
        const AttributesPtr attributes(sftp_readdir(state.sftp, dir));
        if (!attributes) {
            if (sftp_dir_eof(dir))
                break;
            sftp_closedir(dir);
            state.Fail("Verzeichnis " + directory + " nicht lesbar");
        }
        const std::string name = attributes->name ? attributes->name : "";
        if (name.empty() || name == "." || name == "..")
            continue;
        if (IsLink(attributes.get()))
            links.push_back(entries.size());
        entries.push_back(FromAttributes(attributes.get(), name));
        if (state.StopRequested())
            break;
    }
    sftp_closedir(dir);
    state.ThrowIfStopped();
    const std::string prefix =
        directory.empty() || directory.back() == '/' ? directory : directory + "/";
    for (const std::size_t index : links) {
        // What the link points to; a dangling link stays a file of size 0.
        const AttributesPtr target(sftp_stat(state.sftp, (prefix + entries[index].name).c_str()));
        state.ThrowIfStopped();
        if (target)
            entries[index] = FromAttributes(target.get(), entries[index].name);
        else if (!ssh_is_connected(state.ssh))
            state.Fail("Verzeichnis " + directory + " nicht lesbar");
        else
            entries[index].size = 0;
    }
    return entries;
}

uint64_t Session::Download(const std::string &path, const Sink &sink, const Progress &progress)
{
    State &state = *m_state;
    state.RequireOpen();
    const State::Busy busy(state);
    sftp_file file = sftp_open(state.sftp, path.c_str(), O_RDONLY, 0);
    if (!file)
        state.Fail("Datei " + path + " nicht lesbar");
    struct Closer
    {
        sftp_file &file;
        ~Closer()
        {
            if (file)
                sftp_close(file);
        }
    } closer{file};

    uint64_t expected = UINT64_MAX;
    if (const AttributesPtr attributes(sftp_fstat(file)); attributes) {
        if (attributes->flags & SSH_FILEXFER_ATTR_PERMISSIONS && S_ISDIR(attributes->permissions))
            throw Error(Failure::Remote, path + " ist ein Verzeichnis.");
        if (attributes->flags & SSH_FILEXFER_ATTR_SIZE)
            expected = attributes->size;
    } else {
        state.Fail("Datei " + path + " nicht lesbar");
    }
    sftp_file_set_nonblocking(file);

    struct Request
    {
        uint32_t id;
        uint64_t offset;
        uint32_t length;
    };
    std::deque<Request> inFlight;
    std::vector<char> buffer(ReadSize);
    // Requests go out up to the expected end and one past it, which finds the
    // end of the file, or that it has grown.
    uint64_t requestLimit = expected;
    uint64_t next = 0;
    uint64_t done = 0;
    bool atEnd = false;

    const auto send = [&](uint64_t offset, uint32_t length, bool front) {
        sftp_seek64(file, offset);
        const int id = sftp_async_read_begin(file, length);
        if (id < 0)
            state.Fail("Lesen von " + path + " gescheitert");
        const Request request{static_cast<uint32_t>(id), offset, length};
        if (front)
            inFlight.push_front(request);
        else
            inFlight.push_back(request);
    };
    // Takes the answer of the oldest request; nullopt while it is still on its way.
    const auto receive = [&]() -> std::optional<int> {
        const Request &request = inFlight.front();
        sftp_seek64(file, request.offset);  // clears the end mark an earlier answer left
        const int rc = sftp_async_read(file, buffer.data(), request.length, request.id);
        if (rc == SSH_AGAIN)
            return std::nullopt;
        return rc;
    };

    try {
        for (;;) {
            while (!atEnd && inFlight.size() < ReadsInFlight && next <= requestLimit) {
                send(next, ReadSize, false);
                next += ReadSize;
            }
            if (inFlight.empty())
                break;
            state.ThrowIfStopped();
            const std::optional<int> rc = receive();
            if (!rc) {
                state.WaitSocket(Clock::now() + PollSlice);
                continue;
            }
            const Request request = inFlight.front();
            inFlight.pop_front();
            if (*rc < 0)
                state.Fail("Lesen von " + path + " gescheitert");
            if (atEnd)
                continue;  // an answer past the end; only collected
            if (*rc == 0) {
                atEnd = true;
                continue;
            }
            if (request.offset != done)
                throw Error(Failure::Remote,
                            "Lesen von " + path + " gescheitert: Antworten außer der Reihe.");
            const auto count = static_cast<uint32_t>(*rc);
            sink(buffer.data(), count);
            done += count;
            if (done > requestLimit || requestLimit == UINT64_MAX)
                requestLimit = done;     // grown, or no size given: keep asking
            if (count < request.length)  // a short answer: the rest comes first
                send(request.offset + count, request.length - count, true);
            if (progress)
                progress(done, expected);
        }
    } catch (const Error &e) {
        if (e.failure() == Failure::Stopped && !state.Lost()) {
            // Collect what is still coming for a moment, then close the handle.
            const auto until = Clock::now() + DrainTime;
            while (!inFlight.empty() && Clock::now() < until) {
                const std::optional<int> rc = receive();
                if (!rc) {
                    pollfd entry{ssh_get_fd(state.ssh), POLLIN, 0};
                    ::poll(&entry, 1, 10);
                    continue;
                }
                inFlight.pop_front();
                if (*rc < 0)
                    break;
            }
        }
        throw;  // the closer sends the close; on a dead line it fails at once
    }
    state.ThrowIfStopped();
    const int closed = sftp_close(file);
    file = nullptr;
    if (closed != 0)
        state.Fail("Schließen von " + path + " gescheitert");
    return done;
}

void Session::Close()
{
    const State::Busy busy(*m_state);
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

// Connecting: the socket, the SSH handshake, then (HostKey.cpp, Login.cpp)
// the host key and the login, and the start of SFTP; attempts again after a
// refused or timed-out connection.

#include "SessionState.h"
#include "SshSetup.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace velmora::sftp {

void Session::State::Connect(const ConnectOptions &options)
{
    displayHost = engine::HostText(options.host, options.port > 0 ? options.port : 22, 22);
    watchdog.SetRequestTimeout(options.requestTimeout);
    engine::WithRetries(
        options.retries, options.retryPause, options.onAttempt, control(),
        [&] {
            try {
                Attempt(options);
            } catch (const Error &) {
                CloseAll();
                throw;
            }
        },
        [this] { return displayHost; });
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
                    if (control().StopRequested()) {
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
    displayHost = engine::HostText(options.host, target.port, 22);
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
        if (target.proxy && watched < 0 && ssh_get_fd(ssh.get()) >= 0)
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

    CheckHostKey(target);
    Authenticate(options, target, deadline);
    StartSftp();
}

void Session::State::StartSftp()
{
    // libssh's SFTP calls need a blocking session; the watchdog covers them,
    // counting silence from the last byte received, so a slow but steady
    // answer may take as long as it takes. libssh's own timeout, which counts
    // from the start of a call, is only a backstop.
    ssh_set_blocking(ssh.get(), 1);
    const long timeout = 3600;
    ssh_options_set(ssh.get(), SSH_OPTIONS_TIMEOUT, &timeout);
    const Waiting waiting(watchdog, Waits::Init);
    sftp.reset(sftp_new(ssh.get()));
    if (!sftp)
        Fail("SFTP auf " + displayHost + " nicht verfügbar");
    if (sftp_init(sftp.get()) != 0)
        Fail("SFTP auf " + displayHost + " nicht verfügbar");
}

engine::Protocol Protocol()
{
    return {{"sftp"}, [](const engine::DialRequest &request, Control control) {
                ConnectOptions options;
                options.host = request.entry.host;
                options.port = request.entry.portGiven ? request.entry.port : 0;
                options.user = request.user.empty() ? request.entry.user : request.user;
                options.password = request.password;
                options.sshHome = request.home;
                options.retries = request.retries;
                options.attemptTimeout = request.attemptTimeout;
                options.requestTimeout = request.requestTimeout;
                options.retryPause = request.retryPause;
                options.onAttempt = request.onAttempt;
                return std::unique_ptr<engine::Connection>(
                    Session::Open(options, std::move(control)));
            }};
}

}  // namespace velmora::sftp

// The session's own: the state every part shares, how a failed libssh call
// becomes an error, paths and attributes, and the goodbye.

#include "SessionState.h"

#include "SafeText.h"

#include <algorithm>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace velmora::sftp {

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

void Session::State::SetSocket(engine::UniqueFd own, int watchedFd)
{
    watchdog.Reset();
    socket = std::move(own);
    watched = socket ? socket.Get() : watchedFd;
    if (watched >= 0)
        watchdog.Watch(watched);
}

void Session::State::CloseSocket()
{
    if (watched >= 0)
        watchdog.Forget(watched);
    watched = -1;
    // libssh leaves a socket it was handed open; closing here closes it.
    socket = engine::UniqueFd();
}

void Session::State::Drop()
{
    lost = true;
    watchdog.Cut();
}

void Session::State::CloseAll()
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

void Session::State::WaitSocket(Clock::time_point until)
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

void Session::State::ThrowIfBroken(const std::string &detail)
{
    const bool channelGone =
        sftp && sftp->channel &&
        (ssh_channel_is_closed(sftp->channel) || ssh_channel_is_eof(sftp->channel));
    if (watchdog.WasCut() || !ssh || !ssh_is_connected(ssh.get()) || channelGone)
        lost = true;
    ThrowIfStopped();
    if (const char *late = watchdog.Overdue()) {
        Drop();  // libssh may have given up first
        throw Error(Failure::ConnectionLost, watchdog.TimeoutText(displayHost, late));
    }
    if (lost) {
        throw Error(Failure::ConnectionLost,
                    "Verbindung zu " + displayHost + " unterbrochen" +
                        (detail.empty() ? std::string() : " (" + detail + ")") + ".");
    }  // libssh could not make sense of what came: the stream is out of step,
    // nothing after it can be trusted.
    if (ssh && ssh_get_error_code(ssh.get()) == SSH_FATAL)
        Abandon("Verbindung zu " + displayHost + " getrennt: ungültige Antwort des Servers.");
}

void Session::State::Fail(const std::string &what)
{
    const std::string detail = ssh ? ssh_get_error(ssh.get()) : "";
    ThrowIfBroken(detail);
    const int status = sftp ? sftp_get_error(sftp.get()) : SSH_FX_OK;
    if (status != SSH_FX_OK && status != SSH_FX_EOF)
        throw Error(Failure::Remote,
                    what + ": " + SftpStatusText(static_cast<uint32_t>(status)) + ".");
    throw Error(Failure::Remote, what + (detail.empty() ? std::string(".") : " (" + detail + ")."));
}

void Session::State::Abandon(const std::string &text)
{
    Drop();
    throw Error(Failure::ConnectionLost, text);
}

bool Session::State::Lost()
{
    if (watchdog.WasCut())
        lost = true;
    return lost;
}

void Session::State::RequireOpen()
{
    if (!sftp || Lost())
        throw Error(Failure::ConnectionLost, "Keine Verbindung zu " + displayHost + " mehr.");
}

std::optional<std::string> Session::State::Canonical(const std::string &path)
{
    const Waiting waiting(watchdog, Waits::RealPath);
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

void Session::State::Settle()
{
    if (!unfinished)
        return;
    try {
        {
            const Waiting waiting(watchdog, Waits::Read);
            while (!unfinished->Drain(Clock::now() + PollSlice))
                ThrowIfStopped();
        }
        unfinished.reset();
        const Waiting waiting(watchdog, Waits::Close);
        unfinishedFile.reset();
    } catch (const Error &e) {
        if (e.failure() != Failure::Stopped)
            Drop();
        throw;
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
    const Busy busy(state.watchdog);
    state.Connect(options);
    return session;
}

std::string Session::RealPath(const std::string &path)
{
    State &state = *m_state;
    state.RequireOpen();
    const Busy busy(state.watchdog);
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
    const Busy busy(state.watchdog);
    state.Settle();
    const Waiting waiting(state.watchdog, Waits::Stat);
    const AttributesPtr attributes(sftp_stat(state.sftp.get(), path.c_str()));
    if (!attributes)
        state.Fail(path);
    state.ThrowIfStopped();
    return FromAttributes(attributes.get(), engine::SafeText(engine::LastPart(path)));
}

void Session::Close()
{
    const Busy busy(m_state->watchdog);
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

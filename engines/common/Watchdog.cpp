#include "Watchdog.h"

#include <algorithm>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace velmora::engine {

namespace {

// What the kernel has received on a TCP socket; 0 for anything else (a
// proxy command's pipe), where only Answered() counts.
uint64_t Received(int fd)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return 0;
    return info.tcpi_bytes_received;
}

}  // namespace

Watchdog::Watchdog(Control control) : m_control(std::move(control))
{
    m_thread = std::thread([this] { Run(); });
}

Watchdog::~Watchdog()
{
    {
        const std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

void Watchdog::SetRequestTimeout(std::chrono::milliseconds timeout)
{
    const std::lock_guard lock(m_mutex);
    m_timeout = timeout;
}

std::chrono::milliseconds Watchdog::RequestTimeout() const
{
    const std::lock_guard lock(m_mutex);
    return m_timeout;
}

void Watchdog::Watch(int fd)
{
    const std::lock_guard lock(m_mutex);
    if (std::none_of(m_sockets.begin(), m_sockets.end(),
                     [fd](const Socket &socket) { return socket.fd == fd; }))
        m_sockets.push_back({fd, Received(fd)});
}

void Watchdog::Forget(int fd)
{
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_sockets, [fd](const Socket &socket) { return socket.fd == fd; });
}

void Watchdog::Reset()
{
    const std::lock_guard lock(m_mutex);
    m_sockets.clear();
    m_cut = false;
    m_timedOut = nullptr;
}

Watchdog::Busy::Busy(Watchdog &watchdog) : m_watchdog(watchdog)
{
    {
        const std::lock_guard lock(m_watchdog.m_mutex);
        m_watchdog.m_active = true;
    }
    m_watchdog.m_cv.notify_all();
}

Watchdog::Busy::~Busy()
{
    const std::lock_guard lock(m_watchdog.m_mutex);
    m_watchdog.m_active = false;
}

Watchdog::Waiting::Waiting(Watchdog &watchdog, const char *what) : m_watchdog(watchdog)
{
    const std::lock_guard lock(m_watchdog.m_mutex);
    m_previous = m_watchdog.m_waitingFor;
    m_watchdog.m_waitingFor = what;
    m_watchdog.m_deadline = Clock::now() + m_watchdog.m_timeout;
}

Watchdog::Waiting::~Waiting()
{
    const std::lock_guard lock(m_watchdog.m_mutex);
    m_watchdog.m_waitingFor = m_previous;
    m_watchdog.m_deadline = Clock::now() + m_watchdog.m_timeout;
}

void Watchdog::Answered()
{
    const std::lock_guard lock(m_mutex);
    m_deadline = Clock::now() + m_timeout;
}

void Watchdog::Cut()
{
    const std::lock_guard lock(m_mutex);
    CutLocked();
}

bool Watchdog::WasCut() const
{
    const std::lock_guard lock(m_mutex);
    return m_cut;
}

const char *Watchdog::Overdue() const
{
    const std::lock_guard lock(m_mutex);
    if (m_timedOut)
        return m_timedOut;
    return m_waitingFor && Clock::now() >= m_deadline ? m_waitingFor : nullptr;
}

std::string Watchdog::TimeoutText(const std::string &host, const char *what) const
{
    const auto seconds = (RequestTimeout().count() + 999) / 1000;
    return "Zeitüberschreitung: " + host + " antwortet nicht (" + what + ", " +
           std::to_string(seconds) + " s). Verbindung getrennt.";
}

void Watchdog::CutLocked()
{
    if (m_cut || m_sockets.empty())
        return;
    for (const Socket &socket : m_sockets)
        ::shutdown(socket.fd, SHUT_RDWR);
    m_cut = true;
}

bool Watchdog::HeardFromLocked()
{
    bool heard = false;
    for (Socket &socket : m_sockets) {
        const uint64_t received = Received(socket.fd);
        heard = heard || received > socket.received;
        socket.received = std::max(socket.received, received);
    }
    return heard;
}

void Watchdog::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_quit || m_active; });
        if (m_quit)
            return;
        bool stopping = false;
        Clock::time_point stopSeen{};
        auto lastAlive = Clock::now();
        while (m_active && !m_quit) {
            m_cv.wait_for(lock, Tick);
            if (!m_active || m_quit)
                break;
            lock.unlock();
            // The owner's callbacks run without our lock: they take locks of their own.
            const bool stop = m_control.StopRequested();
            const auto now = Clock::now();
            if (now - lastAlive >= AliveInterval && m_control.alive) {
                m_control.alive();
                lastAlive = now;
            }
            lock.lock();
            if (HeardFromLocked())
                m_deadline = Clock::now() + m_timeout;
            if (m_waitingFor && Clock::now() >= m_deadline && m_active && !m_cut &&
                !m_sockets.empty()) {
                // The server leaves a request unanswered: it is of no use any more.
                CutLocked();
                m_timedOut = m_waitingFor;
            }
            if (!stop) {
                stopping = false;
                continue;
            }
            if (!stopping) {
                stopping = true;
                stopSeen = now;
            } else if (now - stopSeen >= StopGrace && m_active) {
                // The call sits in a library and does not look at the stop
                // request: take the connection away from under it.
                CutLocked();
            }
        }
    }
}

}  // namespace velmora::engine

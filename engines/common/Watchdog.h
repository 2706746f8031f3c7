#pragma once

// The helper thread every real connection has: it watches the calls that
// block in a library (libssh, libcurl's TLS handshakes) and takes the
// connection away from under them when they must not go on.
//
// - A stop request: a call that has not come back StopGrace after it is cut
//   off, its sockets shut down; it then fails and the connection is lost.
// - Silence: once a request is on its way (Waiting), the server must send
//   something within the request timeout, counted from the last byte received
//   on any watched socket (the kernel's count, so a slow but steady link never
//   times out) or from the last Answered(). A server silent that long is cut
//   off the same way.
// - While a call runs (Busy), control.alive() is called every 100 ms.

#include "Connection.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::engine {

class Watchdog
{
public:
    using Clock = std::chrono::steady_clock;

    // Together they keep an abort well inside 250 ms.
    static constexpr std::chrono::milliseconds Tick{40};
    static constexpr std::chrono::milliseconds StopGrace{80};
    static constexpr std::chrono::milliseconds AliveInterval{100};

    explicit Watchdog(Control control);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    [[nodiscard]] const Control &control() const { return m_control; }
    void SetRequestTimeout(std::chrono::milliseconds timeout);
    [[nodiscard]] std::chrono::milliseconds RequestTimeout() const;

    // Sockets whose bytes count as signs of life and that a cut shuts down.
    // Forget a socket before it is closed, so its number is never touched again.
    void Watch(int fd);
    void Forget(int fd);
    // A fresh connection: forgets the sockets and that they were cut.
    void Reset();

    // The span in which calls of the owner's thread are watched.
    class Busy
    {
    public:
        explicit Busy(Watchdog &watchdog);
        ~Busy();
        Busy(const Busy &) = delete;
        Busy &operator=(const Busy &) = delete;

    private:
        Watchdog &m_watchdog;
    };

    // A request on its way; what names it in the timeout's text. Nested, the
    // inner one counts until it ends, then the outer one starts afresh.
    class Waiting
    {
    public:
        Waiting(Watchdog &watchdog, const char *what);
        ~Waiting();
        Waiting(const Waiting &) = delete;
        Waiting &operator=(const Waiting &) = delete;

    private:
        Watchdog &m_watchdog;
        const char *m_previous = nullptr;
    };

    // An answer came: the silence starts again.
    void Answered();
    // Shuts the sockets down now: a server that broke the rules.
    void Cut();
    [[nodiscard]] bool WasCut() const;
    // The request the server left unanswered too long, if any.
    [[nodiscard]] const char *Overdue() const;
    // "Zeitüberschreitung: HOST antwortet nicht (WHAT, N s). Verbindung getrennt."
    [[nodiscard]] std::string TimeoutText(const std::string &host, const char *what) const;

private:
    struct Socket
    {
        int fd;
        uint64_t received;
    };

    void Run();
    void CutLocked();
    bool HeardFromLocked();

    Control m_control;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::chrono::milliseconds m_timeout{15'000};
    std::vector<Socket> m_sockets;
    bool m_active = false;
    bool m_quit = false;
    bool m_cut = false;
    const char *m_waitingFor = nullptr;
    Clock::time_point m_deadline{};
    const char *m_timedOut = nullptr;
    std::thread m_thread;  // last: started when the rest is ready
};

}  // namespace velmora::engine

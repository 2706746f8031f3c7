// velmora-linkproxy: a loopback TCP proxy that plays a slow link, for the
// tests and the benchmarks (these machines have no netem).
//
//   velmora-linkproxy [--listen PORT] [--delay MS] [--rate MIBS] [--queue MIB]
//                     [--stats MS] TARGET_PORT
//
// Forwards every connection to 127.0.0.1:TARGET_PORT. Each direction holds
// its bytes MS milliseconds (a round trip of 2*MS) and, with --rate, carries
// at most MIBS MiB/s, as a link with a queue in front of it. A direction holds
// at most --queue MiB (default: what the link holds at its rate over the
// delay, plus 4 MiB; without a rate 64 MiB) and stops reading when full, so a
// sender is held back as by a real link. End of data and resets pass on after
// the delay. Prints the port it listens on (--listen, else a free one), then
// serves until killed or its parent ends. --stats: every MS, a line on stderr with both
// directions' rates and the bytes on their way from the server.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr std::size_t ReadSize = 256 * 1024;
// Reads in a row from one socket, so pieces falling due elsewhere are not held up.
constexpr int ReadBurst = 8;

struct Options
{
    int listenPort = 0;
    int targetPort = 0;
    Clock::duration delay{};
    double rate = 0.0;  // bytes per second; 0: no cap
    std::size_t queue = 0;
    Clock::duration stats{};
};

// A piece of what one side sent, due at the other side at `due`; an empty
// piece stands for the end of the data, or for a reset.
struct Piece
{
    Clock::time_point due;
    std::vector<char> data;
    std::size_t sent = 0;
    bool reset = false;
};

struct Direction
{
    int from = -1;
    int to = -1;
    std::deque<Piece> pieces;
    std::size_t queued = 0;
    Clock::time_point linkFree{};  // when the link has carried what it was given
    bool readable = true;          // edge-triggered: until a read says "again"
    bool writable = true;
    bool ended = false;   // no more to read
    bool closed = false;  // end of data passed on
};

struct Connection;

// What an epoll event points at: the listener (no connection), or one side.
struct Endpoint
{
    Connection *connection = nullptr;
    int side = 0;  // 0: the client's socket, 1: the server's
};

struct Connection
{
    int fd[2] = {-1, -1};
    Endpoint ends[2];
    Direction way[2];  // 0: client to server, 1: server to client
    bool connected = false;
    bool dead = false;
};

Options options;
int poller = -1;
std::vector<std::unique_ptr<Connection>> connections;
char scratch[ReadSize];
uint64_t carried[2] = {0, 0};  // by all connections, up and down

[[noreturn]] void Usage(const char *error)
{
    std::fprintf(stderr,
                 "velmora-linkproxy: %s\nusage: velmora-linkproxy [--listen PORT] [--delay MS] "
                 "[--rate MIBS] [--queue MIB] [--stats MS] TARGET_PORT\n",
                 error);
    std::exit(2);
}

double Number(int argc, char **argv, int &i)
{
    if (i + 1 >= argc)
        Usage("a value is missing");
    char *end = nullptr;
    const double value = std::strtod(argv[++i], &end);
    if (*end != '\0' || !(value >= 0.0))
        Usage("not a number");
    return value;
}

Clock::duration Millis(double ms)
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

void Parse(int argc, char **argv)
{
    double queueMib = -1.0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--listen")
            options.listenPort = static_cast<int>(Number(argc, argv, i));
        else if (arg == "--delay")
            options.delay = Millis(Number(argc, argv, i));
        else if (arg == "--rate")
            options.rate = Number(argc, argv, i) * 1024 * 1024;
        else if (arg == "--queue")
            queueMib = Number(argc, argv, i);
        else if (arg == "--stats")
            options.stats = Millis(Number(argc, argv, i));
        else if (arg.starts_with("-") || options.targetPort)
            Usage(("unknown argument " + arg).c_str());
        else
            options.targetPort = std::atoi(arg.c_str());
    }
    if (options.targetPort <= 0 || options.targetPort > 65535 || options.listenPort > 65535)
        Usage("no target port");
    if (queueMib >= 0.0)
        options.queue = static_cast<std::size_t>(queueMib * 1024 * 1024);
    else if (options.rate > 0.0)
        options.queue =
            static_cast<std::size_t>(options.rate * Seconds(options.delay).count()) + (4 << 20);
    else
        options.queue = 64 << 20;
    options.queue = std::max(options.queue, ReadSize);
}

void Watch(int fd, Endpoint *endpoint)
{
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.ptr = endpoint;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
}

// Ends the connection; with reset, both sides see a reset rather than an end.
void Drop(Connection &c, bool reset)
{
    if (c.dead)
        return;
    c.dead = true;
    for (int &fd : c.fd) {
        if (fd < 0)
            continue;
        if (reset) {
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::close(fd);  // also leaves the epoll set
        fd = -1;
    }
}

bool CanRead(const Connection &c, const Direction &d)
{
    // Nothing comes from the server before the connection stands.
    return !c.dead && d.readable && !d.ended && d.queued < options.queue &&
           (c.connected || &d == &c.way[0]);
}

void Read(Connection &c, Direction &d)
{
    for (int burst = 0; burst < ReadBurst && CanRead(c, d); ++burst) {
        const std::size_t room = std::min(sizeof scratch, options.queue - d.queued);
        const ssize_t n = ::recv(d.from, scratch, room, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            d.readable = false;
            return;
        }
        const auto now = Clock::now();
        Piece piece;
        if (n > 0) {
            piece.data.assign(scratch, scratch + n);
            auto start = std::max(now, d.linkFree);
            if (options.rate > 0.0)
                start +=
                    std::chrono::duration_cast<Clock::duration>(Seconds(double(n) / options.rate));
            d.linkFree = start;
            piece.due = start + options.delay;
            d.queued += std::size_t(n);
        } else {
            // The end, or a reset, comes after what was sent before it.
            piece.due = std::max(now, d.linkFree) + options.delay;
            piece.reset = n < 0;
            d.ended = true;
        }
        d.pieces.push_back(std::move(piece));
    }
}

void Write(Connection &c, Direction &d, Clock::time_point now)
{
    while (!c.dead && c.connected && d.writable && !d.pieces.empty() &&
           d.pieces.front().due <= now) {
        Piece &piece = d.pieces.front();
        if (piece.data.empty()) {
            if (piece.reset) {
                Drop(c, true);
                return;
            }
            ::shutdown(d.to, SHUT_WR);
            d.closed = true;
            d.pieces.pop_front();
            continue;
        }
        const ssize_t n = ::send(d.to, piece.data.data() + piece.sent,
                                 piece.data.size() - piece.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            d.writable = false;
            return;
        }
        if (n < 0) {  // the receiver is gone: so is the sender's way to it
            Drop(c, true);
            return;
        }
        piece.sent += std::size_t(n);
        carried[&d == &c.way[1]] += uint64_t(n);
        if (piece.sent == piece.data.size()) {
            d.queued -= piece.data.size();
            d.pieces.pop_front();
        }
    }
}

void Pump(Connection &c)
{
    const auto now = Clock::now();
    for (Direction &d : c.way) {
        Read(c, d);
        Write(c, d, now);
        Read(c, d);  // room again after the writes
    }
    if (c.dead)
        return;
    if (c.way[0].closed && c.way[1].closed)
        Drop(c, false);
}

void Accept(int listener)
{
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            return;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(options.targetPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (server < 0 ||
            (::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
             errno != EINPROGRESS)) {
            const linger abort{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            ::close(client);
            if (server >= 0)
                ::close(server);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd[0] = client;
        c->fd[1] = server;
        for (int side = 0; side < 2; ++side) {
            const int one = 1;
            ::setsockopt(c->fd[side], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            c->way[side].from = c->fd[side];
            c->way[side].to = c->fd[1 - side];
            c->ends[side] = {c.get(), side};
            Watch(c->fd[side], &c->ends[side]);
        }
        connections.push_back(std::move(c));
    }
}

void Event(const Endpoint &end, uint32_t events)
{
    Connection &c = *end.connection;
    if (c.dead)
        return;
    if (end.side == 1 && !c.connected && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(c.fd[1], SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            Drop(c, true);
            return;
        }
        c.connected = true;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        c.way[end.side].readable = true;
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))
        c.way[1 - end.side].writable = true;
    Pump(c);
}

// How long until the next piece falls due, in whole milliseconds; -1: none waits.
int NextTimeout(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();
    for (const auto &c : connections)
        for (const Direction &d : c->way) {
            if (CanRead(*c, d))
                return 0;  // a burst left something to read
            if (!c->dead && c->connected && d.writable && !d.pieces.empty())
                next = std::min(next, d.pieces.front().due);
        }
    if (options.stats.count() > 0)
        next = std::min(next, now + options.stats);
    if (next == Clock::time_point::max())
        return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<int64_t>(ms, 0, 60'000));
}

// Both directions' rates since the last line, and the bytes on their way from
// the server: on average over the interval and at most.
class Stats
{
public:
    void Sample(Clock::time_point now)
    {
        std::size_t down = 0;
        for (const auto &c : connections)
            down += c->way[1].queued;
        m_weighted += double(m_down) * Seconds(now - m_sampled).count();
        m_down = down;
        m_sampled = now;
        m_max = std::max(m_max, down);
        if (now - m_lineStart < options.stats)
            return;
        const double span = Seconds(now - m_lineStart).count();
        std::fprintf(stderr,
                     "%8.3f s  up %7.2f MiB/s  down %7.2f MiB/s  on the way down: avg %6.0f KiB, "
                     "max %6.0f KiB\n",
                     Seconds(now - m_begin).count(),
                     double(carried[0] - m_carried[0]) / span / 1048576.0,
                     double(carried[1] - m_carried[1]) / span / 1048576.0,
                     m_weighted / span / 1024.0, double(m_max) / 1024.0);
        std::copy(carried, carried + 2, m_carried);
        m_weighted = 0.0;
        m_max = down;
        m_lineStart = now;
    }

private:
    Clock::time_point m_begin = Clock::now();
    Clock::time_point m_lineStart = m_begin;
    Clock::time_point m_sampled = m_begin;
    std::size_t m_down = 0;
    std::size_t m_max = 0;
    double m_weighted = 0.0;
    uint64_t m_carried[2] = {0, 0};
};

}  // namespace

int main(int argc, char **argv)
{
    Parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that crashed leaves no proxy behind
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.listenPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(listener, 128) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("velmora-linkproxy: listen");
        return 1;
    }
    poller = ::epoll_create1(EPOLL_CLOEXEC);
    Endpoint listening;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &listening;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    Stats stats;
    epoll_event events[64];
    for (;;) {
        const int count = ::epoll_wait(poller, events, 64, NextTimeout(Clock::now()));
        if (count < 0 && errno != EINTR) {
            std::perror("velmora-linkproxy: epoll_wait");
            return 1;
        }
        for (int i = 0; i < count; ++i) {
            const auto *end = static_cast<const Endpoint *>(events[i].data.ptr);
            if (!end->connection)
                Accept(listener);
            else
                Event(*end, events[i].events);
        }
        // Pieces fall due without an event.
        for (const auto &c : connections)
            if (!c->dead)
                Pump(*c);
        if (options.stats.count() > 0)
            stats.Sample(Clock::now());
        std::erase_if(connections, [](const std::unique_ptr<Connection> &c) { return c->dead; });
    }
}

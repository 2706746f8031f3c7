#pragma once

// Reads one open file of a known size, many READ requests in flight.
//
// The requests are written and their answers read on the SFTP channel here,
// not through libssh's sftp_async_read: libssh 0.10 reads the socket before it
// looks in its own queue of answers already arrived, so an answer waiting in
// that queue is never handed out while the socket stays quiet, and the
// download hangs. Here every answer is taken as it comes and matched to its
// request by id, in any order. The ids are drawn from libssh's own counter, so
// they never meet one of its requests; all of them must be answered here
// (Drain) before libssh reads the channel again.
//
// The size the server gave at open is the contract: exactly that many bytes
// are asked for, a short answer is continued where it stopped, nothing past
// the size is asked for or written, and end-of-file before it is an error.
// Answers ahead of the next byte to write wait in memory, at most one window
// of requests.
//
// That window starts at inFlight reads and, as TCP's slow start, grows by
// what each answer brings while answers come back about as fast as the
// quickest did: up to about twice what the link carries in a round trip, at
// most Session::MaxBytesInFlight. A distant server so gets enough requests to
// keep the link full.
//
// libssh 0.10 keeps the SSH channel's own window between 640000 and 1280000
// bytes: it tops it up to 1280000 once it has fallen under 640000, and a read
// that asks for no more than libssh holds, as ssh_channel_read_nonblocking
// does, never grows it. Far from the server each top-up waits a round trip for
// the data it lets come, so about 640 KB arrive per round trip, however many
// reads are on their way. Here the channel's window is kept at twice the
// window of requests, topped up as answers are taken.

#include "Session.h"

#include <libssh/sftp.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace velmora::sftp {

class ReadPipeline
{
public:
    struct Hooks
    {
        std::function<void()> goOn;      // throws when stopped
        std::function<void()> wait;      // waits a moment for the socket; throws when stopped
        std::function<void()> answered;  // an answer came in
        std::function<void()> broken;    // throws the error of a channel that failed
    };

    // name only goes into error texts.
    ReadPipeline(sftp_session sftp, ssh_string handle, std::string name, Hooks hooks,
                 uint32_t readSize, std::size_t inFlight);

    // Returns size, or throws Error: Failure::Remote for an error status or an
    // end before size, Failure::ConnectionLost for an answer that breaks the
    // protocol, or what the hooks and the sink throw.
    uint64_t Read(uint64_t size, const Session::Sink &sink, const Session::Progress &progress);

    // After Read threw: collects the answers still on their way until none is
    // left (true) or the time is up (false). Throws as Read does when the
    // channel fails or an answer breaks the protocol.
    bool Drain(std::chrono::steady_clock::time_point until);

private:
    using Clock = std::chrono::steady_clock;

    struct Request
    {
        uint64_t offset;
        uint32_t length;
        Clock::time_point sent{};
    };

    void Send();
    bool Receive(const Session::Sink *sink, const Session::Progress *progress);
    int ReadChannel(char *to, std::size_t room);
    void Measure(const Request &request, uint32_t length);
    void Take(uint8_t type, uint32_t id, const char *body, uint32_t length,
              const Session::Sink *sink, const Session::Progress *progress);
    void Deliver(uint64_t offset, const char *data, std::size_t size, const Session::Sink &sink);
    void EndAt(uint64_t end);
    [[noreturn]] void Invalid() const;

    sftp_session m_sftp;
    ssh_string m_handle;
    std::string m_name;
    Hooks m_hooks;
    uint32_t m_chunk;
    uint64_t m_window;  // bytes asked for ahead of the next byte to write
    Clock::duration m_minRoundTrip = Clock::duration::max();  // of a request and its answer
    uint64_t m_taken = 0;  // read from the channel since its window was topped up

    std::map<uint32_t, Request> m_inFlight;         // by id
    std::deque<Request> m_rest;                     // the rest of short answers, sent first
    std::map<uint64_t, std::vector<char>> m_early;  // answers ahead of m_done
    std::vector<char> m_in;                         // bytes read from the channel
    std::size_t m_begin = 0;                        // of those not yet taken
    std::size_t m_filled = 0;
    uint64_t m_size = 0;
    uint64_t m_end = 0;  // the size, or where the server said end-of-file
    uint64_t m_next = 0;
    uint64_t m_done = 0;
};

}  // namespace velmora::sftp

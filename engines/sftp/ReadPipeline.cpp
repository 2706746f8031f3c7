#include "ReadPipeline.h"

#include "ExactSize.h"

#include <libssh/libssh.h>

#include <algorithm>
#include <poll.h>

namespace velmora::sftp {

namespace {

// A status answer carries a code and a short message; more is not an answer.
constexpr uint32_t MaxStatusLength = 64 * 1024;
// A server that caps its answers at this much or more gets requests of that
// size, so its answers are no longer cut short.
constexpr uint32_t MinChunk = 16 * 1024;

uint32_t Get32(const char *p)
{
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

void Put32(std::vector<char> &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(value >> shift));
}

}  // namespace

ReadPipeline::ReadPipeline(sftp_session sftp, ssh_string handle, std::string name, Hooks hooks,
                           uint32_t readSize, std::size_t inFlight)
    : m_sftp(sftp), m_handle(handle), m_name(std::move(name)), m_hooks(std::move(hooks)),
      m_chunk(readSize), m_window(uint64_t(inFlight) * readSize),
      m_taken(m_window),  // enough for the first read to top the channel's window up
      m_in(std::max<std::size_t>(1 << 20, readSize + MaxStatusLength + 64))
{}

uint64_t ReadPipeline::Read(uint64_t size, const Session::Sink &sink,
                            const Session::Progress &progress)
{
    m_size = m_end = size;
    while (m_done < m_end) {
        m_hooks.goOn();
        Send();
        if (!Receive(&sink, &progress))
            m_hooks.wait();
    }
    if (m_end < m_size)
        throw Error(Failure::Remote, engine::ExactSize::IncompleteText(m_name, m_done, m_size));
    return m_done;
}

bool ReadPipeline::Drain(Clock::time_point until)
{
    m_rest.clear();
    while (!m_inFlight.empty()) {
        if (Clock::now() >= until)
            return false;
        if (!Receive(nullptr, nullptr)) {
            pollfd entry{ssh_get_fd(m_sftp->session), POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            ::poll(&entry, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, 10)));
        }
    }
    return true;
}

void ReadPipeline::Send()
{
    std::vector<char> out;
    const uint32_t handleLength = static_cast<uint32_t>(ssh_string_len(m_handle));
    const char *handle = static_cast<const char *>(ssh_string_data(m_handle));
    const auto now = Clock::now();
    while (m_inFlight.size() < m_window / m_chunk) {
        Request request{};
        if (!m_rest.empty()) {
            request = m_rest.front();
            m_rest.pop_front();
        } else if (m_next < m_end && m_next - m_done < m_window) {
            // Far ahead of the next byte to write, answers would pile up in memory.
            request = {m_next, static_cast<uint32_t>(std::min<uint64_t>(m_chunk, m_end - m_next))};
            m_next += request.length;
        } else {
            break;
        }
        const uint32_t id = ++m_sftp->id_counter;
        Put32(out, 1 + 4 + 4 + handleLength + 8 + 4);
        out.push_back(static_cast<char>(SSH_FXP_READ));
        Put32(out, id);
        Put32(out, handleLength);
        out.insert(out.end(), handle, handle + handleLength);
        Put32(out, static_cast<uint32_t>(request.offset >> 32));
        Put32(out, static_cast<uint32_t>(request.offset));
        Put32(out, request.length);
        request.sent = now;
        m_inFlight.emplace(id, request);
    }
    if (!out.empty() &&
        ssh_channel_write(m_sftp->channel, out.data(), static_cast<uint32_t>(out.size())) !=
            static_cast<int>(out.size()))
        m_hooks.broken();
}

bool ReadPipeline::Receive(const Session::Sink *sink, const Session::Progress *progress)
{
    if (m_begin > 0) {
        std::copy(m_in.begin() + static_cast<std::ptrdiff_t>(m_begin),
                  m_in.begin() + static_cast<std::ptrdiff_t>(m_filled), m_in.begin());
        m_filled -= m_begin;
        m_begin = 0;
    }
    const int count = ReadChannel(m_in.data() + m_filled, m_in.size() - m_filled);
    if (count < 0 || (count == 0 && (ssh_channel_is_eof(m_sftp->channel) ||
                                     ssh_channel_is_closed(m_sftp->channel))))
        m_hooks.broken();
    m_filled += static_cast<std::size_t>(count);

    bool took = false;
    // Length, type and id come first: enough to judge the answer before all of it is here.
    while (m_filled - m_begin >= 9) {
        const char *packet = m_in.data() + m_begin;
        const uint32_t length = Get32(packet);
        const auto type = static_cast<uint8_t>(packet[4]);
        const uint32_t id = Get32(packet + 5);
        const auto found = m_inFlight.find(id);
        if (found == m_inFlight.end() || length < 9)
            Invalid();
        if (type == SSH_FXP_DATA) {
            if (length - 9 > found->second.length)
                throw Error(Failure::ConnectionLost,
                            "Lesen von " + m_name +
                                " gescheitert: Antwort länger als angefordert.");
        } else if (type != SSH_FXP_STATUS || length - 9 > MaxStatusLength) {
            Invalid();
        }
        if (m_filled - m_begin < 4 + std::size_t(length))
            break;
        // Passed before it is taken: the sink may throw, and the answer must not come twice.
        m_begin += 4 + std::size_t(length);
        Take(type, id, packet + 9, length - 5, sink, progress);
        took = true;
    }
    return count > 0 || took;
}

// As ssh_channel_read_nonblocking, but tops the channel's window up to twice
// ours beyond what libssh holds, once a quarter of that has been taken: asked
// for more than it holds plus its window, libssh's read grows the window to
// the difference. With something held it copies only that, and waits for nothing.
int ReadPipeline::ReadChannel(char *to, std::size_t room)
{
    const int held = ssh_channel_poll(m_sftp->channel, 0);
    if (held <= 0)
        return held;
    uint32_t ask = static_cast<uint32_t>(std::min<std::size_t>(std::size_t(held), room));
    const uint64_t channelWindow = 2 * m_window;
    if (ask == uint32_t(held) && m_taken >= channelWindow / 4) {
        ask += static_cast<uint32_t>(channelWindow);
        m_taken = 0;
    }
    const int count = ssh_channel_read_timeout(m_sftp->channel, to, ask, 0, 0);
    if (count > 0)
        m_taken += uint64_t(count);
    return count;
}

// While answers come back within twice the quickest round trip, the link
// takes more. Once they take longer, the window holds about twice what the
// link carries in a round trip, and more would only wait in a queue. It never
// shrinks while the file is read.
void ReadPipeline::Measure(const Request &request, uint32_t length)
{
    const auto trip = Clock::now() - request.sent;
    m_minRoundTrip = std::min(m_minRoundTrip, trip);
    if (trip < 2 * m_minRoundTrip)
        m_window = std::min<uint64_t>(m_window + length,
                                      std::max<uint64_t>(m_window, Session::MaxBytesInFlight));
}

void ReadPipeline::Take(uint8_t type, uint32_t id, const char *body, uint32_t length,
                        const Session::Sink *sink, const Session::Progress *progress)
{
    const auto found = m_inFlight.find(id);
    const Request request = found->second;
    m_inFlight.erase(found);
    m_hooks.answered();
    const uint32_t value = Get32(body);  // the data's length, or the status code
    if (type == SSH_FXP_DATA && (value != length - 4 || value == 0))
        Invalid();
    if (!sink)
        return;  // collected only
    if (type == SSH_FXP_STATUS) {
        if (value != SSH_FX_EOF)
            throw Error(Failure::Remote,
                        "Lesen von " + m_name + " gescheitert: " + SftpStatusText(value) + ".");
        EndAt(request.offset);
        return;
    }
    Measure(request, value);
    if (value < request.length && request.offset + value < m_end) {
        m_rest.push_back({request.offset + value, request.length - value});
        if (request.length == m_chunk && value >= MinChunk)
            m_chunk = value;
    }
    const uint64_t before = m_done;
    Deliver(request.offset, body + 4, value, *sink);
    if (m_done != before && *progress)
        (*progress)(m_done, m_size);
}

void ReadPipeline::Deliver(uint64_t offset, const char *data, std::size_t size,
                           const Session::Sink &sink)
{
    if (offset >= m_end)
        return;
    size = static_cast<std::size_t>(std::min<uint64_t>(size, m_end - offset));
    if (offset != m_done) {
        m_early.emplace(offset, std::vector<char>(data, data + size));
        return;
    }
    sink(data, size);
    m_done += size;
    while (!m_early.empty() && m_early.begin()->first == m_done) {
        const auto node = m_early.extract(m_early.begin());
        sink(node.mapped().data(), node.mapped().size());
        m_done += node.mapped().size();
    }
}

void ReadPipeline::EndAt(uint64_t end)
{
    m_end = std::min(m_end, end);
    while (!m_early.empty() && std::prev(m_early.end())->first >= m_end)
        m_early.erase(std::prev(m_early.end()));
    if (!m_early.empty()) {
        auto &[offset, data] = *std::prev(m_early.end());
        data.resize(std::min<uint64_t>(data.size(), m_end - offset));
    }
    std::erase_if(m_rest, [this](const Request &request) { return request.offset >= m_end; });
}

void ReadPipeline::Invalid() const
{
    throw Error(Failure::ConnectionLost,
                "Lesen von " + m_name + " gescheitert: ungültige Antwort des Servers.");
}

}  // namespace velmora::sftp

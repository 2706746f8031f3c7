#include "Connection.h"

#include "SafeText.h"

#include <algorithm>
#include <thread>

namespace velmora::engine {

namespace {

using Clock = std::chrono::steady_clock;

std::string AttemptsText(int attempts)
{
    return attempts == 1 ? "1 Versuch" : std::to_string(attempts) + " Versuche";
}

}  // namespace

RemoteError::RemoteError(Failure failure, const std::string &text)
    : std::runtime_error(SafeText(text)), m_failure(failure)
{}

void Control::ThrowIfStopped() const
{
    if (StopRequested())
        throw RemoteError(Failure::Stopped, "Vorgang abgebrochen.");
}

bool PathInside(const std::string &path, const std::string &base)
{
    if (path == base)
        return true;
    const std::string prefix = !base.empty() && base.back() == '/' ? base : base + '/';
    return path.compare(0, prefix.size(), prefix) == 0;
}

std::string LastPart(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string HostText(const std::string &host, int port, int defaultPort)
{
    if (port == defaultPort)
        return host;
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void WithRetries(int retries, std::chrono::milliseconds pause,
                 const std::function<void(int attempt)> &onAttempt, const Control &control,
                 const std::function<void()> &attempt, const std::function<std::string()> &host)
{
    const int attempts = std::max(0, retries) + 1;
    for (int number = 1;; ++number) {
        if (onAttempt)
            onAttempt(number);
        try {
            attempt();
            return;
        } catch (const RemoteError &e) {
            if (e.failure() != Failure::Refused && e.failure() != Failure::TimedOut)
                throw;
            if (number >= attempts) {
                const std::string count = " (" + AttemptsText(number) + ").";
                if (e.failure() == Failure::Refused)
                    throw RemoteError(e.failure(),
                                      "Verbindung zu " + host() + " abgelehnt" + count);
                throw RemoteError(e.failure(),
                                  "Zeitüberschreitung beim Verbinden mit " + host() + count);
            }
        }
        const auto resume = Clock::now() + pause;
        while (Clock::now() < resume) {
            control.ThrowIfStopped();
            std::this_thread::sleep_for(
                std::min<Clock::duration>(std::chrono::milliseconds(40), resume - Clock::now()));
        }
        control.ThrowIfStopped();
    }
}

}  // namespace velmora::engine

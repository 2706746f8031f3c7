#include "BenchEngines.h"

#include <random>
#include <string>
#include <time.h>

namespace velmora::bench {

namespace {

std::chrono::nanoseconds CpuClock(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

std::u16string Ascii(const std::string &text)
{
    return {text.begin(), text.end()};
}

}  // namespace

std::chrono::nanoseconds ThreadCpuTime()
{
    return CpuClock(CLOCK_THREAD_CPUTIME_ID);
}

std::chrono::nanoseconds ProcessCpuTime()
{
    return CpuClock(CLOCK_PROCESS_CPUTIME_ID);
}

std::vector<DirEntry> MakeListing(int count)
{
    static const char *const stems[] = {"README",
                                        "TRANVIK",
                                        "setup-assistant",
                                        "DATEN",
                                        "Protokoll vom Quartalsabschluss",
                                        "BILD",
                                        "tools",
                                        "Archiv mit einem recht langen Namen fuer Tests"};
    static const char *const extensions[] = {".TXT", ".EXE", ".ZIP", ".DOC", "", ".dat"};
    std::mt19937 random(20240521);
    std::vector<DirEntry> entries;
    entries.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        DirEntry entry;
        const bool directory = random() % 8 == 0;
        entry.Kind = directory ? 0 : 1;
        std::string name = stems[random() % std::size(stems)] + std::to_string(i);
        if (!directory)
            name += extensions[random() % std::size(extensions)];
        entry.Name = Ascii(name);
        entry.Size = directory ? 0 : int32_t(random() % 50'000'000);
        // 1995 to 2024, with a time of day to the second.
        entry.Modified = 34700.0 + double(random() % 10950) + double(random() % 86400) / 86400.0;
        entries.push_back(std::move(entry));
    }
    return entries;
}

int32_t ListingEngine::NextDirEntry(DirEntry &entry)
{
    if (m_next >= m_entries.size())
        return DirListingEnd;
    entry = m_entries[m_next++];
    return 0;
}

ThreadedEngine::ThreadedEngine() : m_worker([this] { Work(); }) {}

ThreadedEngine::~ThreadedEngine()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    m_worker.join();
}

void ThreadedEngine::Plan(std::chrono::microseconds duration, std::chrono::microseconds interval)
{
    const std::lock_guard lock(m_mutex);
    m_duration = duration;
    m_interval = interval;
}

Clock::time_point ThreadedEngine::LastEnd()
{
    const std::lock_guard lock(m_mutex);
    return m_end;
}

int ThreadedEngine::WakesSent()
{
    const std::lock_guard lock(m_mutex);
    return m_wakes;
}

bool ThreadedEngine::Busy()
{
    const std::lock_guard lock(m_mutex);
    return m_busy;
}

void ThreadedEngine::ChangeLocalDirectory(std::u16string /*path*/)
{
    {
        const std::lock_guard lock(m_mutex);
        m_busy = true;
        m_started = true;
    }
    m_cv.notify_all();
}

void ThreadedEngine::SetWakeCallback(WakeCallback wake)
{
    const std::lock_guard lock(m_mutex);
    m_wake = std::move(wake);
}

void ThreadedEngine::Work()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_stop || m_started; });
        if (m_stop)
            return;
        m_started = false;
        const auto deadline = Clock::now() + m_duration;
        for (;;) {
            const auto slice = std::min(deadline, Clock::now() + m_interval);
            if (m_cv.wait_until(lock, slice, [this] { return m_stop; }))
                return;
            const bool done = Clock::now() >= deadline;
            if (done) {
                m_end = Clock::now();
                m_busy = false;
            }
            ++m_wakes;
            const WakeCallback wake = m_wake;
            lock.unlock();  // never wake with the lock held
            if (wake)
                wake();
            lock.lock();
            if (done)
                break;
        }
    }
}

TimingEngine::TimingEngine(std::unique_ptr<TransferEngine> inner,
                           std::shared_ptr<EngineTimes> times)
    : RecordingEngine(nullptr, std::move(inner)), m_times(std::move(times))
{}

void TimingEngine::SetWakeCallback(WakeCallback wake)
{
    const Call call(*this, "SetWakeCallback");
    RecordingEngine::SetWakeCallback(std::move(wake));
}

void TimingEngine::Enter(const Call & /*call*/)
{
    m_callCpu = ThreadCpuTime();
    m_callStart = Clock::now();
}

// Books one call: its CPU time always, its wall time unless it falls inside a
// running operation, whose whole span is booked when Busy first says false.
void TimingEngine::Leave(const Call &call, bool failed)
{
    const auto end = Clock::now();
    EngineTimes &times = *m_times;
    times.callerCpu += ThreadCpuTime() - m_callCpu;
    ++times.calls;
    if (call.kind == test::CallKind::Operation && !failed) {
        if (!m_running)
            m_opStart = m_callStart;
        m_running = true;
        return;
    }
    if (!m_running) {
        times.wall += end - m_callStart;
        return;
    }
    if (call.kind == test::CallKind::Busy && !failed && !call.busy) {
        times.wall += end - m_opStart;
        ++times.operations;
        m_running = false;
    }
}

EngineFactory TimingFactory(EngineFactory inner, std::shared_ptr<EngineTimes> times)
{
    return [inner = std::move(inner), times]() -> std::unique_ptr<TransferEngine> {
        const auto start = Clock::now();
        const auto cpu = ThreadCpuTime();
        auto engine = inner();
        times->wall += Clock::now() - start;
        times->callerCpu += ThreadCpuTime() - cpu;
        return std::make_unique<TimingEngine>(std::move(engine), times);
    };
}

}  // namespace velmora::bench

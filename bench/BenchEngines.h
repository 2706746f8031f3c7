#pragma once

// Engines the benchmarks drive the program with, on the tests' recording base
// without a script, so they record nothing and cost next to nothing: one that
// hands out a listing, one that works on a thread of its own, and one that
// times any engine it wraps.

#include "RecordingEngine.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::bench {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread and of the whole process.
[[nodiscard]] std::chrono::nanoseconds ThreadCpuTime();
[[nodiscard]] std::chrono::nanoseconds ProcessCpuTime();

// A listing of count entries of the mix a file area has: short and long
// names, directories, sizes and times with seconds. The same every time.
[[nodiscard]] std::vector<DirEntry> MakeListing(int count);

// Hands out a listing held in memory, as cheaply as the interface allows.
class ListingEngine : public test::RecordingEngine
{
public:
    explicit ListingEngine(std::vector<DirEntry> entries) : m_entries(std::move(entries)) {}
    void Rewind() { m_next = 0; }
    int32_t NextDirEntry(DirEntry &entry) override;

private:
    std::vector<DirEntry> m_entries;
    size_t m_next = 0;
};

// Runs each operation (ChangeLocalDirectory) on a worker thread of its own:
// Busy until the planned duration has passed, a wake every interval while it
// runs and one when it ends.
class ThreadedEngine : public test::RecordingEngine
{
public:
    ThreadedEngine();
    ~ThreadedEngine() override;
    ThreadedEngine(const ThreadedEngine &) = delete;
    ThreadedEngine &operator=(const ThreadedEngine &) = delete;

    void Plan(std::chrono::microseconds duration, std::chrono::microseconds interval);
    // When the last operation ended, taken just before Busy turned false.
    [[nodiscard]] Clock::time_point LastEnd();
    [[nodiscard]] int WakesSent();

    bool Busy() override;
    void ChangeLocalDirectory(std::u16string path) override;
    void SetWakeCallback(WakeCallback wake) override;

private:
    void Work();

    std::mutex m_mutex;
    std::condition_variable m_cv;
    WakeCallback m_wake;
    std::chrono::microseconds m_duration{1000};
    std::chrono::microseconds m_interval{250000};
    bool m_started = false;
    bool m_busy = false;
    bool m_stop = false;
    int m_wakes = 0;
    Clock::time_point m_end;
    std::thread m_worker;
};

// What a timed engine has cost: its own time (each operation from its call
// until Busy turned false, plus every other call) and the CPU time the
// calling thread spent inside its calls.
struct EngineTimes
{
    std::chrono::nanoseconds wall{0};
    std::chrono::nanoseconds callerCpu{0};
    int operations = 0;
    int calls = 0;
};

// Passes every call on to the engine it wraps and books the time to times.
class TimingEngine : public test::RecordingEngine
{
public:
    TimingEngine(std::unique_ptr<TransferEngine> inner, std::shared_ptr<EngineTimes> times);
    void SetWakeCallback(WakeCallback wake) override;

protected:
    void Enter(const Call &call) override;
    void Leave(const Call &call, bool failed) override;

private:
    std::shared_ptr<EngineTimes> m_times;
    bool m_running = false;  // an operation started and Busy has not said false yet
    Clock::time_point m_opStart;
    Clock::time_point m_callStart;
    std::chrono::nanoseconds m_callCpu{0};
};

// A factory that wraps every engine the given factory makes in a TimingEngine
// booking to times; the creation counts as engine time too.
[[nodiscard]] EngineFactory TimingFactory(EngineFactory inner, std::shared_ptr<EngineTimes> times);

}  // namespace velmora::bench

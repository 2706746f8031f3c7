#pragma once

// Engines the benchmarks drive the program with: quiet ones that cost next to
// nothing, one that works on a thread of its own, and a decorator that times
// any engine.

#include "EngineFactory.h"
#include "TransferEngine.h"

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

// Answers every call at once and does nothing.
class QuietEngine : public TransferEngine
{
public:
    bool AlreadyRunning() override { return false; }
    void Initialize() override {}
    void Shutdown() override {}
    std::u16string LocalDirectory() override { return u"C:\\"; }
    bool Busy() override { return false; }
    void ReadLocalDirectory() override {}
    int32_t NextDirEntry(DirEntry & /*entry*/) override { return DirListingEnd; }
    void Dial(std::u16string, std::u16string, std::u16string, int32_t) override {}
    void HangUp() override {}
    void ReadRemoteDirectory() override {}
    void ChangeLocalDirectory(std::u16string) override {}
    void ChangeRemoteDirectory(std::u16string) override {}
    void DownloadFile(std::u16string, int32_t) override {}
    void AbortOperation() override {}
    std::u16string RemoteDirectory() override { return u"C:\\"; }
    std::u16string LocalDrives() override { return u"C:"; }
    std::u16string RemoteDrives() override { return u"C:"; }
    std::u16string RemoteName() override { return u"Bench"; }
    bool LongFileNames() override { return true; }
    bool ErrorOccurred() override { return false; }
    std::u16string ErrorText() override { return {}; }
    void SetWakeCallback(WakeCallback /*wake*/) override {}
};

// A listing of count entries of the mix a file area has: short and long
// names, directories, sizes and times with seconds. The same every time.
[[nodiscard]] std::vector<DirEntry> MakeListing(int count);

// Hands out a listing held in memory, as cheaply as the interface allows.
class ListingEngine : public QuietEngine
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
class ThreadedEngine : public QuietEngine
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
class TimingEngine : public TransferEngine
{
public:
    TimingEngine(std::unique_ptr<TransferEngine> inner, std::shared_ptr<EngineTimes> times);

    bool AlreadyRunning() override;
    void Initialize() override;
    void Shutdown() override;
    std::u16string LocalDirectory() override;
    bool Busy() override;
    void ReadLocalDirectory() override;
    int32_t NextDirEntry(DirEntry &entry) override;
    void Dial(std::u16string number, std::u16string user, std::u16string password,
              int32_t retries) override;
    void HangUp() override;
    void ReadRemoteDirectory() override;
    void ChangeLocalDirectory(std::u16string path) override;
    void ChangeRemoteDirectory(std::u16string path) override;
    void DownloadFile(std::u16string name, int32_t mode) override;
    void AbortOperation() override;
    std::u16string RemoteDirectory() override;
    std::u16string LocalDrives() override;
    std::u16string RemoteDrives() override;
    std::u16string RemoteName() override;
    bool LongFileNames() override;
    bool ErrorOccurred() override;
    std::u16string ErrorText() override;
    void SetWakeCallback(WakeCallback wake) override;

private:
    enum class Kind { Call, Start, Busy };
    class Span;
    template <typename F> decltype(auto) Timed(Kind kind, F &&f);

    std::unique_ptr<TransferEngine> m_inner;
    std::shared_ptr<EngineTimes> m_times;
    bool m_running = false;  // an operation started and Busy has not said false yet
    Clock::time_point m_opStart;
};

// A factory that wraps every engine the given factory makes in a TimingEngine
// booking to times; the creation counts as engine time too.
[[nodiscard]] EngineFactory TimingFactory(EngineFactory inner, std::shared_ptr<EngineTimes> times);

}  // namespace velmora::bench

// The wait layer: how soon WaitUntilReady sees an engine's change, against an
// event-loop wake alone, and what waiting on a slow engine costs in CPU.

#include "BenchEngines.h"
#include "BenchSupport.h"
#include "Summary.h"
#include "WaitMessage.h"
#include "frmMain.h"

#include "DateText.h"

#include <QCoreApplication>
#include <QEvent>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

namespace velmora::bench {

namespace {

constexpr int Operations = 300;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The baseline: a long-lived thread, like an engine's worker, that waits,
// stamps the time and posts one event to the UI thread, which sits in
// processEvents(WaitForMoreEvents).
class PostingThread
{
public:
    PostingThread()
        : m_type(QEvent::Type(QEvent::registerEventType())), m_receiver(m_type),
          m_thread([this] { Run(); })
    {}

    ~PostingThread()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

    PostingThread(const PostingThread &) = delete;
    PostingThread &operator=(const PostingThread &) = delete;

    // Latency of one wake posted after the given delay.
    Clock::duration Wake(std::chrono::microseconds delay)
    {
        m_receiver.seen.store(false);
        {
            const std::lock_guard lock(m_mutex);
            m_delay = delay;
            m_pending = true;
        }
        m_cv.notify_all();
        while (!m_receiver.seen.load())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const auto woken = Clock::now();
        const std::lock_guard lock(m_mutex);
        return woken - m_posted;
    }

private:
    class Receiver : public QObject
    {
    public:
        explicit Receiver(QEvent::Type type) : m_type(type) {}
        bool event(QEvent *event) override
        {
            if (event->type() != m_type)
                return QObject::event(event);
            seen.store(true);
            return true;
        }
        std::atomic<bool> seen{false};

    private:
        QEvent::Type m_type;
    };

    void Run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || m_pending; });
            if (m_stop)
                return;
            m_pending = false;
            if (m_cv.wait_for(lock, m_delay, [this] { return m_stop; }))
                return;
            m_posted = Clock::now();
            lock.unlock();
            QCoreApplication::postEvent(&m_receiver, new QEvent(m_type));
            lock.lock();
        }
    }

    QEvent::Type m_type;
    Receiver m_receiver;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::chrono::microseconds m_delay{0};
    bool m_pending = false;
    bool m_stop = false;
    Clock::time_point m_posted;
    std::thread m_thread;
};

frmMain &WaitWindow()
{
    // Never destroyed: widgets must not outlive the application object.
    static frmMain *form = [] {
        auto *f = new frmMain;
        ShowExposed(*f);
        return f;
    }();
    return *form;
}

// Operations and baseline wakes take turns, each after a random delay of a
// few milliseconds so the UI thread is asleep when the change comes.
void WakeLatency(benchmark::State &state)
{
    frmMain &form = WaitWindow();
    auto owned = std::make_unique<ThreadedEngine>();
    ThreadedEngine &engine = *owned;
    form.Engine = std::move(owned);
    form.Engine->SetWakeCallback(EngineWakeCallback());
    form.StartTime = CurrentTimeOfDay();
    PostingThread baseline;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> delay(1000, 3000);

    std::vector<double> waits;
    std::vector<double> loops;
    for (auto _ : state) {
        for (int i = 0; i < Operations; ++i) {
            engine.Plan(std::chrono::microseconds(delay(random)), std::chrono::seconds(1));
            form.Engine->ChangeLocalDirectory(u"C:\\");
            form.WaitUntilReady();
            const auto returned = Clock::now();
            waits.push_back(Seconds(returned - engine.LastEnd()));
            loops.push_back(Seconds(baseline.Wake(std::chrono::microseconds(delay(random)))));
        }
    }
    form.Engine.reset();
    state.counters["wait_s"] = *Median(waits);
    state.counters["loop_s"] = *Median(loops);
    state.counters["ops"] = double(waits.size());
}
BENCHMARK(WakeLatency)->Iterations(1)->Repetitions(3);

// One wait of five seconds on an engine that wakes the program every 250 ms.
void IdleWait(benchmark::State &state)
{
    frmMain &form = WaitWindow();
    auto owned = std::make_unique<ThreadedEngine>();
    ThreadedEngine &engine = *owned;
    form.Engine = std::move(owned);
    form.Engine->SetWakeCallback(EngineWakeCallback());
    form.StartTime = CurrentTimeOfDay();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        engine.Plan(std::chrono::seconds(5), std::chrono::milliseconds(250));
        const auto cpu = ProcessCpuTime();
        const auto start = Clock::now();
        form.Engine->ChangeLocalDirectory(u"C:\\");
        form.WaitUntilReady();
        const auto wall = Clock::now() - start;
        const auto used = ProcessCpuTime() - cpu;
        state.SetIterationTime(Seconds(wall));
        state.counters["cpu_s"] = Seconds(used);
        state.counters["wall_s"] = Seconds(wall);
        state.counters["wakes"] = engine.WakesSent();
    }
    form.Engine.reset();
}
BENCHMARK(IdleWait)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace velmora::bench

#include "HostileEngine.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace velmora::test {

using namespace std::chrono_literals;

// What the engine's threads see. Settings are copied in at creation, so the
// threads never read the script, which the UI thread changes.
struct HostileEngine::Shared
{
    std::mutex mutex;
    std::condition_variable cv;
    WakeCallback wake;  // guarded by mutex; copied out before each call
    bool stop = false;
    bool busy = false;
    bool abort = false;
    bool flapPending = false;
    bool shutdown = false;
    int stepsLeft = 0;
    unsigned operation = 0;  // changes when an operation starts or is ended from outside

    std::atomic<bool> stormStop{false};
    std::atomic<long> stormCalls{0};

    std::chrono::microseconds stepTime{0};
    int stormPerStep = 0;
    bool flap = false;
    bool wakeAfterShutdown = false;
    int wakesAfterDestroy = 0;

    void Wake()
    {
        WakeCallback copy;
        {
            const std::lock_guard lock(mutex);
            copy = wake;
        }
        if (copy)
            copy();
    }
};

namespace {

void Worker(std::shared_ptr<HostileEngine::Shared> s, bool detached,
            std::shared_ptr<std::atomic<int>> strays)
{
    std::unique_lock lock(s->mutex);
    for (;;) {
        const auto ready = [&] { return s->stop || s->stepsLeft > 0 || s->flapPending; };
        const bool idleWakes = s->wakeAfterShutdown && s->shutdown;
        if (idleWakes)
            s->cv.wait_for(lock, 200us, ready);
        else
            s->cv.wait(lock, ready);
        if (s->stop)
            break;
        if (s->stepsLeft > 0) {
            const unsigned operation = s->operation;
            const long stormTarget = s->stormCalls + s->stormPerStep;
            lock.unlock();
            std::this_thread::sleep_for(s->stepTime);
            while (s->stormCalls < stormTarget && !s->stormStop)
                std::this_thread::sleep_for(50us);
            lock.lock();
            if (s->operation != operation || s->stepsLeft == 0 || s->stop)
                continue;
            s->stepsLeft = s->abort ? 0 : s->stepsLeft - 1;
            if (s->stepsLeft == 0) {
                s->busy = false;
                s->flapPending = s->flap;
            }
        } else if (s->flapPending) {
            // Idle, then busy again for a moment, then idle for good.
            s->flapPending = false;
            const unsigned operation = s->operation;
            s->busy = true;
            lock.unlock();
            s->Wake();
            std::this_thread::sleep_for(s->stepTime);
            lock.lock();
            if (s->operation == operation)
                s->busy = false;
        }
        lock.unlock();
        s->Wake();
        lock.lock();
    }
    lock.unlock();
    if (!detached)
        return;
    // Its engine is gone; a careless engine goes on calling the program.
    for (int i = 0; i < s->wakesAfterDestroy; ++i) {
        s->Wake();
        std::this_thread::sleep_for(20us);
    }
    s.reset();
    strays->fetch_sub(1);
}

void Storm(std::shared_ptr<HostileEngine::Shared> s, int threads)
{
    // 10,000 a second together; paced by the clock, so slow sleeps do not add up.
    const auto pause = std::chrono::microseconds(100 * threads);
    auto next = std::chrono::steady_clock::now();
    while (!s->stormStop) {
        s->Wake();
        ++s->stormCalls;
        next += pause;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

void ThrowAs(Throw kind, const std::string &where)
{
    switch (kind) {
    case Throw::Runtime:
        throw std::runtime_error(where + " failed");
    case Throw::BadAlloc:
        throw std::bad_alloc();
    case Throw::Foreign:
        throw Foreign{std::string(4096, 'x') + where};
    }
    throw std::logic_error("unknown kind");
}

bool HostileScript::WaitForStrays() const
{
    for (int i = 0; i < 60'000 && strays->load() > 0; ++i)
        std::this_thread::sleep_for(1ms);
    return strays->load() == 0;
}

HostileEngine::HostileEngine(std::shared_ptr<HostileScript> script)
    : RecordingEngine(script), m_script(std::move(script)), m_shared(std::make_shared<Shared>())
{
    m_shared->stepTime = m_script->stepTime;
    m_shared->stormPerStep = m_script->stormThreads > 0 ? m_script->stormPerStep : 0;
    m_shared->flap = m_script->flapBusy;
    m_shared->wakeAfterShutdown = m_script->wakeAfterShutdown;
    m_shared->wakesAfterDestroy = m_script->wakesAfterDestroy;
    m_worker = std::thread(Worker, m_shared, m_script->detachOnDestroy, m_script->strays);
    for (int i = 0; i < m_script->stormThreads; ++i)
        m_storm.emplace_back(Storm, m_shared, m_script->stormThreads);
}

HostileEngine::~HostileEngine()
{
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->stop = true;
    }
    m_shared->cv.notify_all();
    m_shared->stormStop = true;
    for (auto &thread : m_storm)
        thread.join();
    if (m_script->detachOnDestroy) {
        ++*m_script->strays;
        m_worker.detach();
    } else {
        m_worker.join();
    }
}

long HostileEngine::StormCalls() const
{
    return m_shared->stormCalls;
}

void HostileEngine::Enter(const Call &call)
{
    if (auto hook = m_script->hooks.find(call.name); hook != m_script->hooks.end())
        hook->second(*this);
    if (m_script->throwIn == call.name)
        ThrowAs(m_script->throwKind, std::string(call.name));
    if (call.kind == CallKind::Operation)
        StartOperation(call.name);
}

void HostileEngine::StartOperation(std::string_view name)
{
    if (name == "ReadLocalDirectory") {
        m_reading = 0;
        m_next = 0;
    } else if (name == "ReadRemoteDirectory") {
        m_reading = m_reading < 1 ? 1 : 2;
        m_next = 0;
    }
    m_operation = name;
    m_endAfterAnswer = false;
    {
        const std::lock_guard lock(m_shared->mutex);
        ++m_shared->operation;
        m_shared->busy = true;
        m_shared->abort = false;
        m_shared->flapPending = false;
        m_shared->stepsLeft = std::max(1, m_script->steps);
    }
    m_shared->cv.notify_all();
}

void HostileEngine::Initialize()
{
    RecordingEngine::Initialize();
    const std::lock_guard lock(m_shared->mutex);
    m_shared->shutdown = false;
}

void HostileEngine::Shutdown()
{
    RecordingEngine::Shutdown();
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->shutdown = true;
    }
    m_shared->cv.notify_all();
}

bool HostileEngine::Busy()
{
    Call call(*this, "Busy", CallKind::Busy);
    bool endNow = false;
    {
        const std::lock_guard lock(m_shared->mutex);
        call.busy = m_shared->busy;
        if (call.busy && m_endAfterAnswer) {
            endNow = true;
            m_shared->busy = false;
            m_shared->stepsLeft = 0;
            m_shared->flapPending = false;
            ++m_shared->operation;
        }
    }
    if (endNow) {
        m_endAfterAnswer = false;
        m_shared->Wake();
    }
    return call.busy;
}

void HostileEngine::AbortOperation()
{
    const Call call(*this, "AbortOperation");
    {
        // Like the simulated engine: aborting an idle engine does nothing, not even a wake.
        const std::lock_guard lock(m_shared->mutex);
        if (!m_shared->busy)
            return;
        m_shared->abort = true;
    }
    m_shared->cv.notify_all();
}

int32_t HostileEngine::NextDirEntry(DirEntry &entry)
{
    const Call call(*this, "NextDirEntry");
    if (!m_script->listing || !m_script->listing(m_reading, m_next, entry))
        return DirListingEnd;
    ++m_next;
    return 0;
}

void HostileEngine::SetWakeCallback(WakeCallback wake)
{
    const Call call(*this, "SetWakeCallback");
    const std::lock_guard lock(m_shared->mutex);
    m_shared->wake = std::move(wake);
}

HostileEngineFactory::HostileEngineFactory(std::shared_ptr<HostileScript> script)
    : ScopedEngineFactory([script]() -> std::unique_ptr<TransferEngine> {
          script->calls.push_back("Create");
          if (script->onCreate)
              script->onCreate();
          if (script->throwIn == "Create")
              ThrowAs(script->throwKind, "Create");
          return std::make_unique<HostileEngine>(script);
      })
{}

}  // namespace velmora::test

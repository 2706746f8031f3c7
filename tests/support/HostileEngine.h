#pragma once

// An engine as a broken or malicious one could be: odd texts and listings,
// any call throwing any type, a worker thread that flaps Busy, wake-up storms
// from several threads, wakes after the run, and a worker that outlives the
// engine. Calls come from the UI thread; the worker and the storm threads only
// touch state shared through a shared_ptr, so they may outlive the engine.

#include "RecordingEngine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::test {

// Thrown by a hostile engine, and no std::exception. Owns memory, so an
// exception object that is never destroyed shows up as a leak.
struct Foreign
{
    std::string payload;
};

enum class Throw { Runtime, BadAlloc, Foreign };

class HostileEngine;

struct HostileScript : EngineScript
{
    HostileScript() { remoteName = u"Gegenstelle"; }

    // Entry index of reading (0: local, 1: server root, 2: server directory);
    // false ends the listing. Unset: every listing is empty.
    std::function<bool(int reading, std::size_t index, DirEntry &entry)> listing;

    // That call ("Create" for the factory) throws, every time it is called.
    std::string throwIn;
    Throw throwKind = Throw::Runtime;

    // An operation ends after this many worker steps, each followed by a wake.
    int steps = 3;
    std::chrono::microseconds stepTime{200};
    // After an operation ended: busy once more, then idle again, each with a wake.
    bool flapBusy = false;
    // Threads that call the wake-up all the time, about 10,000 calls a second
    // together; each worker step waits for stormPerStep of their calls.
    int stormThreads = 0;
    int stormPerStep = 0;
    // The worker keeps waking after Shutdown, until the engine goes.
    bool wakeAfterShutdown = false;
    // Destruction leaves the worker running; it goes on waking this many times.
    bool detachOnDestroy = false;
    int wakesAfterDestroy = 2000;

    // Run on the UI thread when a call begins, after it is recorded; onCreate
    // when the factory is asked for an engine, which records "Create".
    std::map<std::string, std::function<void(HostileEngine &)>, std::less<>> hooks;
    std::function<void()> onCreate;

    // Threads of destroyed engines still running. Wait for them before the end;
    // false when they did not end.
    std::shared_ptr<std::atomic<int>> strays = std::make_shared<std::atomic<int>>(0);
    [[nodiscard]] bool WaitForStrays() const;
};

class HostileEngine : public RecordingEngine
{
public:
    explicit HostileEngine(std::shared_ptr<HostileScript> script);
    ~HostileEngine() override;

    void Initialize() override;
    void Shutdown() override;
    bool Busy() override;
    int32_t NextDirEntry(DirEntry &entry) override;
    void AbortOperation() override;
    void SetWakeCallback(WakeCallback wake) override;

    // The operation in progress or last started ("" before the first).
    [[nodiscard]] const std::string &Operation() const { return m_operation; }
    // Busy answers true once more, then the operation is over at once: its
    // last wake may arrive together with whatever the caller does meanwhile.
    void EndAfterThisAnswer() { m_endAfterAnswer = true; }
    // Wakes the storm threads have made so far.
    [[nodiscard]] long StormCalls() const;

    struct Shared;

protected:
    void Enter(const Call &call) override;

private:
    void StartOperation(std::string_view name);

    std::shared_ptr<HostileScript> m_script;
    std::shared_ptr<Shared> m_shared;
    std::thread m_worker;
    std::vector<std::thread> m_storm;
    std::string m_operation;
    bool m_endAfterAnswer = false;
    int m_reading = -1;
    std::size_t m_next = 0;
};

// Installs a factory that creates hostile engines playing the script, and
// restores the previous factory when it goes.
class HostileEngineFactory : public ScopedEngineFactory
{
public:
    explicit HostileEngineFactory(std::shared_ptr<HostileScript> script);
};

// Throws what the script asks for.
[[noreturn]] void ThrowAs(Throw kind, const std::string &where);

}  // namespace velmora::test

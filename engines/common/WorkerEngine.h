#pragma once

// What every engine of the suite has in common, written once: WorkerEngine
// keeps the contract of TransferEngine.h for each engine built on it, with
// the worker thread that runs operations, Busy and abort, the wake, the error
// state, the listing handed out by NextDirEntry, the preconditions, and the
// whole local side (drive C: and the instance lock). A concrete engine adds
// the remote side through the hooks below.
//
// What the base says where the contract leaves it open:
// - Its texts: "Velmora ist nicht initialisiert.", "Keine Verbindung zum
//   Server.", "Es besteht bereits eine Verbindung.", "Keine Rufnummer
//   angegeben.", "Nicht unterstützter Übertragungsmodus: N", "Ungültiger
//   Dateiname: NAME" and "Vorgang abgebrochen.".
// - Drive C: is LocalSettings::root (by default DefaultLocalRoot() of
//   LocalDrive.h), created by Initialize when missing. Its directory
//   arguments are read by ResolveDosPath (DosPath.h), as the engines read the
//   server's.
// - Shutdown waits for a running job to end and drops the connection flag,
//   the listing, drive C: and the lock.
//
// How a concrete engine plugs in:
// - Create it with MakeWorkerEngine<Engine>(arguments...), never with new:
//   that stops and joins the worker before the engine's own members go.
//   Do not mark the class final; its constructor may be protected.
// - One mutex guards the state of this class and the engine's own remote
//   state (its current directory, session handles...). Hooks whose name ends
//   in Locked are called with it held: they must not block, wait or call back
//   into the TransferEngine interface. Elsewhere, take it with LockState().
// - Remote operations: the ...JobLocked hooks check their arguments' shape if
//   they like and return the job to run; whatever the job needs of the current
//   state they copy into it (the hook runs under the lock, the job does not).
//   The job runs on the worker without the lock and returns an Outcome. Its
//   commit, if any, is applied on the worker under the lock when the job has
//   returned, for any kind of outcome, before Busy turns false; that is the
//   place to change the remote state and SetListingLocked the listing. A Dial
//   that ends Done marks the engine connected, a HangUp that ends Done marks
//   it disconnected; SetConnectedLocked does so otherwise (a lost connection).
//   A job that throws ends as Failed with "Interner Fehler: " and the message.
// - Inside a job: Wait(length) to spend time, in slices of WakeInterval with a
//   wake after each (so at least one, even for a length of 0); false: stop
//   now and return Outcome::Stopped(). AbortRequested() to poll cheaply.
//   Wake() at least every 250 ms while the job does its own I/O loop.
// - OnAbortRequested() is called on the requesting thread, without any lock,
//   after the abort flag is set: by AbortOperation and Shutdown while a job
//   runs, and when the engine is destroyed with a job running. An engine
//   blocked in network I/O interrupts itself there. It may run while the job
//   runs, or just after it ended.
// - OnShutdown() is called by an effective Shutdown (one that found the engine
//   initialised), without any lock, after the job (if any) has ended and the
//   connection flag is cleared: close a session and forget the remote state
//   there. I/O is fine.
// - Local operations (ReadLocalDirectory, ChangeLocalDirectory) are the base's
//   own jobs; ...LocalDirectoryJobLocked(job) may wrap one, for instance to
//   spend a slow drive's time first. By default the job runs as it is.
// - The interface's calls may be overridden to add to them around the base's
//   own, as the simulated engine's fault injection does.
//
// Also at hand for engines: LocalSettings::Make (drive C: and the lock as every
// engine finds them), PartialFile in LocalDrive.h (a download target that is
// complete or absent), SortListing, the OLE date conversions and ReportOnce in
// Text.h.

#include "LocalDrive.h"
#include "TransferEngine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::engine {

class InstanceLock;

// How a job ended; commit is applied under the state lock afterwards.
struct Outcome
{
    enum class Kind { Done, Failed, Stopped };

    Kind kind = Kind::Done;
    std::u16string error;          // Failed: the error text
    std::function<void()> commit;  // optional

    static Outcome Done(std::function<void()> commit = {});
    static Outcome Failed(std::u16string error, std::function<void()> commit = {});
    static Outcome Stopped(std::function<void()> commit = {});  // ends as "Vorgang abgebrochen."
};

using Job = std::function<Outcome()>;

// Drive C: and its folder, where the engine's local side keeps them.
struct LocalSettings
{
    std::filesystem::path root;      // drive C:; empty when none could be found
    std::filesystem::path lockFile;  // the instance lock
    bool reportRunning = false;      // AlreadyRunning answers true whatever the lock says

    // root empty: DefaultLocalRoot(); lockDir empty: DefaultLockDir().
    static LocalSettings Make(const std::filesystem::path &root,
                              const std::filesystem::path &lockDir);
};

// The local folder a download goes to.
struct LocalPlace
{
    std::shared_ptr<const LocalDrive> drive;
    std::filesystem::path dir;  // below the drive's root
};

class WorkerEngine : public TransferEngine
{
public:
    using Clock = std::chrono::steady_clock;

    // Well below the promised 250 ms, leaving room for a slow scheduler.
    static constexpr std::chrono::milliseconds WakeInterval{150};

    WorkerEngine(const WorkerEngine &) = delete;
    WorkerEngine &operator=(const WorkerEngine &) = delete;
    ~WorkerEngine() override;

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

protected:
    explicit WorkerEngine(LocalSettings local);

    // Remote operations; see "How a concrete engine plugs in" above.
    virtual Job DialJobLocked(std::u16string number, std::u16string user, std::u16string password,
                              int32_t retries) = 0;
    virtual Job HangUpJobLocked() = 0;
    virtual Job ReadRemoteDirectoryJobLocked() = 0;
    virtual Job ChangeRemoteDirectoryJobLocked(std::u16string path) = 0;
    virtual Job DownloadFileJobLocked(std::u16string name, LocalPlace target) = 0;

    // Remote queries, only called while initialised and connected.
    virtual std::u16string RemoteDirectoryLocked() = 0;
    virtual std::u16string RemoteDrivesLocked() = 0;
    virtual std::u16string RemoteNameLocked() = 0;
    virtual bool LongFileNamesLocked() = 0;

    virtual Job ReadLocalDirectoryJobLocked(Job job) { return job; }
    virtual Job ChangeLocalDirectoryJobLocked(Job job) { return job; }

    virtual void OnAbortRequested() {}
    virtual void OnShutdown() {}

    // For jobs, on the worker thread only.
    bool Wait(Clock::duration length);
    [[nodiscard]] bool AbortRequested() const { return m_abort.load(); }
    void Wake();

    std::unique_lock<std::mutex> LockState() { return std::unique_lock(m_mutex); }
    void SetListingLocked(std::vector<DirEntry> entries);
    void SetConnectedLocked(bool connected) { m_connected = connected; }
    void SetErrorLocked(std::u16string text);

    // Stops and joins the worker; after it no hook runs any more. Idempotent.
    void StopWorker();

private:
    void ClearErrorLocked();
    bool RequireLocked(bool connection);
    bool CanStartLocked(const char *name, bool connection);
    // connectedWhenDone: what a job that ends Done makes of the connection.
    void Launch(std::unique_lock<std::mutex> &lock, Job job,
                std::optional<bool> connectedWhenDone = std::nullopt);
    template <typename Value, typename Get> Value Query(bool connection, Get get);
    void WorkerLoop();

    const LocalSettings m_localSettings;

    std::mutex m_mutex;
    std::condition_variable m_jobCv;   // worker: new job, abort, stop, wake request
    std::condition_variable m_idleCv;  // Shutdown: the job ended
    std::optional<Job> m_job;
    std::optional<bool> m_connectedWhenDone;
    bool m_busy = false;
    bool m_busyReported = true;
    std::atomic<bool> m_abort = false;  // written under m_mutex, read anywhere
    bool m_stop = false;
    bool m_wakeRequested = false;
    bool m_initialized = false;
    bool m_connected = false;
    bool m_error = false;
    std::u16string m_errorText;
    std::filesystem::path m_localDir;  // below the local root
    std::vector<DirEntry> m_listing;
    std::size_t m_listingPos = 0;
    std::shared_ptr<const LocalDrive> m_local;
    std::unique_ptr<InstanceLock> m_instanceLock;

    std::mutex m_wakeMutex;  // only ever held to copy the pointer
    std::shared_ptr<const WakeCallback> m_wake;

    std::thread m_worker;
};

// Creates an Engine (derived from WorkerEngine) whose worker is stopped and
// joined before the Engine's own members are destroyed.
template <typename Engine, typename... Args>
std::unique_ptr<TransferEngine> MakeWorkerEngine(Args &&...args)
{
    class Owned final : public Engine
    {
    public:
        explicit Owned(Args &&...args) : Engine(std::forward<Args>(args)...) {}
        ~Owned() override { this->StopWorker(); }
    };
    return std::make_unique<Owned>(std::forward<Args>(args)...);
}

}  // namespace velmora::engine

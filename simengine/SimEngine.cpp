#include "SimEngine.h"

#include "InstanceLock.h"
#include "LocalDrive.h"
#include "Operations.h"
#include "ServerTree.h"
#include "Text.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace velmora::sim {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Well below the promised 250 ms, leaving room for a slow scheduler.
constexpr auto kWakeInterval = std::chrono::milliseconds(150);

// The mailbox's modem line, about 28.8 kbit/s after protocol overhead.
constexpr double kLineBytesPerSecond = 2400.0;
constexpr std::size_t kMaxChunk = 64 * 1024;

// Durations at time scale 1, in seconds.
constexpr double kDialPhases[] = {1.2, 2.2, 0.8};  // dialling, modem handshake, login
constexpr double kHangUpSeconds = 1.0;
constexpr double kLocalChangeSeconds = 0.2;
constexpr double kLocalReadSeconds = 0.3;
constexpr double kRemoteChangeSeconds = 0.7;
constexpr double kRemoteReadSeconds = 0.6;
constexpr double kRemoteReadPerEntrySeconds = 0.08;
constexpr double kDownloadRequestSeconds = 0.5;
constexpr double kDownloadHandshakeSeconds = 1.0;

const std::u16string kNotInitialized = u"Velmora ist nicht initialisiert.";
const std::u16string kNoConnection = u"Keine Verbindung zum Server.";
const std::u16string kAborted = u"Vorgang abgebrochen.";
const std::u16string kRemoteName = u"Morvante Mailbox Kiel, Knoten 1";

constexpr std::size_t Index(Op op)
{
    return static_cast<std::size_t>(op);
}

// File content made up from the name, so every download of a file is identical.
class Content
{
public:
    explicit Content(std::u16string_view name)
    {
        for (const char16_t c : name) {  // FNV-1a
            seed_ ^= c;
            seed_ *= 0x100000001b3ULL;
        }
    }

    void Fill(char *out, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            if (left_ == 0) {
                word_ = Next();
                left_ = 8;
            }
            out[i] = static_cast<char>(word_ & 0xFF);
            word_ >>= 8;
            --left_;
        }
    }

private:
    uint64_t Next()  // splitmix64
    {
        uint64_t z = (seed_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    uint64_t seed_ = 0xCBF29CE484222325ULL;
    uint64_t word_ = 0;
    int left_ = 0;
};

bool IsPlainFileName(std::u16string_view name)
{
    return !name.empty() && name != u"." && name != u".." &&
           name.find_first_of(std::u16string_view(u"\\/:\0", 4)) == std::u16string_view::npos;
}

struct Outcome
{
    enum class Kind { Done, Failed, Aborted } kind = Kind::Done;
    std::u16string error;
    std::function<void()> commit;  // applied under the engine's lock when done
};

Outcome Done(std::function<void()> commit = {})
{
    return {Outcome::Kind::Done, {}, std::move(commit)};
}

Outcome Failed(std::u16string text)
{
    return {Outcome::Kind::Failed, std::move(text), {}};
}

Outcome Aborted()
{
    return {Outcome::Kind::Aborted, {}, {}};
}

class SimEngine final : public TransferEngine
{
public:
    explicit SimEngine(Settings settings) : settings_(std::move(settings))
    {
        worker_ = std::thread([this] { WorkerLoop(); });
    }

    ~SimEngine() override
    {
        {
            const std::lock_guard lock(wakeMutex_);
            wake_.reset();  // the owner may be half gone already
        }
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
            abort_ = true;
        }
        jobCv_.notify_all();
        worker_.join();
    }

    bool AlreadyRunning() override
    {
        ThrowIfInjected(Op::AlreadyRunning);
        const std::lock_guard lock(mutex_);
        bool running = settings_.forceRunning;
        // Our own lock is no other instance.
        if (!running && !instanceLock_) {
            try {
                running = InstanceLock::HeldElsewhere(settings_.lockFile);
            } catch (const std::exception &e) {
                SetErrorLocked(Utf8ToUtf16(e.what()));
            }
        }
        InjectFailureLocked(Op::AlreadyRunning);
        return running;
    }

    void Initialize() override
    {
        ThrowIfInjected(Op::Initialize);
        const std::lock_guard lock(mutex_);
        ClearErrorLocked();
        if (const auto failure = FailureFor(Op::Initialize)) {
            SetErrorLocked(*failure);
            return;
        }
        if (initialized_)
            return;
        if (settings_.localRoot.empty())
            throw std::runtime_error(
                "Velmora: kein Ordner für Laufwerk C: (weder HOME noch XDG_DATA_HOME gesetzt).");
        auto held = InstanceLock::TryAcquire(settings_.lockFile);
        if (!held)
            throw std::runtime_error("Velmora läuft bereits (Sperre " +
                                     settings_.lockFile.string() + " ist belegt).");
        local_ = std::make_shared<const LocalDrive>(settings_.localRoot);
        instanceLock_ = std::move(held);
        initialized_ = true;
        localDir_.clear();
    }

    void Shutdown() override
    {
        ThrowIfInjected(Op::Shutdown);
        std::unique_lock lock(mutex_);
        if (const auto failure = FailureFor(Op::Shutdown)) {
            SetErrorLocked(*failure);
            return;
        }
        if (!initialized_)
            return;
        if (busy_) {
            abort_ = true;
            jobCv_.notify_all();
            idleCv_.wait(lock, [this] { return !busy_; });
        }
        initialized_ = false;
        connected_ = false;
        remoteDir_ = {};
        localDir_.clear();
        listing_.clear();
        listingPos_ = 0;
        local_.reset();
        instanceLock_.reset();
    }

    std::u16string LocalDirectory() override
    {
        ThrowIfInjected(Op::LocalDirectory);
        const std::lock_guard lock(mutex_);
        std::u16string value;
        if (RequireLocked(false))
            value = LocalDrive::Display(localDir_);
        InjectFailureLocked(Op::LocalDirectory);
        return value;
    }

    bool Busy() override
    {
        ThrowIfInjected(Op::Busy);
        bool answer = false;
        bool lateAnswer = false;
        {
            const std::lock_guard lock(mutex_);
            if (busy_ || !busyReported_) {
                // An operation that ended before anyone asked still counts as
                // busy once; the extra wake keeps a waiting caller from stalling.
                answer = true;
                lateAnswer = !busy_;
                busyReported_ = true;
                wakeRequested_ = wakeRequested_ || lateAnswer;
            }
            InjectFailureLocked(Op::Busy);
        }
        if (lateAnswer)
            jobCv_.notify_all();
        return answer;
    }

    void ReadLocalDirectory() override
    {
        ThrowIfInjected(Op::ReadLocalDirectory);
        std::unique_lock lock(mutex_);
        if (!CanStartLocked(Op::ReadLocalDirectory, false))
            return;
        Launch(lock,
               [this, local = local_, dir = localDir_,
                fail = FailureFor(Op::ReadLocalDirectory)]() -> Outcome {
                   if (!Pause(kLocalReadSeconds))
                       return Aborted();
                   if (fail)
                       return Failed(*fail);
                   std::vector<DirEntry> entries;
                   if (auto error = local->List(dir, entries); !error.empty())
                       return Failed(std::move(error));
                   return Done([this, entries]() mutable { SetListingLocked(std::move(entries)); });
               });
    }

    int32_t NextDirEntry(DirEntry &entry) override
    {
        ThrowIfInjected(Op::NextDirEntry);
        const std::lock_guard lock(mutex_);
        if (!RequireLocked(false))
            return DirListingEnd;
        if (const auto failure = FailureFor(Op::NextDirEntry)) {
            SetErrorLocked(*failure);
            return DirListingEnd;
        }
        if (listingPos_ >= listing_.size())
            return DirListingEnd;
        entry = listing_[listingPos_++];
        return 0;
    }

    void Dial(std::u16string number, std::u16string, std::u16string, int32_t) override
    {
        ThrowIfInjected(Op::Dial);
        std::unique_lock lock(mutex_);
        if (!CanStartLocked(Op::Dial, false))
            return;
        if (connected_) {
            SetErrorLocked(u"Es besteht bereits eine Verbindung.");
            return;
        }
        Launch(lock, [this, number = std::move(number), fail = FailureFor(Op::Dial)]() -> Outcome {
            if (number.empty())
                return Pause(0.1) ? Failed(u"Keine Rufnummer angegeben.") : Aborted();
            for (const double phase : kDialPhases)
                if (!Pause(phase))
                    return Aborted();
            if (fail)
                return Failed(*fail);
            return Done([this] {
                connected_ = true;
                remoteDir_ = {};
            });
        });
    }

    void HangUp() override
    {
        ThrowIfInjected(Op::HangUp);
        std::unique_lock lock(mutex_);
        if (!CanStartLocked(Op::HangUp, true))
            return;
        Launch(lock, [this, fail = FailureFor(Op::HangUp)]() -> Outcome {
            if (!Pause(kHangUpSeconds))
                return Aborted();
            if (fail)
                return Failed(*fail);
            return Done([this] {
                connected_ = false;
                remoteDir_ = {};
            });
        });
    }

    void ReadRemoteDirectory() override
    {
        ThrowIfInjected(Op::ReadRemoteDirectory);
        std::unique_lock lock(mutex_);
        if (!CanStartLocked(Op::ReadRemoteDirectory, true))
            return;
        Launch(lock,
               [this, dir = remoteDir_, fail = FailureFor(Op::ReadRemoteDirectory)]() -> Outcome {
                   auto entries = ServerTree::Get().List(dir);
                   const double seconds =
                       kRemoteReadSeconds +
                       kRemoteReadPerEntrySeconds * static_cast<double>(entries.size());
                   if (!Pause(seconds))
                       return Aborted();
                   if (fail)
                       return Failed(*fail);
                   return Done([this, entries]() mutable { SetListingLocked(std::move(entries)); });
               });
    }

    void ChangeLocalDirectory(std::u16string path) override
    {
        ThrowIfInjected(Op::ChangeLocalDirectory);
        std::unique_lock lock(mutex_);
        if (!CanStartLocked(Op::ChangeLocalDirectory, false))
            return;
        Launch(lock,
               [this, local = local_, dir = localDir_, path = std::move(path),
                fail = FailureFor(Op::ChangeLocalDirectory)]() -> Outcome {
                   if (!Pause(kLocalChangeSeconds))
                       return Aborted();
                   if (fail)
                       return Failed(*fail);
                   fs::path next;
                   if (auto error = local->ChangeDirectory(dir, path, next); !error.empty())
                       return Failed(std::move(error));
                   return Done([this, next] { localDir_ = next; });
               });
    }

    void ChangeRemoteDirectory(std::u16string path) override
    {
        ThrowIfInjected(Op::ChangeRemoteDirectory);
        std::unique_lock lock(mutex_);
        if (!CanStartLocked(Op::ChangeRemoteDirectory, true))
            return;
        Launch(lock,
               [this, dir = remoteDir_, path = std::move(path),
                fail = FailureFor(Op::ChangeRemoteDirectory)]() -> Outcome {
                   if (!Pause(kRemoteChangeSeconds))
                       return Aborted();
                   if (fail)
                       return Failed(*fail);
                   ServerPath next;
                   if (auto error = ServerTree::Get().Resolve(dir, path, next); !error.empty())
                       return Failed(std::move(error));
                   return Done([this, next] { remoteDir_ = next; });
               });
    }

    void DownloadFile(std::u16string name, int32_t mode) override
    {
        ThrowIfInjected(Op::DownloadFile);
        std::unique_lock lock(mutex_);
        if (!CanStartLocked(Op::DownloadFile, true))
            return;
        Launch(lock, [this, local = local_, remote = remoteDir_, dir = localDir_,
                      name = std::move(name), mode, fail = FailureFor(Op::DownloadFile)] {
            return RunDownload(*local, remote, dir, name, mode, fail);
        });
    }

    void AbortOperation() override
    {
        ThrowIfInjected(Op::AbortOperation);
        {
            const std::lock_guard lock(mutex_);
            if (const auto failure = FailureFor(Op::AbortOperation)) {
                SetErrorLocked(*failure);
                return;
            }
            if (!busy_)
                return;
            abort_ = true;
        }
        jobCv_.notify_all();
    }

    std::u16string RemoteDirectory() override
    {
        ThrowIfInjected(Op::RemoteDirectory);
        const std::lock_guard lock(mutex_);
        std::u16string value;
        if (RequireLocked(true))
            value = ServerTree::Display(remoteDir_);
        InjectFailureLocked(Op::RemoteDirectory);
        return value;
    }

    std::u16string LocalDrives() override
    {
        ThrowIfInjected(Op::LocalDrives);
        const std::lock_guard lock(mutex_);
        std::u16string value;
        if (RequireLocked(false))
            value = u"C:";
        InjectFailureLocked(Op::LocalDrives);
        return value;
    }

    std::u16string RemoteDrives() override
    {
        ThrowIfInjected(Op::RemoteDrives);
        const std::lock_guard lock(mutex_);
        std::u16string value;
        if (RequireLocked(true))
            value = ServerTree::Get().Drives();
        InjectFailureLocked(Op::RemoteDrives);
        return value;
    }

    std::u16string RemoteName() override
    {
        ThrowIfInjected(Op::RemoteName);
        const std::lock_guard lock(mutex_);
        std::u16string value;
        if (RequireLocked(true))
            value = kRemoteName;
        InjectFailureLocked(Op::RemoteName);
        return value;
    }

    bool LongFileNames() override
    {
        ThrowIfInjected(Op::LongFileNames);
        const std::lock_guard lock(mutex_);
        RequireLocked(true);  // a DOS mailbox: 8.3 names only
        InjectFailureLocked(Op::LongFileNames);
        return false;
    }

    bool ErrorOccurred() override
    {
        ThrowIfInjected(Op::ErrorOccurred);
        const std::lock_guard lock(mutex_);
        InjectFailureLocked(Op::ErrorOccurred);
        return error_;
    }

    std::u16string ErrorText() override
    {
        ThrowIfInjected(Op::ErrorText);
        const std::lock_guard lock(mutex_);
        InjectFailureLocked(Op::ErrorText);
        return errorText_;
    }

    void SetWakeCallback(WakeCallback wake) override
    {
        auto shared = wake ? std::make_shared<const WakeCallback>(std::move(wake)) : nullptr;
        const std::lock_guard lock(wakeMutex_);
        wake_.swap(shared);
    }

private:
    using Job = std::function<Outcome()>;

    void ThrowIfInjected(Op op) const
    {
        if (settings_.throws[Index(op)])
            throw std::runtime_error("Velmora: " + std::string(OpName(op)) +
                                     " ist fehlgeschlagen (simulierter Ausfall).");
    }

    std::optional<std::u16string> FailureFor(Op op) const
    {
        if (!settings_.fails[Index(op)])
            return std::nullopt;
        const auto &text = settings_.failTexts[Index(op)];
        return text ? *text : OwnFailureText(op);
    }

    void InjectFailureLocked(Op op)
    {
        if (const auto failure = FailureFor(op))
            SetErrorLocked(*failure);
    }

    void SetErrorLocked(std::u16string text)
    {
        error_ = true;
        errorText_ = std::move(text);
    }

    void ClearErrorLocked()
    {
        error_ = false;
        errorText_.clear();
    }

    bool RequireLocked(bool connection)
    {
        if (!initialized_) {
            SetErrorLocked(kNotInitialized);
            return false;
        }
        if (connection && !connected_) {
            SetErrorLocked(kNoConnection);
            return false;
        }
        return true;
    }

    bool CanStartLocked(Op op, bool connection)
    {
        if (busy_)
            throw std::runtime_error("Velmora ist beschäftigt: " + std::string(OpName(op)) +
                                     " erst nach dem Ende des laufenden Vorgangs aufrufen.");
        return RequireLocked(connection);
    }

    void SetListingLocked(std::vector<DirEntry> entries)
    {
        listing_ = std::move(entries);
        listingPos_ = 0;
    }

    void Launch(std::unique_lock<std::mutex> &lock, Job job)
    {
        ClearErrorLocked();
        busy_ = true;
        busyReported_ = false;
        abort_ = false;
        job_ = std::move(job);
        lock.unlock();
        jobCv_.notify_all();
    }

    // Worker side: waits the scaled time, waking the program on the way.
    // False when the operation is to stop.
    bool Pause(double seconds)
    {
        const auto length = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(seconds * settings_.timeScale));
        const auto deadline = Clock::now() + length;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                const auto sliceEnd = std::min(deadline, Clock::now() + kWakeInterval);
                if (jobCv_.wait_until(lock, sliceEnd, [this] { return abort_; }))
                    return false;
            }
            Wake();
            if (Clock::now() >= deadline)
                return true;
        }
    }

    void Wake()
    {
        std::shared_ptr<const WakeCallback> wake;
        {
            const std::lock_guard lock(wakeMutex_);
            wake = wake_;
        }
        if (!wake)
            return;
        try {
            (*wake)();
        } catch (...) {
            // The program's callback failing must not take the worker down.
        }
    }

    void WorkerLoop()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                jobCv_.wait(lock, [this] { return stop_ || job_ || wakeRequested_; });
                wakeRequested_ = false;
                if (job_) {
                    job = std::move(*job_);
                    job_.reset();
                } else if (stop_) {
                    return;
                }
            }
            Wake();
            if (!job)
                continue;
            Outcome outcome;
            try {
                outcome = job();
            } catch (const std::exception &e) {
                outcome = Failed(u"Interner Fehler: " + Utf8ToUtf16(e.what()));
            }
            {
                const std::lock_guard lock(mutex_);
                switch (outcome.kind) {
                case Outcome::Kind::Aborted:
                    SetErrorLocked(kAborted);
                    break;
                case Outcome::Kind::Failed:
                    SetErrorLocked(std::move(outcome.error));
                    break;
                case Outcome::Kind::Done:
                    if (outcome.commit)
                        outcome.commit();
                    break;
                }
                busy_ = false;
                abort_ = false;
            }
            idleCv_.notify_all();
            Wake();
        }
    }

    Outcome RunDownload(const LocalDrive &local, const ServerPath &remote, const fs::path &dir,
                        const std::u16string &name, int32_t mode,
                        const std::optional<std::u16string> &fail)
    {
        if (!Pause(kDownloadRequestSeconds))
            return Aborted();
        if (mode != 0)
            return Failed(u"Nicht unterstützter Übertragungsmodus: " + DecimalText(mode));
        if (!IsPlainFileName(name))
            return Failed(u"Ungültiger Dateiname: " + name);
        const ServerNode *file = ServerTree::Get().File(remote, name);
        if (!file)
            return Failed(u"Datei nicht gefunden: " + name);
        PartialFile target;
        if (auto error = target.Open(local, dir, Utf16ToUtf8(file->name)); !error.empty())
            return Failed(std::move(error));
        if (!Pause(kDownloadHandshakeSeconds))
            return Aborted();

        // Each block takes about one wake interval on the line.
        const double scale = settings_.timeScale;
        const double perWake = kLineBytesPerSecond * 0.15;
        const std::size_t chunk =
            scale > 0
                ? static_cast<std::size_t>(std::clamp(perWake / scale, 1.0, double(kMaxChunk)))
                : kMaxChunk;
        const auto total = static_cast<std::size_t>(file->size);
        const std::size_t failAt = fail ? total * 2 / 5 : total + 1;  // line trouble midway
        Content content(file->name);
        std::vector<char> block(chunk);
        for (std::size_t done = 0; done < total;) {
            const std::size_t count = std::min(chunk, total - done);
            content.Fill(block.data(), count);
            if (auto error = target.Write(block.data(), count); !error.empty())
                return Failed(std::move(error));
            done += count;
            if (!Pause(static_cast<double>(count) / kLineBytesPerSecond))
                return Aborted();
            if (done >= failAt)
                return Failed(*fail);
        }
        if (auto error = target.Commit(file->modified); !error.empty())
            return Failed(std::move(error));
        return Done();
    }

    const Settings settings_;

    std::mutex mutex_;
    std::condition_variable jobCv_;   // worker: new job, abort, stop, wake request
    std::condition_variable idleCv_;  // Shutdown: operation ended
    std::optional<Job> job_;
    bool busy_ = false;
    bool busyReported_ = true;
    bool abort_ = false;
    bool stop_ = false;
    bool wakeRequested_ = false;
    bool initialized_ = false;
    bool connected_ = false;
    bool error_ = false;
    std::u16string errorText_;
    ServerPath remoteDir_;
    fs::path localDir_;  // below the local root
    std::vector<DirEntry> listing_;
    std::size_t listingPos_ = 0;
    std::shared_ptr<const LocalDrive> local_;
    std::unique_ptr<InstanceLock> instanceLock_;

    std::mutex wakeMutex_;  // only ever held to copy the pointer
    std::shared_ptr<const WakeCallback> wake_;

    std::thread worker_;
};

}  // namespace

std::unique_ptr<TransferEngine> CreateSimEngine(const SimConfig &config)
{
    Settings settings;
    try {
        settings = MakeSettings(config);
    } catch (const std::invalid_argument &e) {
        ReportConfigError(e.what());  // the program drops creation errors silently
        throw;
    }
    if (settings.throws[Index(Op::Create)])
        throw std::runtime_error(
            "Velmora: Erzeugen der Engine fehlgeschlagen (simulierter Ausfall).");
    return std::make_unique<SimEngine>(std::move(settings));
}

std::unique_ptr<TransferEngine> CreateSimEngine()
{
    SimConfig config;
    try {
        config = SimConfig::FromEnvironment();
    } catch (const std::invalid_argument &e) {
        ReportConfigError(e.what());
        throw;
    }
    return CreateSimEngine(config);
}

}  // namespace velmora::sim

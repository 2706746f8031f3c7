#include "SimEngine.h"

#include "Content.h"
#include "FaultInjection.h"
#include "LocalDrive.h"
#include "ServerTree.h"
#include "Text.h"
#include "WorkerEngine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>

namespace velmora::sim {

namespace {

using engine::Job;
using engine::LocalPlace;
using engine::Outcome;

// The mailbox's modem line, about 28.8 kbit/s after protocol overhead.
constexpr double LineBytesPerSecond = 2400.0;
constexpr std::size_t MaxChunk = 64 * 1024;

// Durations at time scale 1, in seconds.
constexpr double DialPhases[] = {1.2, 2.2, 0.8};  // dialling, modem handshake, login
constexpr double HangUpSeconds = 1.0;
constexpr double LocalChangeSeconds = 0.2;
constexpr double LocalReadSeconds = 0.3;
constexpr double RemoteChangeSeconds = 0.7;
constexpr double RemoteReadSeconds = 0.6;
constexpr double RemoteReadPerEntrySeconds = 0.08;
constexpr double DownloadRequestSeconds = 0.5;
constexpr double DownloadHandshakeSeconds = 1.0;

const std::u16string MailboxName = u"Morvante Mailbox Kiel, Knoten 1";

class SimEngine : public FaultInjectingEngine
{
public:
    explicit SimEngine(const Settings &settings)
        : FaultInjectingEngine(settings.local, settings.faults), m_timeScale(settings.timeScale)
    {}

protected:
    Job DialJobLocked(std::u16string, std::u16string, std::u16string, int32_t) override
    {
        return [this, fail = FailureFor(Named("Dial"))]() -> Outcome {
            for (const double phase : DialPhases)
                if (!Pause(phase))
                    return Outcome::Stopped();
            if (fail)
                return Outcome::Failed(*fail);
            return Outcome::Done([this] { m_remoteDir = {}; });
        };
    }

    Job HangUpJobLocked() override
    {
        return [this, fail = FailureFor(Named("HangUp"))]() -> Outcome {
            if (!Pause(HangUpSeconds))
                return Outcome::Stopped();
            if (fail)
                return Outcome::Failed(*fail);
            return Outcome::Done([this] { m_remoteDir = {}; });
        };
    }

    Job ReadRemoteDirectoryJobLocked() override
    {
        return [this, dir = m_remoteDir,
                fail = FailureFor(Named("ReadRemoteDirectory"))]() -> Outcome {
            auto entries = ServerTree::Get().List(dir);
            const double seconds =
                RemoteReadSeconds + RemoteReadPerEntrySeconds * static_cast<double>(entries.size());
            if (!Pause(seconds))
                return Outcome::Stopped();
            if (fail)
                return Outcome::Failed(*fail);
            return Outcome::Done(
                [this, entries]() mutable { SetListingLocked(std::move(entries)); });
        };
    }

    Job ChangeRemoteDirectoryJobLocked(std::u16string path) override
    {
        return [this, dir = m_remoteDir, path = std::move(path),
                fail = FailureFor(Named("ChangeRemoteDirectory"))]() -> Outcome {
            if (!Pause(RemoteChangeSeconds))
                return Outcome::Stopped();
            if (fail)
                return Outcome::Failed(*fail);
            ServerPath next;
            if (auto error = ServerTree::Get().Resolve(dir, path, next); !error.empty())
                return Outcome::Failed(std::move(error));
            return Outcome::Done([this, next] { m_remoteDir = next; });
        };
    }

    Job DownloadFileJobLocked(std::u16string name, LocalPlace target) override
    {
        return [this, target = std::move(target), remote = m_remoteDir, name = std::move(name),
                fail = FailureFor(Named("DownloadFile"))] {
            return RunDownload(*target.drive, remote, target.dir, name, fail);
        };
    }

    std::u16string RemoteDirectoryLocked() override { return ServerTree::Display(m_remoteDir); }
    std::u16string RemoteDrivesLocked() override { return ServerTree::Get().Drives(); }
    std::u16string RemoteNameLocked() override { return MailboxName; }
    bool LongFileNamesLocked() override { return false; }  // a DOS mailbox: 8.3 names only

    void OnShutdown() override
    {
        const auto lock = LockState();
        m_remoteDir = {};
    }

    // A slow drive: its time first, then an injected failure, then the work.
    Job ReadLocalDirectoryJobLocked(Job job) override
    {
        return Local(LocalReadSeconds, FailureFor(Named("ReadLocalDirectory")), std::move(job));
    }

    Job ChangeLocalDirectoryJobLocked(Job job) override
    {
        return Local(LocalChangeSeconds, FailureFor(Named("ChangeLocalDirectory")), std::move(job));
    }

private:
    Job Local(double seconds, std::optional<std::u16string> fail, Job job)
    {
        return [this, seconds, fail = std::move(fail), job = std::move(job)]() {
            if (!Pause(seconds))
                return Outcome::Stopped();
            return fail ? Outcome::Failed(*fail) : job();
        };
    }

    // Waits the scaled time, waking the program on the way. False when the
    // operation is to stop.
    bool Pause(double seconds)
    {
        return Wait(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(seconds * m_timeScale)));
    }

    Outcome RunDownload(const engine::LocalDrive &local, const ServerPath &remote,
                        const std::filesystem::path &dir, const std::u16string &name,
                        const std::optional<std::u16string> &fail)
    {
        if (!Pause(DownloadRequestSeconds))
            return Outcome::Stopped();
        const ServerNode *file = ServerTree::Get().File(remote, name);
        if (!file)
            return Outcome::Failed(u"Datei nicht gefunden: " + name);
        engine::PartialFile target;
        if (auto error = target.Open(local, dir, engine::Utf16ToUtf8(file->name)); !error.empty())
            return Outcome::Failed(std::move(error));
        if (!Pause(DownloadHandshakeSeconds))
            return Outcome::Stopped();

        // Each block takes about one wake interval on the line.
        const double scale = m_timeScale;
        const double perWake = LineBytesPerSecond * 0.15;
        const std::size_t chunk =
            scale > 0 ? static_cast<std::size_t>(std::clamp(perWake / scale, 1.0, double(MaxChunk)))
                      : MaxChunk;
        const auto total = static_cast<std::size_t>(file->size);
        const std::size_t failAt = fail ? total * 2 / 5 : total + 1;  // line trouble midway
        Content content(file->name);
        std::vector<char> block(chunk);
        for (std::size_t done = 0; done < total;) {
            const std::size_t count = std::min(chunk, total - done);
            content.Fill(block.data(), count);
            if (auto error = target.Write(block.data(), count); !error.empty())
                return Outcome::Failed(std::move(error));
            done += count;
            if (!Pause(static_cast<double>(count) / LineBytesPerSecond))
                return Outcome::Stopped();
            if (done >= failAt)
                return Outcome::Failed(*fail);
        }
        if (auto error = target.Commit(file->modified); !error.empty())
            return Outcome::Failed(std::move(error));
        return Outcome::Done();
    }

    const double m_timeScale;
    ServerPath m_remoteDir;  // guarded by the state lock
};

}  // namespace

std::unique_ptr<TransferEngine> CreateSimEngine(const SimConfig &config)
{
    Settings settings;
    try {
        settings = MakeSettings(config);
    } catch (const std::invalid_argument &e) {
        engine::ReportOnce("velmora-sim", e.what());  // the program drops creation errors silently
        throw;
    }
    if (settings.throwOnCreate)
        throw std::runtime_error(
            "Velmora: Erzeugen der Engine fehlgeschlagen (simulierter Ausfall).");
    return engine::MakeWorkerEngine<SimEngine>(settings);
}

std::unique_ptr<TransferEngine> CreateSimEngine()
{
    SimConfig config;
    try {
        config = SimConfig::FromEnvironment();
    } catch (const std::invalid_argument &e) {
        engine::ReportOnce("velmora-sim", e.what());
        throw;
    }
    return CreateSimEngine(config);
}

}  // namespace velmora::sim

#include "WorkerEngine.h"

#include "InstanceLock.h"
#include "Text.h"

#include <algorithm>
#include <stdexcept>

namespace velmora::engine {

namespace {

namespace fs = std::filesystem;

const std::u16string NotInitialized = u"Velmora ist nicht initialisiert.";
const std::u16string NoConnection = u"Keine Verbindung zum Server.";
const std::u16string AlreadyConnected = u"Es besteht bereits eine Verbindung.";
const std::u16string Aborted = u"Vorgang abgebrochen.";

constexpr const char *CallNames[CallCount] = {
    "AlreadyRunning",
    "Initialize",
    "Shutdown",
    "LocalDirectory",
    "Busy",
    "ReadLocalDirectory",
    "NextDirEntry",
    "Dial",
    "HangUp",
    "ReadRemoteDirectory",
    "ChangeLocalDirectory",
    "ChangeRemoteDirectory",
    "DownloadFile",
    "AbortOperation",
    "RemoteDirectory",
    "LocalDrives",
    "RemoteDrives",
    "RemoteName",
    "LongFileNames",
    "ErrorOccurred",
    "ErrorText",
};

}  // namespace

std::string_view CallName(Call call)
{
    return CallNames[static_cast<std::size_t>(call)];
}

std::optional<Call> CallFromName(std::string_view name)
{
    for (std::size_t i = 0; i < CallCount; ++i)
        if (CallNames[i] == name)
            return static_cast<Call>(i);
    return std::nullopt;
}

Outcome Outcome::Done(std::function<void()> commit)
{
    return {Kind::Done, {}, std::move(commit)};
}

Outcome Outcome::Failed(std::u16string error, std::function<void()> commit)
{
    return {Kind::Failed, std::move(error), std::move(commit)};
}

Outcome Outcome::Stopped(std::function<void()> commit)
{
    return {Kind::Stopped, {}, std::move(commit)};
}

LocalSettings LocalSettings::Make(const fs::path &root, const fs::path &lockDir)
{
    LocalSettings settings;
    std::error_code ec;
    const fs::path chosenRoot = root.empty() ? DefaultLocalRoot() : root;
    settings.root = chosenRoot.empty() ? chosenRoot : fs::absolute(chosenRoot, ec);
    const fs::path chosenLockDir = lockDir.empty() ? DefaultLockDir() : lockDir;
    settings.lockFile = fs::absolute(chosenLockDir, ec) / InstanceLock::FileName;
    return settings;
}

WorkerEngine::WorkerEngine(LocalSettings local) : m_localSettings(std::move(local))
{
    m_worker = std::thread([this] { WorkerLoop(); });
}

WorkerEngine::~WorkerEngine()
{
    StopWorker();
}

void WorkerEngine::StopWorker()
{
    if (!m_worker.joinable())
        return;
    {
        const std::lock_guard lock(m_wakeMutex);
        m_wake.reset();  // the owner may be half gone already
    }
    bool busy = false;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        m_abort = true;
        busy = m_busy;
    }
    m_jobCv.notify_all();
    if (busy)
        OnAbortRequested();
    m_worker.join();
}

bool WorkerEngine::AlreadyRunning()
{
    BeforeCall(Call::AlreadyRunning);
    const std::lock_guard lock(m_mutex);
    bool running = m_localSettings.reportRunning;
    // Our own lock is no other instance.
    if (!running && !m_instanceLock) {
        try {
            running = InstanceLock::HeldElsewhere(m_localSettings.lockFile);
        } catch (const std::exception &e) {
            SetErrorLocked(Utf8ToUtf16(e.what()));
        }
    }
    InjectFailureLocked(Call::AlreadyRunning);
    return running;
}

void WorkerEngine::Initialize()
{
    BeforeCall(Call::Initialize);
    const std::lock_guard lock(m_mutex);
    ClearErrorLocked();
    if (const auto failure = InjectedFailure(Call::Initialize)) {
        SetErrorLocked(*failure);
        return;
    }
    if (m_initialized)
        return;
    if (m_localSettings.root.empty())
        throw std::runtime_error(
            "Velmora: kein Ordner für Laufwerk C: (weder HOME noch XDG_DATA_HOME gesetzt).");
    auto held = InstanceLock::TryAcquire(m_localSettings.lockFile);
    if (!held)
        throw std::runtime_error("Velmora läuft bereits (Sperre " +
                                 m_localSettings.lockFile.string() + " ist belegt).");
    m_local = std::make_shared<const LocalDrive>(m_localSettings.root);
    m_instanceLock = std::move(held);
    m_initialized = true;
    m_localDir.clear();
}

void WorkerEngine::Shutdown()
{
    BeforeCall(Call::Shutdown);
    std::unique_lock lock(m_mutex);
    if (const auto failure = InjectedFailure(Call::Shutdown)) {
        SetErrorLocked(*failure);
        return;
    }
    if (!m_initialized)
        return;
    if (m_busy) {
        m_abort = true;
        lock.unlock();
        m_jobCv.notify_all();
        OnAbortRequested();
        lock.lock();
        m_idleCv.wait(lock, [this] { return !m_busy; });
    }
    m_initialized = false;
    m_connected = false;
    m_localDir.clear();
    m_listing.clear();
    m_listingPos = 0;
    m_local.reset();
    m_instanceLock.reset();
    lock.unlock();
    OnShutdown();
}

std::u16string WorkerEngine::LocalDirectory()
{
    return Query<std::u16string>(Call::LocalDirectory, false,
                                 [this] { return LocalDrive::Display(m_localDir); });
}

bool WorkerEngine::Busy()
{
    BeforeCall(Call::Busy);
    bool answer = false;
    bool lateAnswer = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_busy || !m_busyReported) {
            // An operation that ended before anyone asked still counts as
            // busy once; the extra wake keeps a waiting caller from stalling.
            answer = true;
            lateAnswer = !m_busy;
            m_busyReported = true;
            m_wakeRequested = m_wakeRequested || lateAnswer;
        }
        InjectFailureLocked(Call::Busy);
    }
    if (lateAnswer)
        m_jobCv.notify_all();
    return answer;
}

void WorkerEngine::ReadLocalDirectory()
{
    StartLocalJob(Call::ReadLocalDirectory, false, {});
}

void WorkerEngine::ChangeLocalDirectory(std::u16string path)
{
    StartLocalJob(Call::ChangeLocalDirectory, true, std::move(path));
}

void WorkerEngine::StartLocalJob(Call call, bool change, std::u16string path)
{
    BeforeCall(call);
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked(call, false))
        return;
    Launch(lock, call,
           [this, call, change, local = m_local, dir = m_localDir, path = std::move(path),
            fail = InjectedFailure(call)]() -> Outcome {
               if (!SpendLocalTime(call))
                   return Outcome::Stopped();
               if (fail)
                   return Outcome::Failed(*fail);
               if (change) {
                   fs::path next;
                   if (auto error = local->ChangeDirectory(dir, path, next); !error.empty())
                       return Outcome::Failed(std::move(error));
                   return Outcome::Done([this, next] { m_localDir = next; });
               }
               std::vector<DirEntry> entries;
               if (auto error = local->List(dir, entries); !error.empty())
                   return Outcome::Failed(std::move(error));
               return Outcome::Done(
                   [this, entries]() mutable { SetListingLocked(std::move(entries)); });
           });
}

int32_t WorkerEngine::NextDirEntry(DirEntry &entry)
{
    BeforeCall(Call::NextDirEntry);
    const std::lock_guard lock(m_mutex);
    if (!RequireLocked(false))
        return DirListingEnd;
    if (const auto failure = InjectedFailure(Call::NextDirEntry)) {
        SetErrorLocked(*failure);
        return DirListingEnd;
    }
    if (m_listingPos >= m_listing.size())
        return DirListingEnd;
    entry = m_listing[m_listingPos++];
    return 0;
}

void WorkerEngine::Dial(std::u16string number, std::u16string user, std::u16string password,
                        int32_t retries)
{
    BeforeCall(Call::Dial);
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked(Call::Dial, false))
        return;
    if (m_connected) {
        SetErrorLocked(AlreadyConnected);
        return;
    }
    if (number.empty()) {
        SetErrorLocked(u"Keine Rufnummer angegeben.");
        return;
    }
    Launch(lock, Call::Dial,
           DialJobLocked(std::move(number), std::move(user), std::move(password), retries));
}

void WorkerEngine::HangUp()
{
    BeforeCall(Call::HangUp);
    std::unique_lock lock(m_mutex);
    if (CanStartLocked(Call::HangUp, true))
        Launch(lock, Call::HangUp, HangUpJobLocked());
}

void WorkerEngine::ReadRemoteDirectory()
{
    BeforeCall(Call::ReadRemoteDirectory);
    std::unique_lock lock(m_mutex);
    if (CanStartLocked(Call::ReadRemoteDirectory, true))
        Launch(lock, Call::ReadRemoteDirectory, ReadRemoteDirectoryJobLocked());
}

void WorkerEngine::ChangeRemoteDirectory(std::u16string path)
{
    BeforeCall(Call::ChangeRemoteDirectory);
    std::unique_lock lock(m_mutex);
    if (CanStartLocked(Call::ChangeRemoteDirectory, true))
        Launch(lock, Call::ChangeRemoteDirectory, ChangeRemoteDirectoryJobLocked(std::move(path)));
}

void WorkerEngine::DownloadFile(std::u16string name, int32_t mode)
{
    BeforeCall(Call::DownloadFile);
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked(Call::DownloadFile, true))
        return;
    if (mode != 0) {
        SetErrorLocked(u"Nicht unterstützter Übertragungsmodus: " + DecimalText(mode));
        return;
    }
    if (!IsPlainFileName(name)) {
        SetErrorLocked(u"Ungültiger Dateiname: " + name);
        return;
    }
    Launch(lock, Call::DownloadFile,
           DownloadFileJobLocked(std::move(name), LocalPlace{m_local, m_localDir}));
}

void WorkerEngine::AbortOperation()
{
    BeforeCall(Call::AbortOperation);
    {
        const std::lock_guard lock(m_mutex);
        if (const auto failure = InjectedFailure(Call::AbortOperation)) {
            SetErrorLocked(*failure);
            return;
        }
        if (!m_busy)
            return;
        m_abort = true;
    }
    m_jobCv.notify_all();
    OnAbortRequested();
}

std::u16string WorkerEngine::RemoteDirectory()
{
    return Query<std::u16string>(Call::RemoteDirectory, true,
                                 [this] { return RemoteDirectoryLocked(); });
}

std::u16string WorkerEngine::LocalDrives()
{
    return Query<std::u16string>(Call::LocalDrives, false, [] { return std::u16string(u"C:"); });
}

std::u16string WorkerEngine::RemoteDrives()
{
    return Query<std::u16string>(Call::RemoteDrives, true, [this] { return RemoteDrivesLocked(); });
}

std::u16string WorkerEngine::RemoteName()
{
    return Query<std::u16string>(Call::RemoteName, true, [this] { return RemoteNameLocked(); });
}

bool WorkerEngine::LongFileNames()
{
    return Query<bool>(Call::LongFileNames, true, [this] { return LongFileNamesLocked(); });
}

bool WorkerEngine::ErrorOccurred()
{
    BeforeCall(Call::ErrorOccurred);
    const std::lock_guard lock(m_mutex);
    InjectFailureLocked(Call::ErrorOccurred);
    return m_error;
}

std::u16string WorkerEngine::ErrorText()
{
    BeforeCall(Call::ErrorText);
    const std::lock_guard lock(m_mutex);
    InjectFailureLocked(Call::ErrorText);
    return m_errorText;
}

void WorkerEngine::SetWakeCallback(WakeCallback wake)
{
    auto shared = wake ? std::make_shared<const WakeCallback>(std::move(wake)) : nullptr;
    const std::lock_guard lock(m_wakeMutex);
    m_wake.swap(shared);
}

// A query's value, or the default when a precondition is missing.
template <typename Value, typename Get>
Value WorkerEngine::Query(Call call, bool connection, Get get)
{
    BeforeCall(call);
    const std::lock_guard lock(m_mutex);
    Value value{};
    if (RequireLocked(connection))
        value = get();
    InjectFailureLocked(call);
    return value;
}

void WorkerEngine::SetListingLocked(std::vector<DirEntry> entries)
{
    m_listing = std::move(entries);
    m_listingPos = 0;
}

void WorkerEngine::SetErrorLocked(std::u16string text)
{
    m_error = true;
    m_errorText = std::move(text);
}

void WorkerEngine::ClearErrorLocked()
{
    m_error = false;
    m_errorText.clear();
}

void WorkerEngine::InjectFailureLocked(Call call)
{
    if (const auto failure = InjectedFailure(call))
        SetErrorLocked(*failure);
}

bool WorkerEngine::RequireLocked(bool connection)
{
    if (!m_initialized) {
        SetErrorLocked(NotInitialized);
        return false;
    }
    if (connection && !m_connected) {
        SetErrorLocked(NoConnection);
        return false;
    }
    return true;
}

bool WorkerEngine::CanStartLocked(Call call, bool connection)
{
    if (m_busy)
        throw std::runtime_error("Velmora ist beschäftigt: " + std::string(CallName(call)) +
                                 " erst nach dem Ende des laufenden Vorgangs aufrufen.");
    return RequireLocked(connection);
}

void WorkerEngine::Launch(std::unique_lock<std::mutex> &lock, Call call, Job job)
{
    ClearErrorLocked();
    m_busy = true;
    m_busyReported = false;
    m_abort = false;
    m_jobCall = call;
    m_job = std::move(job);
    lock.unlock();
    m_jobCv.notify_all();
}

bool WorkerEngine::Wait(Clock::duration length)
{
    const auto deadline = Clock::now() + length;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            const auto sliceEnd = std::min(deadline, Clock::now() + WakeInterval);
            if (m_jobCv.wait_until(lock, sliceEnd, [this] { return m_abort.load(); }))
                return false;
        }
        Wake();
        if (Clock::now() >= deadline)
            return true;
    }
}

void WorkerEngine::Wake()
{
    std::shared_ptr<const WakeCallback> wake;
    {
        const std::lock_guard lock(m_wakeMutex);
        wake = m_wake;
    }
    if (!wake)
        return;
    try {
        (*wake)();
    } catch (...) {
        // The program's callback failing must not take the worker down.
    }
}

void WorkerEngine::WorkerLoop()
{
    for (;;) {
        Job job;
        Call call = Call::Busy;
        {
            std::unique_lock lock(m_mutex);
            m_jobCv.wait(lock, [this] { return m_stop || m_job || m_wakeRequested; });
            m_wakeRequested = false;
            if (m_job) {
                job = std::move(*m_job);
                m_job.reset();
                call = m_jobCall;
            } else if (m_stop) {
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
            outcome = Outcome::Failed(u"Interner Fehler: " + Utf8ToUtf16(e.what()));
        } catch (...) {
            outcome = Outcome::Failed(u"Interner Fehler.");
        }
        {
            const std::lock_guard lock(m_mutex);
            switch (outcome.kind) {
            case Outcome::Kind::Stopped:
                SetErrorLocked(Aborted);
                break;
            case Outcome::Kind::Failed:
                SetErrorLocked(std::move(outcome.error));
                break;
            case Outcome::Kind::Done:
                if (call == Call::Dial)
                    m_connected = true;
                else if (call == Call::HangUp)
                    m_connected = false;
                break;
            }
            if (outcome.commit)
                outcome.commit();
            m_busy = false;
            m_abort = false;
        }
        m_idleCv.notify_all();
        Wake();
    }
}

}  // namespace velmora::engine

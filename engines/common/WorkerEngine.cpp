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

}  // namespace

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
    return running;
}

void WorkerEngine::Initialize()
{
    const std::lock_guard lock(m_mutex);
    ClearErrorLocked();
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
    std::unique_lock lock(m_mutex);
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
    return Query<std::u16string>(false, [this] { return LocalDrive::Display(m_localDir); });
}

bool WorkerEngine::Busy()
{
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
    }
    if (lateAnswer)
        m_jobCv.notify_all();
    return answer;
}

void WorkerEngine::ReadLocalDirectory()
{
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked("ReadLocalDirectory", false))
        return;
    Launch(lock, ReadLocalDirectoryJobLocked([this, local = m_local, dir = m_localDir]() {
               std::vector<DirEntry> entries;
               if (auto error = local->List(dir, entries); !error.empty())
                   return Outcome::Failed(std::move(error));
               return Outcome::Done(
                   [this, entries]() mutable { SetListingLocked(std::move(entries)); });
           }));
}

void WorkerEngine::ChangeLocalDirectory(std::u16string path)
{
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked("ChangeLocalDirectory", false))
        return;
    Launch(lock, ChangeLocalDirectoryJobLocked(
                     [this, local = m_local, dir = m_localDir, path = std::move(path)]() {
                         fs::path next;
                         if (auto error = local->ChangeDirectory(dir, path, next); !error.empty())
                             return Outcome::Failed(std::move(error));
                         return Outcome::Done([this, next] { m_localDir = next; });
                     }));
}

int32_t WorkerEngine::NextDirEntry(DirEntry &entry)
{
    const std::lock_guard lock(m_mutex);
    if (!RequireLocked(false))
        return DirListingEnd;
    if (m_listingPos >= m_listing.size())
        return DirListingEnd;
    entry = m_listing[m_listingPos++];
    return 0;
}

void WorkerEngine::Dial(std::u16string number, std::u16string user, std::u16string password,
                        int32_t retries)
{
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked("Dial", false))
        return;
    if (m_connected) {
        SetErrorLocked(AlreadyConnected);
        return;
    }
    if (number.empty()) {
        SetErrorLocked(u"Keine Rufnummer angegeben.");
        return;
    }
    Launch(lock, DialJobLocked(std::move(number), std::move(user), std::move(password), retries),
           true);
}

void WorkerEngine::HangUp()
{
    std::unique_lock lock(m_mutex);
    if (CanStartLocked("HangUp", true))
        Launch(lock, HangUpJobLocked(), false);
}

void WorkerEngine::ReadRemoteDirectory()
{
    std::unique_lock lock(m_mutex);
    if (CanStartLocked("ReadRemoteDirectory", true))
        Launch(lock, ReadRemoteDirectoryJobLocked());
}

void WorkerEngine::ChangeRemoteDirectory(std::u16string path)
{
    std::unique_lock lock(m_mutex);
    if (CanStartLocked("ChangeRemoteDirectory", true))
        Launch(lock, ChangeRemoteDirectoryJobLocked(std::move(path)));
}

void WorkerEngine::DownloadFile(std::u16string name, int32_t mode)
{
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked("DownloadFile", true))
        return;
    if (mode != 0) {
        SetErrorLocked(u"Nicht unterstützter Übertragungsmodus: " + DecimalText(mode));
        return;
    }
    if (!IsPlainFileName(name)) {
        SetErrorLocked(u"Ungültiger Dateiname: " + name);
        return;
    }
    Launch(lock, DownloadFileJobLocked(std::move(name), LocalPlace{m_local, m_localDir}));
}

void WorkerEngine::AbortOperation()
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_busy)
            return;
        m_abort = true;
    }
    m_jobCv.notify_all();
    OnAbortRequested();
}

std::u16string WorkerEngine::RemoteDirectory()
{
    return Query<std::u16string>(true, [this] { return RemoteDirectoryLocked(); });
}

std::u16string WorkerEngine::LocalDrives()
{
    return Query<std::u16string>(false, [] { return std::u16string(u"C:"); });
}

std::u16string WorkerEngine::RemoteDrives()
{
    return Query<std::u16string>(true, [this] { return RemoteDrivesLocked(); });
}

std::u16string WorkerEngine::RemoteName()
{
    return Query<std::u16string>(true, [this] { return RemoteNameLocked(); });
}

bool WorkerEngine::LongFileNames()
{
    return Query<bool>(true, [this] { return LongFileNamesLocked(); });
}

bool WorkerEngine::ErrorOccurred()
{
    const std::lock_guard lock(m_mutex);
    return m_error;
}

std::u16string WorkerEngine::ErrorText()
{
    const std::lock_guard lock(m_mutex);
    return m_errorText;
}

void WorkerEngine::SetWakeCallback(WakeCallback wake)
{
    auto shared = wake ? std::make_shared<const WakeCallback>(std::move(wake)) : nullptr;
    const std::lock_guard lock(m_wakeMutex);
    m_wake.swap(shared);
}

// A query's value, or the default when a precondition is missing.
template <typename Value, typename Get> Value WorkerEngine::Query(bool connection, Get get)
{
    const std::lock_guard lock(m_mutex);
    Value value{};
    if (RequireLocked(connection))
        value = get();
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

bool WorkerEngine::CanStartLocked(const char *name, bool connection)
{
    if (m_busy)
        throw std::runtime_error("Velmora ist beschäftigt: " + std::string(name) +
                                 " erst nach dem Ende des laufenden Vorgangs aufrufen.");
    return RequireLocked(connection);
}

void WorkerEngine::Launch(std::unique_lock<std::mutex> &lock, Job job,
                          std::optional<bool> connectedWhenDone)
{
    ClearErrorLocked();
    m_busy = true;
    m_busyReported = false;
    m_abort = false;
    m_connectedWhenDone = connectedWhenDone;
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
        std::optional<bool> connectedWhenDone;
        {
            std::unique_lock lock(m_mutex);
            m_jobCv.wait(lock, [this] { return m_stop || m_job || m_wakeRequested; });
            m_wakeRequested = false;
            if (m_job) {
                job = std::move(*m_job);
                m_job.reset();
                connectedWhenDone = m_connectedWhenDone;
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
                m_connected = connectedWhenDone.value_or(m_connected);
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

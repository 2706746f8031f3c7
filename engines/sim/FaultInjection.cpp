#include "FaultInjection.h"

#include <stdexcept>

namespace velmora::sim {

namespace {

struct CallFacts
{
    Call call;
    std::string_view name;
    std::u16string_view ownFailure;
};

constexpr CallFacts Calls[] = {
    {Call::AlreadyRunning, "AlreadyRunning",
     u"Status der Velmora-Sperre konnte nicht geprüft werden."},
    {Call::Initialize, "Initialize",
     u"Velmora konnte nicht initialisiert werden: Modem antwortet nicht."},
    {Call::Shutdown, "Shutdown", u"Velmora konnte nicht ordnungsgemäß beendet werden."},
    {Call::LocalDirectory, "LocalDirectory", u"Lokales Verzeichnis konnte nicht ermittelt werden."},
    {Call::Busy, "Busy", u"Betriebszustand konnte nicht abgefragt werden."},
    {Call::ReadLocalDirectory, "ReadLocalDirectory",
     u"Lokales Verzeichnis konnte nicht gelesen werden."},
    {Call::NextDirEntry, "NextDirEntry", u"Verzeichniseintrag konnte nicht gelesen werden."},
    {Call::Dial, "Dial", u"Keine Verbindung: Die Gegenstelle antwortet nicht (NO CARRIER)."},
    {Call::HangUp, "HangUp", u"Auflegen fehlgeschlagen: Das Modem antwortet nicht."},
    {Call::ReadRemoteDirectory, "ReadRemoteDirectory",
     u"Verzeichnis des Servers konnte nicht gelesen werden."},
    {Call::ChangeLocalDirectory, "ChangeLocalDirectory",
     u"Lokaler Verzeichniswechsel fehlgeschlagen."},
    {Call::ChangeRemoteDirectory, "ChangeRemoteDirectory",
     u"Verzeichniswechsel auf dem Server fehlgeschlagen."},
    {Call::DownloadFile, "DownloadFile", u"Übertragung abgebrochen: zu viele Prüfsummenfehler."},
    {Call::AbortOperation, "AbortOperation",
     u"Der laufende Vorgang konnte nicht abgebrochen werden."},
    {Call::RemoteDirectory, "RemoteDirectory",
     u"Verzeichnis des Servers konnte nicht ermittelt werden."},
    {Call::LocalDrives, "LocalDrives", u"Lokale Laufwerke konnten nicht ermittelt werden."},
    {Call::RemoteDrives, "RemoteDrives", u"Laufwerke des Servers konnten nicht ermittelt werden."},
    {Call::RemoteName, "RemoteName", u"Name der Gegenstelle konnte nicht ermittelt werden."},
    {Call::LongFileNames, "LongFileNames", u"Dateinamen-Fähigkeiten der Gegenstelle unbekannt."},
    {Call::ErrorOccurred, "ErrorOccurred", u"Fehlerstatus konnte nicht gelesen werden."},
    {Call::ErrorText, "ErrorText", u"Fehlertext konnte nicht gelesen werden."},
};

constexpr bool InOrder()
{
    for (std::size_t i = 0; i < std::size(Calls); ++i)
        if (Index(Calls[i].call) != i)
            return false;
    return std::size(Calls) == CallCount;
}
static_assert(InOrder(), "one row per Call, in the order of Call");

const CallFacts &Facts(Call call)
{
    return Calls[Index(call)];
}

}  // namespace

std::string_view CallName(Call call)
{
    return Facts(call).name;
}

std::optional<Call> CallFromName(std::string_view name)
{
    for (const auto &facts : Calls)
        if (facts.name == name)
            return facts.call;
    return std::nullopt;
}

std::u16string OwnFailureText(Call call)
{
    return std::u16string(Facts(call).ownFailure);
}

FaultInjectingEngine::FaultInjectingEngine(engine::LocalSettings local, Faults faults)
    : WorkerEngine(std::move(local)), m_faults(std::move(faults))
{}

const std::optional<std::u16string> &FaultInjectingEngine::FailureFor(Call call) const
{
    return m_faults.failures[Index(call)];
}

void FaultInjectingEngine::ThrowIfAsked(Call call) const
{
    if (m_faults.throws[Index(call)])
        throw std::runtime_error("Velmora: " + std::string(CallName(call)) +
                                 " ist fehlgeschlagen (simulierter Ausfall).");
}

void FaultInjectingEngine::FailIfAsked(Call call)
{
    if (const auto &failure = FailureFor(call)) {
        const auto lock = LockState();
        SetErrorLocked(*failure);
    }
}

bool FaultInjectingEngine::Replaced(Call call)
{
    ThrowIfAsked(call);
    FailIfAsked(call);
    return FailureFor(call).has_value();
}

// A query: its value, then its failure.
template <typename Get> auto FaultInjectingEngine::Query(Call call, Get get)
{
    ThrowIfAsked(call);
    auto value = get();
    FailIfAsked(call);
    return value;
}

bool FaultInjectingEngine::AlreadyRunning()
{
    return Query(Call::AlreadyRunning, [this] { return WorkerEngine::AlreadyRunning(); });
}

void FaultInjectingEngine::Initialize()
{
    if (!Replaced(Call::Initialize))
        WorkerEngine::Initialize();
}

void FaultInjectingEngine::Shutdown()
{
    if (!Replaced(Call::Shutdown))
        WorkerEngine::Shutdown();
}

std::u16string FaultInjectingEngine::LocalDirectory()
{
    return Query(Call::LocalDirectory, [this] { return WorkerEngine::LocalDirectory(); });
}

bool FaultInjectingEngine::Busy()
{
    return Query(Call::Busy, [this] { return WorkerEngine::Busy(); });
}

void FaultInjectingEngine::ReadLocalDirectory()
{
    ThrowIfAsked(Call::ReadLocalDirectory);
    WorkerEngine::ReadLocalDirectory();
}

int32_t FaultInjectingEngine::NextDirEntry(DirEntry &entry)
{
    return Replaced(Call::NextDirEntry) ? DirListingEnd : WorkerEngine::NextDirEntry(entry);
}

void FaultInjectingEngine::Dial(std::u16string number, std::u16string user, std::u16string password,
                                int32_t retries)
{
    ThrowIfAsked(Call::Dial);
    WorkerEngine::Dial(std::move(number), std::move(user), std::move(password), retries);
}

void FaultInjectingEngine::HangUp()
{
    ThrowIfAsked(Call::HangUp);
    WorkerEngine::HangUp();
}

void FaultInjectingEngine::ReadRemoteDirectory()
{
    ThrowIfAsked(Call::ReadRemoteDirectory);
    WorkerEngine::ReadRemoteDirectory();
}

void FaultInjectingEngine::ChangeLocalDirectory(std::u16string path)
{
    ThrowIfAsked(Call::ChangeLocalDirectory);
    WorkerEngine::ChangeLocalDirectory(std::move(path));
}

void FaultInjectingEngine::ChangeRemoteDirectory(std::u16string path)
{
    ThrowIfAsked(Call::ChangeRemoteDirectory);
    WorkerEngine::ChangeRemoteDirectory(std::move(path));
}

void FaultInjectingEngine::DownloadFile(std::u16string name, int32_t mode)
{
    ThrowIfAsked(Call::DownloadFile);
    WorkerEngine::DownloadFile(std::move(name), mode);
}

void FaultInjectingEngine::AbortOperation()
{
    if (!Replaced(Call::AbortOperation))
        WorkerEngine::AbortOperation();
}

std::u16string FaultInjectingEngine::RemoteDirectory()
{
    return Query(Call::RemoteDirectory, [this] { return WorkerEngine::RemoteDirectory(); });
}

std::u16string FaultInjectingEngine::LocalDrives()
{
    return Query(Call::LocalDrives, [this] { return WorkerEngine::LocalDrives(); });
}

std::u16string FaultInjectingEngine::RemoteDrives()
{
    return Query(Call::RemoteDrives, [this] { return WorkerEngine::RemoteDrives(); });
}

std::u16string FaultInjectingEngine::RemoteName()
{
    return Query(Call::RemoteName, [this] { return WorkerEngine::RemoteName(); });
}

bool FaultInjectingEngine::LongFileNames()
{
    return Query(Call::LongFileNames, [this] { return WorkerEngine::LongFileNames(); });
}

// The error state's own queries fail first, so they report their own failure.
bool FaultInjectingEngine::ErrorOccurred()
{
    ThrowIfAsked(Call::ErrorOccurred);
    FailIfAsked(Call::ErrorOccurred);
    return WorkerEngine::ErrorOccurred();
}

std::u16string FaultInjectingEngine::ErrorText()
{
    ThrowIfAsked(Call::ErrorText);
    FailIfAsked(Call::ErrorText);
    return WorkerEngine::ErrorText();
}

}  // namespace velmora::sim

#pragma once

// Fault injection, the simulated engine's way to bring about every end a demo
// run can have: what it can name, the settings it makes, and the layer that
// puts the faults between the program and the shared engine code.

#include "SimEngine.h"
#include "WorkerEngine.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace velmora::sim {

// The calls of TransferEngine that fault injection can name, spelt as the
// methods, each with the engine's own message for a FAIL without a text.
struct CallFacts
{
    std::string_view name;
    std::u16string_view ownFailure;
};

inline constexpr CallFacts Calls[] = {
    {"AlreadyRunning", u"Status der Velmora-Sperre konnte nicht geprüft werden."},
    {"Initialize", u"Velmora konnte nicht initialisiert werden: Modem antwortet nicht."},
    {"Shutdown", u"Velmora konnte nicht ordnungsgemäß beendet werden."},
    {"LocalDirectory", u"Lokales Verzeichnis konnte nicht ermittelt werden."},
    {"Busy", u"Betriebszustand konnte nicht abgefragt werden."},
    {"ReadLocalDirectory", u"Lokales Verzeichnis konnte nicht gelesen werden."},
    {"NextDirEntry", u"Verzeichniseintrag konnte nicht gelesen werden."},
    {"Dial", u"Keine Verbindung: Die Gegenstelle antwortet nicht (NO CARRIER)."},
    {"HangUp", u"Auflegen fehlgeschlagen: Das Modem antwortet nicht."},
    {"ReadRemoteDirectory", u"Verzeichnis des Servers konnte nicht gelesen werden."},
    {"ChangeLocalDirectory", u"Lokaler Verzeichniswechsel fehlgeschlagen."},
    {"ChangeRemoteDirectory", u"Verzeichniswechsel auf dem Server fehlgeschlagen."},
    {"DownloadFile", u"Übertragung abgebrochen: zu viele Prüfsummenfehler."},
    {"AbortOperation", u"Der laufende Vorgang konnte nicht abgebrochen werden."},
    {"RemoteDirectory", u"Verzeichnis des Servers konnte nicht ermittelt werden."},
    {"LocalDrives", u"Lokale Laufwerke konnten nicht ermittelt werden."},
    {"RemoteDrives", u"Laufwerke des Servers konnten nicht ermittelt werden."},
    {"RemoteName", u"Name der Gegenstelle konnte nicht ermittelt werden."},
    {"LongFileNames", u"Dateinamen-Fähigkeiten der Gegenstelle unbekannt."},
    {"ErrorOccurred", u"Fehlerstatus konnte nicht gelesen werden."},
    {"ErrorText", u"Fehlertext konnte nicht gelesen werden."},
};
inline constexpr std::size_t CallCount = std::size(Calls);

// A row of Calls.
enum class Call : std::size_t {};

constexpr std::size_t Index(Call call)
{
    return static_cast<std::size_t>(call);
}

// The call of that name, looked up while compiling: a misspelt name does not build.
consteval Call Named(std::string_view name)
{
    for (std::size_t i = 0; i < CallCount; ++i)
        if (Calls[i].name == name)
            return Call{i};
    throw "no call of TransferEngine has this name";
}

// The same at run time, for names from the environment.
std::optional<Call> CallFromName(std::string_view name);

// Besides the calls, fault injection knows creating the engine (THROW only).
inline constexpr std::string_view CreateName = "Create";

struct Faults
{
    std::array<bool, CallCount> throws{};                             // the call throws
    std::array<std::optional<std::u16string>, CallCount> failures{};  // the call fails so
};

struct Settings
{
    double timeScale = 1.0;
    engine::LocalSettings local;
    bool throwOnCreate = false;
    Faults faults;
};

// Checks the configuration and fills in the defaults; throws std::invalid_argument.
Settings MakeSettings(const SimConfig &config);

// The shared engine code with faults: a call named in throws throws
// std::runtime_error before it does anything else. A call named in failures
// sets the error state to its text: a query still returns its value,
// NextDirEntry returns DirListingEnd, Initialize, Shutdown and AbortOperation
// leave the engine as it was. An operation's failure is for the engine's own
// job to apply (FailureFor), at its end.
class FaultInjectingEngine : public engine::WorkerEngine
{
    using Base = engine::WorkerEngine;

public:
    bool AlreadyRunning() override
    {
        return Query(Named("AlreadyRunning"), [this] { return Base::AlreadyRunning(); });
    }
    void Initialize() override
    {
        if (!Injected(Named("Initialize")))
            Base::Initialize();
    }
    void Shutdown() override
    {
        if (!Injected(Named("Shutdown")))
            Base::Shutdown();
    }
    std::u16string LocalDirectory() override
    {
        return Query(Named("LocalDirectory"), [this] { return Base::LocalDirectory(); });
    }
    bool Busy() override
    {
        return Query(Named("Busy"), [this] { return Base::Busy(); });
    }
    void ReadLocalDirectory() override
    {
        ThrowIfAsked(Named("ReadLocalDirectory"));
        Base::ReadLocalDirectory();
    }
    int32_t NextDirEntry(DirEntry &entry) override
    {
        return Injected(Named("NextDirEntry")) ? DirListingEnd : Base::NextDirEntry(entry);
    }
    void Dial(std::u16string number, std::u16string user, std::u16string password,
              int32_t retries) override
    {
        ThrowIfAsked(Named("Dial"));
        Base::Dial(std::move(number), std::move(user), std::move(password), retries);
    }
    void HangUp() override
    {
        ThrowIfAsked(Named("HangUp"));
        Base::HangUp();
    }
    void ReadRemoteDirectory() override
    {
        ThrowIfAsked(Named("ReadRemoteDirectory"));
        Base::ReadRemoteDirectory();
    }
    void ChangeLocalDirectory(std::u16string path) override
    {
        ThrowIfAsked(Named("ChangeLocalDirectory"));
        Base::ChangeLocalDirectory(std::move(path));
    }
    void ChangeRemoteDirectory(std::u16string path) override
    {
        ThrowIfAsked(Named("ChangeRemoteDirectory"));
        Base::ChangeRemoteDirectory(std::move(path));
    }
    void DownloadFile(std::u16string name, int32_t mode) override
    {
        ThrowIfAsked(Named("DownloadFile"));
        Base::DownloadFile(std::move(name), mode);
    }
    void AbortOperation() override
    {
        if (!Injected(Named("AbortOperation")))
            Base::AbortOperation();
    }
    std::u16string RemoteDirectory() override
    {
        return Query(Named("RemoteDirectory"), [this] { return Base::RemoteDirectory(); });
    }
    std::u16string LocalDrives() override
    {
        return Query(Named("LocalDrives"), [this] { return Base::LocalDrives(); });
    }
    std::u16string RemoteDrives() override
    {
        return Query(Named("RemoteDrives"), [this] { return Base::RemoteDrives(); });
    }
    std::u16string RemoteName() override
    {
        return Query(Named("RemoteName"), [this] { return Base::RemoteName(); });
    }
    bool LongFileNames() override
    {
        return Query(Named("LongFileNames"), [this] { return Base::LongFileNames(); });
    }
    // The error state's own queries fail first, so they report their own failure.
    bool ErrorOccurred() override
    {
        Injected(Named("ErrorOccurred"));
        return Base::ErrorOccurred();
    }
    std::u16string ErrorText() override
    {
        Injected(Named("ErrorText"));
        return Base::ErrorText();
    }

protected:
    FaultInjectingEngine(engine::LocalSettings local, Faults faults)
        : WorkerEngine(std::move(local)), m_faults(std::move(faults))
    {}

    [[nodiscard]] const std::optional<std::u16string> &FailureFor(Call call) const
    {
        return m_faults.failures[Index(call)];
    }

private:
    void ThrowIfAsked(Call call) const;
    bool FailIfAsked(Call call);  // true when it failed
    bool Injected(Call call)
    {
        ThrowIfAsked(call);
        return FailIfAsked(call);
    }
    // A query: its value, then its failure.
    template <typename Get> std::invoke_result_t<Get> Query(Call call, Get get)
    {
        ThrowIfAsked(call);
        auto value = get();
        FailIfAsked(call);
        return value;
    }

    const Faults m_faults;
};

}  // namespace velmora::sim

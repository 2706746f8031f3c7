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

namespace velmora::sim {

// The calls of TransferEngine, as fault injection names them.
enum class Call : std::size_t {
    AlreadyRunning,
    Initialize,
    Shutdown,
    LocalDirectory,
    Busy,
    ReadLocalDirectory,
    NextDirEntry,
    Dial,
    HangUp,
    ReadRemoteDirectory,
    ChangeLocalDirectory,
    ChangeRemoteDirectory,
    DownloadFile,
    AbortOperation,
    RemoteDirectory,
    LocalDrives,
    RemoteDrives,
    RemoteName,
    LongFileNames,
    ErrorOccurred,
    ErrorText,
};

inline constexpr std::size_t CallCount = static_cast<std::size_t>(Call::ErrorText) + 1;

constexpr std::size_t Index(Call call)
{
    return static_cast<std::size_t>(call);
}

// Besides the calls, fault injection knows creating the engine (THROW only).
inline constexpr std::string_view CreateName = "Create";

// The method's name, spelt as in TransferEngine.
std::string_view CallName(Call call);
std::optional<Call> CallFromName(std::string_view name);
// The engine's own message, for a FAIL without a text.
std::u16string OwnFailureText(Call call);

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
public:
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

protected:
    FaultInjectingEngine(engine::LocalSettings local, Faults faults);

    [[nodiscard]] const std::optional<std::u16string> &FailureFor(Call call) const;

private:
    void ThrowIfAsked(Call call) const;
    void FailIfAsked(Call call);
    bool Replaced(Call call);  // the call's failure instead of the call
    template <typename Get> auto Query(Call call, Get get);

    const Faults m_faults;
};

}  // namespace velmora::sim

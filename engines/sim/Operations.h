#pragma once

// Names of the engine's calls as fault injection refers to them.

#include "SimEngine.h"
#include "WorkerEngine.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::sim {

enum class Op : std::size_t {
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
    Create,  // only for THROW: creating the engine
};

inline constexpr std::size_t OpCount = static_cast<std::size_t>(Op::Create) + 1;

// The engine's calls come first, in the same order.
static_assert(OpCount == engine::CallCount + 1);
static_assert(static_cast<std::size_t>(Op::ErrorText) ==
              static_cast<std::size_t>(engine::Call::ErrorText));
constexpr Op ToOp(engine::Call call)
{
    return static_cast<Op>(call);
}

std::string_view OpName(Op op);
std::optional<Op> OpFromName(std::string_view name);
std::u16string OwnFailureText(Op op);  // the engine's message for a FAIL without text

struct Settings
{
    double timeScale = 1.0;
    engine::LocalSettings local;
    std::array<bool, OpCount> throws{};
    std::array<bool, OpCount> fails{};
    std::array<std::optional<std::u16string>, OpCount> failTexts{};
};

// Checks the configuration and fills in the defaults; throws std::invalid_argument.
Settings MakeSettings(const SimConfig &config);

// Writes a configuration error to stderr, each distinct message once per process.
void ReportConfigError(const std::string &message);

}  // namespace velmora::sim

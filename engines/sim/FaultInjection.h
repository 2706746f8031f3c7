#pragma once

// Fault injection: what it can name, and the settings it makes.

#include "SimEngine.h"
#include "WorkerEngine.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::sim {

using engine::Call;
using engine::CallCount;

// Besides the calls, fault injection knows creating the engine (THROW only).
inline constexpr std::string_view CreateName = "Create";

constexpr std::size_t Index(Call call)
{
    return static_cast<std::size_t>(call);
}

std::u16string OwnFailureText(Call call);  // the engine's message for a FAIL without text

struct Settings
{
    double timeScale = 1.0;
    engine::LocalSettings local;
    bool throwOnCreate = false;
    std::array<bool, CallCount> throws{};
    std::array<bool, CallCount> fails{};
    std::array<std::optional<std::u16string>, CallCount> failTexts{};
};

// Checks the configuration and fills in the defaults; throws std::invalid_argument.
Settings MakeSettings(const SimConfig &config);

}  // namespace velmora::sim

#include "FaultInjection.h"
#include "SimEngine.h"
#include "Text.h"
#include "WorkerEngine.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace velmora::sim {

using engine::Trim;
using engine::Utf8ToUtf16;

namespace {

std::string ValidNames()
{
    std::string out;
    for (const auto &call : Calls)
        out.append(call.name).append(", ");
    return out.append(CreateName);
}

// The call a fault list names; nullopt for creating the engine.
std::optional<Call> RequireName(std::string_view variable, const std::string &name)
{
    if (name.empty())
        throw std::invalid_argument(std::string(variable) + ": Eintrag ohne Vorgangsnamen");
    if (name == CreateName) {
        if (variable != "VELMORA_SIM_THROW")
            throw std::invalid_argument(std::string(variable) +
                                        ": Create ist nur mit VELMORA_SIM_THROW möglich");
        return std::nullopt;
    }
    const auto call = CallFromName(name);
    if (!call)
        throw std::invalid_argument(std::string(variable) + ": unbekannter Vorgang \"" + name +
                                    "\" (gültig: " + ValidNames() + ")");
    return call;
}

std::optional<std::string> Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

constexpr double MaxTimeScale = 1000.0;

[[noreturn]] void BadTimeScale(const std::string &shown)
{
    throw std::invalid_argument("VELMORA_SIM_TIMESCALE: ungültiger Wert \"" + shown +
                                "\" (erwartet: Dezimalzahl von 0 bis 1000, z. B. 0.1)");
}

void CheckTimeScale(double scale, const std::string &shown)
{
    if (!std::isfinite(scale) || scale < 0.0 || scale > MaxTimeScale)
        BadTimeScale(shown);
}

double ParseTimeScale(const std::string &raw)
{
    const std::string text(Trim(raw));
    double value = 0.0;
    // from_chars ignores the locale, so "0.5" means the same under de_DE.
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text[0] == '-' || ec != std::errc{} || end != text.data() + text.size())
        BadTimeScale(raw);
    CheckTimeScale(value, raw);
    return value;
}

template <typename Handle> void ForEachItem(const std::string &list, Handle handle)
{
    std::size_t start = 0;
    while (start <= list.size()) {
        auto end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(start, end - start);
        if (!Trim(item).empty())
            handle(item);
        start = end + 1;
    }
}

}  // namespace

SimConfig SimConfig::FromEnvironment()
{
    SimConfig config;
    if (const auto scale = Env("VELMORA_SIM_TIMESCALE"); scale && !Trim(*scale).empty())
        config.timeScale = ParseTimeScale(*scale);
    if (const auto running = Env("VELMORA_SIM_RUNNING")) {
        const std::string value(Trim(*running));
        if (value != "" && value != "0" && value != "1")
            throw std::invalid_argument("VELMORA_SIM_RUNNING: ungültiger Wert \"" + *running +
                                        "\" (erwartet: 0 oder 1)");
        config.forceRunning = value == "1";
    }
    if (const auto fail = Env("VELMORA_SIM_FAIL")) {
        ForEachItem(*fail, [&](const std::string &item) {
            const auto colon = item.find(':');
            const std::string name(Trim(item.substr(0, colon)));
            RequireName("VELMORA_SIM_FAIL", name);
            config.fail[name] = colon == std::string::npos
                                    ? std::nullopt
                                    : std::optional(Utf8ToUtf16(item.substr(colon + 1)));
        });
    }
    if (const auto throwOn = Env("VELMORA_SIM_THROW")) {
        ForEachItem(*throwOn, [&](const std::string &item) {
            const std::string name(Trim(item));
            RequireName("VELMORA_SIM_THROW", name);
            config.throwOn.insert(name);
        });
    }
    return config;
}

Settings MakeSettings(const SimConfig &config)
{
    Settings settings;
    CheckTimeScale(config.timeScale, std::to_string(config.timeScale));
    settings.timeScale = config.timeScale;
    for (const auto &[name, text] : config.fail) {
        const Call call = RequireName("VELMORA_SIM_FAIL", name).value();
        settings.faults.failures[Index(call)] =
            text ? *text : std::u16string(Calls[Index(call)].ownFailure);
    }
    for (const auto &name : config.throwOn) {
        if (const auto call = RequireName("VELMORA_SIM_THROW", name))
            settings.faults.throws[Index(*call)] = true;
        else
            settings.throwOnCreate = true;
    }
    settings.local = engine::LocalSettings::Make(config.localRoot, config.lockDir);
    settings.local.reportRunning = config.forceRunning;
    return settings;
}

}  // namespace velmora::sim

#include "Operations.h"
#include "SimEngine.h"
#include "Text.h"
#include "WorkerEngine.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace velmora::sim {

using engine::Utf8ToUtf16;

namespace {

struct OpInfo
{
    std::string_view name;
    std::u16string_view ownFailure;
};

constexpr std::array<OpInfo, OpCount> Ops{{
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
    {"Create", u""},
}};

std::string ValidNames()
{
    std::string out;
    for (const auto &op : Ops) {
        if (!out.empty())
            out += ", ";
        out += op.name;
    }
    return out;
}

Op RequireOp(std::string_view variable, const std::string &name)
{
    if (name.empty())
        throw std::invalid_argument(std::string(variable) + ": Eintrag ohne Vorgangsnamen");
    const auto op = OpFromName(name);
    if (!op)
        throw std::invalid_argument(std::string(variable) + ": unbekannter Vorgang \"" + name +
                                    "\" (gültig: " + ValidNames() + ")");
    if (*op == Op::Create && variable != "VELMORA_SIM_THROW")
        throw std::invalid_argument(std::string(variable) +
                                    ": Create ist nur mit VELMORA_SIM_THROW möglich");
    return *op;
}

std::optional<std::string> Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string Trim(std::string_view text)
{
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    const auto end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
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
    const std::string text = Trim(raw);
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

std::string_view OpName(Op op)
{
    return Ops[static_cast<std::size_t>(op)].name;
}

std::optional<Op> OpFromName(std::string_view name)
{
    for (std::size_t i = 0; i < Ops.size(); ++i)
        if (Ops[i].name == name)
            return static_cast<Op>(i);
    return std::nullopt;
}

std::u16string OwnFailureText(Op op)
{
    return std::u16string(Ops[static_cast<std::size_t>(op)].ownFailure);
}

SimConfig SimConfig::FromEnvironment()
{
    SimConfig config;
    if (const auto scale = Env("VELMORA_SIM_TIMESCALE"); scale && !Trim(*scale).empty())
        config.timeScale = ParseTimeScale(*scale);
    if (const auto root = Env("VELMORA_SIM_LOCAL_ROOT"); root && !root->empty())
        config.localRoot = *root;
    if (const auto running = Env("VELMORA_SIM_RUNNING")) {
        const std::string value = Trim(*running);
        if (value != "" && value != "0" && value != "1")
            throw std::invalid_argument("VELMORA_SIM_RUNNING: ungültiger Wert \"" + *running +
                                        "\" (erwartet: 0 oder 1)");
        config.forceRunning = value == "1";
    }
    if (const auto fail = Env("VELMORA_SIM_FAIL")) {
        ForEachItem(*fail, [&](const std::string &item) {
            const auto colon = item.find(':');
            const std::string name = Trim(item.substr(0, colon));
            RequireOp("VELMORA_SIM_FAIL", name);
            config.fail[name] = colon == std::string::npos
                                    ? std::nullopt
                                    : std::optional(Utf8ToUtf16(item.substr(colon + 1)));
        });
    }
    if (const auto throwOn = Env("VELMORA_SIM_THROW")) {
        ForEachItem(*throwOn, [&](const std::string &item) {
            const std::string name = Trim(item);
            RequireOp("VELMORA_SIM_THROW", name);
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
        const auto op = static_cast<std::size_t>(RequireOp("VELMORA_SIM_FAIL", name));
        settings.fails[op] = true;
        settings.failTexts[op] = text;
    }
    for (const auto &name : config.throwOn)
        settings.throws[static_cast<std::size_t>(RequireOp("VELMORA_SIM_THROW", name))] = true;
    settings.local = engine::LocalSettings::Make(config.localRoot, config.lockDir);
    settings.local.reportRunning = config.forceRunning;
    return settings;
}

void ReportConfigError(const std::string &message)
{
    static std::mutex mutex;
    static std::set<std::string> reported;
    const std::lock_guard lock(mutex);
    if (reported.insert(message).second)
        std::fprintf(stderr, "velmora-sim: %s\n", message.c_str());
}

}  // namespace velmora::sim

#include "EngineChoice.h"

#include "SimEngine.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

namespace velmora::engine {

namespace {

// The program drops creation errors silently, so stderr is where they show.
void ReportOnce(const std::string &message)
{
    static std::mutex mutex;
    static std::set<std::string> reported;
    const std::lock_guard lock(mutex);
    if (reported.insert(message).second)
        std::fprintf(stderr, "velmora: %s\n", message.c_str());
}

}  // namespace

std::unique_ptr<TransferEngine> CreateChosenEngine()
{
    const char *value = std::getenv("VELMORA_ENGINE");
    const std::string name = value ? value : "";
    if (name.empty() || name == "sim")
        return sim::CreateSimEngine();
    // Further engines are chosen here, e.g. "sftp".
    const std::string message = "VELMORA_ENGINE: unbekannte Engine \"" + name + "\" (gültig: sim)";
    ReportOnce(message);
    throw std::invalid_argument(message);
}

}  // namespace velmora::engine

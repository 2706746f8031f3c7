#include "EngineChoice.h"

#include "SftpEngine.h"
#include "SimEngine.h"
#include "Text.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace velmora::engine {

std::unique_ptr<TransferEngine> CreateChosenEngine()
{
    const char *value = std::getenv("VELMORA_ENGINE");
    const std::string name = value ? value : "";
    if (name.empty() || name == "sim")
        return sim::CreateSimEngine();
    if (name == "sftp")
        return sftp::CreateSftpEngine();
    const std::string message =
        "VELMORA_ENGINE: unbekannte Engine \"" + name + "\" (gültig: sim, sftp)";
    ReportOnce("velmora", message);  // the program drops creation errors silently
    throw std::invalid_argument(message);
}

}  // namespace velmora::engine

#include "EngineChoice.h"

#include "FtpSession.h"
#include "RemoteEngine.h"
#include "Session.h"
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
    // The real engine: the phone book's entry picks the protocol. "sftp" is
    // its name from the time it spoke nothing else.
    if (name == "remote" || name == "sftp")
        return CreateRemoteEngine(RemoteConfig{}, {sftp::Protocol(), ftp::Protocol()});
    const std::string message =
        "VELMORA_ENGINE: unbekannte Engine \"" + name + "\" (gültig: sim, remote, sftp)";
    ReportOnce("velmora", message);  // the program drops creation errors silently
    throw std::invalid_argument(message);
}

}  // namespace velmora::engine

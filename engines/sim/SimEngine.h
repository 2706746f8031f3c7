#pragma once

// The simulated Velmora suite: "Morvante Mailbox Kiel, Knoten 1", a dial-up
// mailbox whose fixed file area spans drives C: and D: as a DOS server of the
// time shows it (8.3 names, any case, LongFileNames false), and fault
// injection (FaultInjection.h) so that every way a demo run can end can be
// brought about on purpose. It keeps the contract of TransferEngine.h through
// engine::WorkerEngine; how it differs:
// - Every operation takes the time it would over a 28.8 kbit/s line, times
//   the time scale; at 0 they end at once.
// - Dial takes any number, user and password: every number reaches this one.
//
// Environment, read by SimConfig::FromEnvironment (all optional):
//   VELMORA_SIM_TIMESCALE   factor for every duration, decimal number >= 0
//                           (default 1, at most 1000); 0 ends operations at once
//   VELMORA_SIM_RUNNING     1: AlreadyRunning answers true; 0 or empty: not forced
//   VELMORA_SIM_FAIL        Name[:text],...  that call ends with the error state
//                           set to text (empty after a bare colon) or, without a
//                           colon, to the engine's own message. Texts cannot
//                           contain commas. Operations fail at their end (a
//                           download partway through), queries still return
//                           their value, NextDirEntry returns 2 at once,
//                           AbortOperation does not abort, Initialize and
//                           Shutdown leave the engine as it was.
//   VELMORA_SIM_THROW       Name,...  that call throws std::runtime_error;
//                           Create makes creating the engine fail.
// Names are the method names of TransferEngine, spelt exactly. An unknown name
// or a bad value throws std::invalid_argument at creation and is written to
// stderr once.

#include "TransferEngine.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace velmora::sim {

struct SimConfig
{
    double timeScale = 1.0;
    std::filesystem::path localRoot;  // empty: VELMORA_LOCAL_ROOT or its default
    std::filesystem::path lockDir;    // empty: $XDG_RUNTIME_DIR, else our own folder in /tmp
    bool forceRunning = false;
    // Operation name -> error text; nullopt: the engine's own message.
    std::map<std::string, std::optional<std::u16string>> fail;
    std::set<std::string> throwOn;

    // Throws std::invalid_argument on a bad value or unknown operation name.
    static SimConfig FromEnvironment();
};

// Throws std::invalid_argument for a bad configuration, std::runtime_error
// when THROW names Create.
std::unique_ptr<TransferEngine> CreateSimEngine(const SimConfig &config);
std::unique_ptr<TransferEngine> CreateSimEngine();  // from the environment

}  // namespace velmora::sim

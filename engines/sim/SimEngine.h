#pragma once

// The simulated Velmora suite: a dial-up mailbox with a fixed file area, a real
// folder as local drive C:, and fault injection so that every way a demo run
// can end can be brought about on purpose. Built on engine::WorkerEngine,
// which holds what of the following every engine shares.
//
// Operations that go on by themselves: Dial, HangUp, ReadLocalDirectory,
// ReadRemoteDirectory, ChangeLocalDirectory, ChangeRemoteDirectory and
// DownloadFile. They return at once and run on the engine's worker thread.
// - Busy() is true from the call until the operation ends, and it answers true
//   at least once after each start even when the operation already ended
//   (time scale 0); that late answer is followed by one more wake.
// - While busy the wake callback comes at least every 250 ms, and on start,
//   progress and end. It is never called with an internal lock held, and never
//   after the destructor returned (the destructor aborts and joins the worker).
// - Starting one while another runs throws std::runtime_error.
// - AbortOperation returns at once; the operation ends within a few ms with the
//   error state "Vorgang abgebrochen.". It is a no-op when idle.
// - An operation that fails or is aborted changes nothing: directories,
//   connection, the listing of the last completed read and local files stay.
//
// Error state ("last error"): cleared by Initialize and whenever one of the
// operations above starts; set by any failing operation or query; a
// successful query leaves it as it is, so a failed RemoteName is still seen by
// the check after the next query.
//
// Missing preconditions are reported at once through the error state, without
// starting anything: "Velmora ist nicht initialisiert." before Initialize or
// after Shutdown, "Keine Verbindung zum Server." for server calls before Dial
// or after HangUp. Busy, ErrorOccurred, ErrorText, AbortOperation and
// AlreadyRunning work in any state.
//
// Initialize creates the local root when missing and takes the instance lock
// (flock on velmora-sim.lock) until Shutdown or destruction; it throws when the
// lock is held elsewhere or the local root is unusable.
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
    std::filesystem::path lockDir;    // empty: $XDG_RUNTIME_DIR, else the temp directory
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

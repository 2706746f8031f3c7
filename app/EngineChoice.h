#pragma once

// Which engine a run uses is decided here and nowhere else: the executables
// install CreateChosenEngine as the engine factory at start-up.

#include "TransferEngine.h"

#include <memory>

namespace velmora::engine {

// Creates the engine named by VELMORA_ENGINE: unset, empty or "sim" is the
// simulated engine. Any other value is written to stderr (once per process)
// and throws std::invalid_argument; the chosen engine's own creation errors
// pass through.
[[nodiscard]] std::unique_ptr<TransferEngine> CreateChosenEngine();

}  // namespace velmora::engine

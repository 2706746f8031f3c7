#pragma once

#include "TransferEngine.h"

#include <functional>
#include <memory>

namespace velmora {

using EngineFactory = std::function<std::unique_ptr<TransferEngine>()>;

// Creates the engine of a run; throws when the engine cannot be created.
[[nodiscard]] std::unique_ptr<TransferEngine> CreateTransferEngine();

// Replaces the factory (tests install fakes here) and returns the previous
// one. An empty factory restores the default, the simulated engine.
EngineFactory SetEngineFactory(EngineFactory factory);

}  // namespace velmora

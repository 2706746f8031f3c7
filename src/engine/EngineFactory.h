#pragma once

#include "TransferEngine.h"

#include <functional>
#include <memory>

namespace velmora {

using EngineFactory = std::function<std::unique_ptr<TransferEngine>()>;

// Creates the engine of a run; throws when the engine cannot be created.
[[nodiscard]] std::unique_ptr<TransferEngine> CreateTransferEngine();

// Replaces the factory (the executables install the chosen engine, tests
// their fakes) and returns the previous one. An empty factory restores the
// default, which installs no engine: creating one throws.
EngineFactory SetEngineFactory(EngineFactory factory);

}  // namespace velmora

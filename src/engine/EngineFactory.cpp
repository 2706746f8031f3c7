#include "EngineFactory.h"

#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

std::unique_ptr<TransferEngine> NoEngine()
{
    throw std::runtime_error("Velmora: keine Transfer-Engine eingerichtet.");
}

EngineFactory &Factory()
{
    // The executables install the engine of their choice at start-up.
    static EngineFactory factory = NoEngine;
    return factory;
}

}  // namespace

std::unique_ptr<TransferEngine> CreateTransferEngine()
{
    return Factory()();
}

EngineFactory SetEngineFactory(EngineFactory factory)
{
    if (!factory)
        factory = NoEngine;
    return std::exchange(Factory(), std::move(factory));
}

}  // namespace velmora

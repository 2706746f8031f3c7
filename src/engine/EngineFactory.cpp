#include "EngineFactory.h"

#include "SimEngine.h"

#include <utility>

namespace velmora {

namespace {

EngineFactory &Factory()
{
    // No real engine is installed on this kind of machine: the simulated one
    // stands in for it.
    static EngineFactory factory = [] { return sim::CreateSimEngine(); };
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
        factory = [] { return sim::CreateSimEngine(); };
    return std::exchange(Factory(), std::move(factory));
}

}  // namespace velmora

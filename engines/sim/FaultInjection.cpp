#include "FaultInjection.h"

#include <stdexcept>

namespace velmora::sim {

std::optional<Call> CallFromName(std::string_view name)
{
    for (std::size_t i = 0; i < CallCount; ++i)
        if (Calls[i].name == name)
            return Call{i};
    return std::nullopt;
}

void FaultInjectingEngine::ThrowIfAsked(Call call) const
{
    if (m_faults.throws[Index(call)])
        throw std::runtime_error("Velmora: " + std::string(Calls[Index(call)].name) +
                                 " ist fehlgeschlagen (simulierter Ausfall).");
}

bool FaultInjectingEngine::FailIfAsked(Call call)
{
    const auto &failure = FailureFor(call);
    if (failure) {
        const auto lock = LockState();
        SetErrorLocked(*failure);
    }
    return failure.has_value();
}

}  // namespace velmora::sim

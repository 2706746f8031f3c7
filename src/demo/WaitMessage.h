#pragma once

#include "TransferEngine.h"

namespace velmora {

// Stand-ins for the platform's message loop on the UI thread.

// Blocks until at least one new event has arrived (an engine wake counts),
// then handles it. No timer, no sleep, no spinning.
void WaitMessage();

// Handles all events that are pending, then returns.
void DoEvents();

// A wake-up for an engine to call from any thread whenever its state changes;
// it makes a WaitMessage on the UI thread return. Wakes that come faster than
// the UI thread takes them are merged into one. Harmless at any time, also
// after the application has gone. Create it on the UI thread.
[[nodiscard]] WakeCallback EngineWakeCallback();

}  // namespace velmora

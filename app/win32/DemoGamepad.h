// The demo's gamepad (sim::DemoBench) is plugged in a moment after the window has opened.
#pragma once

#include "hid/sim/SimPort.h"

namespace zevrin::win32 {

// Plugs the gamepad in once `delayMs` have passed, from the calling thread's message loop (a
// thread timer, so the modal dialog's loop runs it).
void PlugLater(sim::SimPort& port, int gamepad, unsigned delayMs);

}  // namespace zevrin::win32

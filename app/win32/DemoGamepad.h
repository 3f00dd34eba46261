// The simulated system of the demo: a few HID interfaces that are not gamepads, and a gamepad
// with firmware 1.10 that is plugged in a moment after the window has opened.
#pragma once

#include "hid/sim/SimPort.h"

namespace zevrin::win32 {

// Adds the interfaces to `port`; the gamepad is added unplugged. Returns the gamepad's id.
int AddDemoDevices(sim::SimPort& port);

// Plugs the gamepad in once `delayMs` have passed, from the calling thread's message loop (a
// thread timer, so the modal dialog's loop runs it).
void PlugLater(sim::SimPort& port, int gamepad, unsigned delayMs);

}  // namespace zevrin::win32

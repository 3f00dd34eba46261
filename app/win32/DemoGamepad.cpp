#include "app/win32/DemoGamepad.h"

#include <windows.h>

namespace zevrin::win32 {
namespace {

sim::SimPort* g_DemoPort = nullptr;
int g_DemoGamepad = 0;

void CALLBACK PlugTimer(HWND /*hwnd*/, UINT /*message*/, UINT_PTR timer, DWORD /*time*/) {
    KillTimer(nullptr, timer);
    if (g_DemoPort != nullptr) {
        g_DemoPort->Plug(g_DemoGamepad);
    }
}

}  // namespace

void PlugLater(sim::SimPort& port, int gamepad, unsigned delayMs) {
    g_DemoPort = &port;
    g_DemoGamepad = gamepad;
    SetTimer(nullptr, 0, delayMs, PlugTimer);
}

}  // namespace zevrin::win32

#include "app/win32/DemoGamepad.h"

#include <windows.h>

#include <chrono>

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

int AddDemoDevices(sim::SimPort& port) {
    port.AddInterface(
        R"(\\?\hid#vid_046d&pid_c077#7&1b2f9e3&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
        0x046D, 0xC077);
    port.AddInterface(
        R"(\\?\hid#vid_04d9&pid_1503&mi_00#7&2a61e1e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
        0x04D9, 0x1503);
    port.AddInterface(
        R"(\\?\hid#vid_0483&pid_5740#7&3c15c9e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
        0x0483, 0x5740);
    sim::GamepadBehaviour gamepad;
    gamepad.firmwareType = 1;
    gamepad.version = 110;
    // A real gamepad takes a moment per chunk; without it the bar would jump to the end.
    gamepad.latency = std::chrono::milliseconds(2);
    const int id = port.AddGamepad(
        R"(\\?\hid#vid_0483&pid_5750#7&11e4a7c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
        gamepad);
    port.Unplug(id);
    return id;
}

void PlugLater(sim::SimPort& port, int gamepad, unsigned delayMs) {
    g_DemoPort = &port;
    g_DemoGamepad = gamepad;
    SetTimer(nullptr, 0, delayMs, PlugTimer);
}

}  // namespace zevrin::win32

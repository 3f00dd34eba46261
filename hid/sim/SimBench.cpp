#include "hid/sim/SimBench.h"

#include <chrono>

namespace zevrin::sim {

std::vector<int> AddBench(SimPort& port, const BenchLayout& layout) {
    for (const BenchInterface& other : layout.others) {
        port.AddInterface(other.path, other.vendorId, other.productId);
    }
    std::vector<int> gamepads;
    for (int n = 1; n <= layout.gamepads; ++n) {
        const std::string path =
            n == 1 ? layout.gamepadPath : layout.gamepadPath + std::to_string(n);
        gamepads.push_back(port.AddGamepad(path, layout.behaviour));
        port.UnplugAfterChunks(gamepads.back(), layout.unplugAfterChunks);
        if (layout.plugLater || layout.arriveAfter) {
            port.Unplug(gamepads.back());
        }
    }
    if (layout.arriveAfter) {
        port.PlugAllAfter(gamepads, *layout.arriveAfter);
    }
    return gamepads;
}

BenchLayout DemoBench() {
    BenchLayout layout;
#if defined(_WIN32)
    layout.others = {
        {R"(\\?\hid#vid_046d&pid_c077#7&1b2f9e3&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
         0x046D, 0xC077},
        {R"(\\?\hid#vid_04d9&pid_1503&mi_00#7&2a61e1e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
         0x04D9, 0x1503},
        {R"(\\?\hid#vid_0483&pid_5740#7&3c15c9e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
         0x0483, 0x5740},
    };
    layout.gamepadPath =
        R"(\\?\hid#vid_0483&pid_5750#7&11e4a7c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
#else
    layout.others = {
        {"sim:hidraw0", 0x046D, 0xC31C},  // keyboard
        {"sim:hidraw1", 0x046D, 0xC077},  // mouse
        {"sim:hidraw2", 0x0483, 0x5740},  // same vendor, another product
    };
    layout.gamepadPath = "sim:hidraw3";
#endif
    layout.behaviour.firmwareType = kFirmwareTypeGamepad;
    layout.behaviour.version = 110;
    // A real gamepad takes a moment per chunk; without it the bar would jump to the end.
    layout.behaviour.latency = std::chrono::milliseconds(2);
    layout.plugLater = true;
    return layout;
}

BenchLayout CommandLineBench(int gamepads) {
    BenchLayout layout;
    layout.others = {{"sim:keyboard", 0x046d, 0xc31c}};
    layout.gamepadPath = kCommandLineGamepadPath;
    layout.gamepads = gamepads;
    layout.behaviour.firmwareType = kFirmwareTypeGamepad;
    layout.behaviour.version = 110;
    // Like a full-speed USB device.
    layout.behaviour.latency = std::chrono::milliseconds(1);
    return layout;
}

}  // namespace zevrin::sim

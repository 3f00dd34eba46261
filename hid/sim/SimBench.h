// A simulated bench as the programs set it up: HID interfaces that are not gamepads, then one or
// more gamepads in boot mode. The demo windows, zevrin-flash --simulate and the screenshot drivers
// build theirs here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hid/sim/SimPort.h"

namespace zevrin::sim {

struct BenchInterface {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

struct BenchLayout {
    std::vector<BenchInterface> others;  // added first, plugged in
    // The first gamepad's path; the n-th gamepad's is this followed by n (n >= 2).
    std::string gamepadPath;
    int gamepads = 1;
    GamepadBehaviour behaviour;
    // The gamepads are added unplugged (no event: nobody can be registered yet); the caller plugs
    // them in when it sees fit.
    bool plugLater = false;
    // The gamepads are added unplugged and plugged in, all at once, this long after; a rehearsal of
    // a bench where they come later.
    std::optional<std::chrono::milliseconds> arriveAfter;
    size_t unplugAfterChunks = 0;  // each gamepad goes away once it has this many; 0: never
};

// Adds the layout's interfaces to `port`. Returns the gamepads' ids, the first gamepad's first.
std::vector<int> AddBench(SimPort& port, const BenchLayout& layout);

// The windows' demo: three interfaces that are not gamepads and a gamepad with firmware 1.10,
// plugged in later, with paths as the platform's own look.
BenchLayout DemoBench();

// zevrin-flash --simulate=N: a keyboard and N gamepads with firmware 1.10, the first at
// kCommandLineGamepadPath.
inline constexpr const char* kCommandLineGamepadPath = "sim:gamepad";
BenchLayout CommandLineBench(int gamepads);

}  // namespace zevrin::sim

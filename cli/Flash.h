// zevrin-flash's commands over CUpdateDlg: the same discovery, version query, confirmation,
// worker and texts as the windows, with a terminal for a window.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "cli/CliView.h"
#include "hid/HidPort.h"

namespace zevrin::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitUpdateFailed = 1,  // device failure, silence, unplug, not in boot mode
    kExitUsage = 2,
    kExitNoGamepad = 3,  // none found, or it cannot be opened
    kExitImageRefused = 4,
    kExitCancelled = 5,      // the user said no
    kExitInterrupted = 130,  // Ctrl-C, as shells report SIGINT
};

// Runs one parsed command against `port`. Returns the exit code.
int Run(const ParsedArgs& args, Console& console, HidPort& port);

// The port for a run: the simulated gamepad for --simulate, the platform's devices otherwise
// (null when this build has no backend for them).
using PortFactory = std::function<std::unique_ptr<HidPort>(bool simulate)>;

// The whole program after main() has gathered its arguments (UTF-8, without the program name).
int RunCommandLine(const std::vector<std::string>& args, Console& console,
                   const PortFactory& makePort);

// The --simulate gamepad: firmware 1.10, type 1, answering after 1 ms like a full-speed USB
// device, beside an interface that is not a gamepad.
std::unique_ptr<HidPort> MakeSimulatedPort();
inline constexpr const char* kSimulatedGamepadPath = "sim:gamepad";

}  // namespace zevrin::cli

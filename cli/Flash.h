// zevrin-flash's commands over CUpdateDlg: the same discovery, version query, confirmation,
// worker and texts as the windows, with a terminal for a window.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "cli/ChildProcess.h"
#include "cli/CliView.h"
#include "cli/ExitCodes.h"
#include "hid/HidPort.h"
#include "hid/sim/SimBench.h"
#include "update/FirmwareImage.h"

namespace zevrin::cli {

// Runs one parsed command against `port`. Returns the exit code. --all and --repeat start their
// runs for each gamepad through `launch`.
int Run(const ParsedArgs& args, Console& console, HidPort& port,
        const ChildLauncher& launch = ProcessLauncher());

// A file that cannot be sent (or whose SHA-256 is not the one --sha256 gave) is refused, and said
// why, before any gamepad hears anything of it. When it passes it stays open in `file`, to be sent
// from that very handle: checked once, never opened again by its path.
std::optional<ImageCheck> CheckImage(const ParsedArgs& a, CliView& view, ImageFile& file);

// The port for a run: the simulated gamepad for --simulate, the platform's devices otherwise
// (null when this build has no backend for them).
using PortFactory = std::function<std::unique_ptr<HidPort>(bool simulate)>;

// The whole program after main() has gathered its arguments (UTF-8, without the program name).
int RunCommandLine(const std::vector<std::string>& args, Console& console,
                   const PortFactory& makePort, const ChildLauncher& launch = ProcessLauncher());

// A command line that cannot be used, said on standard error with the --help hint and, when --json
// stands among `args`, as the JSON result line. Returns kExitUsage.
int ReportUsageError(const std::vector<std::string>& args, const UsageError& error,
                     Console& console);

// The --simulate gamepad: firmware 1.10, type 1, answering after 1 ms like a full-speed USB
// device, beside an interface that is not a gamepad. --simulate=N puts N such gamepads on the
// bench, the first at kSimulatedGamepadPath, the others at that path followed by 2, 3, ...
std::unique_ptr<HidPort> MakeSimulatedPort(int gamepads = 1);
// The bench --simulate=N, --simulate-arrive and --simulate-fault of `a` describe.
std::unique_ptr<HidPort> MakeSimulatedPort(const ParsedArgs& a);
inline constexpr const char* kSimulatedGamepadPath = sim::kCommandLineGamepadPath;

}  // namespace zevrin::cli

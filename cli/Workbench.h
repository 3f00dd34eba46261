// zevrin-flash at a service centre's workbench. --wait: wait for a gamepad to arrive instead of
// giving up. --all: every gamepad present at once, each through a child run of the program, a live
// line each, then a summary table. --repeat: each gamepad that arrives, one after another, a line
// each as it finishes, until a stop request. The parent knows of a child only what the child's
// JSON lines say, and its exit code.
#pragma once

#include <vector>

#include "cli/Args.h"
#include "cli/ChildProcess.h"
#include "cli/CliView.h"
#include "cli/JsonEvents.h"
#include "hid/HidPort.h"

namespace zevrin::cli {

// With --wait and no gamepad on `port`, waits for one to arrive: kExitOk once one is there (or
// without --wait, at once, for the caller to tell), kExitNoGamepad when the bound passed,
// kExitInterrupted on a stop request.
int AwaitGamepad(const ParsedArgs& a, Console& c, CliView& view, HidPort& port);

// Both count the gamepads they took into `tally`, for --json's summary line.
int RunAll(const ParsedArgs& a, Console& c, CliView& view, HidPort& port,
           const ChildLauncher& launch, json::Summary& tally);
// Returns 0 when no gamepad failed, 1 otherwise: a stop request is how the line mode ends.
int RunRepeat(const ParsedArgs& a, Console& c, CliView& view, HidPort& port,
              const ChildLauncher& launch, json::Summary& tally);

// The exit code of --all: the worst of the children's by the severity in cli/ExitCodes.h. A child
// that ended without a code of ours, crashed or killed, counts as a failed update.
int WorstExitCode(const std::vector<int>& codes);

// Whether standard output takes the escape sequences that move the cursor up, which the live lines
// of --all are redrawn with; switches them on where a console must be asked (Windows).
bool TerminalMovesCursor();

}  // namespace zevrin::cli

// zevrin-flash's exit codes, the one place their numbers are written: the parser's usage error,
// the stop requests, --all's worst-code rule, the meaning in --json's result line and the list
// in --help all read this table.
#pragma once

#include <string>

#include "update/Texts.h"

namespace zevrin::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitUpdateFailed = 1,  // device failure, silence, unplug, not in boot mode
    kExitUsage = 2,
    kExitNoGamepad = 3,  // none found, or it cannot be opened
    kExitImageRefused = 4,
    kExitCancelled = 5,     // the user said no
    kExitOutputFailed = 6,  // what the command prints as its result could not be written
    // A stop request, as shells report the signal that ends a program (128 + its number).
    kExitHangup = 129,       // SIGHUP; the console window closed; a parent that went away
    kExitInterrupted = 130,  // SIGINT, Ctrl-C, Ctrl-Break
    kExitTerminated = 143,   // SIGTERM
};

// What --all records for a child it had to end at once: a shell's report of SIGKILL.
inline constexpr int kExitHardStopped = 137;

// The code a shell reports for a process that `signal` ended.
constexpr int ExitCodeOfSignal(int signal) {
    return 128 + signal;
}

struct ExitCodeFacts {
    int code;
    const char* meaning;  // --json's "meaning": programs read it, so it never changes
    int severity;         // --all reports the worst of its children's codes
    CliText help;         // --help's line, in texts.def; a continuation line is indented there
};

// From success to the stop requests, in the order --help lists them.
inline constexpr ExitCodeFacts kExitCodes[] = {
    {kExitOk, "ok", 0, CliText::ExitOkHelp},
    {kExitUpdateFailed, "update failed", 6, CliText::ExitUpdateFailedHelp},
    {kExitUsage, "usage", 3, CliText::ExitUsageHelp},
    {kExitNoGamepad, "no gamepad", 5, CliText::ExitNoGamepadHelp},
    {kExitImageRefused, "image refused", 4, CliText::ExitImageRefusedHelp},
    {kExitCancelled, "cancelled", 1, CliText::ExitCancelledHelp},
    {kExitOutputFailed, "output failed", 2, CliText::ExitOutputFailedHelp},
    {kExitHangup, "hangup (SIGHUP)", 7, CliText::ExitHangupHelp},
    {kExitInterrupted, "interrupted (SIGINT)", 7, CliText::ExitInterruptedHelp},
    {kExitTerminated, "terminated (SIGTERM)", 7, CliText::ExitTerminatedHelp},
};

// The table's row for `code`, or null for a code that is not ours (a crash, a kill).
const ExitCodeFacts* FindExitCode(int code);

// Where --all ranks `code`: one that is not ours ranks as a failed update.
int ExitSeverity(int code);

// The "Exit codes:" list of --help, a line per code.
std::string ExitCodesHelp();

}  // namespace zevrin::cli

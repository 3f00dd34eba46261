// zevrin-flash's command line, parsed without any I/O so it can be tested and fuzzed on its own.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zevrin::cli {

enum class Command { None, List, Version, Info, Update };

struct ParsedArgs {
    Command command = Command::None;
    std::string file;                   // info and update
    std::optional<std::string> device;  // --device PATH
    bool simulate = false;
    int simulatedGamepads = 1;  // --simulate=N
    bool yes = false;
    bool verbose = false;
    bool help = false;
    bool showVersion = false;
    bool json = false;  // --json: JSON Lines on standard output instead of the text
    // --sha256: the digest the image file must have, as 64 lowercase hex digits.
    std::optional<std::string> sha256;
    // --timeout: how long the update waits without a single report from the gamepad.
    std::chrono::milliseconds silenceLimit{15000};
    // --wait[=SECONDS]: with no gamepad present, wait for one to arrive; without a bound, for ever.
    bool wait = false;
    std::optional<std::chrono::milliseconds> waitLimit;
    bool all = false;     // --all: version or update every gamepad present, at once
    bool repeat = false;  // --repeat: update each gamepad that arrives, until stopped
    // --only-if-newer: an update leaves a gamepad whose firmware is the same or newer alone.
    bool onlyIfNewer = false;
    // --simulate-arrive=SECONDS: the simulated gamepads are plugged in that long after the start.
    std::optional<std::chrono::milliseconds> simulateArrive;
    // --simulate-fault=unplug@N: each simulated gamepad goes away once it has N data chunks.
    uint32_t simulateUnplugAfter = 0;
};

struct UsageError {
    std::string message;  // one line, without the program name
};

// `args` are the arguments after the program name. Options may stand before or after the command;
// "--" ends the options, so a file whose name starts with '-' can still be named.
std::variant<ParsedArgs, UsageError> ParseArgs(const std::vector<std::string>& args);

// Whether --json stands among the options, so a command line that does not parse can still be
// reported the way its caller reads the output.
bool JsonRequested(const std::vector<std::string>& args);

// The --help text.
std::string UsageText();

}  // namespace zevrin::cli

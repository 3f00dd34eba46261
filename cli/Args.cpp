#include "cli/Args.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace zevrin::cli {

namespace {

// An hour of silence is far past any real gamepad; a larger value is a typo.
constexpr double kMaxTimeoutSeconds = 3600.0;

std::optional<Command> CommandNamed(std::string_view word) {
    if (word == "list") {
        return Command::List;
    }
    if (word == "version") {
        return Command::Version;
    }
    if (word == "info") {
        return Command::Info;
    }
    if (word == "update") {
        return Command::Update;
    }
    return std::nullopt;
}

bool TakesFile(Command c) {
    return c == Command::Info || c == Command::Update;
}

std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, seconds, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > kMaxTimeoutSeconds) {
        return std::nullopt;
    }
    // Rounded up: a positive limit never becomes zero.
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
}

}  // namespace

std::variant<ParsedArgs, UsageError> ParseArgs(const std::vector<std::string>& args) {
    ParsedArgs parsed;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    bool timeoutSeen = false;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // --name=value or --name value, for the two options that take one.
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            return std::nullopt;
        };

        if (name == "--device") {
            if (parsed.device) {
                return UsageError{"--device given twice"};
            }
            auto path = value();
            if (!path || path->empty()) {
                return UsageError{"--device needs a device path (see 'zevrin-flash list')"};
            }
            parsed.device = std::move(*path);
        } else if (name == "--timeout") {
            if (timeoutSeen) {
                return UsageError{"--timeout given twice"};
            }
            timeoutSeen = true;
            const auto text = value();
            if (!text) {
                return UsageError{"--timeout needs a number of seconds"};
            }
            const auto limit = ParseSeconds(*text);
            if (!limit) {
                return UsageError{"--timeout wants seconds above 0 and up to 3600, not '" + *text +
                                  "'"};
            }
            parsed.silenceLimit = *limit;
        } else if (inlineValue) {
            return UsageError{"option " + name + " takes no value"};
        } else if (arg == "--simulate") {
            parsed.simulate = true;
        } else if (arg == "--yes" || arg == "-y") {
            parsed.yes = true;
        } else if (arg == "--verbose" || arg == "-v") {
            parsed.verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--version") {
            parsed.showVersion = true;
        } else {
            return UsageError{"unknown option " + arg};
        }
    }

    if (operands.empty()) {
        if (parsed.help || parsed.showVersion) {
            return parsed;
        }
        return UsageError{"no command given (list, version, info FILE or update FILE)"};
    }
    const auto command = CommandNamed(operands[0]);
    if (!command) {
        return UsageError{"unknown command '" + operands[0] + "'"};
    }
    parsed.command = *command;
    const size_t wanted = TakesFile(*command) ? 2 : 1;
    if (operands.size() < wanted) {
        if (parsed.help) {
            return parsed;
        }
        return UsageError{operands[0] + " needs a firmware file (.dat)"};
    }
    if (operands.size() > wanted) {
        return UsageError{"unexpected argument '" + operands[wanted] + "'"};
    }
    if (wanted == 2) {
        parsed.file = operands[1];
    }
    return parsed;
}

std::string UsageText() {
    return R"(Usage: zevrin-flash [options] COMMAND

Commands:
  list            the Zevrin gamepads present: device path and VID:PID, one a line
  version         the firmware version of the gamepad
  info FILE       what a firmware image (.dat) holds and whether it can be sent
  update FILE     write FILE into the gamepad, after showing both versions and asking y/N

Options (before or after the command):
  --device PATH   use the gamepad at PATH (as 'list' shows it) instead of the first one found
  --simulate      talk to a simulated gamepad (firmware 1.10) instead of real devices
  --timeout SECS  give up an update after SECS seconds without an answer (default 15)
  -y, --yes       answer yes to the confirmation
  -v, --verbose   print the diagnostic lines on standard error
  -h, --help      show this text
  --version       show the program's version

The gamepad must be in boot mode: hold L+R+START while powering it on (the LED blinks yellow),
then connect it by USB.

Exit codes: 0 success; 1 the update failed; 2 usage error; 3 no gamepad found or it cannot be
opened; 4 image refused; 5 cancelled by the user; 130 interrupted (Ctrl-C).
)";
}

}  // namespace zevrin::cli

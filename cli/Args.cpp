#include "cli/Args.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string_view>

namespace zevrin::cli {

namespace {

// An hour of silence is far past any real gamepad; a larger value is a typo.
constexpr double kMaxTimeoutSeconds = 3600.0;
// A workbench waits out a shift at most; for longer, --wait without a bound.
constexpr double kMaxWaitSeconds = 86400.0;
// More simulated gamepads than a bench has USB ports would show nothing new.
constexpr int kMaxSimulatedGamepads = 16;

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

std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text,
                                                      double maxSeconds = kMaxTimeoutSeconds) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, seconds, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > maxSeconds) {
        return std::nullopt;
    }
    // Rounded up: a positive limit never becomes zero.
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
}

// Tools print digests in either case; one spelling makes them comparable.
std::optional<std::string> ParseSha256(std::string_view text) {
    if (text.size() != 64 || !std::all_of(text.begin(), text.end(),
                                          [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        return std::nullopt;
    }
    std::string digest(text);
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return digest;
}

// --all and --repeat each stand for a whole way of working; these are the combinations that mean
// something.
std::optional<std::string> WorkbenchError(const ParsedArgs& a) {
    if (a.all && a.repeat) {
        return "--all and --repeat do not go together: --all takes the gamepads present, --repeat "
               "each one as it arrives";
    }
    if (a.all && a.command != Command::Version && a.command != Command::Update) {
        return "--all works with version and update";
    }
    if (a.all && a.device) {
        return "--all takes every gamepad; --device names one";
    }
    if (a.repeat && (a.command != Command::Update || !a.yes)) {
        return "--repeat works with update --yes: nobody answers a question between gamepads";
    }
    if (a.repeat && a.wait) {
        return "--repeat waits for each gamepad by itself; leave out --wait";
    }
    if ((a.all || a.repeat) && a.json) {
        return "--json is what the runs of --all and --repeat speak to zevrin-flash; they print "
               "text";
    }
    return std::nullopt;
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
        } else if (name == "--sha256") {
            if (parsed.sha256) {
                return UsageError{"--sha256 given twice"};
            }
            const auto text = value();
            if (!text) {
                return UsageError{"--sha256 needs the image's SHA-256 (64 hex digits)"};
            }
            parsed.sha256 = ParseSha256(*text);
            if (!parsed.sha256) {
                return UsageError{"--sha256 wants 64 hex digits, not '" + *text + "'"};
            }
        } else if (name == "--wait") {
            // The bound only as --wait=SECONDS: a separate word would be taken for the command.
            if (parsed.wait) {
                return UsageError{"--wait given twice"};
            }
            parsed.wait = true;
            if (inlineValue) {
                parsed.waitLimit = ParseSeconds(*inlineValue, kMaxWaitSeconds);
                if (!parsed.waitLimit) {
                    return UsageError{"--wait wants seconds above 0 and up to 86400, not '" +
                                      *inlineValue + "'"};
                }
            }
        } else if (name == "--simulate") {
            parsed.simulate = true;
            if (inlineValue) {
                int count = 0;
                const char* end = inlineValue->data() + inlineValue->size();
                const auto [ptr, ec] = std::from_chars(inlineValue->data(), end, count);
                if (ec != std::errc() || ptr != end || count < 1 || count > kMaxSimulatedGamepads) {
                    return UsageError{"--simulate wants a number of gamepads from 1 to 16, not '" +
                                      *inlineValue + "'"};
                }
                parsed.simulatedGamepads = count;
            }
        } else if (inlineValue) {
            return UsageError{"option " + name + " takes no value"};
        } else if (arg == "--all") {
            parsed.all = true;
        } else if (arg == "--repeat") {
            parsed.repeat = true;
        } else if (arg == "--yes" || arg == "-y") {
            parsed.yes = true;
        } else if (arg == "--verbose" || arg == "-v") {
            parsed.verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--version") {
            parsed.showVersion = true;
        } else if (arg == "--json") {
            parsed.json = true;
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
    if (parsed.help) {
        return parsed;
    }
    if (parsed.sha256 && parsed.command != Command::Update) {
        return UsageError{"--sha256 checks the image of an update; 'info' shows a file's SHA-256"};
    }
    if (parsed.json && parsed.command == Command::Update && !parsed.yes) {
        return UsageError{"update --json needs --yes: nobody is there to answer the question"};
    }
    if (auto error = WorkbenchError(parsed)) {
        return UsageError{std::move(*error)};
    }
    return parsed;
}

bool JsonRequested(const std::vector<std::string>& args) {
    const auto end = std::find(args.begin(), args.end(), "--");
    return std::find(args.begin(), end, "--json") != end;
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
  --simulate[=N]  talk to N simulated gamepads (firmware 1.10; default 1) instead of real devices
  --timeout SECS  give up an update after SECS seconds without an answer (default 15)
  --sha256 HEX    update only if the file's SHA-256 is HEX (64 hex digits, as 'info' shows it)
  -y, --yes       answer yes to the confirmation
  --json          print JSON Lines on standard output instead of the text; the last line is the
                  result (update then needs --yes)
  --wait[=SECS]   with no gamepad present, wait for one to arrive (at most SECS seconds)
  --all           version or update every gamepad present at once, each in a process of its
                  own; one question for all, then a table (exit code: the worst of theirs)
  --repeat        with update --yes: write each gamepad that arrives, one after another, a line
                  each; Ctrl-C ends and prints the totals (exit code 0, or 1 if one failed)
  -v, --verbose   print the diagnostic lines on standard error
  -h, --help      show this text
  --version       show the program's version

The gamepad must be in boot mode: hold L+R+START while powering it on (the LED blinks yellow),
then connect it by USB.

Exit codes:
  0    success
  1    the update failed: the gamepad reported a failure, stopped answering, was unplugged or is
       not in boot mode; for 'version', it never answered
  2    usage error
  3    no gamepad found, or it cannot be opened, or none arrived within --wait
  4    the image was refused (or its SHA-256 is not the one --sha256 gave); nothing was sent
  5    cancelled: the answer was not yes
  129  stopped because the terminal closed (SIGHUP) or the console window was closed
  130  interrupted with Ctrl-C (SIGINT, Ctrl-Break)
  143  stopped with SIGTERM
)";
}

}  // namespace zevrin::cli

#include "cli/Args.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

#include "cli/ExitCodes.h"
#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::cli {

namespace {

// An hour of silence is far past any real gamepad; a larger value is a typo.
constexpr double kMaxTimeoutSeconds = 3600.0;
// A workbench waits out a shift at most; for longer, --wait without a bound.
constexpr double kMaxWaitSeconds = 86400.0;
// More simulated gamepads than a bench has USB ports would show nothing new.
constexpr int kMaxSimulatedGamepads = 16;
// A rehearsal that waits longer for its gamepads than this rehearses nothing a shorter one would.
constexpr double kMaxArriveSeconds = 3600.0;

struct CommandName {
    std::string_view word;
    Command command;
};

constexpr CommandName kCommands[] = {
    {"list", Command::List},
    {"version", Command::Version},
    {"info", Command::Info},
    {"update", Command::Update},
};

std::optional<Command> CommandNamed(std::string_view word) {
    for (const CommandName& c : kCommands) {
        if (c.word == word) {
            return c.command;
        }
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

// An error message, or nothing when the option was taken.
using Verdict = std::optional<std::string>;
using Value = std::optional<std::string>;

enum class Takes {
    Nothing,
    Argument,          // --name=value or --name value
    NonEmptyArgument,  // the same, and an empty one counts as none
    // Only as --name=value: a separate word would be taken for the command.
    InlineArgument,
};

struct Option {
    std::string_view name;
    std::string_view letter;  // the short form, or empty
    Takes takes;
    bool once;  // a second one is a mistake, not a change of mind
    Verdict (*store)(ParsedArgs&, const Value&);
    std::optional<CliText> needs = {};  // the error when the value it must have is missing
};

template <bool ParsedArgs::*Flag>
Verdict Set(ParsedArgs& a, const Value&) {
    a.*Flag = true;
    return std::nullopt;
}

Verdict StoreDevice(ParsedArgs& a, const Value& path) {
    a.device = *path;
    return std::nullopt;
}

Verdict StoreTimeout(ParsedArgs& a, const Value& text) {
    const auto limit = ParseSeconds(*text);
    if (!limit) {
        return LoadCliText(CliText::TimeoutValue, {*text, Format("%g", kMaxTimeoutSeconds)});
    }
    a.silenceLimit = *limit;
    return std::nullopt;
}

Verdict StoreSha256(ParsedArgs& a, const Value& text) {
    a.sha256 = ParseSha256(*text);
    if (!a.sha256) {
        return LoadCliText(CliText::Sha256Value, {*text});
    }
    return std::nullopt;
}

Verdict StoreWait(ParsedArgs& a, const Value& bound) {
    a.wait = true;
    if (bound) {
        a.waitLimit = ParseSeconds(*bound, kMaxWaitSeconds);
        if (!a.waitLimit) {
            return LoadCliText(CliText::WaitValue, {*bound, Format("%g", kMaxWaitSeconds)});
        }
    }
    return std::nullopt;
}

Verdict StoreSimulate(ParsedArgs& a, const Value& gamepads) {
    a.simulate = true;
    if (gamepads) {
        int count = 0;
        const char* end = gamepads->data() + gamepads->size();
        const auto [ptr, ec] = std::from_chars(gamepads->data(), end, count);
        if (ec != std::errc() || ptr != end || count < 1 || count > kMaxSimulatedGamepads) {
            return LoadCliText(CliText::SimulateValue,
                               {*gamepads, std::to_string(kMaxSimulatedGamepads)});
        }
        a.simulatedGamepads = count;
    }
    return std::nullopt;
}

Verdict StoreArrive(ParsedArgs& a, const Value& seconds) {
    a.simulate = true;
    a.simulateArrive = seconds ? ParseSeconds(*seconds, kMaxArriveSeconds) : std::nullopt;
    if (!a.simulateArrive) {
        return LoadCliText(CliText::ArriveValue,
                           {seconds.value_or(""), Format("%g", kMaxArriveSeconds)});
    }
    return std::nullopt;
}

// unplug@N: the fault a bench meets most, a gamepad pulled out while it is written.
Verdict StoreFault(ParsedArgs& a, const Value& fault) {
    constexpr std::string_view kUnplug = "unplug@";
    a.simulate = true;
    const std::string text = fault.value_or("");
    uint32_t chunks = 0;
    if (text.rfind(kUnplug, 0) == 0) {
        const std::string_view number = std::string_view(text).substr(kUnplug.size());
        const char* end = number.data() + number.size();
        const auto [ptr, ec] = std::from_chars(number.data(), end, chunks);
        chunks = ec == std::errc() && ptr == end ? chunks : 0;
    }
    if (chunks == 0) {
        return LoadCliText(CliText::FaultValue, {text});
    }
    a.simulateUnplugAfter = chunks;
    return std::nullopt;
}

// clang-format off
constexpr Option kOptions[] = {
    // name        short  takes                     once   stores it
    {"--device",   "",    Takes::NonEmptyArgument,  true,  StoreDevice,
     CliText::DeviceNeedsPath},
    {"--timeout",  "",    Takes::Argument,          true,  StoreTimeout,
     CliText::TimeoutNeedsSeconds},
    {"--sha256",   "",    Takes::Argument,          true,  StoreSha256,
     CliText::Sha256NeedsDigest},
    {"--wait",     "",    Takes::InlineArgument,    true,  StoreWait},
    {"--simulate", "",    Takes::InlineArgument,    false, StoreSimulate},
    {"--all",      "",    Takes::Nothing,           false, Set<&ParsedArgs::all>},
    {"--repeat",   "",    Takes::Nothing,           false, Set<&ParsedArgs::repeat>},
    {"--only-if-newer", "", Takes::Nothing,         false, Set<&ParsedArgs::onlyIfNewer>},
    {"--simulate-arrive", "", Takes::InlineArgument, true, StoreArrive},
    {"--simulate-fault", "", Takes::InlineArgument, true,  StoreFault},
    {"--yes",      "-y",  Takes::Nothing,           false, Set<&ParsedArgs::yes>},
    {"--verbose",  "-v",  Takes::Nothing,           false, Set<&ParsedArgs::verbose>},
    {"--help",     "-h",  Takes::Nothing,           false, Set<&ParsedArgs::help>},
    {"--version",  "",    Takes::Nothing,           false, Set<&ParsedArgs::showVersion>},
    {"--json",     "",    Takes::Nothing,           false, Set<&ParsedArgs::json>},
};
// clang-format on

using Seen = std::array<bool, std::size(kOptions)>;

const Option* OptionNamed(std::string_view name) {
    for (const Option& o : kOptions) {
        if (o.name == name || (!o.letter.empty() && o.letter == name)) {
            return &o;
        }
    }
    return nullptr;
}

// "--wait 5": the word after an option whose value only comes with '=' is taken for the command
// or the file. When it would have been a valid value, the usage error says how to write it.
void NoteValueAsWord(const Option& option, const std::string& word, std::string& hint) {
    ParsedArgs scratch;
    if (hint.empty() && !word.empty() && word[0] != '-' && !option.store(scratch, word)) {
        hint = std::string(option.name) + "=" + word;
    }
}

// The option at args[i], with its value; i moves past a value given as the next word. `hint`
// gets the spelling a value given as the next word should have had.
Verdict TakeOption(const std::vector<std::string>& args, size_t& i, ParsedArgs& parsed, Seen& seen,
                   std::string& hint) {
    const std::string& arg = args[i];
    std::string name = arg;
    Value value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
    }
    const Option* option = OptionNamed(name);
    if (value && (!option || option->takes == Takes::Nothing)) {
        return LoadCliText(CliText::TakesNoValue, {name});
    }
    if (!option) {
        return LoadCliText(CliText::UnknownOption, {arg});
    }
    if (std::exchange(seen[static_cast<size_t>(option - kOptions)], true) && option->once) {
        return LoadCliText(CliText::GivenTwice, {option->name});
    }
    if (option->takes == Takes::InlineArgument && !value && i + 1 < args.size()) {
        NoteValueAsWord(*option, args[i + 1], hint);
    }
    const bool needsValue =
        option->takes == Takes::Argument || option->takes == Takes::NonEmptyArgument;
    if (needsValue && !value && i + 1 < args.size()) {
        value = args[++i];
    }
    if (needsValue && (!value || (option->takes == Takes::NonEmptyArgument && value->empty()))) {
        return LoadCliText(*option->needs);
    }
    return option->store(parsed, value);
}

// The command and its file. Help asked for with a command but no file is still help.
Verdict TakeOperands(const std::vector<std::string>& operands, ParsedArgs& parsed) {
    if (operands.empty()) {
        if (parsed.help || parsed.showVersion) {
            return std::nullopt;
        }
        return LoadCliText(CliText::CommandMissing);
    }
    const auto command = CommandNamed(operands[0]);
    if (!command) {
        return LoadCliText(CliText::UnknownCommand, {operands[0]});
    }
    parsed.command = *command;
    const size_t wanted = TakesFile(*command) ? 2 : 1;
    if (operands.size() < wanted) {
        if (parsed.help) {
            return std::nullopt;
        }
        return LoadCliText(CliText::NeedsFile, {operands[0]});
    }
    if (operands.size() > wanted) {
        return LoadCliText(CliText::UnexpectedArgument, {operands[wanted]});
    }
    if (wanted == 2) {
        parsed.file = operands[1];
    }
    return std::nullopt;
}

struct Combination {
    bool (*meaningless)(const ParsedArgs&);
    CliText why;
};

// Options that are each fine alone but mean nothing together or with that command, in the order
// they are told of when several apply. --all and --repeat each stand for a whole way of working.
constexpr Combination kMeaningless[] = {
    {[](const ParsedArgs& a) { return a.sha256 && a.command != Command::Update; },
     CliText::Sha256OnlyForUpdate},
    {[](const ParsedArgs& a) { return a.json && a.command == Command::Update && !a.yes; },
     CliText::JsonUpdateNeedsYes},
    {[](const ParsedArgs& a) { return a.all && a.repeat; }, CliText::AllWithRepeat},
    {[](const ParsedArgs& a) {
         return a.all && a.command != Command::Version && a.command != Command::Update;
     },
     CliText::AllCommands},
    {[](const ParsedArgs& a) { return a.all && a.device.has_value(); }, CliText::AllWithDevice},
    {[](const ParsedArgs& a) { return a.repeat && (a.command != Command::Update || !a.yes); },
     CliText::RepeatNeedsUpdateYes},
    {[](const ParsedArgs& a) { return a.repeat && a.wait; }, CliText::RepeatWithWait},
    {[](const ParsedArgs& a) { return a.onlyIfNewer && a.command != Command::Update; },
     CliText::OnlyIfNewerForUpdate},
    {[](const ParsedArgs& a) { return a.simulateUnplugAfter != 0 && a.command != Command::Update; },
     CliText::FaultForUpdate},
};

}  // namespace

std::variant<ParsedArgs, UsageError> ParseArgs(const std::vector<std::string>& args) {
    ParsedArgs parsed;
    std::vector<std::string> operands;
    Seen seen{};
    std::string hint;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (Verdict error = TakeOption(args, i, parsed, seen, hint)) {
            return UsageError{std::move(*error)};
        }
    }
    if (Verdict error = TakeOperands(operands, parsed)) {
        return UsageError{hint.empty() ? std::move(*error)
                                       : LoadCliText(CliText::DidYouMean, {*error, hint})};
    }
    if (parsed.help || operands.empty()) {
        return parsed;
    }
    for (const Combination& c : kMeaningless) {
        if (c.meaningless(parsed)) {
            return UsageError{LoadCliText(c.why)};
        }
    }
    return parsed;
}

bool JsonRequested(const std::vector<std::string>& args) {
    const auto end = std::find(args.begin(), args.end(), "--");
    return std::find(args.begin(), end, "--json") != end;
}

std::string UsageText() {
    // One list of options, held in two texts.
    const std::string options =
        LoadCliText(CliText::HelpOptions) + "\n" + LoadCliText(CliText::HelpMoreOptions);
    std::string text;
    for (const std::string& block :
         {LoadCliText(CliText::HelpUsage), LoadCliText(CliText::HelpCommands), options,
          LoadCliText(CliText::HelpBootMode)}) {
        text += block + "\n\n";
    }
    return text + ExitCodesHelp();
}

}  // namespace zevrin::cli

#include "cli/Flash.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <variant>

#include "cli/Commands.h"
#include "cli/DevicePort.h"
#include "cli/JsonEvents.h"
#include "cli/Workbench.h"
#include "hid/CHid.h"
#include "hid/Log.h"
#include "hid/sim/SimBench.h"
#include "hid/sim/SimPort.h"
#include "update/Texts.h"

#ifndef ZEVRIN_VERSION
#define ZEVRIN_VERSION "unknown"
#endif

namespace zevrin::cli {

namespace {

// Installs the run's log sink and puts the previous one back once everything that logs is gone.
class LogSinkScope {
  public:
    explicit LogSinkScope(LogSink sink) : m_Previous(SetLogSink(std::move(sink))) {}
    ~LogSinkScope() { SetLogSink(std::move(m_Previous)); }
    LogSinkScope(const LogSinkScope&) = delete;
    LogSinkScope& operator=(const LogSinkScope&) = delete;

  private:
    LogSink m_Previous;
};

int RunList(const ParsedArgs& a, Console& c, CliView& view, HidPort& port) {
    if (const int rc = AwaitGamepad(a, c, view, port); rc != kExitOk) {
        return rc;
    }
    const std::vector<HidInterface> found = port.ListAccepted(IsAcceptedDevice);
    if (found.empty()) {
        view.Error(NoGamepadMessage(a));
        return kExitNoGamepad;
    }
    for (const HidInterface& i : found) {
        view.Print(c.out, a.json
                              ? json::DeviceEvent(i.path, i.vendorId, i.productId)
                              : Format("%s\t%04x:%04x\n", i.path.c_str(), i.vendorId, i.productId));
    }
    return kExitOk;
}

// With -v the engine's diagnostic lines go to standard error; without, nowhere.
LogSink DiagnosticSink(const ParsedArgs& args, Console& console, CliView& view) {
    if (!args.verbose) {
        return {};  // not a sink that drops lines: lines nobody reads are not even formatted
    }
    return [&view, &console](std::string_view line) { view.Print(console.err, std::string(line)); };
}

// The command itself; `device` is set to the gamepad it worked on, or asked for.
int RunCommand(const ParsedArgs& args, Console& console, CliView& view, HidPort& port,
               const ChildLauncher& launch, std::optional<std::string>& device,
               json::Summary& tally) {
    const LogSinkScope logScope(DiagnosticSink(args, console, view));
    if (args.command == Command::Info) {
        return RunInfo(args, console, view);
    }
    DevicePort chosen(port, args.device.value_or(std::string()));
    HidPort& devices = args.device ? static_cast<HidPort&>(chosen) : port;
    if (args.all) {
        return RunAll(args, console, view, devices, launch, tally);
    }
    if (args.repeat) {
        return RunRepeat(args, console, view, devices, launch, tally);
    }
    if (args.command == Command::List) {
        return RunList(args, console, view, devices);
    }
    return RunWithDialog(args, console, view, devices, device);
}

std::optional<json::Reason> ReasonFor(int exitCode, const CliView& view) {
    const auto error = view.LastError();
    if (exitCode == kExitOk || !error) {
        return std::nullopt;
    }
    return json::ReasonOf(*error);
}

}  // namespace

int ReportUsageError(const std::vector<std::string>& args, const UsageError& error,
                     Console& console) {
    console.err << "zevrin-flash: " << error.message << "\n"
                << LoadCliText(CliText::SeeHelp) << "\n";
    console.err.flush();
    if (JsonRequested(args)) {
        console.out << json::ResultEvent(
            kExitUsage, json::ReasonOf("zevrin-flash: " + error.message), std::nullopt, 0);
        console.out.flush();
    }
    return kExitUsage;
}

namespace {

int ReportNoHidAccess(const ParsedArgs& a, Console& console) {
    const std::string reason = LoadCliText(CliText::NoHidAccess);
    console.err << "zevrin-flash: " << reason << "\n";
    console.err.flush();
    if (a.json) {
        console.out << json::ResultEvent(kExitNoGamepad, json::ReasonOf("zevrin-flash: " + reason),
                                         a.device, 0);
        console.out.flush();
    }
    return kExitNoGamepad;
}

// What list, version, info, --help and any --json print is the command's result, and a write of
// it that failed fails the run. An update's text only follows the transfer, which goes on without.
int OutputChecked(const ParsedArgs& a, Console& c, int rc) {
    if (!a.json && !a.help && !a.showVersion && a.command == Command::Update) {
        return rc;
    }
    c.out.flush();
    const std::optional<std::string> failure =
        c.outputFailure ? c.outputFailure() : std::optional<std::string>();
    if (!failure) {
        return rc;
    }
    if (!failure->empty()) {
        c.err << "zevrin-flash: " << LoadCliText(CliText::OutputFailed, {*failure}) << "\n";
        c.err.flush();
    }
    return rc == kExitOk ? kExitOutputFailed : rc;
}

// --help and --version, which answer without a gamepad.
std::optional<std::string> AnswerWithoutGamepad(const ParsedArgs& a) {
    if (a.help) {
        return UsageText();
    }
    if (a.showVersion) {
        return std::string("zevrin-flash ") + ZEVRIN_VERSION + "\n";
    }
    return std::nullopt;
}

}  // namespace

int Run(const ParsedArgs& args, Console& console, HidPort& port, const ChildLauncher& launch) {
    const auto start = std::chrono::steady_clock::now();
    CliView::Options options;
    options.file = args.command == Command::Update ? args.file : std::string();
    options.yes = args.yes;
    // Diagnostic lines would tear a bar drawn in place: with -v the progress comes as lines.
    options.progressBar = console.terminal && !args.verbose && !args.json;
    options.json = args.json;
    CliView view(console, options);

    std::optional<std::string> device;
    json::Summary tally;
    int rc = RunCommand(args, console, view, port, launch, device, tally);
    if (console.exitCode) {
        rc = console.exitCode(rc);
    }
    if (!args.json) {
        return rc;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    if (args.all || args.repeat) {
        tally.exitCode = rc;
        tally.reason = ReasonFor(rc, view);
        tally.seconds = seconds.count();
        view.Print(console.out, json::SummaryEvent(tally));
    } else {
        view.Print(console.out,
                   json::ResultEvent(rc, ReasonFor(rc, view), device, seconds.count()));
    }
    return rc;
}

int RunCommandLine(const std::vector<std::string>& args, Console& console,
                   const PortFactory& makePort, const ChildLauncher& launch) {
    const auto parsed = ParseArgs(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        return ReportUsageError(args, *error, console);
    }
    const ParsedArgs& a = std::get<ParsedArgs>(parsed);
    if (const std::optional<std::string> answer = AnswerWithoutGamepad(a)) {
        console.out << *answer;
        return OutputChecked(a, console, kExitOk);
    }
    if (a.command == Command::Info) {
        // info reads only the file; any port will do, none is touched.
        sim::SimPort none;
        return OutputChecked(a, console, Run(a, console, none));
    }
    // A bench the command line shapes is the program's own; the factory knows of one gamepad.
    const bool ownBench = a.simulatedGamepads > 1 || a.simulateArrive || a.simulateUnplugAfter != 0;
    const std::unique_ptr<HidPort> port = ownBench ? MakeSimulatedPort(a) : makePort(a.simulate);
    if (!port) {
        return ReportNoHidAccess(a, console);
    }
    return OutputChecked(a, console, Run(a, console, *port, launch));
}

std::unique_ptr<HidPort> MakeSimulatedPort(int gamepads) {
    ParsedArgs a;
    a.simulatedGamepads = gamepads;
    return MakeSimulatedPort(a);
}

std::unique_ptr<HidPort> MakeSimulatedPort(const ParsedArgs& a) {
    sim::BenchLayout layout = sim::CommandLineBench(a.simulatedGamepads);
    layout.arriveAfter = a.simulateArrive;
    layout.unplugAfterChunks = a.simulateUnplugAfter;
    auto port = std::make_unique<sim::SimPort>();
    sim::AddBench(*port, layout);
    return port;
}

}  // namespace zevrin::cli

#include "cli/Flash.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "cli/DevicePort.h"
#include "cli/JsonEvents.h"
#include "cli/Workbench.h"
#include "hid/CHid.h"
#include "hid/Log.h"
#include "hid/sim/SimBench.h"
#include "update/FirmwareImage.h"
#include "update/Sha256.h"
#include "update/Texts.h"
#include "update/UpdateDlg.h"

#ifndef ZEVRIN_VERSION
#define ZEVRIN_VERSION "unknown"
#endif

namespace zevrin::cli {

namespace {

// How often the waiting main thread looks at Ctrl-C and redraws the bar.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

constexpr const char* kInterruptedBeforeData = "Update interrupted. No image data was sent.\n";

bool Interrupted(const Console& c) {
    return c.interrupted && c.interrupted();
}

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

std::string WhyUnopenable(const std::string& file) {
    std::error_code ec;
    const auto status =
        std::filesystem::status(std::filesystem::path(std::u8string(file.begin(), file.end())), ec);
    if (!std::filesystem::exists(status)) {
        return "no such file";
    }
    if (std::filesystem::is_directory(status)) {
        return "it is a directory";
    }
    return "it cannot be read (permissions, or another program holds it open)";
}

std::string CannotOpenMessage(const std::string& file) {
    return "zevrin-flash: cannot open '" + file + "': " + WhyUnopenable(file) + "\n";
}

std::string NoGamepadMessage(const ParsedArgs& a) {
    if (a.device) {
        return "zevrin-flash: no gamepad at " + *a.device +
               " ('zevrin-flash list' shows the gamepads present)\n";
    }
    return "zevrin-flash: no gamepad found. Hold L+R+START while powering it on (the LED blinks "
           "yellow), then connect it by USB.\n";
}

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

int ShowImageJson(const ParsedArgs& a, Console& c, CliView& view, const ImageCheck& check,
                  const std::optional<std::string>& digest) {
    json::ImageFacts facts;
    facts.file = a.file;
    facts.size = check.headerBytesRead + check.dataBytes;
    facts.headerComplete = check.headerBytesRead == kFirmwareHeaderSize;
    facts.desVersion = check.header.desVersion;
    facts.imageParam = check.header.imageParam;
    facts.imageLength = check.header.imageLength;
    facts.extraBytes =
        check.dataBytes > check.header.imageLength ? check.dataBytes - check.header.imageLength : 0;
    facts.sha256 = digest;
    if (check.problem != ImageProblem::None) {
        facts.refusal = RefusalReason(check.problem);
        view.Error(LoadLocalizedText(TextId::UpdateFailure) + "\n" + *facts.refusal + "\n");
    }
    view.Print(c.out, json::ImageEvent(facts));
    return facts.refusal ? kExitImageRefused : kExitOk;
}

std::string HeaderText(const ImageCheck& check) {
    const FirmwareHeader& h = check.header;
    std::string text = Format("Version:     %s (desVersion 0x%08x)\n",
                              FormatVersion(h.desVersion).c_str(), h.desVersion);
    text += Format("imageParam:  0x%08x\n", h.imageParam);
    text += Format("imageLength: %u bytes\n", h.imageLength);
    if (check.problem == ImageProblem::None && check.dataBytes > h.imageLength) {
        // They go out with the last chunk, as the device's loader has always received them.
        text += Format("Extra bytes: %llu after the image, sent with the last chunk\n",
                       static_cast<unsigned long long>(check.dataBytes - h.imageLength));
    }
    return text;
}

int ShowImageText(const ParsedArgs& a, Console& c, CliView& view, const ImageCheck& check,
                  const std::optional<std::string>& digest) {
    std::string text =
        Format("File:        %s\nSize:        %llu bytes\n", a.file.c_str(),
               static_cast<unsigned long long>(check.headerBytesRead + check.dataBytes));
    text += "SHA-256:     " + digest.value_or("cannot be computed: the file cannot be read") + "\n";
    if (check.headerBytesRead == kFirmwareHeaderSize) {
        text += HeaderText(check);
    }
    if (check.problem != ImageProblem::None) {
        text += "Can be sent: no: " + RefusalReason(check.problem) + "\n";
        view.Print(c.out, text);
        return kExitImageRefused;
    }
    view.Print(c.out, text + "Can be sent: yes\n");
    return kExitOk;
}

int RunInfo(const ParsedArgs& a, Console& c, CliView& view) {
    const ImageCheck check = InspectImage(a.file);
    if (check.problem == ImageProblem::OpenFailed) {
        view.Error(CannotOpenMessage(a.file));
        return kExitImageRefused;
    }
    if (check.problem == ImageProblem::NotRegular) {
        view.Error(LoadLocalizedText(TextId::UpdateFailure) + "\n" + RefusalReason(check.problem) +
                   "\n");
        return kExitImageRefused;
    }
    const std::optional<std::string> digest = Sha256File(a.file);
    return a.json ? ShowImageJson(a, c, view, check, digest)
                  : ShowImageText(a, c, view, check, digest);
}

// The dialog's start-up: finds the gamepad and asks its version. 0 when it answered the open.
int StartSession(const ParsedArgs& a, Console& c, CliView& view, CUpdateDlg& dlg) {
    if (const int rc = AwaitGamepad(a, c, view, dlg.Hid().Port()); rc != kExitOk) {
        return rc;
    }
    dlg.OnInitDialog();
    if (dlg.Hid().DeviceFound() == 0) {
        view.Error(NoGamepadMessage(a));
        return kExitNoGamepad;
    }
    switch (dlg.Hid().LastOpenStatus()) {
        case OpenStatus::Ok:
            return kExitOk;
        case OpenStatus::PermissionDenied:
#if !defined(_WIN32)
            // The engine has said what to do; say where the rule comes from.
            view.Print(c.err,
                       "The rule is packaging/linux/70-zevrin-gamepad.rules in the source tree; "
                       "the zevrin-update package installs it into /usr/lib/udev/rules.d.\n");
#endif
            return kExitNoGamepad;
        case OpenStatus::Claimed:
            view.Error(LoadExtraText(ExtraText::DeviceClaimed) + "\n");
            return kExitNoGamepad;
        case OpenStatus::NotFound:
        case OpenStatus::Failed:
            break;
    }
    view.Error("zevrin-flash: cannot open the gamepad at " + dlg.Hid().DevicePath() + "\n");
    return kExitNoGamepad;
}

int RunVersion(const ParsedArgs& a, Console& c, CliView& view, CUpdateDlg& dlg) {
    if (const int rc = StartSession(a, c, view, dlg); rc != kExitOk) {
        return rc;
    }
    if (Interrupted(c)) {
        view.Error("Interrupted.\n");
        return kExitInterrupted;
    }
    const uint32_t version = dlg.DeviceVersion();
    if (version == kVersionPending) {
        view.Error(LoadExtraText(ExtraText::VersionNoAnswer) + "\n");
        return kExitUpdateFailed;
    }
    if (a.json) {
        const auto word = version == kNoVersion ? std::nullopt : std::optional<uint32_t>(version);
        view.Print(c.out, json::VersionEvent(dlg.Hid().DevicePath(), word));
        return kExitOk;
    }
    if (version == kNoVersion) {
        view.Print(c.out, "GamePad: no firmware version\n");
        return kExitOk;
    }
    view.Print(c.out, "GamePad V" + FormatVersion(version) + "\n");
    return kExitOk;
}

bool DigestMatches(const ParsedArgs& a, CliView& view, ImageFile& file) {
    const std::optional<std::string> digest = Sha256File(file);
    if (!digest) {
        view.Error("zevrin-flash: cannot read '" + a.file +
                   "' to its end to check its SHA-256. No image data was sent.\n");
        return false;
    }
    if (*digest != *a.sha256) {
        view.Error("zevrin-flash: '" + a.file + "' is not the image asked for: its SHA-256 is " +
                   *digest + ", not " + *a.sha256 + ". No image data was sent.\n");
        return false;
    }
    return true;
}

}  // namespace

std::optional<ImageCheck> CheckImage(const ParsedArgs& a, CliView& view, ImageFile& file) {
    ImageCheck check = InspectImage(a.file, file);
    if (check.problem == ImageProblem::OpenFailed) {
        view.Error(CannotOpenMessage(a.file));
        return std::nullopt;
    }
    if (check.problem != ImageProblem::None) {
        view.Error(LoadLocalizedText(TextId::UpdateFailure) + "\n" + RefusalReason(check.problem) +
                   "\n");
        return std::nullopt;
    }
    if (a.sha256 && !DigestMatches(a, view, file)) {
        file.Close();
        return std::nullopt;
    }
    return check;
}

namespace {

// Both versions for the question and the bar, and which gamepad is about to be written.
void AnnounceTransfer(const ParsedArgs& a, Console& c, CliView& view, CUpdateDlg& dlg,
                      uint32_t newVersion) {
    const uint32_t deviceVersion = dlg.DeviceVersion();
    CliView::Transfer transfer;
    transfer.device = dlg.Hid().DevicePath();
    if (deviceVersion != kVersionPending && deviceVersion != kNoVersion) {
        transfer.oldVersion = deviceVersion;
    }
    transfer.newVersion = newVersion;
    view.SetTransfer(transfer);
    if (!a.json) {
        view.Print(c.out, "Gamepad: " + transfer.device + "\n");
    }
    if (deviceVersion == kVersionPending) {
        view.Print(c.err, LoadExtraText(ExtraText::VersionNoAnswer) + "\n");
    }
}

// False when no worker started because the open failed: the gamepad went away or refused the
// open since the start-up.
bool StartTheWorker(CliView& view, CUpdateDlg& dlg) {
    dlg.OnBnClickedUsbUpdate();
    if (dlg.IsWorkerRunning() || dlg.Outcome() != UpdateOutcome::None) {
        return true;
    }
    const OpenStatus status = dlg.Hid().LastOpenStatus();
    if (status != OpenStatus::PermissionDenied && status != OpenStatus::Claimed) {
        view.Error("zevrin-flash: cannot open the gamepad at " + dlg.Hid().DevicePath() + "\n");
    }
    return false;
}

void WaitForTheWorker(Console& c, CliView& view, CUpdateDlg& dlg) {
    while (dlg.IsWorkerRunning()) {
        if (Interrupted(c)) {
            dlg.StopWorker();  // the stop routine: cuts the read short, cancels the prompt, joins
            break;
        }
        view.Tick();
        std::this_thread::sleep_for(kWaitSlice);
    }
    dlg.WaitForWorker();
    view.EndTransfer();
}

int ExitCodeFor(UpdateOutcome outcome, const ParsedArgs& a, Console& c, CliView& view,
                const CUpdateDlg& dlg) {
    switch (outcome) {
        case UpdateOutcome::Success:
            if (!a.json) {
                view.Print(c.out, Format("Sent %u bytes in %.1f s.\n", dlg.BytesSent(),
                                         view.TransferSeconds()));
            }
            return kExitOk;
        case UpdateOutcome::Interrupted:
            view.Error(dlg.BytesSent() > 0
                           ? "Update interrupted. The gamepad did not receive the whole image: "
                             "keep it in boot mode and run the update again.\n"
                           : kInterruptedBeforeData);
            return kExitInterrupted;
        case UpdateOutcome::Cancelled:
            if (view.Declined()) {
                view.Error("Update cancelled. No image data was sent.\n");
                return kExitCancelled;
            }
            // Not the user: the file could not be opened again once the gamepad was ready.
            view.Error(CannotOpenMessage(a.file));
            return kExitImageRefused;
        case UpdateOutcome::ImageRefused:
            return kExitImageRefused;  // the engine has said why
        case UpdateOutcome::DeviceFailed:
        case UpdateOutcome::WrongFirmwareType:
        case UpdateOutcome::DeviceSilent:
        case UpdateOutcome::DeviceLost:
        case UpdateOutcome::SendFailed:
        case UpdateOutcome::None:
        case UpdateOutcome::Running:
            break;
    }
    if (!view.FailureShown()) {
        view.Error(LoadLocalizedText(TextId::UpdateFailure) +
                   "\nzevrin-flash: could not write to the gamepad.\n");
    }
    return kExitUpdateFailed;
}

int RunUpdate(const ParsedArgs& a, Console& c, CliView& view, CUpdateDlg& dlg) {
    ImageFile image;  // open from the check to the end of the transfer
    const std::optional<ImageCheck> check = CheckImage(a, view, image);
    if (!check) {
        return kExitImageRefused;
    }
    if (const int rc = StartSession(a, c, view, dlg); rc != kExitOk) {
        return rc;
    }
    AnnounceTransfer(a, c, view, dlg, check->header.desVersion);
    if (Interrupted(c)) {
        view.Error(kInterruptedBeforeData);
        return kExitInterrupted;
    }
    dlg.UseCheckedImage(a.file, std::move(image));
    if (!StartTheWorker(view, dlg)) {
        return kExitNoGamepad;
    }
    WaitForTheWorker(c, view, dlg);
    return ExitCodeFor(dlg.Outcome(), a, c, view, dlg);
}

// With -v the engine's diagnostic lines go to standard error; without, nowhere.
LogSink DiagnosticSink(const ParsedArgs& args, Console& console, CliView& view) {
    if (!args.verbose) {
        return [](std::string_view) {};
    }
    return [&view, &console](std::string_view line) { view.Print(console.err, std::string(line)); };
}

EngineLimits LimitsFor(const ParsedArgs& args) {
    EngineLimits limits;
    limits.workerSilence = args.silenceLimit;
    // An unplugged gamepad is also a silent one: it must be recognised before the silence limit
    // runs out, or a short --timeout would report the wrong cause.
    limits.deviceGone = std::min(limits.deviceGone, args.silenceLimit / 2);
    return limits;
}

// version and update, which talk to one gamepad through the dialog's engine.
int RunWithDialog(const ParsedArgs& args, Console& console, CliView& view, HidPort& devices,
                  std::optional<std::string>& device) {
    CUpdateDlg dlg(devices, view);
    // One run, one gamepad: held from the version query to the end of the transfer.
    dlg.Hid().KeepClaim();
    view.Attach(dlg);
    dlg.SetLimits(LimitsFor(args));
    int rc = kExitUsage;
    if (args.command == Command::Version) {
        rc = RunVersion(args, console, view, dlg);
    } else if (args.command == Command::Update) {
        rc = RunUpdate(args, console, view, dlg);
    } else {
        view.Error("zevrin-flash: no command given\n");
    }
    device = dlg.Hid().DevicePath();
    if (device->empty()) {
        device = args.device;
    }
    return rc;
}

// The command itself; `device` is set to the gamepad it worked on, or asked for.
int RunCommand(const ParsedArgs& args, Console& console, CliView& view, HidPort& port,
               const ChildLauncher& launch, std::optional<std::string>& device) {
    const LogSinkScope logScope(DiagnosticSink(args, console, view));
    if (args.command == Command::Info) {
        return RunInfo(args, console, view);
    }
    DevicePort chosen(port, args.device.value_or(std::string()));
    HidPort& devices = args.device ? static_cast<HidPort&>(chosen) : port;
    if (args.all) {
        return RunAll(args, console, view, devices, launch);
    }
    if (args.repeat) {
        return RunRepeat(args, console, view, devices, launch);
    }
    if (args.command == Command::List) {
        return RunList(args, console, view, devices);
    }
    return RunWithDialog(args, console, view, devices, device);
}

std::optional<std::string> ReasonFor(int exitCode, const CliView& view) {
    const auto error = view.LastError();
    if (exitCode == kExitOk || !error) {
        return std::nullopt;
    }
    return json::ReasonOf(*error);
}

}  // namespace

int ReportUsageError(const std::vector<std::string>& args, const UsageError& error,
                     Console& console) {
    console.err << "zevrin-flash: " << error.message
                << "\nRun 'zevrin-flash --help' for the commands and options.\n";
    console.err.flush();
    if (JsonRequested(args)) {
        console.out << json::ResultEvent(kExitUsage, error.message, std::nullopt, 0);
        console.out.flush();
    }
    return kExitUsage;
}

namespace {

int ReportNoHidAccess(const ParsedArgs& a, Console& console) {
    const std::string reason = "this build cannot reach HID devices; try --simulate";
    console.err << "zevrin-flash: " << reason << "\n";
    console.err.flush();
    if (a.json) {
        console.out << json::ResultEvent(kExitNoGamepad, reason, a.device, 0);
        console.out.flush();
    }
    return kExitNoGamepad;
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
    int rc = RunCommand(args, console, view, port, launch, device);
    if (console.exitCode) {
        rc = console.exitCode(rc);
    }
    if (args.json) {
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
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
        console.out.flush();
        return kExitOk;
    }
    if (a.command == Command::Info) {
        // info reads only the file; any port will do, none is touched.
        sim::SimPort none;
        return Run(a, console, none);
    }
    // Several simulated gamepads are the program's own bench; the factory knows of one.
    const std::unique_ptr<HidPort> port =
        a.simulatedGamepads > 1 ? MakeSimulatedPort(a.simulatedGamepads) : makePort(a.simulate);
    if (!port) {
        return ReportNoHidAccess(a, console);
    }
    return Run(a, console, *port, launch);
}

std::unique_ptr<HidPort> MakeSimulatedPort(int gamepads) {
    auto port = std::make_unique<sim::SimPort>();
    sim::AddBench(*port, sim::CommandLineBench(gamepads));
    return port;
}

}  // namespace zevrin::cli

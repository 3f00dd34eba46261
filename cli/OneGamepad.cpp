// version and update: one gamepad, through the dialog logic the windows drive too.
#include <algorithm>
#include <chrono>
#include <utility>

#include "cli/Commands.h"
#include "cli/Flash.h"
#include "cli/JsonEvents.h"
#include "cli/Workbench.h"
#include "hid/CHid.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"
#include "update/UpdateDlg.h"

namespace zevrin::cli {

std::string NoGamepadMessage(const ParsedArgs& a) {
    if (a.device) {
        return "zevrin-flash: " + LoadCliText(CliText::NoGamepadAt, {*a.device}) + "\n";
    }
    return "zevrin-flash: " + LoadCliText(CliText::NoGamepadFound) + " " +
           LoadCliText(CliText::BootModeAdvice) + "\n";
}

namespace {

// A release ranks above its betas: 1.20 beta3 < 1.20 < 1.21 beta1.
uint64_t Rank(uint32_t word) {
    const uint32_t beta = word >> 16;
    return (static_cast<uint64_t>(word & 0xFFFFu) << 32) | (beta == 0 ? 0xFFFFFFFFu : beta);
}

}  // namespace

bool AlreadyUpToDate(uint32_t deviceVersion, uint32_t fileVersion) {
    // Without firmware, or without an answer, there is nothing to keep.
    if (deviceVersion == kNoVersion || deviceVersion == kVersionPending) {
        return false;
    }
    return Rank(deviceVersion) >= Rank(fileVersion);
}

namespace {

// How often the main thread, waiting for the worker, redraws the bar and looks at Ctrl-C; the
// worker's end wakes it at once. Each wake-up takes a processor from the worker or the gamepad's
// driver in the middle of a request (on a 2-processor guest it set the p99 of a request's
// turnaround at 1.4 times a bare loop's), so without a bar on the terminal the progress lines
// wait for the longer slice.
constexpr auto kBarSlice = std::chrono::milliseconds(100);
constexpr auto kLineSlice = std::chrono::milliseconds(250);

// Several gamepads and none named: which one this run takes, so the others are not thought done.
// Standard error, which --json leaves to the person at the terminal.
void NameTheOneTaken(const ParsedArgs& a, Console& c, CliView& view, CUpdateDlg& dlg) {
    if (a.device) {
        return;
    }
    const size_t present = dlg.Hid().Port().ListAccepted(IsAcceptedDevice).size();
    if (present > 1) {
        view.Print(c.err, "zevrin-flash: " +
                              LoadCliText(CliText::SeveralPresent,
                                          {std::to_string(present), dlg.Hid().DevicePath()}) +
                              "\n");
    }
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
    NameTheOneTaken(a, c, view, dlg);
    switch (dlg.Hid().LastOpenStatus()) {
        case OpenStatus::Ok:
            return kExitOk;
        case OpenStatus::PermissionDenied:
#if !defined(_WIN32)
            // The engine has said what to do; say where the rule comes from.
            view.Print(c.err, LoadCliText(CliText::UdevRuleSource) + "\n");
#endif
            return kExitNoGamepad;
        case OpenStatus::Claimed:
            view.Error(LoadExtraText(ExtraText::DeviceClaimed) + "\n");
            return kExitNoGamepad;
        case OpenStatus::NotFound:
        case OpenStatus::Failed:
            break;
    }
    view.Error("zevrin-flash: " +
               LoadCliText(CliText::CannotOpenGamepad, {dlg.Hid().DevicePath()}) + "\n");
    return kExitNoGamepad;
}

int RunVersion(const ParsedArgs& a, Console& c, CliView& view, CUpdateDlg& dlg) {
    if (const int rc = StartSession(a, c, view, dlg); rc != kExitOk) {
        return rc;
    }
    if (Interrupted(c)) {
        view.Error(LoadCliText(CliText::Interrupted) + "\n");
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
        view.Print(c.out, LoadCliText(CliText::NoFirmwareVersion) + "\n");
        return kExitOk;
    }
    view.Print(c.out, LoadCliText(CliText::GamepadVersion, {FormatVersion(version)}) + "\n");
    return kExitOk;
}

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
        view.Print(c.out, LoadCliText(CliText::GamepadIs, {transfer.device}) + "\n");
    }
    if (deviceVersion == kVersionPending) {
        view.Print(c.err, LoadExtraText(ExtraText::VersionNoAnswer) + "\n");
    }
}

// --only-if-newer found nothing to do: the gamepad heard the version query and nothing more.
void ReportUpToDate(const ParsedArgs& a, Console& c, CliView& view, CUpdateDlg& dlg,
                    uint32_t fileVersion) {
    const std::string& path = dlg.Hid().DevicePath();
    if (a.json) {
        view.Print(c.out, json::SkippedEvent(path, dlg.DeviceVersion(), fileVersion));
        return;
    }
    view.Print(c.out, LoadCliText(CliText::AlreadyHas, {path, FormatVersion(dlg.DeviceVersion()),
                                                        FormatVersion(fileVersion)}) +
                          "\n");
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
        view.Error("zevrin-flash: " +
                   LoadCliText(CliText::CannotOpenGamepad, {dlg.Hid().DevicePath()}) + "\n");
    }
    return false;
}

void WaitForTheWorker(Console& c, CliView& view, CUpdateDlg& dlg) {
    const auto slice = view.DrawsBar() ? kBarSlice : kLineSlice;
    while (!dlg.WaitForWorkerFor(slice)) {
        if (Interrupted(c)) {
            dlg.StopWorker();  // the stop routine: cuts the read short, cancels the prompt, joins
            break;
        }
        view.Tick();
    }
    dlg.WaitForWorker();
    view.EndTransfer();
}

int ExitCodeFor(UpdateOutcome outcome, const ParsedArgs& a, Console& c, CliView& view,
                const CUpdateDlg& dlg) {
    switch (outcome) {
        case UpdateOutcome::Success:
            if (!a.json) {
                view.Print(c.out, LoadCliText(CliText::SentBytes,
                                              {std::to_string(dlg.BytesSent()),
                                               Format("%.1f", view.TransferSeconds())}) +
                                      "\n");
            }
            return kExitOk;
        case UpdateOutcome::Interrupted:
            view.Error(dlg.BytesSent() > 0 ? LoadCliText(CliText::InterruptedPartway) + "\n"
                                           : LoadCliText(CliText::InterruptedBeforeData) + "\n");
            return kExitInterrupted;
        case UpdateOutcome::Cancelled:
            if (view.Declined()) {
                view.Error(LoadCliText(CliText::CancelledBeforeData) + "\n");
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
                   "\nzevrin-flash: " + LoadCliText(CliText::CouldNotWrite) + "\n");
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
    if (a.onlyIfNewer && AlreadyUpToDate(dlg.DeviceVersion(), check->header.desVersion)) {
        ReportUpToDate(a, c, view, dlg, check->header.desVersion);
        return kExitOk;
    }
    AnnounceTransfer(a, c, view, dlg, check->header.desVersion);
    if (Interrupted(c)) {
        view.Error(LoadCliText(CliText::InterruptedBeforeData) + "\n");
        return kExitInterrupted;
    }
    dlg.UseCheckedImage(a.file, std::move(image));
    if (!StartTheWorker(view, dlg)) {
        return kExitNoGamepad;
    }
    WaitForTheWorker(c, view, dlg);
    return ExitCodeFor(dlg.Outcome(), a, c, view, dlg);
}

EngineLimits LimitsFor(const ParsedArgs& args) {
    EngineLimits limits;
    limits.workerSilence = args.silenceLimit;
    // An unplugged gamepad is also a silent one: it must be recognised before the silence limit
    // runs out, or a short --timeout would report the wrong cause.
    limits.deviceGone = std::min(limits.deviceGone, args.silenceLimit / 2);
    return limits;
}

}  // namespace

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
        view.Error("zevrin-flash: " + LoadCliText(CliText::NoCommand) + "\n");
    }
    device = dlg.Hid().DevicePath();
    if (device->empty()) {
        device = args.device;
    }
    return rc;
}

}  // namespace zevrin::cli

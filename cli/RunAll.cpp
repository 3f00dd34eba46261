// --all: every gamepad present at once, one question for all, live lines, then the table.
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/ChildRuns.h"
#include "cli/Commands.h"
#include "cli/DevicePort.h"
#include "cli/StopSignals.h"
#include "cli/Workbench.h"
#include "cli/WorkbenchLines.h"
#include "hid/CHid.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"
#include "update/UpdateEngine.h"

namespace zevrin::cli {

namespace {

// The one question for all gamepads. kExitOk when the answer was yes (or --yes).
int AskOnce(Console& c, CliView& view, const std::vector<HidInterface>& gamepads,
            uint32_t newVersion) {
    std::string names;
    for (const HidInterface& g : gamepads) {
        names += (names.empty() ? "" : ", ") + g.path;
    }
    const std::string text = LoadCliText(
        CliText::AllGamepads, {names, FormatVersion(newVersion), std::to_string(gamepads.size())});
    std::atomic<bool> answered{false};
    // The prompt waits on the user; a stop request must be able to end that wait.
    std::thread watch([&] {
        while (!answered.load()) {
            if (Interrupted(c)) {
                view.CancelPrompts();
                return;
            }
            std::this_thread::sleep_for(kStopSlice);
        }
    });
    const BoxResult answer =
        view.MessageBox(text, LoadLocalizedText(TextId::Title), BoxKind::Confirm);
    answered = true;
    watch.join();
    if (answer == BoxResult::Ok && !Interrupted(c)) {
        return kExitOk;
    }
    if (view.Declined()) {
        view.Error(LoadCliText(CliText::CancelledBeforeData) + "\n");
        return kExitCancelled;
    }
    view.Error(LoadCliText(CliText::InterruptedBeforeData) + "\n");
    return kExitInterrupted;
}

// Until every child has ended: live lines on a terminal, else a line at each tenth of an update.
// True when the lines were live.
bool FollowChildren(const ParsedArgs& a, Console& c, CliView& view, Children& children,
                    bool update) {
    // -v interleaves the children's diagnostic lines, which lines redrawn in place would tear.
    const bool live = c.terminal && !a.verbose && !a.json && TerminalMovesCursor();
    LiveLines lines(view, c.out);
    std::vector<uint32_t> tenths;
    children.Supervise([&](const std::vector<Report>& reports) {
        if (live) {
            std::vector<std::string> texts;
            for (const Report& r : reports) {
                texts.push_back(ProgressText(r, update));
            }
            lines.Show(texts);
            return;
        }
        tenths.resize(reports.size(), 0);
        // --json: the children's own lines have gone out as they came.
        for (size_t i = 0; update && !a.json && i < reports.size(); ++i) {
            const uint32_t tenth = reports[i].Percent() / 10;
            if (tenth > tenths[i]) {
                tenths[i] = tenth;
                view.Print(c.out, Format("%s: %u%%\n", reports[i].path.c_str(), tenth * 10));
            }
        }
    });
    lines.Keep();
    return live;
}

// The table (--json: the counts for the summary line), and the exit code of the whole run.
int Conclude(const ParsedArgs& a, Console& c, CliView& view, const Children& children, bool live,
             json::Summary& tally) {
    const std::vector<Report> reports = children.Reports();
    if (!a.json) {
        std::string summary = live ? "\n" : "";  // below the live lines
        summary += SummaryTable(reports, a.command == Command::Update);
        view.Print(c.out, summary);
    }
    std::vector<int> codes;
    for (const Report& r : reports) {
        codes.push_back(r.exitCode);
        (r.exitCode == kExitOk ? tally.ok : tally.failed)++;
    }
    tally.gamepads = static_cast<int>(reports.size());
    return children.Stopping() ? kExitInterrupted : WorstExitCode(codes);
}

}  // namespace

int WorstExitCode(const std::vector<int>& codes) {
    int worst = kExitOk;
    for (const int code : codes) {
        if (ExitSeverity(code) > ExitSeverity(worst)) {
            worst = code;
        }
    }
    // A code that is not ours ranks as a failed update and is reported as one.
    return ExitSeverity(worst) == ExitSeverity(kExitUpdateFailed) ? kExitUpdateFailed : worst;
}

int RunAll(const ParsedArgs& a, Console& c, CliView& view, HidPort& port,
           const ChildLauncher& launch, json::Summary& tally) {
    const bool update = a.command == Command::Update;
    std::optional<ImageCheck> image;
    if (update && !(image = CheckImageOnce(a, view))) {
        return kExitImageRefused;
    }
    if (update) {
        tally.newVersion = image->header.desVersion;
    }
    if (const int rc = AwaitGamepad(a, c, view, port); rc != kExitOk) {
        return rc;
    }
    const std::vector<HidInterface> gamepads = port.ListAccepted(IsAcceptedDevice);
    if (gamepads.empty()) {
        view.Error(NoGamepadMessage(a));
        return kExitNoGamepad;
    }
    if (update) {
        if (const int rc = AskOnce(c, view, gamepads, image->header.desVersion); rc != kExitOk) {
            return rc;
        }
    }
    // From here on a second stop request ends the children at once, and the table still comes.
    const SecondRequestHeld held;
    Children children(a, c, view, launch);
    for (const HidInterface& g : gamepads) {
        children.Start(g.path);
    }
    const bool live = FollowChildren(a, c, view, children, update);
    return Conclude(a, c, view, children, live, tally);
}

}  // namespace zevrin::cli

// --all: every gamepad present at once, one question for all, live lines, then the table.
#include <algorithm>
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

// Each gamepad's version, through a `version` child of its own: the parent knows the gamepads only
// through their children. Nothing but the version query reaches them.
std::vector<Report> AskVersions(const ParsedArgs& a, Console& c, CliView& view,
                                const std::vector<HidInterface>& gamepads,
                                const ChildLauncher& launch) {
    ParsedArgs asked = a;
    asked.command = Command::Version;
    // Their lines are not passed on: with --json the parent tells the versions itself, without
    // the version runs' results, so each gamepad still ends in one result line.
    asked.json = false;
    asked.file.clear();
    asked.sha256.reset();
    Children children(asked, c, view, launch);
    for (const HidInterface& g : gamepads) {
        children.Start(g.path);
    }
    children.Supervise([](const std::vector<Report>&) {});
    return children.Reports();
}

// Each gamepad with the version it has and the one it is to get, or why it is left alone.
std::string VersionList(const std::vector<Report>& versions, const std::string& newVersion) {
    size_t width = 0;
    for (const Report& r : versions) {
        width = std::max(width, Columns(r.path));
    }
    std::string list;
    for (const Report& r : versions) {
        list += r.path + std::string(width + 2 - Columns(r.path), ' ') + r.Old() +
                (r.skipped ? "  (" + LoadCliText(CliText::UpToDate) + ")" : " -> " + newVersion) +
                "\n";
    }
    return list;
}

// The one question for all gamepads to be written. kExitOk when the answer was yes (or --yes).
int AskOnce(Console& c, CliView& view, const std::string& text) {
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
    LiveLines lines(view, c.out, c);
    std::vector<uint32_t> tenths;
    children.Supervise([&](const std::vector<Report>& reports) {
        if (live) {
            std::vector<std::string> texts;
            for (const Report& r : reports) {
                texts.push_back(ProgressText(r, update, lines.Width()));
            }
            lines.Show(texts);
            return;
        }
        tenths.resize(reports.size(), 0);
        // --json: the children's own lines have gone out as they came.
        // Every tenth its line, also when a child's progress lines come in a batch past several.
        for (size_t i = 0; update && !a.json && i < reports.size(); ++i) {
            const uint32_t tenth = reports[i].Percent() / 10;
            while (tenths[i] < tenth) {
                ++tenths[i];
                view.Print(c.out, Format("%s: %u%%\n", reports[i].path.c_str(), tenths[i] * 10));
            }
        }
    });
    lines.Keep();
    return live;
}

// The table (--json: the counts for the summary line), and the exit code of the whole run.
int Conclude(const ParsedArgs& a, Console& c, CliView& view, const std::vector<Report>& reports,
             bool stopped, bool live, json::Summary& tally) {
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
    return stopped ? kExitInterrupted : WorstExitCode(codes);
}

// --json: what the version children found, in place of the list above the question; a gamepad
// left alone ends there, with its own result.
void TellVersions(Console& c, CliView& view, const std::vector<Report>& reports,
                  uint32_t newVersion) {
    for (const Report& r : reports) {
        if (r.exitCode == kExitOk) {
            view.Print(c.out, json::VersionEvent(r.path, r.versionWord));
        }
        if (r.skipped) {
            view.Print(c.out, json::SkippedEvent(r.path, *r.versionWord, newVersion));
            view.Print(c.out, json::ResultEvent(kExitOk, std::nullopt, r.path, r.Seconds()));
        }
    }
}

// update: the versions first, one question for the gamepads to be written, then their children.
// With --only-if-newer a gamepad already up to date gets no child and stands in the table as such.
int UpdateAll(const ParsedArgs& a, Console& c, CliView& view,
              const std::vector<HidInterface>& gamepads, uint32_t newVersion,
              const ChildLauncher& launch, json::Summary& tally) {
    std::vector<Report> reports = AskVersions(a, c, view, gamepads, launch);
    if (Interrupted(c)) {
        view.Error(LoadCliText(CliText::InterruptedBeforeData) + "\n");
        return kExitInterrupted;
    }
    size_t toWrite = 0;
    for (Report& r : reports) {
        r.skipped = a.onlyIfNewer && r.exitCode == kExitOk && r.versionWord &&
                    AlreadyUpToDate(*r.versionWord, newVersion);
        r.newVersion = FormatVersion(newVersion);
        toWrite += r.skipped ? 0 : 1;
    }
    std::string text = VersionList(reports, FormatVersion(newVersion));
    if (a.json) {
        TellVersions(c, view, reports, newVersion);
    }
    if (toWrite == 0) {
        if (!a.json) {
            view.Print(c.out, text);
        }
        return Conclude(a, c, view, reports, false, false, tally);
    }
    text += toWrite == reports.size()
                ? LoadCliText(CliText::NewFirmwareForAll,
                              {FormatVersion(newVersion), std::to_string(toWrite)})
                : LoadCliText(CliText::NewFirmwareForSome,
                              {FormatVersion(newVersion), std::to_string(toWrite),
                               std::to_string(reports.size())});
    if (const int rc = AskOnce(c, view, text); rc != kExitOk) {
        return rc;
    }
    // From here on a second stop request ends the children at once, and the table still comes.
    const SecondRequestHeld held;
    Children children(a, c, view, launch);
    for (const Report& r : reports) {
        if (!r.skipped) {
            children.Start(r.path);
        }
    }
    const bool live = FollowChildren(a, c, view, children, true);
    const std::vector<Report> written = children.Reports();
    for (Report& r : reports) {
        const auto child = std::find_if(written.begin(), written.end(),
                                        [&](const Report& w) { return w.path == r.path; });
        if (child != written.end()) {
            r = *child;
        }
    }
    return Conclude(a, c, view, reports, children.Stopping(), live, tally);
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
        return UpdateAll(a, c, view, gamepads, image->header.desVersion, launch, tally);
    }
    // From here on a second stop request ends the children at once, and the table still comes.
    const SecondRequestHeld held;
    Children children(a, c, view, launch);
    for (const HidInterface& g : gamepads) {
        children.Start(g.path);
    }
    const bool live = FollowChildren(a, c, view, children, false);
    return Conclude(a, c, view, children.Reports(), children.Stopping(), live, tally);
}

}  // namespace zevrin::cli

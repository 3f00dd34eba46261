// --repeat: each gamepad that arrives, one after another, a line each as it finishes.
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/ChildRuns.h"
#include "cli/DevicePort.h"
#include "cli/HotPlug.h"
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

// --repeat's steps: which gamepad is next, its child run, its line.
class LineMode {
  public:
    LineMode(const ParsedArgs& a, Console& c, CliView& view, const ChildLauncher& launch)
        : m_Args(a),
          m_Console(c),
          m_View(view),
          m_Launch(launch),
          m_Live(c.terminal && !a.verbose && !a.json && TerminalMovesCursor()),
          m_Lines(view, c.out, c) {}

    // The first gamepad present that has not been written since it arrived.
    std::optional<std::string> NextArrival(HidPort& port) {
        std::unique_lock lock(m_WrittenLock);
        std::vector<HidInterface> present;
        // A list read while a removal came may still show the gamepad whose mark it cleared.
        uint64_t removals = 0;
        do {
            removals = m_Removals;
            lock.unlock();
            present = port.ListAccepted(IsAcceptedDevice);
            lock.lock();
        } while (removals != m_Removals);
        // A gamepad seen gone is forgotten: a node name the system reuses for the next one is a
        // new arrival.
        std::erase_if(m_Written, [&](const std::string& path) {
            return std::none_of(present.begin(), present.end(), [&](const HidInterface& g) {
                return SameInterfacePath(g.path, path);
            });
        });
        for (const HidInterface& g : present) {
            if (!IsWritten(g.path)) {
                return g.path;
            }
        }
        return std::nullopt;
    }

    // A removal the system told of, on the watch's thread. A list read later may already show
    // another gamepad at the same path (the same port gives the same path on Windows, and a reused
    // node on Linux), so the removal itself clears the mark: of the gamepad it names or, when it
    // names none, of every gamepad written so far. Writing one again costs a transfer; leaving one
    // unwritten sends it away with its old firmware. The gamepad being written has no mark yet: its
    // own removal (unplugged mid-write, or restarting once updated) is for its write to tell.
    void Removed(const std::string& path) {
        std::lock_guard lock(m_WrittenLock);
        ++m_Removals;
        if (path.empty()) {
            m_Written.clear();
            return;
        }
        std::erase_if(m_Written, [&](const std::string& p) { return SameInterfacePath(p, path); });
    }

    void Write(const std::string& path) {
        const int number = ++m_Number;
        Children child(m_Args, m_Console, m_View, m_Launch);
        if (!child.Start(path)) {
            return;  // stopped before it: the gamepad was not written, nor did it fail
        }
        child.Supervise([&](const std::vector<Report>& reports) {
            if (m_Live) {
                const std::string prefix = Format("#%d ", number);
                const size_t width = m_Lines.Width();
                const size_t room = width > Columns(prefix) ? width - Columns(prefix) : 0;
                m_Lines.Show({prefix + ProgressText(reports.front(), true, room)});
            }
        });
        const Report r = child.Reports().front();
        const bool ok = r.exitCode == kExitOk;
        (ok ? (r.skipped ? m_UpToDate : m_Done) : m_Failed)++;
        {
            std::lock_guard lock(m_WrittenLock);
            m_Written.push_back(path);
        }
        std::string line = Format("#%d %s %s -> ", number, path.c_str(), r.Old().c_str());
        line += !ok         ? LoadCliText(CliText::FailedBecause, {r.Why()})
                : r.skipped ? LoadCliText(CliText::UpToDate)
                            : r.newVersion.value_or("?") + " " + LoadCliText(CliText::Ok);
        line += Format(" %.1f s", r.Seconds());
        if (m_Args.json) {
            return;  // its result line has gone out
        }
        if (m_Live) {
            m_Lines.KeepWhole(line);
        } else {
            m_View.Print(m_Console.out, line + "\n");
        }
    }

    void ShowWaiting() {
        if (m_Live) {
            m_Lines.Show({LoadCliText(CliText::WaitingForNumber, {std::to_string(m_Number + 1)})});
        }
    }

    int Totals(json::Summary& tally) {
        if (m_Live) {
            m_Lines.Show({});
        }
        tally.gamepads = m_Done + m_UpToDate + m_Failed;
        tally.ok = m_Done + m_UpToDate;
        tally.failed = m_Failed;
        if (!m_Args.json) {
            const std::string totals =
                m_UpToDate > 0 ? LoadCliText(CliText::TotalsSkipped,
                                             {std::to_string(m_Done), std::to_string(m_UpToDate),
                                              std::to_string(m_Failed)})
                               : LoadCliText(CliText::Totals,
                                             {std::to_string(m_Done), std::to_string(m_Failed)});
            m_View.Print(m_Console.out, totals + "\n");
        }
        return m_Failed == 0 ? kExitOk : kExitUpdateFailed;
    }

  private:
    // With m_WrittenLock held.
    bool IsWritten(const std::string& path) const {
        return std::any_of(m_Written.begin(), m_Written.end(),
                           [&](const std::string& p) { return SameInterfacePath(p, path); });
    }

    const ParsedArgs& m_Args;
    Console& m_Console;
    CliView& m_View;
    const ChildLauncher& m_Launch;
    const bool m_Live;
    LiveLines m_Lines;
    // Written and not yet seen gone: a gamepad is written once per arrival, however long it stays.
    std::mutex m_WrittenLock;
    std::vector<std::string> m_Written;
    uint64_t m_Removals = 0;  // under m_WrittenLock
    int m_Number = 0;
    int m_Done = 0;
    int m_UpToDate = 0;  // --only-if-newer left it alone
    int m_Failed = 0;
};

}  // namespace

int RunRepeat(const ParsedArgs& a, Console& c, CliView& view, HidPort& port,
              const ChildLauncher& launch, json::Summary& tally) {
    const std::optional<ImageCheck> image = CheckImageOnce(a, view);
    if (!image) {
        return kExitImageRefused;
    }
    tally.newVersion = image->header.desVersion;
    Wakeup wakeup;
    LineMode mode(a, c, view, launch);  // outlives the watch that tells it of removals
    const HotPlugWatch watch(port, [&wakeup, &mode](const DeviceEvent& event) {
        if (event.code == kDeviceRemoveComplete) {
            mode.Removed(event.path);
        }
        wakeup.Notify();
    });
    if (!watch.Active()) {
        view.Error("zevrin-flash: " + LoadCliText(CliText::CannotWaitForMany) + "\n");
        return kExitNoGamepad;
    }
    if (!a.json) {
        view.Print(c.out, LoadCliText(CliText::WritingEach,
                                      {a.file, FormatVersion(image->header.desVersion)}) +
                              "\n");
    }
    // A second stop request ends the child at once, and the totals still come.
    const SecondRequestHeld held;
    // Looked at once at the start and then only when the system told of a change.
    for (bool look = true; !Interrupted(c);) {
        if (look) {
            const uint64_t before = wakeup.Count();
            while (const std::optional<std::string> path = mode.NextArrival(port)) {
                mode.Write(*path);
                if (Interrupted(c)) {
                    break;
                }
            }
            mode.ShowWaiting();
            // Whatever came while the list was read or a gamepad written is looked at next.
            look = wakeup.Count() != before;
            if (look) {
                continue;
            }
        }
        uint64_t seen = wakeup.Count();
        look = wakeup.WaitAfter(seen, Clock::now() + kStopSlice);
    }
    return mode.Totals(tally);
}

}  // namespace zevrin::cli

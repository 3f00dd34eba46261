#include "cli/Workbench.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/DevicePort.h"
#include "cli/Flash.h"
#include "cli/HotPlug.h"
#include "cli/StopSignals.h"
#include "hid/CHid.h"
#include "hid/Log.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"
#include "update/UpdateEngine.h"

namespace zevrin::cli {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting thread looks at the stop request, which only a flag tells of.
constexpr auto kStopSlice = std::chrono::milliseconds(50);
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// A child's clean stop waits at most for the report write it is in (the kernel bounds a hidraw
// write at 5 s); one still running after this is ended at once.
constexpr auto kCleanStopWait = std::chrono::seconds(8);
// Once ended at once, a child is gone as soon as the system has taken it down.
constexpr auto kHardStopWait = std::chrono::seconds(2);
// Wider than this, a live line would wrap, and the cursor would no longer go back to its start.
constexpr size_t kLiveColumns = 79;

bool Interrupted(const Console& c) {
    return c.interrupted && c.interrupted();
}

bool StopAtOnce(const Console& c) {
    return c.stopAtOnce && c.stopAtOnce();
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Terminal columns a UTF-8 text takes, near enough: one per character.
size_t Columns(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
        return (static_cast<uint8_t>(ch) & 0xC0) != 0x80;
    }));
}

std::string Fit(const std::string& text, size_t columns) {
    if (Columns(text) <= columns) {
        return text;
    }
    std::string cut;
    size_t used = 0;
    for (const char ch : text) {
        const bool starts = (static_cast<uint8_t>(ch) & 0xC0) != 0x80;
        if (starts && ++used > columns - 3) {
            break;
        }
        cut += ch;
    }
    return cut + "...";
}

std::string PadTo(const std::string& text, size_t columns) {
    const size_t used = Columns(text);
    return used >= columns ? text : text + std::string(columns - used, ' ');
}

// What a child's lines told of its gamepad.
struct Report {
    std::string path;
    bool started = false;
    std::optional<std::string> oldVersion;  // update: as the gamepad said; version: its answer
    bool noFirmware = false;                // version: the gamepad has none
    std::optional<std::string> newVersion;
    uint64_t sent = 0;
    uint64_t total = 0;
    std::optional<std::string> reason;
    std::optional<std::string> meaning;
    std::optional<double> seconds;
    std::string lastText;     // the last line that was not an event: a crash, a message
    std::string parentsWord;  // why the parent ended it, or never started it
    bool ended = false;
    int exitCode = kExitUpdateFailed;
    Clock::time_point start = Clock::now();
    double parentSeconds = 0;

    uint32_t Percent() const {
        return total == 0 ? 0 : static_cast<uint32_t>(std::min<uint64_t>(100, sent * 100 / total));
    }
    double Seconds() const { return seconds.value_or(parentSeconds); }
    // Its first sentence only: what went wrong fits a table row; the advice after it does not.
    std::string Why() const {
        const std::string why = WhyInFull();
        const size_t end = why.find(". ");
        return end == std::string::npos ? why : why.substr(0, end + 1);
    }
    std::string WhyInFull() const {
        if (!ended) {
            return "Still running: it did not end when stopped at once.";
        }
        if (reason && !reason->empty()) {
            return *reason;
        }
        if (!parentsWord.empty()) {
            return parentsWord;
        }
        if (meaning && !meaning->empty()) {
            return *meaning;
        }
        if (!lastText.empty()) {
            return lastText;
        }
        return "zevrin-flash ended with exit code " + std::to_string(exitCode);
    }
    std::string Old() const {
        if (noFirmware) {
            return "none";
        }
        return oldVersion.value_or("unknown");
    }
};

std::optional<std::string> TextAt(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

std::optional<double> NumberAt(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_number()) {
        return std::nullopt;
    }
    return it->get<double>();
}

uint64_t CountAt(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

// Folds one line of a child's output into its report; false for a line that is not an event.
bool Absorb(Report& r, const std::string& line) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    const std::optional<std::string> event = j.is_object() ? TextAt(j, "event") : std::nullopt;
    if (!event) {
        if (!line.empty()) {
            r.lastText = line;
        }
        return false;
    }
    if (*event == "start") {
        r.started = true;
        r.oldVersion = TextAt(j, "oldVersion");
        r.newVersion = TextAt(j, "newVersion");
        r.total = CountAt(j, "total");
    } else if (*event == "progress") {
        r.sent = CountAt(j, "sent");
        r.total = CountAt(j, "total");
    } else if (*event == "version") {
        r.oldVersion = TextAt(j, "version");
        r.noFirmware = !r.oldVersion;
    } else if (*event == "result") {
        r.reason = TextAt(j, "reason");
        r.meaning = TextAt(j, "meaning");
        r.seconds = NumberAt(j, "seconds");
    }
    return true;
}

std::vector<std::string> ChildArgs(const ParsedArgs& a, const std::string& path) {
    std::vector<std::string> args = {"--json", "--device", path};
    if (a.simulate) {
        args.push_back(a.simulatedGamepads > 1 ? "--simulate=" + std::to_string(a.simulatedGamepads)
                                               : std::string("--simulate"));
    }
    args.push_back(Format("--timeout=%.3f", static_cast<double>(a.silenceLimit.count()) / 1000.0));
    if (a.sha256) {
        args.push_back("--sha256=" + *a.sha256);
    }
    if (a.verbose) {
        args.emplace_back("--verbose");
    }
    if (a.command == Command::Update) {
        // The parent asked its one question; "--" keeps a file named like an option a file.
        args.insert(args.end(), {"update", "--yes", "--", a.file});
    } else {
        args.emplace_back("version");
    }
    return args;
}

// The children of one --all run, or the one child of a --repeat step, each read by a thread of
// its own so that a child that writes a lot never waits for another's reader. They are started,
// stopped and waited for on one thread, the one that made this object (on Linux a child's death
// signal follows the thread that started it).
class Children {
  public:
    Children(const ParsedArgs& a, Console& c, CliView& view, const ChildLauncher& launch)
        : m_Args(a), m_Console(c), m_View(view), m_Launch(launch) {}
    // A child that was ended at once and still runs holds this up until the system has taken it
    // down (a hidraw write it is in ends within the kernel's bound).
    ~Children() {
        for (Child& child : m_Children) {
            if (child.reader.joinable()) {
                child.reader.join();
            }
        }
    }
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // False when the run was stopped before it: the child is never started, and its report says so.
    bool Start(const std::string& path) {
        Child& child = m_Children.emplace_back();
        child.report.path = path;
        if (Interrupted(m_Console)) {
            std::lock_guard lock(m_Mutex);
            child.report.parentsWord = "Stopped before it was started.";
            End(child.report, kExitInterrupted);
            return false;
        }
        std::string error;
        child.run = m_Launch(ChildArgs(m_Args, path), error);
        if (!child.run) {
            std::lock_guard lock(m_Mutex);
            child.report.lastText = "zevrin-flash could not be started: " + error;
            End(child.report, kExitUpdateFailed);
            return true;
        }
        child.reader = std::thread([this, &child] { Read(child); });
        return true;
    }

    // Until every child has ended: `draw` after each change and at least every redraw interval.
    // A stop request stops each child once; a second one, or a child still running long after,
    // ends them at once, and a short while later the children still running are given up.
    void Supervise(const std::function<void(const std::vector<Report>&)>& draw) {
        uint64_t seen = m_Wakeup.Count();
        bool changed = true;
        Clock::time_point lastDraw{};
        for (;;) {
            PassOnStops();
            const std::vector<Report> reports = Reports();
            const bool allEnded = std::all_of(reports.begin(), reports.end(),
                                              [](const Report& r) { return r.ended; });
            const bool givenUp = m_HardStopped && Clock::now() >= *m_HardStopped + kHardStopWait;
            if (changed || allEnded || givenUp || Clock::now() - lastDraw >= kRedrawInterval) {
                draw(reports);
                lastDraw = Clock::now();
            }
            if (allEnded || givenUp) {
                return;
            }
            changed = m_Wakeup.WaitAfter(seen, Clock::now() + kStopSlice);
        }
    }

    // A child still running has the seconds it has run so far.
    std::vector<Report> Reports() const {
        std::lock_guard lock(m_Mutex);
        std::vector<Report> reports;
        for (const Child& child : m_Children) {
            reports.push_back(child.report);
            if (!child.report.ended) {
                reports.back().parentSeconds = SecondsSince(child.report.start);
            }
        }
        return reports;
    }

    bool Stopping() const { return m_Stopped.has_value(); }

  private:
    struct Child {
        std::unique_ptr<ChildRun> run;
        std::thread reader;
        Report report;
    };

    void PassOnStops() {
        if (!m_Stopped && Interrupted(m_Console)) {
            m_Stopped = Clock::now();
            for (Child& child : m_Children) {
                if (child.run) {
                    child.run->Stop();
                }
            }
        }
        const bool again = m_Stopped && StopAtOnce(m_Console);
        if (m_HardStopped || !m_Stopped || (!again && Clock::now() < *m_Stopped + kCleanStopWait)) {
            return;
        }
        m_HardStopped = Clock::now();
        std::lock_guard lock(m_Mutex);
        for (Child& child : m_Children) {
            if (child.run && !child.report.ended) {
                child.report.parentsWord =
                    again ? "Stopped at once: a second stop request."
                          : Format("Stopped at once: it had not stopped within %lld s.",
                                   static_cast<long long>(kCleanStopWait.count()));
                child.run->HardStop();
            }
        }
    }

    void Read(Child& child) {
        while (const std::optional<std::string> line = child.run->ReadLine()) {
            bool event = false;
            {
                std::lock_guard lock(m_Mutex);
                event = Absorb(child.report, *line);
            }
            // With -v the children's diagnostic lines come along, each marked with its gamepad.
            if (!event && m_Args.verbose) {
                m_View.Print(m_Console.err, child.report.path + ": " + *line + "\n");
            }
            m_Wakeup.Notify();
        }
        const int code = child.run->Wait();
        std::lock_guard lock(m_Mutex);
        End(child.report, code);
    }

    // With m_Mutex held.
    void End(Report& r, int code) {
        r.ended = true;
        r.exitCode = code;
        r.parentSeconds = SecondsSince(r.start);
        m_Wakeup.Notify();
    }

    const ParsedArgs& m_Args;
    Console& m_Console;
    CliView& m_View;
    const ChildLauncher& m_Launch;
    Wakeup m_Wakeup;
    mutable std::mutex m_Mutex;
    std::deque<Child> m_Children;                // a deque: readers hold references to their Child
    std::optional<Clock::time_point> m_Stopped;  // when each child was asked to stop
    std::optional<Clock::time_point> m_HardStopped;  // when each was ended at once
};

// Lines redrawn in place on a terminal: the cursor goes back up over the ones shown last.
class LiveLines {
  public:
    LiveLines(CliView& view, std::ostream& out) : m_View(view), m_Out(out) {}

    void Show(const std::vector<std::string>& lines) {
        std::string text = Up(m_Shown);
        for (const std::string& line : lines) {
            text += "\x1b[2K" + Fit(line, kLiveColumns) + "\n";
        }
        const size_t stale = m_Shown > lines.size() ? m_Shown - lines.size() : 0;
        for (size_t i = 0; i < stale; ++i) {
            text += "\x1b[2K\n";
        }
        text += Up(stale);
        m_Shown = lines.size();
        m_View.Print(m_Out, text);
    }
    // What is shown stays, as ordinary lines.
    void Keep() { m_Shown = 0; }

  private:
    static std::string Up(size_t lines) {
        return lines == 0 ? std::string() : "\x1b[" + std::to_string(lines) + "A\r";
    }

    CliView& m_View;
    std::ostream& m_Out;
    size_t m_Shown = 0;
};

std::string ProgressText(const Report& r, bool update) {
    std::string text = r.path + "  ";
    if (!update) {
        if (!r.ended) {
            return text + "asking";
        }
        return text + (r.exitCode == kExitOk ? r.Old() : "failed: " + r.Why());
    }
    if (r.ended && r.exitCode != kExitOk) {
        return text + "failed: " + r.Why();
    }
    if (!r.started) {
        return text + "starting";
    }
    // The bar and its percentage only: bytes and rate would not fit beside a long path.
    constexpr uint32_t kBarWidth = 20;
    const uint32_t filled = kBarWidth * r.Percent() / 100;
    return text + r.Old() + " -> " + r.newVersion.value_or("?") + "  [" + std::string(filled, '#') +
           std::string(kBarWidth - filled, '.') + Format("] %3u%%", r.Percent()) +
           (r.ended ? "  done" : "");
}

// The table after --all, columns as wide as their widest entry.
std::string SummaryTable(const std::vector<Report>& reports, bool update) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back(update ? std::vector<std::string>{"Gamepad", "Old", "New", "Time"}
                          : std::vector<std::string>{"Gamepad", "Version", "Time"});
    size_t ok = 0;
    for (const Report& r : reports) {
        const bool done = r.exitCode == kExitOk;
        ok += done ? 1 : 0;
        const std::string seconds = Format("%.1f s", r.Seconds());
        if (update) {
            rows.push_back({r.path, r.Old(),
                            done ? r.newVersion.value_or("?") : "failed: " + r.Why(), seconds});
        } else {
            rows.push_back({r.path, done ? r.Old() : "failed: " + r.Why(), seconds});
        }
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], Columns(row[i]));
        }
    }
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? PadTo(row[i], widths[i] + 2) : row[i];
        }
        table += line + "\n";
    }
    return table + std::to_string(ok) + " of " + std::to_string(reports.size()) +
           (update ? " updated.\n" : " answered.\n");
}

// A file that cannot be sent, or is not the one --sha256 names, is refused before any child is
// started, once for all gamepads. Each child checks it again from its own handle, the one it sends
// from.
std::optional<ImageCheck> CheckImageOnce(const ParsedArgs& a, CliView& view) {
    ImageFile file;
    return CheckImage(a, view, file);
}

// The one question for all gamepads. kExitOk when the answer was yes (or --yes).
int AskOnce(Console& c, CliView& view, const std::vector<HidInterface>& gamepads,
            uint32_t newVersion) {
    std::string names;
    for (const HidInterface& g : gamepads) {
        names += (names.empty() ? "" : ", ") + g.path;
    }
    const std::string text = "Gamepads: " + names + "\nNew firmware " + FormatVersion(newVersion) +
                             " for all " + std::to_string(gamepads.size()) + " of them.";
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
        view.Error("Update cancelled. No image data was sent.\n");
        return kExitCancelled;
    }
    view.Error("Update interrupted. No image data was sent.\n");
    return kExitInterrupted;
}

// Until every child has ended: live lines on a terminal, else a line at each tenth of an update.
// True when the lines were live.
bool FollowChildren(const ParsedArgs& a, Console& c, CliView& view, Children& children,
                    bool update) {
    // -v interleaves the children's diagnostic lines, which lines redrawn in place would tear.
    const bool live = c.terminal && !a.verbose && TerminalMovesCursor();
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
        for (size_t i = 0; update && i < reports.size(); ++i) {
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

// The table, and the exit code of the whole run.
int Conclude(Console& c, CliView& view, const Children& children, bool update, bool live) {
    const std::vector<Report> reports = children.Reports();
    std::string summary = live ? "\n" : "";  // below the live lines
    summary += SummaryTable(reports, update);
    view.Print(c.out, summary);
    if (children.Stopping()) {
        return kExitInterrupted;
    }
    std::vector<int> codes;
    for (const Report& r : reports) {
        codes.push_back(r.exitCode);
    }
    return WorstExitCode(codes);
}

// --repeat's steps: which gamepad is next, its child run, its line.
class LineMode {
  public:
    LineMode(const ParsedArgs& a, Console& c, CliView& view, const ChildLauncher& launch)
        : m_Args(a),
          m_Console(c),
          m_View(view),
          m_Launch(launch),
          m_Live(c.terminal && !a.verbose && TerminalMovesCursor()),
          m_Lines(view, c.out) {}

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
                m_Lines.Show({Format("#%d ", number) + ProgressText(reports.front(), true)});
            }
        });
        const Report r = child.Reports().front();
        const bool ok = r.exitCode == kExitOk;
        (ok ? m_Done : m_Failed)++;
        {
            std::lock_guard lock(m_WrittenLock);
            m_Written.push_back(path);
        }
        std::string line = Format("#%d %s %s -> ", number, path.c_str(), r.Old().c_str());
        line += ok ? r.newVersion.value_or("?") + " ok" : "failed: " + r.Why();
        line += Format(" %.1f s", r.Seconds());
        if (m_Live) {
            m_Lines.Show({line});
            m_Lines.Keep();
        } else {
            m_View.Print(m_Console.out, line + "\n");
        }
    }

    void ShowWaiting() {
        if (m_Live) {
            m_Lines.Show({Format("Waiting for gamepad #%d (Ctrl-C ends)", m_Number + 1)});
        }
    }

    int Totals() {
        if (m_Live) {
            m_Lines.Show({});
        }
        m_View.Print(m_Console.out, Format("done %d, failed %d\n", m_Done, m_Failed));
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
    int m_Failed = 0;
};

int Severity(int code) {
    switch (code) {
        case kExitOk:
            return 0;
        case kExitCancelled:
            return 1;
        case kExitUsage:
            return 2;
        case kExitImageRefused:
            return 3;
        case kExitNoGamepad:
            return 4;
        case kExitUpdateFailed:
            return 5;
        case 129:
        case kExitInterrupted:
        case 143:
            return 6;
        default:
            return 5;
    }
}

}  // namespace

int WorstExitCode(const std::vector<int>& codes) {
    int worst = kExitOk;
    for (const int code : codes) {
        if (Severity(code) > Severity(worst)) {
            worst = code;
        }
    }
    return Severity(worst) == Severity(kExitUpdateFailed) ? kExitUpdateFailed : worst;
}

int AwaitGamepad(const ParsedArgs& a, Console& c, CliView& view, HidPort& port) {
    if (!a.wait) {
        return kExitOk;
    }
    Wakeup wakeup;
    // Registered before the first look, so an arrival between the two is not missed.
    const HotPlugWatch watch(port, [&wakeup](const DeviceEvent&) { wakeup.Notify(); });
    uint64_t seen = wakeup.Count();
    if (!port.ListAccepted(IsAcceptedDevice).empty()) {
        return kExitOk;
    }
    if (!watch.Active()) {
        view.Error(
            "zevrin-flash: cannot wait for a gamepad: this system tells no device "
            "arrivals\n");
        return kExitNoGamepad;
    }
    view.Print(c.err, a.device ? "Waiting for the gamepad at " + *a.device + " (Ctrl-C ends).\n"
                               : std::string("Waiting for a gamepad in boot mode: hold L+R+START "
                                             "while powering it on, then connect it by USB "
                                             "(Ctrl-C ends).\n"));
    const std::optional<Clock::time_point> deadline =
        a.waitLimit ? std::optional(Clock::now() + *a.waitLimit) : std::nullopt;
    for (;;) {
        if (Interrupted(c)) {
            view.Error("Interrupted while waiting for a gamepad.\n");
            return kExitInterrupted;
        }
        if (deadline && Clock::now() >= *deadline) {
            view.Error(Format("zevrin-flash: no gamepad arrived within %g s.\n",
                              static_cast<double>(a.waitLimit->count()) / 1000.0));
            return kExitNoGamepad;
        }
        const Clock::time_point slice = Clock::now() + kStopSlice;
        if (wakeup.WaitAfter(seen, deadline ? std::min(*deadline, slice) : slice) &&
            !port.ListAccepted(IsAcceptedDevice).empty()) {
            return kExitOk;
        }
    }
}

int RunAll(const ParsedArgs& a, Console& c, CliView& view, HidPort& port,
           const ChildLauncher& launch) {
    const bool update = a.command == Command::Update;
    std::optional<ImageCheck> image;
    if (update && !(image = CheckImageOnce(a, view))) {
        return kExitImageRefused;
    }
    if (const int rc = AwaitGamepad(a, c, view, port); rc != kExitOk) {
        return rc;
    }
    const std::vector<HidInterface> gamepads = port.ListAccepted(IsAcceptedDevice);
    if (gamepads.empty()) {
        view.Error(
            "zevrin-flash: no gamepad found. Hold L+R+START while powering it on (the LED "
            "blinks yellow), then connect it by USB.\n");
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
    return Conclude(c, view, children, update, live);
}

int RunRepeat(const ParsedArgs& a, Console& c, CliView& view, HidPort& port,
              const ChildLauncher& launch) {
    const std::optional<ImageCheck> image = CheckImageOnce(a, view);
    if (!image) {
        return kExitImageRefused;
    }
    Wakeup wakeup;
    LineMode mode(a, c, view, launch);  // outlives the watch that tells it of removals
    const HotPlugWatch watch(port, [&wakeup, &mode](const DeviceEvent& event) {
        if (event.code == kDeviceRemoveComplete) {
            mode.Removed(event.path);
        }
        wakeup.Notify();
    });
    if (!watch.Active()) {
        view.Error(
            "zevrin-flash: cannot wait for gamepads: this system tells no device arrivals\n");
        return kExitNoGamepad;
    }
    view.Print(c.out, "Writing " + a.file + " (" + FormatVersion(image->header.desVersion) +
                          ") into each gamepad that arrives in boot mode; Ctrl-C ends.\n");
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
    return mode.Totals();
}

}  // namespace zevrin::cli

// The runs of --all and --repeat: a child process of this program for each gamepad, and what its
// JSON lines and exit code told of it. The parent knows of a child nothing else.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/Args.h"
#include "cli/ChildProcess.h"
#include "cli/CliView.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/HotPlug.h"
#include "cli/JsonEvents.h"
#include "update/FirmwareImage.h"

namespace zevrin::cli {

using Clock = std::chrono::steady_clock;

// How often a waiting thread looks at the stop request, which only a flag tells of.
inline constexpr auto kStopSlice = std::chrono::milliseconds(50);

// What a child's lines told of its gamepad: the quantities of its events, each as the latest line
// that carries it gave it, and what the parent saw of the child itself.
struct Report : json::Event {
    std::string path;
    bool started = false;
    bool noFirmware = false;  // version: the gamepad has none
    bool told = false;        // its result line came
    bool skipped = false;     // update --only-if-newer: it was up to date
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
    std::string Why() const;
    std::string WhyInFull() const;
    std::string Old() const;
};

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
    ~Children();
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // False when the run was stopped before it: the child is never started, and its report says so.
    bool Start(const std::string& path);

    // Until every child has ended: `draw` after each change and at least every redraw interval.
    // A stop request stops each child once; a second one, or a child still running long after,
    // ends them at once, and a short while later the children still running are given up.
    void Supervise(const std::function<void(const std::vector<Report>&)>& draw);

    // A child still running has the seconds it has run so far.
    std::vector<Report> Reports() const;

    bool Stopping() const { return m_Stopped.has_value(); }

  private:
    struct Child {
        std::unique_ptr<ChildRun> run;
        std::thread reader;
        Report report;
    };

    void PassOnStops();
    void Read(Child& child);
    // --json: the child's event lines go on to this program's output (--all: every one; --repeat:
    // the result), each naming its gamepad.
    bool PassesOn(json::EventKind kind) const;
    // A child that gave no result line (never started, crashed, ended at once) still gets one.
    void TellEnd(const Report& r, int code);
    // With m_Mutex held.
    void End(Report& r, int code);

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

// A file that cannot be sent, or is not the one --sha256 names, is refused before any child is
// started, once for all gamepads. Each child checks it again from its own handle, the one it sends
// from.
std::optional<ImageCheck> CheckImageOnce(const ParsedArgs& a, CliView& view);

}  // namespace zevrin::cli

#include "cli/ChildRuns.h"

#include <utility>

#include "cli/Flash.h"
#include "cli/JsonEvents.h"
#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// A child's clean stop waits at most for the report write it is in (the kernel bounds a hidraw
// write at 5 s); one still running after this is ended at once.
constexpr auto kCleanStopWait = std::chrono::seconds(8);
// Once ended at once, a child is gone as soon as the system has taken it down.
constexpr auto kHardStopWait = std::chrono::seconds(2);

bool StopAtOnce(const Console& c) {
    return c.stopAtOnce && c.stopAtOnce();
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Folds one line of a child's output into its report; null for a line that is not an event.
std::optional<json::EventKind> Absorb(Report& r, const std::string& line) {
    const std::optional<json::Event> e = json::ReadEvent(line);
    if (!e) {
        if (!line.empty()) {
            r.lastText = line;
        }
        return std::nullopt;
    }
    r.kind = e->kind;
    switch (e->kind) {
        case json::EventKind::Start:
            r.started = true;
            r.oldVersion = e->oldVersion;
            r.newVersion = e->newVersion;
            r.total = e->total;
            break;
        case json::EventKind::Progress:
            r.sent = e->sent;
            r.total = e->total;
            break;
        case json::EventKind::Version:
            r.oldVersion = e->oldVersion;
            r.versionWord = e->versionWord;
            r.noFirmware = !r.oldVersion;
            break;
        case json::EventKind::Skipped:
            r.skipped = true;
            r.oldVersion = e->oldVersion;
            r.newVersion = e->newVersion;
            break;
        case json::EventKind::Result:
            r.told = true;
            r.reason = e->reason;
            r.meaning = e->meaning;
            r.seconds = e->seconds;
            break;
        case json::EventKind::Other:
            break;
    }
    return e->kind;
}

std::vector<std::string> ChildArgs(const ParsedArgs& a, const std::string& path) {
    std::vector<std::string> args = {"--json", "--device", path};
    if (a.simulate) {
        args.push_back(a.simulatedGamepads > 1 ? "--simulate=" + std::to_string(a.simulatedGamepads)
                                               : std::string("--simulate"));
    }
    args.push_back(Format("--timeout=%.3f", static_cast<double>(a.silenceLimit.count()) / 1000.0));
    // Not --simulate-arrive: the child's gamepad is one the parent has seen arrive.
    if (a.simulateUnplugAfter != 0 && a.command == Command::Update) {
        args.push_back(Format("--simulate-fault=unplug@%u", a.simulateUnplugAfter));
    }
    if (a.sha256) {
        args.push_back("--sha256=" + *a.sha256);
    }
    if (a.onlyIfNewer && a.command == Command::Update) {
        args.emplace_back("--only-if-newer");
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

}  // namespace

std::string Report::Why() const {
    const std::string why = WhyInFull();
    const size_t end = why.find(". ");
    return end == std::string::npos ? why : why.substr(0, end + 1);
}

std::string Report::WhyInFull() const {
    if (!ended) {
        return LoadCliText(CliText::StillRunning);
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
    return LoadCliText(CliText::EndedWithCode, {std::to_string(exitCode)});
}

std::string Report::Old() const {
    if (noFirmware) {
        return LoadCliText(CliText::NoVersion);
    }
    return oldVersion.value_or(LoadExtraText(ExtraText::VersionUnknown));
}

Children::~Children() {
    for (Child& child : m_Children) {
        if (child.reader.joinable()) {
            child.reader.join();
        }
    }
}

bool Children::Start(const std::string& path) {
    Child& child = m_Children.emplace_back();
    child.report.path = path;
    if (Interrupted(m_Console)) {
        child.report.parentsWord = LoadCliText(CliText::StoppedBeforeStart);
        if (m_Args.all) {  // --repeat: the gamepad was not taken, and has no line
            TellEnd(child.report, kExitInterrupted);
        }
        std::lock_guard lock(m_Mutex);
        End(child.report, kExitInterrupted);
        return false;
    }
    std::string error;
    child.run = m_Launch(ChildArgs(m_Args, path), error);
    if (!child.run) {
        child.report.lastText = LoadCliText(CliText::CouldNotStart, {error});
        TellEnd(child.report, kExitUpdateFailed);
        std::lock_guard lock(m_Mutex);
        End(child.report, kExitUpdateFailed);
        return true;
    }
    child.reader = std::thread([this, &child] { Read(child); });
    return true;
}

void Children::Supervise(const std::function<void(const std::vector<Report>&)>& draw) {
    uint64_t seen = m_Wakeup.Count();
    bool changed = true;
    Clock::time_point lastDraw{};
    for (;;) {
        PassOnStops();
        const std::vector<Report> reports = Reports();
        const bool allEnded =
            std::all_of(reports.begin(), reports.end(), [](const Report& r) { return r.ended; });
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

std::vector<Report> Children::Reports() const {
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

void Children::PassOnStops() {
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
            child.report.parentsWord = again
                                           ? LoadCliText(CliText::StoppedBySecondRequest)
                                           : LoadCliText(CliText::StoppedAfterWait,
                                                         {std::to_string(kCleanStopWait.count())});
            child.run->HardStop();
        }
    }
}

void Children::Read(Child& child) {
    while (const std::optional<std::string> line = child.run->ReadLine()) {
        std::optional<json::EventKind> event;
        {
            std::lock_guard lock(m_Mutex);
            event = Absorb(child.report, *line);
        }
        if (event && PassesOn(*event)) {
            m_View.Print(m_Console.out, json::WithDevice(*line, child.report.path));
        }
        // With -v the children's diagnostic lines come along, each marked with its gamepad.
        if (!event && m_Args.verbose) {
            m_View.Print(m_Console.err, child.report.path + ": " + *line + "\n");
        }
        m_Wakeup.Notify();
    }
    const int code = child.run->Wait();
    Report seen;
    {
        std::lock_guard lock(m_Mutex);
        seen = child.report;
    }
    // Before the end is known: the summary comes once every child has ended, after this line.
    TellEnd(seen, code);
    std::lock_guard lock(m_Mutex);
    End(child.report, code);
}

bool Children::PassesOn(json::EventKind kind) const {
    return m_Args.json && (m_Args.all || kind == json::EventKind::Result);
}

void Children::TellEnd(const Report& r, int code) {
    if (!PassesOn(json::EventKind::Result) || r.told) {
        return;
    }
    Report ended = r;
    ended.ended = true;
    ended.exitCode = code;
    ended.parentSeconds = SecondsSince(r.start);
    const std::optional<json::Reason> reason =
        code == kExitOk ? std::nullopt : std::optional(json::ReasonOf(ended.WhyInFull()));
    m_View.Print(m_Console.out, json::ResultEvent(code, reason, r.path, ended.Seconds()));
}

void Children::End(Report& r, int code) {
    r.ended = true;
    r.exitCode = code;
    r.parentSeconds = SecondsSince(r.start);
    m_Wakeup.Notify();
}

// A file that cannot be sent, or is not the one --sha256 names, is refused before any child is
// started, once for all gamepads. Each child checks it again from its own handle, the one it sends
// from.
std::optional<ImageCheck> CheckImageOnce(const ParsedArgs& a, CliView& view) {
    ImageFile file;
    return CheckImage(a, view, file);
}

}  // namespace zevrin::cli

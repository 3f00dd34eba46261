// The DialogView of zevrin-flash: the file dialog answers with the FILE argument, the
// confirmation prints the engine's text and asks y/N, other boxes print their text, and the
// progress bar is drawn on the terminal (or as plain lines when the output is not one).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "cli/LineReader.h"
#include "update/DialogView.h"

class CUpdateEngine;

namespace zevrin::cli {

// What the CLI talks to; main() hands in the real streams, tests string streams.
struct Console {
    std::ostream& out;
    std::ostream& err;
    LineReader& in;
    bool terminal = false;              // standard output is a terminal: draw the bar in place
    std::function<bool()> interrupted;  // Ctrl-C was pressed; may be empty
    // The run's exit code once the stop requests are counted in (an interrupted run reports the
    // first one's code), as StopSignals::ExitCode gives it; may be empty.
    std::function<int(int)> exitCode;
    // A second stop request came while the run supervised children (--all, --repeat), which are
    // then to end at once; may be empty.
    std::function<bool()> stopAtOnce = {};
    // The width of the terminal standard output shows, as the system tells it (0: it does not);
    // may be empty.
    std::function<size_t()> columns = {};
    // The system's words for a write to `out` that failed (empty: the reader left), null while
    // none did; may be empty.
    std::function<std::optional<std::string>()> outputFailure = {};
};

// Standard output's width: the system's figure, else COLUMNS, else kDefaultColumns.
inline constexpr size_t kDefaultColumns = 80;
size_t TerminalColumns(const Console& console);

class CliView final : public DialogView {
  public:
    struct Options {
        std::string file;          // what the file dialog answers; empty: the dialog is cancelled
        bool yes = false;          // --yes
        bool progressBar = false;  // redraw one line in place instead of printing lines
        bool json = false;         // --json: the transfer as JSON lines, none of the text on stdout
    };

    // For --json: what the start and progress lines name, known before the transfer starts.
    struct Transfer {
        std::string device;
        std::optional<uint32_t> oldVersion;  // none when the gamepad has no firmware or said none
        uint32_t newVersion = 0;
    };

    CliView(Console& console, Options options);

    // The engine whose BytesSent/TotalLength the progress shows.
    void Attach(const CUpdateEngine& engine) { m_Engine = &engine; }

    // Every line the CLI prints goes through here, from any thread, so a box or a log line never
    // lands in the middle of the bar.
    void Print(std::ostream& stream, const std::string& text);
    // From the thread that waits for the worker: prints the progress the worker recorded since,
    // and redraws the bar, so the rate and the time left stay current.
    void Tick();
    // The progress is a bar redrawn in place, not lines.
    bool DrawsBar() const { return m_Options.progressBar; }
    // A failure told on standard error; the last one is the reason the run reports.
    void Error(const std::string& text);
    std::optional<std::string> LastError() const;

    void SetTransfer(Transfer transfer);
    // Once the worker has ended: a last progress line when the transfer went further than the
    // last one printed, so a reader knows how much the gamepad got.
    void EndTransfer();

    // The user answered the confirmation with anything but yes (or the input ended).
    bool Declined() const { return m_Declined.load(); }
    // A box reporting a failure was printed.
    bool FailureShown() const { return m_FailureShown.load(); }
    // The transfer's duration so far (from the confirmation), for the summary.
    double TransferSeconds() const;

    // DialogView
    void SetCaption(const std::string& text) override;
    void SetControlText(ControlId, const std::string&) override {}
    void EnableControl(ControlId, bool) override {}
    void ShowControl(ControlId, bool) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(uint32_t position) override;
    BoxResult MessageBox(const std::string& text, const std::string& caption,
                         BoxKind kind) override;
    std::optional<std::string> GetOpenFileName(const FileDialogRequest& request) override;
    NotifyWindow NotifyTarget() override { return {}; }  // the CLI does not follow hot-plug
    void CancelPrompts() override { m_Cancelled = true; }

  private:
    using Clock = std::chrono::steady_clock;

    // What the worker records between two requests, under a lock of its own that nobody holds
    // while printing: the worker never waits for the terminal (or a file, a pipe, a slow ssh
    // session), not even behind the thread that prints. The thread that waits for the worker
    // prints it (Tick), or whoever prints next. One step per percent at most, kept in place:
    // nothing is allocated between requests.
    struct Step {
        uint32_t percent = 0;
        uint64_t sent = 0;
    };
    struct Recorded {
        std::optional<Clock::time_point> start;  // the transfer's clock
        std::optional<Clock::time_point> end;
        uint32_t percent = 0;
        uint32_t lastDecile = 0;  // plain lines: the last tenth recorded
        bool barStale = false;    // the bar is to be drawn again
        size_t count = 0;
        std::array<Step, 101> steps{};
    };

    // The confirmation was answered yes: the transfer's clock starts (and its --json line).
    void BeginTransfer();
    // A copy of what was recorded; `take` empties it of what it copied, so each step is printed
    // once.
    Recorded Records(bool take);
    // All with m_Mutex held. WriteLocked prints the recorded progress first, so nothing overtakes
    // it; EmitLocked does not.
    void WriteLocked(std::ostream& stream, const std::string& text);
    void EmitLocked(std::ostream& stream, const std::string& text);
    void FlushProgressLocked();
    void DrawBarLocked(const Recorded& now);
    void EndBarLocked();
    void ProgressEventLocked(uint64_t sent);

    Console& m_Console;
    const Options m_Options;
    const CUpdateEngine* m_Engine = nullptr;
    std::atomic<bool> m_Cancelled{false};
    std::atomic<bool> m_Declined{false};
    std::atomic<bool> m_FailureShown{false};

    // Held while anything is printed.
    mutable std::mutex m_Mutex;
    bool m_BarOpen = false;  // a bar is on the current line, without its line end
    size_t m_BarLength = 0;

    mutable std::mutex m_RecordLock;
    Recorded m_Recorded;

    std::optional<std::string> m_LastError;
    std::optional<Transfer> m_Transfer;
    std::optional<uint64_t> m_SentReported;  // the last progress line's figure
};

// A box's text as terminal lines: CR LF becomes LF, blank space around the text goes.
std::string BoxTextForTerminal(const std::string& text);

}  // namespace zevrin::cli

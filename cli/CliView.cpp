#include "cli/CliView.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "cli/JsonEvents.h"
#include "cli/Progress.h"
#include "cli/TextWidth.h"
#include "update/Texts.h"
#include "update/UpdateEngine.h"

namespace zevrin::cli {

namespace {

std::string Question() {
    return LoadCliText(CliText::Question);
}

// Blanks around the word are a slip of the thumb; anything else, "y es" and "yess" included, is not
// an answer to trust with the gamepad's firmware.
bool IsYes(const std::string& answer) {
    if (answer.size() > kMaxLineBytes) {
        return false;
    }
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(answer.begin(), answer.end(), blank);
    const auto last = std::find_if_not(answer.rbegin(), answer.rend(), blank).base();
    std::string word(first, first < last ? last : first);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // y and yes in every language, and the user's own word for yes (是 under zh_CN).
    return word == "y" || word == "yes" || word == LoadCliText(CliText::AnswerYes);
}

}  // namespace

std::string BoxTextForTerminal(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                continue;  // the LF that follows ends the line
            }
            out += '\n';
        } else {
            out += text[i];
        }
    }
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(out.begin(), out.end(), blank);
    const auto last = std::find_if_not(out.rbegin(), out.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

size_t TerminalColumns(const Console& console) {
    if (console.columns) {
        if (const size_t columns = console.columns(); columns > 0) {
            return columns;
        }
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read only
    if (const char* env = std::getenv("COLUMNS")) {
        size_t columns = 0;
        const char* end = env + std::strlen(env);
        const auto [ptr, ec] = std::from_chars(env, end, columns);
        if (ec == std::errc() && ptr == end && columns > 1) {
            return columns;
        }
    }
    return kDefaultColumns;
}

CliView::CliView(Console& console, Options options)
    : m_Console(console), m_Options(std::move(options)) {}

void CliView::Print(std::ostream& stream, const std::string& text) {
    std::lock_guard lock(m_Mutex);
    WriteLocked(stream, text);
}

void CliView::WriteLocked(std::ostream& stream, const std::string& text) {
    FlushProgressLocked();
    EmitLocked(stream, text);
}

void CliView::EmitLocked(std::ostream& stream, const std::string& text) {
    if (m_BarOpen) {
        EndBarLocked();
    }
    stream << text;
    stream.flush();
}

CliView::Recorded CliView::Records(bool take) {
    std::lock_guard lock(m_RecordLock);
    Recorded copy = m_Recorded;
    if (take) {
        m_Recorded.count = 0;
        m_Recorded.barStale = false;
    }
    return copy;
}

void CliView::FlushProgressLocked() {
    const Recorded r = Records(true);
    if (r.barStale) {
        DrawBarLocked(r);
    }
    for (size_t i = 0; i < r.count; ++i) {
        const Step& step = r.steps[i];
        if (m_Options.json) {
            ProgressEventLocked(step.sent);
            continue;
        }
        ProgressSample s;
        s.sent = step.sent;
        s.total = m_Engine != nullptr ? m_Engine->TotalLength() : 0;
        s.percent = step.percent;
        EmitLocked(m_Console.out, FormatProgressLine(s) + "\n");
    }
}

void CliView::DrawBarLocked(const Recorded& now) {
    ProgressSample s;
    if (m_Engine != nullptr) {
        s.sent = m_Engine->BytesSent();
        s.total = m_Engine->TotalLength();
    }
    s.percent = now.percent;
    if (now.start) {
        const Clock::time_point end = now.end.value_or(Clock::now());
        s.seconds = std::chrono::duration<double>(end - *now.start).count();
    }
    // The last column stays free: a line that fills it wraps on some terminals, and '\r' would
    // then go back to the start of the next line only.
    const size_t columns = TerminalColumns(m_Console) - 1;
    std::string line = FitProgressBar(s, columns);
    const size_t length = Columns(line);
    if (length < m_BarLength) {
        // Wipe what a longer line left behind, no further than the terminal is wide now.
        line.append(std::min(m_BarLength, columns) - length, ' ');
    }
    m_Console.out << '\r' << line;
    m_Console.out.flush();
    m_BarOpen = true;
    m_BarLength = length;
}

void CliView::EndBarLocked() {
    DrawBarLocked(Records(false));
    m_Console.out << '\n';
    m_Console.out.flush();
    m_BarOpen = false;
    m_BarLength = 0;
}

void CliView::Tick() {
    std::lock_guard lock(m_Mutex);
    if (m_Options.progressBar) {
        std::lock_guard record(m_RecordLock);
        // The rate and the time left move on without the percentage.
        m_Recorded.barStale = m_Recorded.barStale || (m_Recorded.start && !m_Recorded.end);
    }
    FlushProgressLocked();
}

void CliView::Error(const std::string& text) {
    std::lock_guard lock(m_Mutex);
    m_LastError = text;
    WriteLocked(m_Console.err, text);
}

std::optional<std::string> CliView::LastError() const {
    std::lock_guard lock(m_Mutex);
    return m_LastError;
}

void CliView::SetTransfer(Transfer transfer) {
    std::lock_guard lock(m_Mutex);
    m_Transfer = std::move(transfer);
}

void CliView::ProgressEventLocked(uint64_t sent) {
    if (!m_Transfer || m_Engine == nullptr) {
        return;
    }
    m_SentReported = sent;
    EmitLocked(m_Console.out,
               json::ProgressEvent(m_Transfer->device, sent, m_Engine->TotalLength()));
}

void CliView::EndTransfer() {
    std::lock_guard lock(m_Mutex);
    FlushProgressLocked();
    if (m_Options.json && Records(false).start && m_Engine != nullptr &&
        m_SentReported != m_Engine->BytesSent()) {
        ProgressEventLocked(m_Engine->BytesSent());
    }
}

double CliView::TransferSeconds() const {
    std::lock_guard lock(m_RecordLock);
    if (!m_Recorded.start) {
        return 0;
    }
    const Clock::time_point end = m_Recorded.end.value_or(Clock::now());
    return std::chrono::duration<double>(end - *m_Recorded.start).count();
}

void CliView::SetCaption(const std::string& /*text*/) {
    // The caption carries the device version, which the commands print themselves.
}

void CliView::SetProgressPos(uint32_t position) {
    // Position 0 is the bar being reset before a transfer and after the success message.
    if (position == 0) {
        return;
    }
    const uint64_t sent = m_Engine != nullptr ? m_Engine->BytesSent() : 0;
    std::lock_guard lock(m_RecordLock);
    Recorded& r = m_Recorded;
    if (!r.start || r.end) {
        return;
    }
    const uint32_t percent = std::min<uint32_t>(position, 100);
    const bool changed = percent != r.percent;
    r.percent = percent;
    if (percent == 100) {
        r.end = Clock::now();
    }
    if (m_Options.progressBar) {
        r.barStale = r.barStale || changed;
        return;
    }
    // --json: every percent; plain lines: every tenth.
    const uint32_t decile = percent / 10;
    if (m_Options.json ? !changed : decile <= r.lastDecile) {
        return;
    }
    r.lastDecile = std::max(r.lastDecile, decile);
    // Never more than one a percent; should a position ever come back, the last entry takes it.
    const size_t at = std::min(r.count, r.steps.size() - 1);
    r.steps[at] = Step{percent, sent};
    r.count = at + 1;
}

BoxResult CliView::MessageBox(const std::string& text, const std::string& /*caption*/,
                              BoxKind kind) {
    const std::string shown = BoxTextForTerminal(text);
    if (kind == BoxKind::Success) {
        if (!m_Options.json) {
            Print(m_Console.out, shown + "\n");
        }
        return BoxResult::Ok;
    }
    if (ButtonsOf(kind) == BoxButtons::Ok) {
        // A failure, or the boot-mode instructions for a gamepad without firmware: either way
        // nothing was written, and the reason belongs on standard error.
        m_FailureShown = true;
        Error(shown + "\n");
        return BoxResult::Ok;
    }

    if (m_Cancelled.load()) {
        return BoxResult::Cancel;
    }
    // --json keeps standard output for its lines and never asks: nobody is there to answer.
    bool accepted = m_Options.yes;
    if (!m_Options.json) {
        Print(m_Console.out, shown + "\n");
        if (accepted) {
            Print(m_Console.out, Question() + "y (--yes)\n");
        } else {
            Print(m_Console.out, Question());
            const std::optional<std::string> answer = m_Console.in.ReadLine(m_Cancelled);
            // On a terminal the user's Enter already ended the line; in a log the answer is
            // missing (not an overlong one: the log would hold whatever the input was made of).
            if (!m_Console.terminal) {
                const bool echoed = answer && answer->size() <= kMaxLineBytes;
                Print(m_Console.out, (echoed ? *answer : std::string()) + "\n");
            } else if (!answer) {
                Print(m_Console.out, "\n");
            }
            accepted = answer && IsYes(*answer);
        }
    }
    if (!accepted) {
        if (!m_Cancelled.load()) {
            m_Declined = true;
        }
        return BoxResult::Cancel;
    }
    BeginTransfer();
    return BoxResult::Ok;
}

void CliView::BeginTransfer() {
    std::lock_guard lock(m_Mutex);
    {
        std::lock_guard record(m_RecordLock);
        m_Recorded = Recorded{};
        m_Recorded.start = Clock::now();
    }
    m_SentReported.reset();
    if (m_Options.json && m_Transfer && m_Engine != nullptr) {
        WriteLocked(m_Console.out,
                    json::StartEvent(m_Transfer->device, m_Transfer->oldVersion,
                                     m_Transfer->newVersion, m_Engine->TotalLength()));
    }
}

std::optional<std::string> CliView::GetOpenFileName(const FileDialogRequest& /*request*/) {
    if (m_Cancelled.load() || m_Options.file.empty()) {
        return std::nullopt;
    }
    return m_Options.file;
}

}  // namespace zevrin::cli

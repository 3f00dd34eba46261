#include <algorithm>
#include <cstdint>

#include "cli/WorkbenchLines.h"
#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::cli {

namespace {

std::string Up(size_t lines) {
    return lines == 0 ? std::string() : "\x1b[" + std::to_string(lines) + "A\r";
}

// A path shorter than this is left whole; a longer one is never cut below it, so two gamepads can
// still be told apart.
constexpr size_t kMinPathColumns = 8;
constexpr size_t kFullBarWidth = 20;
constexpr size_t kMinBarWidth = 10;
constexpr std::string_view kGap = "  ";

// The state of a running update: the versions, the bar (none when `barWidth` is 0) and its
// percentage. Bytes and rate would not fit beside a long path.
std::string UpdateState(const Report& r, size_t barWidth) {
    const size_t filled = barWidth * r.Percent() / 100;
    const std::string bar = barWidth == 0 ? std::string()
                                          : "  [" + std::string(filled, '#') +
                                                std::string(barWidth - filled, '.') + "]";
    return r.Old() + " -> " + r.newVersion.value_or("?") + bar + Format(" %3u%%", r.Percent()) +
           (r.ended ? std::string(kGap) + LoadCliText(CliText::Done) : std::string());
}

std::string State(const Report& r, bool update, size_t room) {
    if (!update) {
        if (!r.ended) {
            return LoadCliText(CliText::Asking);
        }
        return r.exitCode == kExitOk ? r.Old() : LoadCliText(CliText::FailedBecause, {r.Why()});
    }
    if (r.ended && r.exitCode != kExitOk) {
        return LoadCliText(CliText::FailedBecause, {r.Why()});
    }
    if (r.skipped) {
        return r.Old() + std::string(kGap) + LoadCliText(CliText::UpToDate);
    }
    if (!r.started) {
        return LoadCliText(CliText::Starting);
    }
    const size_t full = Columns(UpdateState(r, kFullBarWidth));
    if (full > room + (kFullBarWidth - kMinBarWidth)) {
        // The percentage says it on its own, and the versions go before it does.
        std::string plain = UpdateState(r, 0);
        if (Columns(plain) <= room) {
            return plain;
        }
        return Format("%u%%", r.Percent()) +
               (r.ended ? std::string(kGap) + LoadCliText(CliText::Done) : std::string());
    }
    return UpdateState(r, kFullBarWidth - (full > room ? full - room : 0));
}

}  // namespace

void LiveLines::Show(const std::vector<std::string>& lines) {
    std::string text = Up(m_Shown);
    for (const std::string& line : lines) {
        text += "\x1b[2K" + FitEnd(line, Width()) + "\n";
    }
    const size_t stale = m_Shown > lines.size() ? m_Shown - lines.size() : 0;
    for (size_t i = 0; i < stale; ++i) {
        text += "\x1b[2K\n";
    }
    text += Up(stale);
    m_Shown = lines.size();
    m_View.Print(m_Out, text);
}

void LiveLines::KeepWhole(const std::string& line) {
    // Once kept it is never gone back over, so wrapping does no harm.
    std::string text = Up(m_Shown) + "\x1b[2K" + line + "\n";
    for (size_t i = 1; i < m_Shown; ++i) {
        text += "\x1b[2K\n";
    }
    text += Up(m_Shown > 1 ? m_Shown - 1 : 0);
    m_Shown = 0;
    m_View.Print(m_Out, text);
}

std::string ProgressText(const Report& r, bool update, size_t columns) {
    const size_t path = std::min(Columns(r.path), kMinPathColumns);
    const size_t room = columns > path + kGap.size() ? columns - path - kGap.size() : 0;
    const std::string state = FitEnd(State(r, update, room), room);
    const size_t left =
        columns > Columns(state) + kGap.size() ? columns - Columns(state) - kGap.size() : 0;
    return FitMiddle(r.path, left) + std::string(kGap) + state;
}

}  // namespace zevrin::cli

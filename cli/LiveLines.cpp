#include "cli/WorkbenchLines.h"

#include <algorithm>
#include <cstdint>

#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::cli {

namespace {

// Wider than this, a live line would wrap, and the cursor would no longer go back to its start.
constexpr size_t kLiveColumns = 79;

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

std::string Up(size_t lines) {
    return lines == 0 ? std::string() : "\x1b[" + std::to_string(lines) + "A\r";
}

}  // namespace

void LiveLines::Show(const std::vector<std::string>& lines) {
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

// Terminal columns a UTF-8 text takes, near enough: one per character.
size_t Columns(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
        return (static_cast<uint8_t>(ch) & 0xC0) != 0x80;
    }));
}

std::string ProgressText(const Report& r, bool update) {
    std::string text = r.path + "  ";
    if (!update) {
        if (!r.ended) {
            return text + LoadCliText(CliText::Asking);
        }
        return text +
               (r.exitCode == kExitOk ? r.Old() : LoadCliText(CliText::FailedBecause, {r.Why()}));
    }
    if (r.ended && r.exitCode != kExitOk) {
        return text + LoadCliText(CliText::FailedBecause, {r.Why()});
    }
    if (r.skipped) {
        return text + r.Old() + "  " + LoadCliText(CliText::UpToDate);
    }
    if (!r.started) {
        return text + LoadCliText(CliText::Starting);
    }
    // The bar and its percentage only: bytes and rate would not fit beside a long path.
    constexpr uint32_t kBarWidth = 20;
    const uint32_t filled = kBarWidth * r.Percent() / 100;
    return text + r.Old() + " -> " + r.newVersion.value_or("?") + "  [" + std::string(filled, '#') +
           std::string(kBarWidth - filled, '.') + Format("] %3u%%", r.Percent()) +
           (r.ended ? "  " + LoadCliText(CliText::Done) : std::string());
}

}  // namespace zevrin::cli

#include "cli/Progress.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cli/TextWidth.h"
#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::cli {

namespace {
// Below this the rate swings wildly and the time left would be noise.
constexpr double kMinSecondsForRate = 0.2;
}  // namespace

std::optional<double> Rate(const ProgressSample& s) {
    if (s.seconds < kMinSecondsForRate || s.sent == 0) {
        return std::nullopt;
    }
    return static_cast<double>(s.sent) / s.seconds;
}

std::string FormatDuration(double seconds) {
    const auto whole = static_cast<long long>(std::ceil(std::max(0.0, seconds)));
    const long long h = whole / 3600;
    const long long m = (whole / 60) % 60;
    const long long sec = whole % 60;
    if (h > 0) {
        return Format("%lld:%02lld:%02lld", h, m, sec);
    }
    return Format("%lld:%02lld", m, sec);
}

std::string FormatRate(double bytesPerSecond) {
    if (bytesPerSecond < 1024.0) {
        return LoadCliText(CliText::RateBytes, {Format("%.0f", bytesPerSecond)});
    }
    if (bytesPerSecond < 1024.0 * 1024.0) {
        return LoadCliText(CliText::RateKiB, {Format("%.1f", bytesPerSecond / 1024.0)});
    }
    return LoadCliText(CliText::RateMiB, {Format("%.1f", bytesPerSecond / (1024.0 * 1024.0))});
}

namespace {

std::string Bar(uint32_t percent, size_t barWidth) {
    std::string bar(barWidth + 2, '.');
    bar.front() = '[';
    bar.back() = ']';
    std::fill_n(bar.begin() + 1, barWidth * percent / 100, '#');
    return bar;
}

// What follows the bar, most wanted first: the time left, the rate, the bytes.
std::vector<std::string> Figures(const ProgressSample& s) {
    const auto rate = Rate(s);
    if (!rate) {
        return {LoadCliText(CliText::TimeLeft, {"--:--"}), "--",
                LoadCliText(CliText::BarBytes, {std::to_string(s.sent), std::to_string(s.total)})};
    }
    const uint64_t left = s.total > s.sent ? s.total - s.sent : 0;
    return {LoadCliText(CliText::TimeLeft, {FormatDuration(static_cast<double>(left) / *rate)}),
            FormatRate(*rate),
            LoadCliText(CliText::BarBytes, {std::to_string(s.sent), std::to_string(s.total)})};
}

// The percentage and the first `count` figures, in the order the line shows them.
std::string Tail(uint32_t percent, const std::vector<std::string>& figures, size_t count) {
    std::string tail = Format(" %3u%%", percent);
    for (size_t i = std::min(count, figures.size()); i > 0; --i) {
        tail += "  " + figures[i - 1];
    }
    return tail;
}

// Narrower than this, a bar no longer shows progress at a glance.
constexpr size_t kMinBarWidth = 10;
constexpr size_t kFullBarWidth = 30;

}  // namespace

std::string FormatProgressBar(const ProgressSample& s, int barWidth) {
    const uint32_t percent = std::min<uint32_t>(s.percent, 100);
    const std::vector<std::string> figures = Figures(s);
    return Bar(percent, static_cast<size_t>(barWidth)) + Tail(percent, figures, figures.size());
}

std::string FitProgressBar(const ProgressSample& s, size_t columns) {
    const uint32_t percent = std::min<uint32_t>(s.percent, 100);
    const std::vector<std::string> figures = Figures(s);
    // The figures the user plans by stay longest; the bar shrinks before any of them goes.
    for (size_t count = figures.size() + 1; count-- > 0;) {
        const std::string tail = Tail(percent, figures, count);
        const size_t used = Columns(tail) + 2;
        if (used + kMinBarWidth <= columns) {
            return Bar(percent, std::min(kFullBarWidth, columns - used)) + tail;
        }
    }
    return FitEnd(Tail(percent, figures, 0).substr(1), columns);
}

std::string FormatProgressLine(const ProgressSample& s) {
    return LoadCliText(CliText::ProgressLine, {std::to_string(std::min<uint32_t>(s.percent, 100)),
                                               std::to_string(s.sent), std::to_string(s.total)});
}

}  // namespace zevrin::cli

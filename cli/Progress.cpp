#include "cli/Progress.h"

#include <algorithm>
#include <cmath>

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

std::string FormatProgressBar(const ProgressSample& s, int barWidth) {
    const uint32_t percent = std::min<uint32_t>(s.percent, 100);
    const int filled = barWidth * static_cast<int>(percent) / 100;
    std::string line = "[";
    line.append(static_cast<size_t>(filled), '#');
    line.append(static_cast<size_t>(barWidth - filled), '.');
    line += Format("] %3u%%  ", percent) +
            LoadCliText(CliText::BarBytes, {std::to_string(s.sent), std::to_string(s.total)});
    const auto rate = Rate(s);
    if (!rate) {
        return line + "  --  " + LoadCliText(CliText::TimeLeft, {"--:--"});
    }
    line += "  " + FormatRate(*rate);
    const uint64_t left = s.total > s.sent ? s.total - s.sent : 0;
    line +=
        "  " + LoadCliText(CliText::TimeLeft, {FormatDuration(static_cast<double>(left) / *rate)});
    return line;
}

std::string FormatProgressLine(const ProgressSample& s) {
    return LoadCliText(CliText::ProgressLine, {std::to_string(std::min<uint32_t>(s.percent, 100)),
                                               std::to_string(s.sent), std::to_string(s.total)});
}

}  // namespace zevrin::cli

// How zevrin-flash shows a transfer: a bar redrawn in place on a terminal, plain lines otherwise.
// The formatting is pure so the figures can be checked without a terminal or a clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zevrin::cli {

struct ProgressSample {
    uint64_t sent = 0;     // image bytes sent so far (the engine's BytesSent)
    uint64_t total = 0;    // the header's imageLength (the engine's TotalLength)
    uint32_t percent = 0;  // as the engine set the progress bar, clamped to 100
    double seconds = 0;    // since the first chunk
};

// Bytes per second, once enough time has passed for the figure to mean something.
std::optional<double> Rate(const ProgressSample& s);

// "0:07", "12:34", "1:02:03".
std::string FormatDuration(double seconds);
// "850 B/s", "12.3 KiB/s", "1.5 MiB/s".
std::string FormatRate(double bytesPerSecond);

// "[#######.......]  50%  32768/65536 bytes  12.3 KiB/s  0:03 left", one terminal line.
std::string FormatProgressBar(const ProgressSample& s, int barWidth = 30);
// The same line in at most `columns`: the bar narrows first, then the bytes, the rate and the
// time left give way, in that order; the percentage stays.
std::string FitProgressBar(const ProgressSample& s, size_t columns);
// "Progress: 50% (32768 of 65536 bytes)".
std::string FormatProgressLine(const ProgressSample& s);

}  // namespace zevrin::cli

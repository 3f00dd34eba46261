#include "hid/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace zevrin {
namespace {

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

// Shared, so a line being written keeps its sink alive while another thread replaces it.
std::shared_ptr<const LogSink>& Sink() {
    static std::shared_ptr<const LogSink> sink = std::make_shared<const LogSink>(DefaultLogSink);
    return sink;
}

// Whether the sink takes lines at all. Read before anything is formatted: the transfer logs a few
// lines per chunk, and with nobody reading them their formatting was most of the host's turnaround.
std::atomic<bool> g_SinkWanted{true};

// Lines that fit here are formatted without touching the heap.
constexpr size_t kShortLine = 256;

#if defined(__GNUC__)
std::string VFormat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
#endif

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(n) + 1, '\0');
    (void)std::vsnprintf(out.data(), out.size(), format, args);  // fits: measured above
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

LogSink SetLogSink(LogSink sink) {
    std::lock_guard lock(SinkMutex());
    g_SinkWanted.store(static_cast<bool>(sink));
    auto previous = std::exchange(Sink(), std::make_shared<const LogSink>(std::move(sink)));
    return previous ? *previous : LogSink();
}

void LogLine(const char* format, ...) {
    if (!g_SinkWanted.load()) {
        return;
    }
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard lock(SinkMutex());
        sink = Sink();
    }
    if (!sink || !*sink) {
        return;
    }
    va_list args;
    va_start(args, format);
    char shortLine[kShortLine];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(shortLine, sizeof shortLine, format, copy);
    va_end(copy);
    std::string longLine;
    std::string_view line;
    if (n > 0 && static_cast<size_t>(n) < sizeof shortLine) {
        line = std::string_view(shortLine, static_cast<size_t>(n));
    } else if (n > 0) {
        longLine = VFormat(format, args);
        line = longLine;
    }
    va_end(args);
    // Called without the lock: a sink may take locks of its own, in any order.
    (*sink)(line);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

}  // namespace zevrin

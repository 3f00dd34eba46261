#include "hid/Log.h"

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
    auto previous = std::exchange(Sink(), std::make_shared<const LogSink>(std::move(sink)));
    return previous ? *previous : LogSink();
}

void LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = VFormat(format, args);
    va_end(args);
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard lock(SinkMutex());
        sink = Sink();
    }
    // Called without the lock: a sink may take locks of its own, in any order.
    if (sink && *sink) {
        (*sink)(line);
    }
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

}  // namespace zevrin

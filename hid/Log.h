// The one diagnostic channel. Every line goes through LogLine; where it ends up (the debugger
// output on Windows, standard error on Linux, nowhere for a quiet CLI, a vector in tests) is the
// composition root's choice.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zevrin {

using LogSink = std::function<void(std::string_view line)>;

// Replaces the sink and returns the previous one. Not meant to race with LogLine. An empty sink
// means nowhere: LogLine then returns before formatting anything.
LogSink SetLogSink(LogSink sink);

// The platform's default: OutputDebugStringW on Windows, standard error elsewhere.
void DefaultLogSink(std::string_view line);

// The calling thread's last system error code (GetLastError on Windows, errno elsewhere).
uint32_t LastSystemError();

// printf-style; the formatted text (UTF-8) is handed to the sink as it stands, line end included.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void LogLine(const char* format, ...);

// printf-style formatting into a std::string, shared by the log and the user texts.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
Format(const char* format, ...);

}  // namespace zevrin

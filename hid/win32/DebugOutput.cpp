// Diagnostic lines go to the debugger output channel, as UTF-16.
#include <windows.h>

#include <string>

#include "hid/Log.h"

namespace zevrin {

void DefaultLogSink(std::string_view line) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), n);
    OutputDebugStringW(wide.c_str());
}

uint32_t LastSystemError() {
    return GetLastError();
}

}  // namespace zevrin

// Diagnostic lines go to the debugger output channel, as UTF-16.
#include <windows.h>

#include <string>

#include "hid/Log.h"
#include "hid/win32/Utf16.h"

namespace zevrin {

void DefaultLogSink(std::string_view line) {
    OutputDebugStringW(Utf16(line).c_str());
}

uint32_t LastSystemError() {
    return GetLastError();
}

}  // namespace zevrin

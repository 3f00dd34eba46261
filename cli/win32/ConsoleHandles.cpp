// The standard streams' handles behind ConsoleOutputBuf: WriteConsoleW where GetConsoleMode says
// the handle is a console, WriteFile everywhere else.
#include <windows.h>

#include "cli/ConsoleOutput.h"

namespace zevrin::cli {

namespace {

// Old consoles refuse long writes; a surrogate pair is never cut between two of them.
constexpr size_t kWideSlice = 8192;

HANDLE HandleOf(StandardStream stream) {
    return GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// WriteConsoleW counts in WCHARs, which are char16_t's UTF-16 units.
static_assert(sizeof(WCHAR) == sizeof(char16_t));

bool WriteWide(HANDLE handle, std::u16string_view text) {
    while (!text.empty()) {
        size_t slice = text.size() < kWideSlice ? text.size() : kWideSlice;
        if (slice < text.size() && text[slice - 1] >= 0xD800 && text[slice - 1] <= 0xDBFF) {
            --slice;
        }
        DWORD written = 0;
        if (!WriteConsoleW(handle, text.data(), static_cast<DWORD>(slice), &written, nullptr) ||
            written == 0) {
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

bool WriteBytes(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD size =
            bytes.size() < 0x40000000u ? static_cast<DWORD>(bytes.size()) : 0x40000000u;
        if (!WriteFile(handle, bytes.data(), size, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

bool IsConsole(StandardStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

std::unique_ptr<ConsoleOutputBuf> StandardStreamBuf(StandardStream stream) {
    const HANDLE handle = HandleOf(stream);
    ConsoleOutputBuf::Target target;
    target.console = IsConsole(stream);
    target.writeWide = [handle](std::u16string_view text) { return WriteWide(handle, text); };
    target.writeBytes = [handle](std::string_view bytes) { return WriteBytes(handle, bytes); };
    return std::make_unique<ConsoleOutputBuf>(target);
}

}  // namespace zevrin::cli

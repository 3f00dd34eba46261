// The standard streams' handles behind ConsoleOutputBuf: WriteConsoleW where GetConsoleMode says
// the handle is a console, WriteFile everywhere else.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>

#include "cli/ConsoleOutput.h"
#include "cli/Workbench.h"
#include "hid/win32/Utf16.h"

namespace zevrin::cli {

namespace {

// The first failed write to standard output: GetLastError's code, 0 while none failed.
std::atomic<DWORD> g_OutputError{0};

void NoteFailure(HANDLE handle) {
    const DWORD error = GetLastError();
    DWORD expected = 0;
    if (handle == GetStdHandle(STD_OUTPUT_HANDLE)) {
        (void)g_OutputError.compare_exchange_strong(expected,
                                                    error != 0 ? error : ERROR_WRITE_FAULT);
    }
}

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
            NoteFailure(handle);
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
            NoteFailure(handle);
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// A console mode this program changed, and what it was: the console outlives the program, and the
// shell that ran it would otherwise go on with the mode this program chose.
std::atomic<HANDLE> g_ChangedConsole{nullptr};
std::atomic<DWORD> g_ModeBefore{0};

}  // namespace

void RestoreConsoleModes() {
    if (const HANDLE console = g_ChangedConsole.exchange(nullptr)) {
        (void)SetConsoleMode(console, g_ModeBefore.load());
    }
}

bool TerminalMovesCursor() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    // Windows 10 and later; older consoles refuse, and get plain lines.
    if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return false;
    }
    g_ModeBefore = mode;
    if (g_ChangedConsole.exchange(out) == nullptr) {
        static const int registered = std::atexit(RestoreConsoleModes);
        (void)registered;
    }
    return true;
}

bool IsConsole(StandardStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

size_t ConsoleColumns(StandardStream stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(HandleOf(stream), &info)) {
        return 0;
    }
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<size_t>(columns) : 0;
}

std::optional<std::string> StandardOutputFailure() {
    const DWORD error = g_OutputError.load();
    if (error == 0) {
        return std::nullopt;
    }
    if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) {
        return std::string();  // the reader went away on purpose: nobody to tell
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words = "error " + std::to_string(error);
    if (length > 0) {
        words = Utf8(std::wstring_view(text, length), BadUtf16::Replace).value_or(words);
        // The system ends its message with a line end.
        while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) {
            words.pop_back();
        }
    }
    LocalFree(text);
    return words;
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

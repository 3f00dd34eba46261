// How zevrin-flash's text leaves on Windows. A console gets UTF-16 through WriteConsoleW, so the
// Chinese texts show whatever the console's output code page, and that page stays the one the user
// chose (a cmd.exe that ran us keeps printing its own text right). A file or a pipe gets the UTF-8
// bytes themselves, as a program reading our output expects them.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

namespace zevrin::cli {

// UTF-8 as UTF-16. A character cut off at the end of `bytes` stays there for the next piece; a
// byte that cannot start or continue one becomes U+FFFD.
std::u16string Utf16FromUtf8(std::string& bytes);

class ConsoleOutputBuf final : public std::streambuf {
  public:
    struct Target {
        bool console = false;  // GetConsoleMode succeeded on the handle
        std::function<bool(std::u16string_view)> writeWide;  // WriteConsoleW
        std::function<bool(std::string_view)> writeBytes;    // WriteFile
    };
    explicit ConsoleOutputBuf(Target target);

  protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    // A failed write makes the stream bad, and it drops what follows, as a closed pipe does.
    int sync() override;

  private:
    bool WriteOut();

    const Target m_Target;
    std::string m_Pending;
};

// The system's words for the first write to standard output that failed (strerror; on Windows
// FormatMessage), or null while every one went out. Empty when the reader closed its end, which
// fails the run without a word, as a pipe's writer usually ends.
std::optional<std::string> StandardOutputFailure();

#if !defined(_WIN32)
// Standard output through stdio, each piece written and flushed at once, so that a failure is
// seen, and its errno kept, where it happens.
std::unique_ptr<ConsoleOutputBuf> StandardOutputBuf();
#endif

#if defined(_WIN32)
enum class StandardStream { Output, Error };
bool IsConsole(StandardStream stream);
// The width of the console window the stream shows in (its visible part, not the buffer); 0 when
// the stream is no console.
size_t ConsoleColumns(StandardStream stream);
std::unique_ptr<ConsoleOutputBuf> StandardStreamBuf(StandardStream stream);
// Puts back the console modes this program changed (TerminalMovesCursor's), at exit or before
// ending the process at once.
void RestoreConsoleModes();
#endif

}  // namespace zevrin::cli

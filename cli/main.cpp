// zevrin-flash: the composition root. Picks the HID backend, wires the stop signals and the real
// streams, and hands over to RunCommandLine.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/ConsoleOutput.h"
#include "cli/Flash.h"
#include "cli/LineReader.h"
#include "cli/StopSignals.h"
#include "update/Texts.h"

#if defined(_WIN32)
#include "cli/WideText.h"
#if defined(ZEVRIN_HAVE_WIN32_PORT)
#include "hid/win32/Win32HidPort.h"
#include "session/win32/SessionWindow.h"
namespace zevrin {
// Declared again here so this file stays clear of <windows.h> (hid/win32/Win32Api.h).
const Win32Api& RealWin32Api();
}  // namespace zevrin
#endif
// The interface language for the texts, as the Windows dialog chooses it (kernel32; LANGID).
extern "C" __declspec(dllimport) unsigned short __stdcall GetUserDefaultUILanguage(void);
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "hid/linux/HidapiPort.h"
#include "session/linux/LogindHold.h"
#endif

namespace {

std::unique_ptr<zevrin::HidPort> MakePort(bool simulate) {
    if (simulate) {
        return zevrin::cli::MakeSimulatedPort();
    }
#if defined(_WIN32)
#if defined(ZEVRIN_HAVE_WIN32_PORT)
    // A real gamepad: shutdown, restart and sleep wait while a transfer runs. Never destroyed,
    // like the stop signals: a transfer the console's closing stops may still hold it while the
    // process ends.
    static zevrin::SessionWindow* const session =
        new zevrin::SessionWindow(zevrin::RealSessionApi());
    zevrin::SetSessionHolder(session->Holder());
    return std::make_unique<zevrin::Win32HidPort>(zevrin::RealWin32Api());
#else
    return nullptr;
#endif
#else
    // A real gamepad: shutdown and sleep wait while a transfer runs.
    zevrin::SetSessionHolder(zevrin::HoldSessionWithLogind);
    return std::make_unique<zevrin::HidapiPort>();
#endif
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    // _isatty says yes to NUL too; only a console shows a bar drawn in place.
    return zevrin::cli::IsConsole(zevrin::cli::StandardStream::Output);
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

// The width of the terminal standard output shows, asked anew each time (the user may resize the
// window mid-transfer); 0 when it is no terminal.
size_t StdoutColumns() {
#if defined(_WIN32)
    return zevrin::cli::ConsoleColumns(zevrin::cli::StandardStream::Output);
#else
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
#endif
}

#if !defined(_WIN32)
// A standard stream the caller closed (`>&-`) would lend its number to the next file opened, and
// the progress text would go there: into the gamepad's hidraw node, for one.
void KeepStandardStreamsOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            (void)open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);  // the lowest free number: fd
        }
    }
}
#endif

// `notText`: an argument could not be taken in; it is said as a usage error, and nothing runs.
int RunWith(const std::vector<std::string>& args,
            const std::optional<zevrin::cli::UsageError>& notText = std::nullopt) {
#if !defined(_WIN32)
    KeepStandardStreamsOpen();
    // A reader that went away (`| head`) must not end a transfer half-way: the write fails, the
    // stream drops it and every later one, and the exit code still tells how the update went.
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
    // Never destroyed: the handler of a closed Windows console waits for the process to end, and
    // letting it return first would have the system end the process with a code of its own.
    static const zevrin::cli::StopSignals* const stops = new zevrin::cli::StopSignals();
    zevrin::cli::StdinLineReader input;
    zevrin::cli::Console console{std::cout,
                                 std::cerr,
                                 input,
                                 StdoutIsTerminal(),
                                 [] { return stops->Requested(); },
                                 [](int runResult) { return stops->ExitCode(runResult); },
                                 [] { return stops->RequestedAgain(); },
                                 StdoutColumns,
                                 zevrin::cli::StandardOutputFailure};
    if (notText) {
        return zevrin::cli::ReportUsageError(args, *notText, console);
    }
    return stops->ExitCode(zevrin::cli::RunCommandLine(args, console, MakePort));
}

}  // namespace

#if defined(_WIN32)
// wmain: the arguments arrive as UTF-16, so paths outside the ANSI code page survive.
int wmain(int argc, wchar_t** argv) {
    SetTextSource({[] { return static_cast<uint16_t>(GetUserDefaultUILanguage()); }, nullptr});
    // Never destroyed: the streams are flushed at exit, after main's objects are gone.
    std::cout.rdbuf(zevrin::cli::StandardStreamBuf(zevrin::cli::StandardStream::Output).release());
    std::cerr.rdbuf(zevrin::cli::StandardStreamBuf(zevrin::cli::StandardStream::Error).release());
    const zevrin::cli::Utf8Arguments args = zevrin::cli::ArgumentsAsUtf8(argc, argv);
    return RunWith(args.args, args.error);
}
#else
int main(int argc, char** argv) {
    // Never destroyed, like Windows' own: the streams are flushed at exit.
    std::cout.rdbuf(zevrin::cli::StandardOutputBuf().release());
    return RunWith(std::vector<std::string>(argv + 1, argv + argc));
}
#endif

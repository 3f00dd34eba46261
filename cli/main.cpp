// zevrin-flash: the composition root. Picks the HID backend, wires Ctrl-C and the real streams,
// and hands over to RunCommandLine.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/Flash.h"
#include "cli/LineReader.h"
#include "update/Texts.h"

#if defined(_WIN32)
#include <io.h>

#include <filesystem>
#if defined(ZEVRIN_HAVE_WIN32_PORT)
#include "hid/win32/Win32HidPort.h"
namespace zevrin {
// Declared again here so this file stays clear of <windows.h> (hid/win32/Win32Api.h).
const Win32Api& RealWin32Api();
}  // namespace zevrin
#endif
// The interface language for the texts, as the Windows dialog chooses it (kernel32; LANGID).
extern "C" __declspec(dllimport) unsigned short __stdcall GetUserDefaultUILanguage(void);
// The texts are UTF-8; a console left at its OEM code page would print the Chinese ones garbled.
extern "C" __declspec(dllimport) int __stdcall SetConsoleOutputCP(unsigned int codePage);
#else
#include <unistd.h>

#include "hid/linux/HidapiPort.h"
#endif

namespace {

// Lock-free, so the handler may touch it. The first Ctrl-C asks for a clean stop; a second one
// means the user will not wait for it.
std::atomic<int> g_Interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
    if (g_Interrupts.fetch_add(1) >= 1) {
        std::_Exit(zevrin::cli::kExitInterrupted);
    }
#if defined(_WIN32)
    // Without the handler Ctrl-C still ends the program, only less gracefully.
    (void)std::signal(SIGINT, OnInterrupt);  // the Windows CRT resets the handler before calling it
#endif
}

std::unique_ptr<zevrin::HidPort> MakePort(bool simulate) {
    if (simulate) {
        return zevrin::cli::MakeSimulatedPort();
    }
#if defined(_WIN32)
#if defined(ZEVRIN_HAVE_WIN32_PORT)
    return std::make_unique<zevrin::Win32HidPort>(zevrin::RealWin32Api());
#else
    return nullptr;
#endif
#else
    return std::make_unique<zevrin::HidapiPort>();
#endif
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

int RunWith(const std::vector<std::string>& args) {
    // Without the handler Ctrl-C still ends the program, only less gracefully.
    (void)std::signal(SIGINT, OnInterrupt);
    zevrin::cli::StdinLineReader input;
    zevrin::cli::Console console{std::cout, std::cerr, input, StdoutIsTerminal(),
                                 [] { return g_Interrupts.load() > 0; }};
    return zevrin::cli::RunCommandLine(args, console, MakePort);
}

}  // namespace

#if defined(_WIN32)
// wmain: the arguments arrive as UTF-16, so paths outside the ANSI code page survive.
int wmain(int argc, wchar_t** argv) {
    SetTextSource({[] { return static_cast<uint16_t>(GetUserDefaultUILanguage()); }, nullptr});
    SetConsoleOutputCP(65001);  // CP_UTF8; fails harmlessly when the output is not a console
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::u8string u8 = std::filesystem::path(argv[i]).u8string();
        args.emplace_back(u8.begin(), u8.end());
    }
    return RunWith(args);
}
#else
int main(int argc, char** argv) {
    return RunWith(std::vector<std::string>(argv + 1, argv + argc));
}
#endif

#include "cli/StopSignals.h"

#include <atomic>
#include <cstdlib>

#include "cli/Flash.h"

#if defined(_WIN32)
#include <chrono>
#include <thread>
#else
#include <signal.h>

#include <iterator>
#endif

namespace zevrin::cli {

namespace {

// The exit code the first request asks for; 0 until one comes. Lock-free, so a signal handler may
// touch it.
std::atomic<int> g_StopCode{0};
static_assert(std::atomic<int>::is_always_lock_free);

void Request(int exitCode) {
    int none = 0;
    if (!g_StopCode.compare_exchange_strong(none, exitCode)) {
        std::_Exit(exitCode);  // the second request: the user will not wait for the clean stop
    }
}

#if defined(_WIN32)

// kernel32, declared by hand: outside hid/win32 and app/win32 nothing includes <windows.h>
// (BOOL is int, DWORD unsigned long).
extern "C" __declspec(dllimport) int __stdcall SetConsoleCtrlHandler(
    int(__stdcall* routine)(unsigned long), int add);

constexpr unsigned long kCtrlC = 0;
constexpr unsigned long kCtrlBreak = 1;
constexpr unsigned long kCtrlClose = 2;
constexpr int kExitConsoleClosed = 129;  // as SIGHUP reports it: the terminal went away
// Windows ends a process about 5 s after its console closed; the clean stop needs far less.
constexpr auto kCloseWait = std::chrono::seconds(4);

std::atomic<bool> g_Released{false};

int __stdcall ConsoleRoutine(unsigned long event) {
    return OnConsoleEvent(event) ? 1 : 0;
}

#else

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_Previous[std::size(kSignals)];
bool g_Taken[std::size(kSignals)];

extern "C" void OnStopSignal(int signal) {
    Request(128 + signal);
}

#endif

}  // namespace

#if defined(_WIN32)

bool OnConsoleEvent(unsigned long event) {
    if (event == kCtrlC || event == kCtrlBreak) {
        Request(kExitInterrupted);
        return true;
    }
    if (event != kCtrlClose) {
        return false;  // log-off and shut-down: the system's own handling
    }
    Request(kExitConsoleClosed);
    // The process normally ends here, with the run's exit code, while this waits.
    const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
    while (!g_Released.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

StopSignals::StopSignals() {
    g_StopCode = 0;
    g_Released = false;
    // Without it Ctrl-C still ends the program, only without the clean stop.
    (void)SetConsoleCtrlHandler(ConsoleRoutine, 1);
}

StopSignals::~StopSignals() {
    (void)SetConsoleCtrlHandler(ConsoleRoutine, 0);
    g_Released = true;
}

#else

StopSignals::StopSignals() {
    g_StopCode = 0;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // The worker's reads and writes carry on until the stop routine ends them.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        g_Taken[i] = sigaction(kSignals[i], nullptr, &g_Previous[i]) == 0 &&
                     g_Previous[i].sa_handler != SIG_IGN &&
                     sigaction(kSignals[i], &action, nullptr) == 0;
    }
}

StopSignals::~StopSignals() {
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        if (g_Taken[i]) {
            (void)sigaction(kSignals[i], &g_Previous[i], nullptr);
        }
    }
}

#endif

bool StopSignals::Requested() const {
    return g_StopCode.load() != 0;
}

int StopSignals::ExitCode(int runResult) const {
    const int stopCode = g_StopCode.load();
    return runResult == kExitInterrupted && stopCode != 0 ? stopCode : runResult;
}

}  // namespace zevrin::cli

#include "cli/StopSignals.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "cli/ExitCodes.h"

#if defined(_WIN32)
#include <chrono>
#include <thread>

#include "cli/ChildProcess.h"
#include "cli/ConsoleOutput.h"
#else
#include <signal.h>
#include <time.h>

#include <iterator>
#endif

namespace zevrin::cli {

namespace {

// The first request: its exit code in the low half, in the high half the process that sent it (0:
// the terminal, the kernel, a console event). 0 until one comes. Lock-free, so a signal handler
// may touch it, and one word, so a request racing the first on another thread reads both at once.
std::atomic<uint64_t> g_First{0};
// When the first came, in nanoseconds of a monotonic clock; 0 while it is still being recorded.
std::atomic<int64_t> g_FirstAt{0};
std::atomic<int> g_Held{0};
std::atomic<bool> g_Again{false};
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);

constexpr int64_t kEchoWindow = 1'000'000'000;  // ns

int64_t Now() {
#if defined(_WIN32)
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#else
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe, unlike std::chrono
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
#endif
}

void Request(int exitCode, uint32_t sender) {
    const int64_t now = Now();
    const uint64_t request =
        (static_cast<uint64_t>(sender) << 32) | static_cast<uint32_t>(exitCode);
    uint64_t first = 0;
    if (g_First.compare_exchange_strong(first, request)) {
        g_FirstAt.store(now);
        return;
    }
    if (sender != 0 && first == request) {
        const int64_t firstAt = g_FirstAt.load();
        if (firstAt == 0 || now - firstAt < kEchoWindow) {
            return;  // the same sender's signal to the group; 0: the first is being recorded now
        }
    }
    if (g_Held.load() > 0) {
        g_Again = true;
        return;
    }
#if defined(_WIN32)
    RestoreConsoleModes();  // on the control handler's thread, not in a signal handler
#endif
    std::_Exit(exitCode);  // the second request: the user will not wait for the clean stop
}

#if defined(_WIN32)

// kernel32, declared by hand: outside hid/win32 and app/win32 nothing includes <windows.h>
// (BOOL is int, DWORD unsigned long).
extern "C" __declspec(dllimport) int __stdcall SetConsoleCtrlHandler(
    int(__stdcall* routine)(unsigned long), int add);

constexpr unsigned long kCtrlC = 0;
constexpr unsigned long kCtrlBreak = 1;
constexpr unsigned long kCtrlClose = 2;
// Windows ends a process about 5 s after its console closed; the clean stop needs far less.
constexpr auto kCloseWait = std::chrono::seconds(4);

std::atomic<bool> g_Released{false};

int __stdcall ConsoleRoutine(unsigned long event) {
    return OnConsoleEvent(event) ? 1 : 0;
}

void RequestFromParent(int exitCode) {
    Request(exitCode, 0);
}

#else

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_Previous[std::size(kSignals)];
bool g_Taken[std::size(kSignals)];

extern "C" void OnStopSignal(int signal, siginfo_t* info, void*) {
    // si_code 0 or below: sent by a process (kill, tgkill, sigqueue, a parent's death signal),
    // which si_pid names; above: the terminal's Ctrl-C or the kernel, which nothing names.
    const bool sent = info != nullptr && info->si_code <= 0 && info->si_pid > 0;
    Request(ExitCodeOfSignal(signal), sent ? static_cast<uint32_t>(info->si_pid) : 0);
}

#endif

}  // namespace

#if defined(_WIN32)

bool OnConsoleEvent(unsigned long event) {
    if (event == kCtrlC || event == kCtrlBreak) {
        Request(kExitInterrupted, 0);
        return true;
    }
    if (event != kCtrlClose) {
        return false;  // log-off and shut-down: the system's own handling
    }
    Request(kExitHangup, 0);  // as SIGHUP reports it: the terminal went away
    // The process normally ends here, with the run's exit code, while this waits.
    const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
    while (!g_Released.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

StopSignals::StopSignals() {
    g_First = 0;
    g_FirstAt = 0;
    g_Again = false;
    g_Released = false;
    // Without it Ctrl-C still ends the program, only without the clean stop.
    (void)SetConsoleCtrlHandler(ConsoleRoutine, 1);
    ListenToParent(RequestFromParent);
}

StopSignals::~StopSignals() {
    (void)SetConsoleCtrlHandler(ConsoleRoutine, 0);
    g_Released = true;
}

#else

StopSignals::StopSignals() {
    g_First = 0;
    g_FirstAt = 0;
    g_Again = false;
    struct sigaction action {};
    action.sa_sigaction = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // The worker's reads and writes carry on until the stop routine ends them.
    action.sa_flags = SA_RESTART | SA_SIGINFO;
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
    return g_First.load() != 0;
}

bool StopSignals::RequestedAgain() const {
    return g_Again.load();
}

int StopSignals::ExitCode(int runResult) const {
    const int stopCode = static_cast<int>(g_First.load() & 0xFFFFFFFFu);
    return runResult == kExitInterrupted && stopCode != 0 ? stopCode : runResult;
}

SecondRequestHeld::SecondRequestHeld() {
    ++g_Held;
}

SecondRequestHeld::~SecondRequestHeld() {
    --g_Held;
}

}  // namespace zevrin::cli

// How zevrin-flash is asked to stop from outside: SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break and closing the console window on Windows, and there for a child of --all or
// --repeat its parent's stop line (see ListenToParent). The first request stops the run through
// the same routine as the window's close button, so the gamepad is never left mid-report; a second
// one ends the process at once, for a user who will not wait for that, unless a supervisor of
// children holds it (SecondRequestHeld).
//
// The same signal from the same process within a second of the first is its echo, not a second
// request: `timeout`, systemd and a shell ending a job signal the process and then its group.
#pragma once

namespace zevrin::cli {

class StopSignals {
  public:
    // Takes the requests over for as long as it lives; one at a time. A signal that was ignored
    // when the program started stays ignored, so `nohup zevrin-flash ...` outlives its terminal.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // A stop was asked for.
    bool Requested() const;
    // A second request came while a SecondRequestHeld lived: what was stopping must end at once.
    bool RequestedAgain() const;
    // `runResult`, unless the run ended interrupted: then what interrupted it first, as shells
    // report a program a signal ended (cli/ExitCodes.h).
    int ExitCode(int runResult) const;
};

// While one lives, a second stop request no longer ends the process at once: RequestedAgain says
// it came, and the parent supervising its children ends them at once itself, waits briefly for
// them and reports what became of each. Nests; any thread.
class SecondRequestHeld {
  public:
    SecondRequestHeld();
    ~SecondRequestHeld();
    SecondRequestHeld(const SecondRequestHeld&) = delete;
    SecondRequestHeld& operator=(const SecondRequestHeld&) = delete;
};

#if defined(_WIN32)
// The console control handler's work for `event` (0 Ctrl-C, 1 Ctrl-Break, 2 console closed): true
// when taken. The system ends the process as soon as the handler of a close returns, so that one
// returns only once the StopSignals is gone or after a few seconds.
bool OnConsoleEvent(unsigned long event);
#endif

}  // namespace zevrin::cli

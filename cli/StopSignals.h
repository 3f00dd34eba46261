// How zevrin-flash is asked to stop from outside: SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break and closing the console window on Windows. The first request stops the run through
// the same routine as the window's close button, so the gamepad is never left mid-report; a second
// one ends the process at once, for a user who will not wait for that.
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
    // `runResult`, unless the run ended interrupted: then what interrupted it, as shells report a
    // program a signal ended (128 + its number: 130 SIGINT, 143 SIGTERM, 129 SIGHUP).
    int ExitCode(int runResult) const;
};

#if defined(_WIN32)
// The console control handler's work for `event` (0 Ctrl-C, 1 Ctrl-Break, 2 console closed): true
// when taken. The system ends the process as soon as the handler of a close returns, so that one
// returns only once the StopSignals is gone or after a few seconds.
bool OnConsoleEvent(unsigned long event);
#endif

}  // namespace zevrin::cli

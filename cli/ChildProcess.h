// The runs of zevrin-flash that --all and --repeat start, one per gamepad. The program starts
// itself again as a child process with --device PATH --json, so a fault of one gamepad (a crash, a
// driver call that never returns) cannot disturb another's transfer, and the engine's
// process-wide state is never shared between two gamepads. Tests put a run on a thread instead.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zevrin::cli {

class ChildRun {
  public:
    // Waits for the run to end if nobody has: a child is never left running unwatched.
    virtual ~ChildRun() = default;
    // The next line the run wrote, standard output and standard error as they came, without its
    // end; nothing once it has closed both.
    virtual std::optional<std::string> ReadLine() = 0;
    // Waits for the run to end and gives its exit code.
    virtual int Wait() = 0;
    // Asks the run to stop the way a first Ctrl-C does; does not wait for it.
    virtual void Stop() = 0;
    // Ends the run at once, wherever it is; does not wait for it.
    virtual void HardStop() = 0;
};

// Starts a run with `args` (after the program name). Null, with `error` saying why, when it could
// not be started.
using ChildLauncher = std::function<std::unique_ptr<ChildRun>(const std::vector<std::string>& args,
                                                              std::string& error)>;

// This program itself: /proc/self/exe on Linux, the module's own path on Windows; what the child
// writes comes back through one pipe. A child never outlives its parent: on Linux the parent's
// death sends it SIGTERM, its clean stop; on Windows it runs in a job that ends with the parent.
// A stop request at the terminal or the console reaches the parent alone, which stops each child
// once: on Linux a child has a process group of its own and SIGTERM is its stop, on Windows it has
// no console and its standard input is the parent's stop line (ListenToParent); on Linux its
// standard input is the null device.
ChildLauncher ProcessLauncher();

#if defined(_WIN32)
// The child's side of the stop line, for the StopSignals of a run that ProcessLauncher started:
// each byte from the parent asks to stop as a Ctrl-C does, the end of the line (the parent gone) as
// a closed console does; `request` takes the exit code of each. Does nothing in any other process.
void ListenToParent(void (*request)(int exitCode));
#endif

// A line longer than this is handed on in pieces: a child cannot make its parent hold unbounded
// text.
inline constexpr size_t kMaxChildLine = 64 * 1024;

// What a child writes into its pipe, cut into lines as it comes.
class PipeLines {
  public:
    // Fills up to `size` bytes of `buffer` and says how many; 0 once the pipe has ended.
    using Read = std::function<size_t(char* buffer, size_t size)>;

    // The next line without its end (CR LF or LF), or a piece of kMaxChildLine bytes; nothing once
    // the pipe has ended and everything before has been handed on.
    std::optional<std::string> Next(const Read& read);

  private:
    std::string m_Buffer;
    bool m_Ended = false;
};

}  // namespace zevrin::cli

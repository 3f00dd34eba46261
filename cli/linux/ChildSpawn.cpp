// Children on Linux: fork and exec of /proc/self/exe, which names this very program even when its
// file has since been replaced or removed (a package upgrade during a run). Between the two the
// child arranges to die with its parent, which posix_spawn has no attribute for.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "cli/ChildProcess.h"
#include "cli/ExitCodes.h"
#include "cli/Workbench.h"

extern char** environ;

namespace zevrin::cli {

namespace {

class SpawnedRun final : public ChildRun {
  public:
    SpawnedRun(pid_t pid, int output) : m_Pid(pid), m_Output(output) {}
    ~SpawnedRun() override {
        close(m_Output);
        (void)Wait();
    }
    SpawnedRun(const SpawnedRun&) = delete;
    SpawnedRun& operator=(const SpawnedRun&) = delete;

    std::optional<std::string> ReadLine() override {
        return m_Lines.Next([this](char* buffer, size_t size) -> size_t {
            for (;;) {
                const ssize_t got = read(m_Output, buffer, size);
                if (got >= 0 || errno != EINTR) {
                    return got > 0 ? static_cast<size_t>(got) : 0;
                }
            }
        });
    }

    int Wait() override {
        // Waited for without reaping first: until it is reaped its pid names no other process,
        // so a Stop from another thread never signals a stranger.
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(m_Pid), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        std::lock_guard lock(m_Mutex);
        if (!m_Code) {
            int status = 0;
            pid_t ended = -1;
            do {
                ended = waitpid(m_Pid, &status, 0);
            } while (ended < 0 && errno == EINTR);
            // As a shell reports it: 128 + the signal that ended it.
            m_Code = ended != m_Pid        ? 1
                     : WIFEXITED(status)   ? WEXITSTATUS(status)
                     : WIFSIGNALED(status) ? ExitCodeOfSignal(WTERMSIG(status))
                                           : 1;
        }
        return *m_Code;
    }

    void Stop() override { Signal(SIGTERM); }
    void HardStop() override { Signal(SIGKILL); }

  private:
    void Signal(int signal) {
        std::lock_guard lock(m_Mutex);
        if (!m_Code) {
            (void)kill(m_Pid, signal);
        }
    }

    const pid_t m_Pid;
    const int m_Output;
    PipeLines m_Lines;
    std::mutex m_Mutex;  // Wait and Stop run on different threads
    std::optional<int> m_Code;
};

// In the child between fork and exec: system calls only (the parent has other threads, whose
// locks the child inherits held). Reports a failure as its errno through `failure`.
[[noreturn]] void BecomeChild(pid_t parent, int output, int failure, char* const* argv,
                              const sigset_t& unblocked) {
    // A process group of its own: Ctrl-C at the terminal reaches the parent alone, which stops
    // each child exactly once. Two signals would end a child at once, not cleanly.
    (void)setpgid(0, 0);
    // The parent's stop request arrives as SIGTERM, even where the parent's own is ignored.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    (void)sigaction(SIGTERM, &defaults, nullptr);
    // Dying with the parent: SIGTERM rather than SIGKILL, so the child still stops the way the
    // parent would have stopped it, between two reports, and says so. It is sent when the thread
    // that forked ends: children are started on the thread that supervises them to their end.
    // Checked again once set, in case the parent died before.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) {
        _exit(kExitTerminated);
    }
    const int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) {
        const int error = errno;
        (void)!write(failure, &error, sizeof error);
        _exit(127);
    }
    (void)pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    execve("/proc/self/exe", argv, environ);
    const int error = errno;
    (void)!write(failure, &error, sizeof error);
    _exit(127);
}

// The errno the child's failed exec wrote, or 0 once its exec closed the pipe.
int ExecErrorOf(int failureRead) {
    int execError = 0;
    ssize_t got = 0;
    while ((got = read(failureRead, &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    return got == sizeof execError ? execError : 0;
}

std::unique_ptr<ChildRun> Spawn(const std::vector<std::string>& args, std::string& error) {
    int fds[2];
    // Close-on-exec for both ends: a sibling started later must not hold this child's pipe open.
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe2: ") + std::strerror(errno);
        return nullptr;
    }
    // The child's failure to exec, as its errno; closed by a successful exec.
    int failure[2];
    if (pipe2(failure, O_CLOEXEC) != 0) {
        error = std::string("pipe2: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    std::vector<std::string> argv = {"zevrin-flash"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) {
        pointers.push_back(a.data());
    }
    pointers.push_back(nullptr);

    // No signal handler of the parent's may run in the child before exec: blocked across the
    // fork, and unblocked in the child only once its dispositions are the program's defaults.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    (void)pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        BecomeChild(parent, fds[1], failure[1], pointers.data(), none);
    }
    const int forkError = errno;
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(fds[1]);
    close(failure[1]);
    const int execError = pid > 0 ? ExecErrorOf(failure[0]) : 0;
    close(failure[0]);
    if (pid < 0 || execError != 0) {
        close(fds[0]);
        if (pid > 0) {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        error = std::string(pid < 0 ? "fork: " : "exec /proc/self/exe: ") +
                std::strerror(pid < 0 ? forkError : execError);
        return nullptr;
    }
    return std::make_unique<SpawnedRun>(pid, fds[0]);
}

}  // namespace

ChildLauncher ProcessLauncher() {
    return Spawn;
}

bool TerminalMovesCursor() {
    return true;  // every terminal emulator a Linux user meets speaks VT100
}

}  // namespace zevrin::cli

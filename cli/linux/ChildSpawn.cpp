// Children on Linux: posix_spawn of /proc/self/exe, which names this very program even when its
// file has since been replaced or removed (a package upgrade during a run).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "cli/ChildProcess.h"
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
                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                           : 1;
        }
        return *m_Code;
    }

    void Stop() override {
        std::lock_guard lock(m_Mutex);
        if (!m_Code) {
            (void)kill(m_Pid, SIGTERM);
        }
    }

  private:
    const pid_t m_Pid;
    const int m_Output;
    PipeLines m_Lines;
    std::mutex m_Mutex;  // Wait and Stop run on different threads
    std::optional<int> m_Code;
};

std::unique_ptr<ChildRun> Spawn(const std::vector<std::string>& args, std::string& error) {
    int fds[2];
    // Close-on-exec for both ends: a sibling started later must not hold this child's pipe open.
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe2: ") + std::strerror(errno);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A process group of its own: Ctrl-C at the terminal reaches the parent alone, which stops
    // each child exactly once. Two signals would end a child at once, not cleanly.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    // The parent's stop request arrives as SIGTERM, even where the parent's own is ignored.
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv = {"zevrin-flash"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) {
        pointers.push_back(a.data());
    }
    pointers.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, &attr, pointers.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        error = std::string("posix_spawn /proc/self/exe: ") + std::strerror(rc);
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

// The built programs themselves, as a user or a script runs them: what main() wires (the real
// streams, Ctrl-C, --simulate, exit codes) is only proven by running the executables.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CliTestSupport.h"
#include "update/FirmwareImage.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;
using zevrin::cli::test::Contains;
using zevrin::cli::test::Json;
using zevrin::cli::test::JsonLines;
using zevrin::cli::test::WithoutSeconds;
using zevrin::test::TempDir;

namespace {

#if defined(_WIN32)

TEST(BinaryTest, RunsOnLinuxOnly) {
    GTEST_SKIP() << "spawning the programs is tested on Linux; under Wine CTest runs "
                    "zevrin-flash.exe directly (cli_exe_* tests)";
}

#else

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Where a program's standard streams go: input from a file, output into files of the scratch
// folder, unless a descriptor is given (an end of a pipe the test holds).
struct Streams {
    std::string inPath = "/dev/null";
    int in = -1;
    int out = -1;
    int err = -1;
    bool ownGroup = false;  // a process group of its own, as a shell starts a job
};

// Both ends close on exec: a program gets only the end it is handed, so a reader the test closes
// is really gone.
class Pipe {
  public:
    Pipe() { EXPECT_EQ(pipe2(m_Fds, O_CLOEXEC), 0); }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int Read() const { return m_Fds[0]; }
    int Write() const { return m_Fds[1]; }
    void CloseRead() { Close(m_Fds[0]); }
    void CloseWrite() { Close(m_Fds[1]); }

  private:
    static void Close(int& fd) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    int m_Fds[2] = {-1, -1};
};

class Process {
  public:
    Process(const TempDir& dir, const std::vector<std::string>& argv, const Streams& s = {})
        : m_Dir(dir), m_OutToFile(s.out < 0), m_ErrToFile(s.err < 0) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (s.in >= 0) {
            posix_spawn_file_actions_adddup2(&actions, s.in, 0);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, s.inPath.c_str(), O_RDONLY, 0);
        }
        if (m_OutToFile) {
            posix_spawn_file_actions_addopen(&actions, 1, OutPath().c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        } else {
            posix_spawn_file_actions_adddup2(&actions, s.out, 1);
        }
        if (m_ErrToFile) {
            posix_spawn_file_actions_addopen(&actions, 2, ErrPath().c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        } else {
            posix_spawn_file_actions_adddup2(&actions, s.err, 2);
        }
        // As from a terminal, whatever the runner of the suite ignores or blocks.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            sigaddset(&defaults, signal);
        }
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                            (s.ownGroup ? POSIX_SPAWN_SETPGROUP : 0));
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        m_Spawned = posix_spawn(&m_Pid, args[0], &actions, &attr, args.data(), environ) == 0;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (m_Spawned && !m_Reaped) {
            kill(m_Pid, SIGKILL);
            Wait();
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Spawned() const { return m_Spawned; }
    pid_t Pid() const { return m_Pid; }
    void Signal(int signal) const { kill(m_Pid, signal); }
    std::string OutSoFar() const { return ReadAll(OutPath()); }
    // Whether standard output showed `text` within `limit`.
    bool Shows(const std::string& text, std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!Contains(OutSoFar(), text) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return Contains(OutSoFar(), text);
    }

    // A program that has not ended within `limit` is killed: the suite fails instead of hanging.
    Result Wait(std::chrono::milliseconds limit = 10s) {
        Result r;
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_Spawned && !m_Reaped) {
            const pid_t ended = waitpid(m_Pid, &status, WNOHANG);
            if (ended == m_Pid) {
                m_Reaped = true;
                r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (ended != 0) {
                break;
            } else if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "still running after " << limit.count() << " ms; killed";
                kill(m_Pid, SIGKILL);
                deadline = std::chrono::steady_clock::time_point::max();
            } else {
                std::this_thread::sleep_for(2ms);
            }
        }
        r.out = m_OutToFile ? ReadAll(OutPath()) : std::string();
        r.err = m_ErrToFile ? ReadAll(ErrPath()) : std::string();
        return r;
    }

  private:
    std::filesystem::path OutPath() const { return m_Dir.Path() / "stdout"; }
    std::filesystem::path ErrPath() const { return m_Dir.Path() / "stderr"; }

    const TempDir& m_Dir;
    const bool m_OutToFile;
    const bool m_ErrToFile;
    pid_t m_Pid = 0;
    bool m_Spawned = false;
    bool m_Reaped = false;
};

Result RunProgram(const TempDir& dir, const std::vector<std::string>& argv,
                  const Streams& streams = {}) {
    Process p(dir, argv, streams);
    EXPECT_TRUE(p.Spawned()) << argv[0];
    return p.Wait();
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string MakeImage(const TempDir& dir, const std::string& name, int size) {
    const std::string path = (dir.Path() / name).string();
    EXPECT_EQ(
        RunProgram(dir, {ZEVRIN_MAKE_IMAGE_EXE, "--size", std::to_string(size), path}).exitCode, 0);
    return path;
}

TEST(BinaryTest, MakeImageWritesAnImageTheUpdaterAccepts) {
    TempDir dir;
    const std::string path = (dir.Path() / "s.dat").string();
    const Result r = RunProgram(dir, {ZEVRIN_MAKE_IMAGE_EXE, "--version", "1.2", "--beta", "2",
                                      "--param", "0x11223344", "--size", "1000", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const ImageCheck check = InspectImage(path);
    EXPECT_EQ(check.problem, ImageProblem::None);
    EXPECT_EQ(check.header.desVersion, (2u << 16) | 120);
    EXPECT_EQ(check.header.imageParam, 0x11223344u);
    EXPECT_EQ(check.header.imageLength, 1000u);
    EXPECT_EQ(check.dataBytes, 1000u);
    const std::string bytes = ReadAll(path);
    EXPECT_EQ(bytes.substr(12, 16), std::string(16, '\0'));
    // Not a constant fill: a dropped or repeated chunk must change what the device assembles.
    EXPECT_NE(bytes.substr(28, 32), bytes.substr(60, 32));

    // The same arguments give the same file.
    const std::string again = (dir.Path() / "again.dat").string();
    ASSERT_EQ(RunProgram(dir, {ZEVRIN_MAKE_IMAGE_EXE, "--version", "1.2", "--beta", "2", "--param",
                               "0x11223344", "--size", "1000", again})
                  .exitCode,
              0);
    EXPECT_EQ(ReadAll(again), bytes);
}

TEST(BinaryTest, MakeImageCanDeclareALengthTheDataDoesNotHave) {
    TempDir dir;
    const std::string path = (dir.Path() / "t.dat").string();
    ASSERT_EQ(
        RunProgram(dir, {ZEVRIN_MAKE_IMAGE_EXE, "--size", "64", "--declare", "65", path}).exitCode,
        0);
    EXPECT_EQ(InspectImage(path).problem, ImageProblem::Truncated);
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string> >{{"--version", "1.234", path},
                                                {"--version", "656", path},
                                                {"--size", "-1", path},
                                                {"--beta", "65536", path},
                                                {"--size", "10"},
                                                {"--bogus", path}}) {
        std::vector<std::string> argv = {ZEVRIN_MAKE_IMAGE_EXE};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunProgram(dir, argv).exitCode, 2) << ::testing::PrintToString(bad);
    }
    for (const char* help : {"--help", "-h"}) {
        const Result asked = RunProgram(dir, {ZEVRIN_MAKE_IMAGE_EXE, help});
        EXPECT_EQ(asked.exitCode, 0) << help;
        EXPECT_EQ(asked.out.rfind("Usage: zevrin-make-image ", 0), 0u) << asked.out;
        EXPECT_EQ(asked.err, "");
    }
}

TEST(BinaryTest, SimulatedUpdateThroughTheProgram) {
    TempDir dir;
    const std::string path = MakeImage(dir, "fw.dat", 4096);
    const Result r = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate", "update", "--yes", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "New firmware 1.20 and current is 1.10\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Progress: 100% (4096 of 4096 bytes)\nFirmware upgraded!\n"))
        << r.out;
    EXPECT_EQ(r.err, "");

    // The answer is one line of standard input, read no further than a short answer needs.
    const std::vector<std::pair<std::string, int> > inputs = {
        {"/dev/null", 5},  // no answer is a no
        {"/dev/zero", 5},  // a line without an end
        {dir.File("upper", Bytes("YES \n")), 0},
        {dir.File("more", Bytes("yess\n")), 5},
        {dir.File("overlong", Bytes("yes" + std::string(300, ' ') + "\n")), 5},
    };
    for (const auto& [input, expected] : inputs) {
        SCOPED_TRACE(input);
        Streams streams;
        streams.inPath = input;
        const auto start = std::chrono::steady_clock::now();
        const Result asked =
            RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate", "update", path}, streams);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_EQ(asked.exitCode, expected) << asked.out << asked.err;
    }
}

TEST(BinaryTest, ExitCodesOfTheProgram) {
    TempDir dir;
    EXPECT_EQ(RunProgram(dir, {ZEVRIN_FLASH_EXE, "update"}).exitCode, 2);
    EXPECT_EQ(RunProgram(dir, {ZEVRIN_FLASH_EXE}).exitCode, 2);
    const Result version = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "zevrin-flash 1.20.0\n");
    const Result info =
        RunProgram(dir, {ZEVRIN_FLASH_EXE, "info", (dir.Path() / "missing.dat").string()});
    EXPECT_EQ(info.exitCode, 4);
    EXPECT_TRUE(Contains(info.err, "no such file"));

    // A command line that does not parse still gives a --json reader its result line.
    const Result usage = RunProgram(
        dir, {ZEVRIN_FLASH_EXE, "--json", "update", "f.dat", "--yes", "--sha256", "not-hex"});
    EXPECT_EQ(usage.exitCode, 2);
    const auto lines = JsonLines(usage.out);
    ASSERT_EQ(lines.size(), 1u) << usage.out;
    EXPECT_EQ(WithoutSeconds(lines[0]),
              zevrin::cli::test::Result(2, "usage", "--sha256 wants 64 hex digits, not 'not-hex'",
                                        nullptr));
    EXPECT_TRUE(Contains(usage.err, "--sha256 wants 64 hex digits")) << usage.err;
    const Result arrive = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate-arrive=soon", "list"});
    EXPECT_EQ(arrive.exitCode, 2);
    EXPECT_TRUE(Contains(arrive.err, "--simulate-arrive wants seconds")) << arrive.err;

    // What the command exists to print, lost on a full device: a failure, the system's words why.
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    Streams toFull;
    toFull.out = full;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--simulate", "list"},
          {"--simulate", "version"},
          {"--json", "info", (dir.Path() / "missing.dat").string()},
          {"--help"}}) {
        std::vector<std::string> argv = {ZEVRIN_FLASH_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result lost = RunProgram(dir, argv, toFull);
        EXPECT_NE(lost.exitCode, 0) << args.back();
        EXPECT_EQ(lost.exitCode == 6, args.back() != (dir.Path() / "missing.dat").string());
        EXPECT_TRUE(Contains(lost.err, "cannot write the output: No space left on device"))
            << lost.err;
    }
    close(full);
}

// What a program running zevrin-flash --json reads: JSON lines only on standard output, the
// digest 'info' gives is the one 'update --sha256' takes, and the exit code and the result agree.
TEST(BinaryTest, JsonThroughTheProgram) {
    TempDir dir;
    const std::string path = MakeImage(dir, "fw.dat", 4096);
    const Result info = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--json", "info", path});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    const std::string digest = JsonLines(info.out).front().value("sha256", "");
    ASSERT_EQ(digest.size(), 64u) << info.out;
    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });

    const Result r = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate", "--json", "update", "--yes",
                                      "--sha256", upper, path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto lines = JsonLines(r.out);
    ASSERT_GE(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines.front()["event"], "start");
    EXPECT_EQ(lines.front()["device"], "sim:gamepad");
    EXPECT_EQ(lines[lines.size() - 2], Json({{"event", "progress"},
                                             {"schema", 1},
                                             {"device", "sim:gamepad"},
                                             {"sent", 4096},
                                             {"total", 4096}}));
    EXPECT_EQ(WithoutSeconds(lines.back()),
              zevrin::cli::test::Result(0, "ok", nullptr, "sim:gamepad"));
}

// SIGINT, SIGTERM and SIGHUP at the prompt and mid-transfer: the clean stop, then 128 + the
// signal's number, each within 2 s of the start.
TEST(BinaryTest, StopSignalsEndTheProgramCleanly) {
    TempDir dir;
    // About 2.4 s at the simulated gamepad's pace: a signal at its first tenth lands mid-transfer.
    const std::string path = MakeImage(dir, "fw.dat", 65536);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const bool atThePrompt : {true, false}) {
            SCOPED_TRACE(std::string(strsignal(signal)) + (atThePrompt ? " at the prompt" : ""));
            Pipe input;  // held open: the answer never comes
            Streams streams;
            streams.in = input.Read();
            std::vector<std::string> argv = {ZEVRIN_FLASH_EXE, "--simulate", "update", path};
            if (!atThePrompt) {
                argv.emplace_back("--yes");
            }
            const auto start = std::chrono::steady_clock::now();
            Process p(dir, argv, streams);
            ASSERT_TRUE(p.Spawned());
            ASSERT_TRUE(p.Shows(atThePrompt ? "[y/N] " : "Progress: 10%", 2s));
            p.Signal(signal);
            const Result r = p.Wait();
            EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
            EXPECT_EQ(r.exitCode, 128 + signal);
            EXPECT_TRUE(Contains(r.err, atThePrompt ? "Update interrupted. No image data was sent."
                                                    : "Update interrupted. The gamepad did not "
                                                      "receive the whole image"))
                << r.err;
            EXPECT_FALSE(Contains(r.out, "Firmware upgraded!"));
        }
    }

    // A second signal does not wait for the clean stop. The two may be taken on two threads at
    // once, so either may be the second.
    {
        Process p(dir, {ZEVRIN_FLASH_EXE, "--simulate", "update", "--yes", path});
        ASSERT_TRUE(p.Shows("Progress: 10%", 2s));
        p.Signal(SIGINT);
        p.Signal(SIGTERM);
        const Result r = p.Wait();
        EXPECT_TRUE(r.exitCode == 130 || r.exitCode == 143) << r.exitCode;
        EXPECT_FALSE(Contains(r.err, "Update interrupted")) << "it waited for the clean stop";
    }

    // With --json the result line names the signal, as main() counts it in.
    {
        Process p(dir, {ZEVRIN_FLASH_EXE, "--simulate", "--json", "update", "--yes", path});
        ASSERT_TRUE(p.Shows("\"event\":\"progress\"", 2s));
        p.Signal(SIGTERM);
        const Result r = p.Wait();
        EXPECT_EQ(r.exitCode, 143);
        const auto lines = JsonLines(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back()["exitCode"], 143);
        EXPECT_EQ(lines.back()["meaning"], "terminated (SIGTERM)");
    }

    // Under nohup the terminal going away is no reason to stop.
    {
        const std::string small = MakeImage(dir, "small.dat", 16384);
        const auto start = std::chrono::steady_clock::now();
        Process p(dir,
                  {"/usr/bin/nohup", ZEVRIN_FLASH_EXE, "--simulate", "update", "--yes", small});
        ASSERT_TRUE(p.Shows("Progress: 10%", 2s));
        p.Signal(SIGHUP);
        const Result r = p.Wait();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "Firmware upgraded!"));
    }
}

// --all through the program: every gamepad in a child process of its own, all at the same time.
TEST(BinaryTest, AllRunsEachGamepadInAProcessOfItsOwn) {
    TempDir dir;
    // About 2.4 s each at the simulated gamepad's pace.
    const std::string path = MakeImage(dir, "fw.dat", 65536);
    const Result r =
        RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate=3", "--all", "update", "--yes", path});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const char* pad : {"sim:gamepad ", "sim:gamepad2 ", "sim:gamepad3 "}) {
        EXPECT_TRUE(Contains(r.out, std::string("\n") + pad)) << r.out;
    }
    EXPECT_TRUE(Contains(r.out, "3 of 3 updated.\n")) << r.out;
    // Side by side: the last had got going before the first was through.
    EXPECT_LT(r.out.find("sim:gamepad3: 10%"), r.out.find("sim:gamepad: 100%")) << r.out;
    // The versions, asked through children too, before the one question.
    EXPECT_TRUE(Contains(r.out, "\nsim:gamepad2  1.10 -> 1.20\nsim:gamepad3  1.10 -> 1.20\nNew "))
        << r.out;

    // Each child gets the simulated fault: every gamepad is unplugged after 2 chunks.
    const Result unplugged = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate=2", "--all", "update",
                                              "--yes", "--simulate-fault=unplug@2", path});
    EXPECT_EQ(unplugged.exitCode, 1) << unplugged.out;
    EXPECT_TRUE(Contains(unplugged.out, "0 of 2 updated.\n")) << unplugged.out;
}

// The processes whose parent is `parent`.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // pid (comm) state ppid ...: the name may hold blanks and parentheses, not after its end.
        const std::string stat = ReadAll(entry.path() / "stat");
        const size_t end = stat.rfind(')');
        std::istringstream fields(end == std::string::npos ? "" : stat.substr(end + 1));
        std::string state;
        pid_t ppid = 0;
        if (fields >> state >> ppid && ppid == parent) {
            children.push_back(std::stoi(name));
        }
    }
    return children;
}

// Whether `signal` waits to be taken by the process `pid`.
bool Pending(pid_t pid, int signal) {
    std::istringstream status(ReadAll("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("ShdPnd:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
        }
    }
    return false;
}

// How a run of --all is stopped from outside.
enum class AllStop {
    OneSignal,
    // `timeout`, systemd or a shell ending a job: the process, then its group, at once.
    SignalThenItsGroup,
    // The children are frozen, so only being ended at once ends them.
    SecondSignal,
    ParentKilled,
};

struct AllStopCase {
    const char* name;
    AllStop stop;
    int exitCode;
    const char* rowsSay;  // after "failed: " in each gamepad's row; null: no table comes
};

void PrintTo(const AllStopCase& c, std::ostream* os) {
    *os << c.name;
}

class AllStopTest : public ::testing::TestWithParam<AllStopCase> {};

// Whatever stops it, no child of --all outlives the run: each stops cleanly on a stop request,
// at once on a second one, and on its own when the parent is killed; the table says which.
TEST_P(AllStopTest, NoChildOutlivesTheRun) {
    const AllStopCase& k = GetParam();
    TempDir dir;
    // About 2.4 s at the simulated gamepad's pace: long enough for the children to outlive a
    // parent that did not wait for them.
    const std::string path = MakeImage(dir, "fw.dat", 65536);
    Streams streams;
    streams.ownGroup = k.stop == AllStop::SignalThenItsGroup;
    Process p(dir, {ZEVRIN_FLASH_EXE, "--simulate=2", "--all", "update", "--yes", path}, streams);
    ASSERT_TRUE(p.Shows("sim:gamepad2: 10%", 5s)) << p.OutSoFar();
    const std::vector<pid_t> children = ChildrenOf(p.Pid());
    ASSERT_EQ(children.size(), 2u);
    if (k.stop == AllStop::ParentKilled) {
        // The orphans come to this process instead of init, which tells how each ended.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
    auto signalled = std::chrono::steady_clock::now();
    switch (k.stop) {
        case AllStop::OneSignal:
            p.Signal(SIGINT);
            break;
        case AllStop::SignalThenItsGroup:
            p.Signal(SIGTERM);
            // Once the first has been taken, so the two are not merged into one, as under load,
            // and long before the clean stop is through.
            while (Pending(p.Pid(), SIGTERM) && std::chrono::steady_clock::now() - signalled < 1s) {
                std::this_thread::yield();
            }
            kill(-p.Pid(), SIGTERM);
            break;
        case AllStop::SecondSignal:
            for (const pid_t child : children) {
                kill(child, SIGSTOP);
            }
            p.Signal(SIGINT);
            std::this_thread::sleep_for(200ms);  // plainly the second, whatever thread takes it
            signalled = std::chrono::steady_clock::now();
            p.Signal(SIGTERM);
            break;
        case AllStop::ParentKilled:
            p.Signal(SIGKILL);
            break;
    }
    const Result r = p.Wait();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
    EXPECT_EQ(r.exitCode, k.exitCode);
    if (k.rowsSay) {
        EXPECT_TRUE(Contains(r.out, "0 of 2 updated.\n")) << r.out;
        for (const std::string pad : {"sim:gamepad ", "sim:gamepad2 "}) {
            const size_t row = r.out.rfind("\n" + pad);  // the table's, below the versions
            const std::string line = row == std::string::npos
                                         ? ""
                                         : r.out.substr(row + 1, r.out.find('\n', row + 1) - row);
            EXPECT_TRUE(Contains(line, std::string(" 1.10  failed: ") + k.rowsSay + "  ")) << r.out;
        }
    }
    for (const pid_t child : children) {
        if (k.stop != AllStop::ParentKilled) {
            EXPECT_NE(kill(child, 0), 0) << "the parent ended before its child " << child;
            continue;
        }
        // Stopped by the death signal the way the parent stops it: SIGTERM, exit code 143.
        int status = 0;
        pid_t ended = 0;
        while ((ended = waitpid(child, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() - signalled < 2s) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(ended, child) << "still running 2 s after its parent was killed";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
        if (ended == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
    }
    (void)prctl(PR_SET_CHILD_SUBREAPER, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, AllStopTest,
    ::testing::Values(AllStopCase{"OneSignal", AllStop::OneSignal, 130, "Update interrupted."},
                      AllStopCase{"SignalThenItsGroup", AllStop::SignalThenItsGroup, 143,
                                  "Update interrupted."},
                      AllStopCase{"SecondSignal", AllStop::SecondSignal, 130,
                                  "Stopped at once: a second stop request."},
                      AllStopCase{"ParentKilled", AllStop::ParentKilled, 128 + SIGKILL, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

// `zevrin-flash ... | head -n 3`: the reader of standard output goes away after three lines, or
// standard error leads nowhere; the update goes on to its end and the exit code is its outcome.
TEST(BinaryTest, ClosedOutputNeitherKillsNorStopsTheUpdate) {
    TempDir dir;
    const std::string path = MakeImage(dir, "fw.dat", 4096);
    {
        Pipe out;
        Streams streams;
        streams.out = out.Write();
        const auto start = std::chrono::steady_clock::now();
        Process p(dir, {ZEVRIN_FLASH_EXE, "--simulate", "update", "--yes", path}, streams);
        ASSERT_TRUE(p.Spawned());
        out.CloseWrite();
        std::string head;
        char c = 0;
        while (std::count(head.begin(), head.end(), '\n') < 3 && read(out.Read(), &c, 1) == 1) {
            head += c;
        }
        EXPECT_TRUE(Contains(head, "Gamepad: sim:gamepad\n")) << head;
        out.CloseRead();
        const Result r = p.Wait();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
    }
    {
        Pipe err;
        err.CloseRead();
        Streams streams;
        streams.err = err.Write();
        const Result r = RunProgram(
            dir, {ZEVRIN_FLASH_EXE, "-v", "--simulate", "update", "--yes", path}, streams);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(Contains(r.out, "Progress: 100% (4096 of 4096 bytes)\nFirmware upgraded!\n"))
            << r.out;
    }
}

#endif

}  // namespace

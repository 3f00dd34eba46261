// The built programs themselves, as a user or a script runs them: what main() wires (the real
// streams, Ctrl-C, --simulate, exit codes) is only proven by running the executables.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliTestSupport.h"
#include "update/FirmwareImage.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;
using zevrin::cli::test::Contains;
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

class Process {
  public:
    Process(const TempDir& dir, const std::vector<std::string>& argv) : m_Dir(dir) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, OutPath().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, ErrPath().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        m_Spawned = posix_spawn(&m_Pid, args[0], &actions, nullptr, args.data(), environ) == 0;
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
    void Interrupt() const { kill(m_Pid, SIGINT); }
    std::string OutSoFar() const { return ReadAll(OutPath()); }

    Result Wait() {
        Result r;
        int status = 0;
        if (m_Spawned && waitpid(m_Pid, &status, 0) == m_Pid) {
            m_Reaped = true;
            r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        r.out = ReadAll(OutPath());
        r.err = ReadAll(ErrPath());
        return r;
    }

  private:
    std::filesystem::path OutPath() const { return m_Dir.Path() / "stdout"; }
    std::filesystem::path ErrPath() const { return m_Dir.Path() / "stderr"; }

    const TempDir& m_Dir;
    pid_t m_Pid = 0;
    bool m_Spawned = false;
    bool m_Reaped = false;
};

Result RunProgram(const TempDir& dir, const std::vector<std::string>& argv) {
    Process p(dir, argv);
    EXPECT_TRUE(p.Spawned()) << argv[0];
    return p.Wait();
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
}

TEST(BinaryTest, SimulatedUpdateThroughTheProgram) {
    TempDir dir;
    const std::string path = (dir.Path() / "fw.dat").string();
    ASSERT_EQ(RunProgram(dir, {ZEVRIN_MAKE_IMAGE_EXE, "--size", "4096", path}).exitCode, 0);
    const Result r = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate", "update", "--yes", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "New firmware 1.20 and current is 1.10\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Progress: 100% (4096 of 4096 bytes)\nFirmware upgraded!\n"))
        << r.out;
    EXPECT_EQ(r.err, "");

    // Standard input is /dev/null here: no answer is a no.
    const Result asked = RunProgram(dir, {ZEVRIN_FLASH_EXE, "--simulate", "update", path});
    EXPECT_EQ(asked.exitCode, 5) << asked.out << asked.err;
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
}

TEST(BinaryTest, CtrlCStopsTheProgramCleanly) {
    TempDir dir;
    const std::string path = (dir.Path() / "big.dat").string();
    // About 9 s at the simulated gamepad's pace: Ctrl-C lands mid-transfer.
    ASSERT_EQ(RunProgram(dir, {ZEVRIN_MAKE_IMAGE_EXE, "--size", "262144", path}).exitCode, 0);
    Process p(dir, {ZEVRIN_FLASH_EXE, "--simulate", "update", "--yes", path});
    ASSERT_TRUE(p.Spawned());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Contains(p.OutSoFar(), "Progress: 10%") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(Contains(p.OutSoFar(), "Progress: 10%")) << "the transfer never got going";
    const auto interruptedAt = std::chrono::steady_clock::now();
    p.Interrupt();
    const Result r = p.Wait();
    EXPECT_LT(std::chrono::steady_clock::now() - interruptedAt, 2s);
    EXPECT_EQ(r.exitCode, 130);
    EXPECT_TRUE(Contains(r.err, "Update interrupted. The gamepad did not receive the whole image"))
        << r.err;
    EXPECT_FALSE(Contains(r.out, "Firmware upgraded!"));
}

#endif

}  // namespace

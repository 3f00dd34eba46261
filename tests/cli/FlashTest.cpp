// zevrin-flash against the simulated gamepad: every outcome must reach the right exit code, the
// user must be told the truth, and what the device recorded must match what was claimed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iterator>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CliTestSupport.h"
#include "cli/Flash.h"
#include "cli/StopSignals.h"
#include "hid/CHid.h"
#include "hid/sim/SimPort.h"
#include "update/Texts.h"
#include "update/UpdateEngine.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#endif

using namespace std::chrono_literals;
using namespace zevrin::cli;
using namespace zevrin::cli::test;
using zevrin::OpenStatus;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::sim::SimPort;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFileVersion = 120;
constexpr size_t kImageBytes = 1000;  // 32 chunks: enough for every fault moment to differ

ParsedArgs Args(Command command, std::string file = {}) {
    ParsedArgs a;
    a.command = command;
    a.file = std::move(file);
    return a;
}

ParsedArgs UpdateYes(const std::string& file) {
    ParsedArgs a = Args(Command::Update, file);
    a.yes = true;
    return a;
}

class FlashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The texts must not follow the machine the suite runs on.
        SetTextSource({[] { return uint16_t{1033}; }, nullptr});
        image = ImageBytes(kFileVersion, kImageBytes, kImageBytes);
        file = dir.File("fw.dat", image);
    }
    void TearDown() override { SetTextSource({}); }

    int AddPad(GamepadBehaviour b = {}) { return port.AddGamepad("pad-a", b); }

    std::vector<uint8_t> ImageData() const {
        return {image.begin() + kFirmwareHeaderSize, image.end()};
    }

    TempDir dir;
    std::vector<uint8_t> image;
    std::string file;
    SimPort port;
};

TEST_F(FlashTest, SuccessSendsTheWholeImageAndSaysSoAfterwards) {
    const int pad = AddPad();
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(UpdateYes(file), c.console, port), kExitOk);

    const auto rec = port.RecordingOf(pad);
    EXPECT_EQ(rec.received, ImageData());
    EXPECT_TRUE(rec.doneAfterWholeImage);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 12, rec.header.begin()));

    const std::string out = c.out.str();
    EXPECT_TRUE(Contains(out, "Gamepad: pad-a\n"));
    EXPECT_TRUE(Contains(out, "New firmware 1.20 and current is 1.10\n"));
    EXPECT_TRUE(Contains(out, "[y/N] y (--yes)\n"));
    // Plain output: one line as each tenth is reached, in order, the last one complete; then
    // the success text.
    std::vector<int> tenths;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Progress: ", 0) == 0) {
            tenths.push_back(std::stoi(line.substr(10)) / 10);
        }
    }
    EXPECT_EQ(tenths, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << out;
    EXPECT_TRUE(Contains(out, "Progress: 100% (1000 of 1000 bytes)\nFirmware upgraded!\n"));
    EXPECT_TRUE(Contains(out, "Sent 1000 bytes in "));
    EXPECT_EQ(out.find('\r'), std::string::npos);  // no bar drawn into a file
    EXPECT_EQ(c.err.str(), "");                    // quiet without -v
}

TEST_F(FlashTest, ConfirmationShowsBothVersionsWithTheirBetas) {
    GamepadBehaviour b;
    b.version = (3u << 16) | 110;
    AddPad(b);
    const std::string beta = dir.File("beta.dat", ImageBytes((2u << 16) | 121, 64, 64));
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(UpdateYes(beta), c.console, port), kExitOk);
    EXPECT_TRUE(Contains(c.out.str(), "New firmware 1.21 beta2 and current is 1.10 beta3\n"));
}

TEST_F(FlashTest, TerminalGetsOneBarRedrawnInPlace) {
    GamepadBehaviour b;
    b.latency = 1ms;
    AddPad(b);
    CapturedConsole c;
    c.console.terminal = true;
    EXPECT_EQ(zevrin::cli::Run(UpdateYes(file), c.console, port), kExitOk);
    const std::string out = c.out.str();
    EXPECT_FALSE(Contains(out, "Progress:"));
    EXPECT_TRUE(Contains(out, "\r["));
    // The bar ends complete and its line is closed before the success text.
    const size_t success = out.find("Firmware upgraded!");
    ASSERT_NE(success, std::string::npos);
    const size_t lastBar = out.rfind("\r[", success);
    ASSERT_NE(lastBar, std::string::npos);
    const std::string finalBar = out.substr(lastBar + 1, success - lastBar - 1);
    EXPECT_EQ(finalBar.substr(0, 32), "[" + std::string(30, '#') + "]") << finalBar;
    EXPECT_TRUE(Contains(finalBar, "100%  1000/1000 bytes")) << finalBar;
    EXPECT_EQ(finalBar.back(), '\n');
}

struct DeviceFault {
    const char* name;
    GamepadBehaviour behaviour;
    std::string expectedText;  // besides text 7 / 11
    bool headerExpected;
};

void PrintTo(const DeviceFault& f, std::ostream* os) {
    *os << f.name;
}

class FlashFaultTest : public FlashTest, public ::testing::WithParamInterface<DeviceFault> {};

// Every way the gamepad can end an update badly is exit code 1 with the reason, and never a word
// of success: the device did not get CMD_UPDATE_DONE after the whole image.
TEST_P(FlashFaultTest, DeviceFaultsFailWithTheReason) {
    const DeviceFault& f = GetParam();
    const int pad = AddPad(f.behaviour);
    CapturedConsole c;
    ParsedArgs a = UpdateYes(file);
    a.silenceLimit = 300ms;
    const auto start = Clock::now();
    EXPECT_EQ(zevrin::cli::Run(a, c.console, port), kExitUpdateFailed);
    EXPECT_LT(Clock::now() - start, 8s);

    const std::string err = c.err.str();
    EXPECT_TRUE(Contains(err, f.expectedText)) << err;
    EXPECT_FALSE(Contains(c.out.str(), LoadLocalizedText(4)));
    EXPECT_FALSE(Contains(c.out.str(), "Sent "));
    const auto rec = port.RecordingOf(pad);
    EXPECT_FALSE(rec.doneAfterWholeImage);
    EXPECT_EQ(rec.headerReceived, f.headerExpected);
}

GamepadBehaviour Faulty(FaultKind kind, Moment moment) {
    GamepadBehaviour b;
    b.fault = {kind, moment};
    return b;
}

GamepadBehaviour OfType(uint32_t type) {
    GamepadBehaviour b;
    b.firmwareType = type;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FlashFaultTest,
    ::testing::Values(
        DeviceFault{"Failed21", Faulty(FaultKind::Failed21, Moment::MidTransfer),
                    "Firmware update failure\n", true},
        DeviceFault{"Failed24", Faulty(FaultKind::Failed24, Moment::FirstChunk),
                    "Firmware update failure\n", true},
        DeviceFault{"SilentAfterFirstChunk", Faulty(FaultKind::Silence, Moment::FirstChunk),
                    "The gamepad stopped answering.", true},
        DeviceFault{"SilentBeforeDone", Faulty(FaultKind::Silence, Moment::AfterComplete),
                    "The gamepad stopped answering.", true},
        DeviceFault{"UnpluggedMidTransfer", Faulty(FaultKind::Unplug, Moment::MidTransfer),
                    "The gamepad was unplugged.", true},
        DeviceFault{"NotInBootMode", OfType(7), "please handle work in BOOT mode", false}),
    [](const auto& p) { return std::string(p.param.name); });

struct BadImage {
    const char* name;
    std::vector<uint8_t> bytes;
    ExtraText reason;
};

void PrintTo(const BadImage& b, std::ostream* os) {
    *os << b.name;
}

class FlashRefusedImageTest : public FlashTest, public ::testing::WithParamInterface<BadImage> {};

// A file that cannot be sent is refused with exit code 4 before the gamepad hears a thing.
TEST_P(FlashRefusedImageTest, RefusedBeforeAnythingReachesTheDevice) {
    const int pad = AddPad();
    const std::string bad = dir.File("bad.dat", GetParam().bytes);
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(UpdateYes(bad), c.console, port), kExitImageRefused);
    EXPECT_TRUE(Contains(c.err.str(), LoadExtraText(GetParam().reason))) << c.err.str();
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
    EXPECT_EQ(c.input.Asked(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FlashRefusedImageTest,
    ::testing::Values(BadImage{"TooShort", std::vector<uint8_t>(27, 0x78), ExtraText::FileTooShort},
                      BadImage{"Empty", {}, ExtraText::FileTooShort},
                      BadImage{"LengthZero", ImageBytes(120, 0, 64), ExtraText::ImageLengthZero},
                      BadImage{"Truncated", ImageBytes(120, 65, 64), ExtraText::ImageTruncated}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FlashTest, MissingFileIsRefusedAndNamed) {
    const int pad = AddPad();
    CapturedConsole c;
    const std::string missing = (dir.Path() / "nope.dat").string();
    EXPECT_EQ(zevrin::cli::Run(UpdateYes(missing), c.console, port), kExitImageRefused);
    EXPECT_TRUE(Contains(c.err.str(), "cannot open '" + missing + "': no such file"));
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
}

#if !defined(_WIN32)
// What a path may name besides a file: each is refused at once (an open or a read of them could
// wait for ever, or never end), by `info` and by `update` before the gamepad hears anything.
TEST_F(FlashTest, SpecialFilesAreRefusedAtOnce) {
    const std::string fifo = (dir.Path() / "fifo.dat").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = (dir.Path() / "socket.dat").string();
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string link = (dir.Path() / "zero.dat").string();
    ASSERT_EQ(::symlink("/dev/zero", link.c_str()), 0);
    const int pad = AddPad();
    for (const std::string& special :
         {std::string("/dev/zero"), link, fifo, socketPath, dir.Path().string()}) {
        for (const Command command : {Command::Info, Command::Update}) {
            CapturedConsole c;
            const auto start = std::chrono::steady_clock::now();
            const int rc = zevrin::cli::Run(
                command == Command::Info ? Args(Command::Info, special) : UpdateYes(special),
                c.console, port);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
            EXPECT_EQ(rc, kExitImageRefused) << special;
            EXPECT_TRUE(Contains(c.err.str(), LoadExtraText(ExtraText::NotRegularFile)))
                << special << ": " << c.err.str();
        }
    }
    ::close(sock);
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
}
#endif

// Only an explicit yes starts a transfer; anything else, or no answer at all, is exit code 5 with
// no header sent.
TEST_F(FlashTest, OnlyAYesAtThePromptSendsTheImage) {
    // The longest answer taken is kMaxLineBytes; one byte more is no, whatever it says.
    const std::string longestYes = "yes" + std::string(kMaxLineBytes - 3, ' ');
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"n"}, kExitCancelled},
        {{""}, kExitCancelled},
        {{"maybe"}, kExitCancelled},
        {{}, kExitCancelled},
        {{" Y "}, kExitOk},
        {{"yes"}, kExitOk},
        {{"YES "}, kExitOk},
        {{"yess"}, kExitCancelled},
        {{"y es"}, kExitCancelled},
        {{longestYes}, kExitOk},
        {{longestYes + " "}, kExitCancelled},
    };
    for (const auto& [answers, expected] : cases) {
        SCOPED_TRACE(::testing::PrintToString(answers));
        SimPort p;
        const int pad = p.AddGamepad("pad-a");
        CapturedConsole c(answers);
        EXPECT_EQ(zevrin::cli::Run(Args(Command::Update, file), c.console, p), expected);
        EXPECT_EQ(c.input.Asked(), 1);
        EXPECT_TRUE(Contains(c.out.str(), "Proceed with the update? [y/N] "));
        const auto rec = p.RecordingOf(pad);
        EXPECT_EQ(rec.headerReceived, expected == kExitOk);
        EXPECT_EQ(rec.doneAfterWholeImage, expected == kExitOk);
        if (expected == kExitCancelled) {
            EXPECT_TRUE(Contains(c.err.str(), "Update cancelled"));
        }
    }
}

TEST_F(FlashTest, NoGamepadIsExitCodeThreeForEveryDeviceCommand) {
    port.AddInterface("keyboard", 0x046d, 0xc31c);
    for (Command command : {Command::List, Command::Version, Command::Update}) {
        SCOPED_TRACE(static_cast<int>(command));
        CapturedConsole c;
        ParsedArgs a = Args(command, command == Command::Update ? file : "");
        a.yes = true;
        EXPECT_EQ(zevrin::cli::Run(a, c.console, port), kExitNoGamepad);
        EXPECT_TRUE(Contains(c.err.str(), "no gamepad found")) << c.err.str();
        EXPECT_EQ(c.out.str(), "");
    }
}

TEST_F(FlashTest, PermissionDeniedNamesTheUdevRule) {
    const int pad = AddPad();
    port.SetOpenStatus(pad, OpenStatus::PermissionDenied);
    for (Command command : {Command::Version, Command::Update}) {
        CapturedConsole c;
        EXPECT_EQ(zevrin::cli::Run(Args(command, command == Command::Update ? file : ""), c.console,
                                   port),
                  kExitNoGamepad);
        EXPECT_TRUE(Contains(c.err.str(), LoadExtraText(OpenRefusedAdvice())));
#if !defined(_WIN32)
        EXPECT_TRUE(Contains(c.err.str(), "70-zevrin-gamepad.rules"));
#endif
        EXPECT_EQ(c.input.Asked(), 0);
    }
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
}

// A stop request as this platform delivers it: a signal, or a console event on Windows.
struct StopRequest {
    const char* name;
    int event;
    int exitCode;
    bool waitsForTheStop;  // its handler returns only once the run has ended
};

void PrintTo(const StopRequest& r, std::ostream* os) {
    *os << r.name;
}

void Deliver(int event) {
#if defined(_WIN32)
    (void)OnConsoleEvent(static_cast<unsigned long>(event));
#else
    (void)std::raise(event);
#endif
}

enum class StopMoment { AtThePrompt, MidTransfer };

void PrintTo(StopMoment m, std::ostream* os) {
    *os << (m == StopMoment::AtThePrompt ? "AtThePrompt" : "MidTransfer");
}

class FlashStopTest : public FlashTest,
                      public ::testing::WithParamInterface<std::tuple<StopRequest, StopMoment>> {
#if !defined(_WIN32)
  protected:
    // As from a terminal, whatever the runner of the suite ignores (nohup ignores SIGHUP).
    void SetUp() override {
        FlashTest::SetUp();
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            (void)sigaction(kSignals[i], nullptr, &m_Previous[i]);
            (void)std::signal(kSignals[i], SIG_DFL);
        }
    }
    void TearDown() override {
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            (void)sigaction(kSignals[i], &m_Previous[i], nullptr);
        }
        FlashTest::TearDown();
    }

  private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction m_Previous[std::size(kSignals)]{};
#endif
};

// The first request goes through the stop routine wherever the run is: the worker is interrupted
// (at the prompt, which waits on the user, too), the device hears nothing more, and the exit code
// names what stopped it.
TEST_P(FlashStopTest, StopsCleanlyWithTheRequestsExitCode) {
    const auto& [request, moment] = GetParam();
    GamepadBehaviour b;
    b.latency = 20ms;  // the whole image would take 640 ms: the stop comes long before its end
    const int pad = AddPad(b);
    CapturedConsole c({}, /*blockAtEnd=*/true);
    ParsedArgs a = Args(Command::Update, file);
    a.yes = moment == StopMoment::MidTransfer;
    const auto reached = [&] {
        return moment == StopMoment::AtThePrompt ? c.input.Waiting()
                                                 : port.RecordingOf(pad).chunks >= 5;
    };

    int code = -1;
    size_t reportsAtTheEnd = 0;
    std::atomic<bool> handlerReturned{false};
    std::thread deliverer;
    {
        const StopSignals stops;
        c.console.interrupted = [&] { return stops.Requested(); };
        deliverer = std::thread([&] {
            const auto giveUp = Clock::now() + 2s;
            while (!reached() && Clock::now() < giveUp) {
                std::this_thread::sleep_for(2ms);
            }
            if (reached()) {  // never once the run has ended: the signal would end the suite
                Deliver(request.event);
            }
            handlerReturned = true;
        });
        const auto start = Clock::now();
        code = stops.ExitCode(zevrin::cli::Run(a, c.console, port));
        EXPECT_LT(Clock::now() - start, 2s);
        reportsAtTheEnd = port.RecordingOf(pad).reports.size();
        if (request.waitsForTheStop) {
            EXPECT_FALSE(handlerReturned.load()) << "the system would have ended the process";
        }
    }
    deliverer.join();

    EXPECT_EQ(code, request.exitCode);
    EXPECT_FALSE(Contains(c.out.str(), LoadLocalizedText(4)));
    EXPECT_FALSE(Contains(c.err.str(), "cancelled"));  // the user did not answer no
    std::this_thread::sleep_for(100ms);
    const auto rec = port.RecordingOf(pad);
    EXPECT_EQ(rec.reports.size(), reportsAtTheEnd);
    EXPECT_FALSE(rec.doneReceived);
    EXPECT_EQ(port.ReadsInProgress(pad), 0);
    if (moment == StopMoment::AtThePrompt) {
        EXPECT_FALSE(rec.headerReceived);
        EXPECT_TRUE(Contains(c.err.str(), "Update interrupted. No image data was sent."));
    } else {
        EXPECT_GT(rec.received.size(), 0u);
        EXPECT_LT(rec.received.size(), kImageBytes);
        EXPECT_TRUE(
            Contains(c.err.str(), "Update interrupted. The gamepad did not receive the whole"));
    }
}

#if defined(_WIN32)
const auto kStopRequests =
    ::testing::Values(StopRequest{"CtrlC", 0, 130, false}, StopRequest{"CtrlBreak", 1, 130, false},
                      StopRequest{"ConsoleClosed", 2, 129, true});
#else
const auto kStopRequests = ::testing::Values(StopRequest{"SIGINT", SIGINT, 130, false},
                                             StopRequest{"SIGTERM", SIGTERM, 143, false},
                                             StopRequest{"SIGHUP", SIGHUP, 129, false});
#endif

INSTANTIATE_TEST_SUITE_P(Requests, FlashStopTest,
                         ::testing::Combine(kStopRequests,
                                            ::testing::Values(StopMoment::AtThePrompt,
                                                              StopMoment::MidTransfer)),
                         [](const auto& p) {
                             return std::get<0>(p.param).name +
                                    ::testing::PrintToString(std::get<1>(p.param));
                         });

// Standard output into a pipe whose reader has gone, standard error into a closed one: the text
// is lost, the update is not.
TEST_F(FlashTest, OutputThatCannotBeWrittenLeavesTheUpdateWhole) {
    struct Refusing : std::streambuf {
        int_type overflow(int_type) override { return traits_type::eof(); }
    } refusing;
    std::ostream closed(&refusing);
    for (const bool outClosed : {true, false}) {
        SCOPED_TRACE(outClosed ? "stdout" : "stderr");
        SimPort p;
        const int pad = p.AddGamepad("pad-a");
        CapturedConsole c;
        Console console{
            outClosed ? closed : c.out, outClosed ? c.err : closed, c.input, outClosed, {}};
        ParsedArgs a = UpdateYes(file);
        a.verbose = !outClosed;  // every diagnostic line into the closed stream
        EXPECT_EQ(zevrin::cli::Run(a, console, p), kExitOk);
        const auto rec = p.RecordingOf(pad);
        EXPECT_EQ(rec.received, ImageData());
        EXPECT_TRUE(rec.doneAfterWholeImage);
        if (!outClosed) {
            EXPECT_TRUE(Contains(c.out.str(), "Firmware upgraded!"));
        }
    }
}

TEST_F(FlashTest, DeviceOptionPicksThatGamepadAndTouchesNoOther) {
    const int a = port.AddGamepad("pad-a");
    const int b = port.AddGamepad("pad-b", {}, MakerVendorId, 0x5750);
    CapturedConsole c;
    ParsedArgs args = UpdateYes(file);
    args.device = "pad-b";
    EXPECT_EQ(zevrin::cli::Run(args, c.console, port), kExitOk);
    EXPECT_TRUE(port.RecordingOf(b).doneAfterWholeImage);
    EXPECT_TRUE(port.RecordingOf(a).reports.empty());
    EXPECT_TRUE(Contains(c.out.str(), "Gamepad: pad-b\n"));
}

TEST_F(FlashTest, DeviceOptionNamingNoGamepadFindsNothing) {
    const int pad = AddPad();
    port.AddInterface("keyboard", 0x046d, 0xc31c);
    for (const char* path : {"pad-z", "keyboard"}) {  // absent; present but not a gamepad
        SCOPED_TRACE(path);
        CapturedConsole c;
        ParsedArgs args = UpdateYes(file);
        args.device = path;
        EXPECT_EQ(zevrin::cli::Run(args, c.console, port), kExitNoGamepad);
        EXPECT_TRUE(Contains(c.err.str(), std::string("no gamepad at ") + path));
    }
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
}

TEST_F(FlashTest, ListShowsAcceptedGamepadsInDiscoveryOrder) {
    port.AddGamepad("pad-a");
    port.AddInterface("keyboard", 0x046d, 0xc31c);
    port.AddGamepad("pad-b", {}, MakerVendorId, 0x5750);
    port.AddInterface("wrong-product", MakerVendorId, 0x5760);
    port.AddGamepad("pad-c", {}, 0x0483, 0x5760);
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(Args(Command::List), c.console, port), kExitOk);
    EXPECT_EQ(c.out.str(), "pad-a\t0483:5750\npad-b\t3efd:5750\npad-c\t0483:5760\n");
}

TEST_F(FlashTest, VersionPrintsTheDeviceWord) {
    const std::vector<std::pair<uint32_t, std::string>> cases = {
        {110, "GamePad V1.10\n"},
        {(3u << 16) | 110, "GamePad V1.10 beta3\n"},
        {5, "GamePad V0.05\n"},
        {65535, "GamePad V655.35\n"},
        {kNoVersion, "GamePad: no firmware version\n"},
    };
    for (const auto& [word, expected] : cases) {
        SCOPED_TRACE(word);
        SimPort p;
        GamepadBehaviour b;
        b.version = word;
        p.AddGamepad("pad-a", b);
        CapturedConsole c;
        EXPECT_EQ(zevrin::cli::Run(Args(Command::Version), c.console, p), kExitOk);
        EXPECT_EQ(c.out.str(), expected);
    }
}

TEST_F(FlashTest, VersionThatNeverComesIsAFailureNotAGuess) {
    GamepadBehaviour b;
    b.answersVersion = false;
    AddPad(b);
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(Args(Command::Version), c.console, port), kExitUpdateFailed);
    EXPECT_EQ(c.out.str(), "");
    EXPECT_TRUE(Contains(c.err.str(), LoadExtraText(ExtraText::VersionNoAnswer)));
}

TEST_F(FlashTest, InfoDescribesTheImage) {
    std::vector<uint8_t> bytes = ImageBytes((2u << 16) | 120, 64, 70, 0xCAFEF00D);
    const std::string path = dir.File("i.dat", bytes);
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(Args(Command::Info, path), c.console, port), kExitOk);
    EXPECT_EQ(c.out.str(), "File:        " + path +
                               "\n"
                               "Size:        98 bytes\n"
                               "Version:     1.20 beta2 (desVersion 0x00020078)\n"
                               "imageParam:  0xcafef00d\n"
                               "imageLength: 64 bytes\n"
                               "Extra bytes: 6 after the image, sent with the last chunk\n"
                               "Can be sent: yes\n");
}

TEST_F(FlashTest, InfoSaysWhyAnImageCannotBeSent) {
    const std::string truncated = dir.File("t.dat", ImageBytes(120, 100, 99));
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(Args(Command::Info, truncated), c.console, port), kExitImageRefused);
    EXPECT_TRUE(Contains(c.out.str(),
                         "Can be sent: no: " + LoadExtraText(ExtraText::ImageTruncated) + "\n"));

    const std::string tiny = dir.File("s.dat", std::vector<uint8_t>(5, 1));
    CapturedConsole s;
    EXPECT_EQ(zevrin::cli::Run(Args(Command::Info, tiny), s.console, port), kExitImageRefused);
    EXPECT_FALSE(Contains(s.out.str(), "Version:"));  // no header to describe
    EXPECT_TRUE(Contains(s.out.str(), LoadExtraText(ExtraText::FileTooShort)));
}

TEST_F(FlashTest, VerboseSendsTheDiagnosticLinesToStandardError) {
    AddPad();
    CapturedConsole c;
    ParsedArgs a = UpdateYes(file);
    a.verbose = true;
    c.console.terminal = true;  // -v turns the bar into lines, so the two never tear each other
    EXPECT_EQ(zevrin::cli::Run(a, c.console, port), kExitOk);
    const std::string err = c.err.str();
    EXPECT_TRUE(Contains(err, "send() is OK!\n"));
    EXPECT_TRUE(Contains(err, "desVersion is 120\n"));
    EXPECT_TRUE(Contains(err, "Exit Usb_UpdateThread\n"));
    EXPECT_TRUE(Contains(c.out.str(), "Progress: 100%"));
}

TEST(RunCommandLineTest, UsageHelpAndVersion) {
    int portsMade = 0;
    const PortFactory factory = [&](bool) -> std::unique_ptr<zevrin::HidPort> {
        portsMade++;
        return MakeSimulatedPort();
    };
    CapturedConsole bad;
    EXPECT_EQ(RunCommandLine({"update"}, bad.console, factory), kExitUsage);
    EXPECT_TRUE(Contains(bad.err.str(), "zevrin-flash: update needs a firmware file"));
    EXPECT_TRUE(Contains(bad.err.str(), "--help"));

    CapturedConsole help;
    EXPECT_EQ(RunCommandLine({"list", "--help"}, help.console, factory), kExitOk);
    EXPECT_EQ(help.out.str(), UsageText());

    CapturedConsole version;
    EXPECT_EQ(RunCommandLine({"--version"}, version.console, factory), kExitOk);
    EXPECT_EQ(version.out.str(), "zevrin-flash 1.20.0\n");
    EXPECT_EQ(portsMade, 0);  // nothing was opened for any of them
}

TEST(RunCommandLineTest, SimulateGetsTheSimulatedGamepad) {
    bool askedForSimulation = false;
    const PortFactory factory = [&](bool simulate) -> std::unique_ptr<zevrin::HidPort> {
        askedForSimulation = simulate;
        return MakeSimulatedPort();
    };
    CapturedConsole c;
    EXPECT_EQ(RunCommandLine({"version", "--simulate"}, c.console, factory), kExitOk);
    EXPECT_TRUE(askedForSimulation);
    EXPECT_EQ(c.out.str(), "GamePad V1.10\n");

    CapturedConsole list;
    EXPECT_EQ(RunCommandLine({"--simulate", "list"}, list.console, factory), kExitOk);
    EXPECT_EQ(list.out.str(), std::string(kSimulatedGamepadPath) + "\t0483:5750\n");
}

TEST(RunCommandLineTest, NoBackendIsExitCodeThreeButInfoStillWorks) {
    const PortFactory none = [](bool) -> std::unique_ptr<zevrin::HidPort> { return nullptr; };
    CapturedConsole c;
    EXPECT_EQ(RunCommandLine({"list"}, c.console, none), kExitNoGamepad);
    EXPECT_TRUE(Contains(c.err.str(), "--simulate"));

    TempDir dir;
    const std::string path = dir.File("ok.dat", ImageBytes(120, 32, 32));
    CapturedConsole info;
    EXPECT_EQ(RunCommandLine({"info", path}, info.console, none), kExitOk);
}

}  // namespace

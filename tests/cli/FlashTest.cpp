// zevrin-flash against the simulated gamepad: every outcome must reach the right exit code, the
// user must be told the truth, and what the device recorded must match what was claimed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CliTestSupport.h"
#include "cli/DevicePort.h"
#include "cli/Flash.h"
#include "cli/StopSignals.h"
#include "cli/TextWidth.h"
#include "hid/CHid.h"
#include "hid/Log.h"
#include "hid/sim/SimPort.h"
#include "update/Sha256.h"
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

ParsedArgs AsJson(ParsedArgs a) {
    a.json = true;
    return a;
}

class FlashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image = ImageBytes(kFileVersion, 0x44332211, kImageBytes, kImageBytes);
        file = dir.File("fw.dat", image);
    }

    int AddPad(GamepadBehaviour b = {}) { return port.AddGamepad("pad-a", b); }

    std::vector<uint8_t> ImageData() const {
        return {image.begin() + kFirmwareHeaderSize, image.end()};
    }

    zevrin::test::EnglishTexts texts;  // not the language of the machine the suite runs on
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

// The worker never waits for the output between a request and its answer: the gamepad gets the
// whole image while nobody reads the terminal, and the progress lines follow, in order, once
// somebody does.
TEST_F(FlashTest, StalledOutputDoesNotHoldUpTheTransfer) {
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "lines");
        SimPort p;
        const int pad = p.AddGamepad("pad-a");
        LineChannel channel;
        channel.HoldAfter(json ? "\"event\":\"start\"" : "[y/N] y (--yes)");
        std::ostream out(&channel);
        std::ostringstream err;
        ScriptedInput input;
        Console console{out, err, input, false, {}, {}};
        ParsedArgs a = UpdateYes(file);
        a.json = json;
        int code = -1;
        std::thread run([&] {
            code = zevrin::cli::Run(a, console, p);
            channel.Close();
        });
        const auto bound = std::chrono::steady_clock::now() + 10s;
        while (!p.RecordingOf(pad).doneReceived && std::chrono::steady_clock::now() < bound) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(p.RecordingOf(pad).doneAfterWholeImage);
        EXPECT_TRUE(channel.Holding());  // the output was still stalled meanwhile
        channel.Release();
        std::string all;
        while (const std::optional<std::string> line = channel.ReadLine()) {
            all += *line + "\n";
        }
        run.join();
        EXPECT_EQ(code, kExitOk);
        if (json) {
            const std::vector<Json> progress = Events(JsonLines(all), "progress");
            ASSERT_FALSE(progress.empty()) << all;
            EXPECT_EQ(progress.back()["sent"], kImageBytes);
        } else {
            EXPECT_TRUE(Contains(all, "[y/N] y (--yes)\nProgress: 12% (128 of 1000 bytes)\n"))
                << all;
            EXPECT_TRUE(Contains(all, "Progress: 100% (1000 of 1000 bytes)\nFirmware upgraded!\n"))
                << all;
        }
    }
}

TEST_F(FlashTest, ConfirmationShowsBothVersionsWithTheirBetas) {
    GamepadBehaviour b;
    b.version = (3u << 16) | 110;
    AddPad(b);
    const std::string beta = dir.File("beta.dat", ImageBytes((2u << 16) | 121, 0x44332211, 64, 64));
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(UpdateYes(beta), c.console, port), kExitOk);
    EXPECT_TRUE(Contains(c.out.str(), "New firmware 1.21 beta2 and current is 1.10 beta3\n"));
}

// Each redraw fits the terminal's width, its last column left free, so '\r' always returns to the
// start of the bar.
TEST_F(FlashTest, TerminalGetsOneBarRedrawnInPlace) {
    GamepadBehaviour b;
    b.latency = 1ms;
    for (const size_t columns : {80, 40}) {
        SCOPED_TRACE(columns);
        SimPort p;
        p.AddGamepad("pad-a", b);
        CapturedConsole c;
        c.console.terminal = true;
        c.console.columns = [columns] { return columns; };
        EXPECT_EQ(zevrin::cli::Run(UpdateYes(file), c.console, p), kExitOk);
        const std::string out = c.out.str();
        EXPECT_FALSE(Contains(out, "Progress:"));
        EXPECT_TRUE(Contains(out, "\r["));
        // The bar ends complete and its line is closed before the success text.
        const size_t success = out.find("Firmware upgraded!");
        ASSERT_NE(success, std::string::npos);
        const size_t lastBar = out.rfind("\r[", success);
        ASSERT_NE(lastBar, std::string::npos);
        const std::string finalBar = out.substr(lastBar + 1, success - lastBar - 1);
        EXPECT_EQ(finalBar.back(), '\n');
        std::istringstream redraws(out.substr(0, success));
        for (std::string bar; std::getline(redraws, bar, '\r');) {
            EXPECT_LT(Columns(bar.substr(0, bar.find('\n'))), columns) << bar;
        }
        if (columns == 80) {
            EXPECT_EQ(finalBar.substr(0, 32), "[" + std::string(30, '#') + "]") << finalBar;
            EXPECT_TRUE(Contains(finalBar, "100%  1000/1000 bytes")) << finalBar;
        } else {
            EXPECT_TRUE(Contains(finalBar, "] 100%  ")) << finalBar;  // the bytes gave way
        }
    }
}

// --json: the start, one progress line per percent at most ending with the whole image, the
// result; none of the text on standard output, and the versions as the gamepad and file have them.
TEST_F(FlashTest, JsonUpdateTellsStartProgressAndResult) {
    for (const uint32_t deviceVersion : {110u, kNoVersion}) {
        SCOPED_TRACE(deviceVersion);
        SimPort p;
        GamepadBehaviour b;
        b.version = deviceVersion;
        const int pad = p.AddGamepad("pad-a", b);
        CapturedConsole c;
        c.console.terminal = true;  // no bar either
        EXPECT_EQ(zevrin::cli::Run(AsJson(UpdateYes(file)), c.console, p), kExitOk);
        EXPECT_TRUE(p.RecordingOf(pad).doneAfterWholeImage);

        const std::vector<Json> lines = JsonLines(c.out.str());
        ASSERT_GE(lines.size(), 3u) << c.out.str();
        const Json oldVersion = deviceVersion == 110 ? Json("1.10") : Json(nullptr);
        const Json oldWord = deviceVersion == 110 ? Json(110) : Json(nullptr);
        EXPECT_EQ(lines.front(), Json({{"event", "start"},
                                       {"schema", 1},
                                       {"device", "pad-a"},
                                       {"oldVersion", oldVersion},
                                       {"oldVersionWord", oldWord},
                                       {"newVersion", "1.20"},
                                       {"newVersionWord", 120},
                                       {"total", kImageBytes}}));
        const std::vector<Json> progress = Events(lines, "progress");
        EXPECT_EQ(progress.size() + 2, lines.size());  // nothing else between start and result
        ASSERT_FALSE(progress.empty());
        EXPECT_LE(progress.size(), 101u);
        uint64_t previousPercent = 0;
        for (size_t i = 0; i < progress.size(); ++i) {
            const Json& line = progress[i];
            EXPECT_EQ(line["device"], "pad-a");
            EXPECT_EQ(line["total"], kImageBytes);
            const uint64_t percent = line["sent"].get<uint64_t>() * 100 / kImageBytes;
            EXPECT_TRUE(i == 0 || percent > previousPercent) << line.dump();
            previousPercent = percent;
        }
        EXPECT_EQ(progress.back()["sent"], kImageBytes);
        EXPECT_EQ(WithoutSeconds(lines.back()), Result(0, "ok", nullptr, "pad-a"));
        EXPECT_FALSE(Contains(c.out.str(), LoadLocalizedText(4)));
        EXPECT_EQ(c.input.Asked(), 0);
    }
}

// Without --yes (the command line refuses that; this is the view's own guard) the question is
// never asked: standard input may be the data of a pipe, and standard output is the reader's.
TEST_F(FlashTest, JsonNeverAsksTheQuestion) {
    const int pad = AddPad();
    CapturedConsole c({"y"});
    EXPECT_EQ(zevrin::cli::Run(AsJson(Args(Command::Update, file)), c.console, port),
              kExitCancelled);
    EXPECT_EQ(c.input.Asked(), 0);
    EXPECT_FALSE(port.RecordingOf(pad).headerReceived);
    const std::vector<Json> lines = JsonLines(c.out.str());
    ASSERT_EQ(lines.size(), 1u) << c.out.str();
    EXPECT_EQ(WithoutSeconds(lines.back()),
              Result(5, "cancelled", "Update cancelled. No image data was sent.", "pad-a"));
}

struct DeviceFault {
    const char* name;
    GamepadBehaviour behaviour;
    std::string expectedText;  // besides text 7 / 11
    bool headerExpected;
    std::string reason;  // the JSON result's
};

void PrintTo(const DeviceFault& f, std::ostream* os) {
    *os << f.name;
}

class FlashFaultTest : public FlashTest, public ::testing::WithParamInterface<DeviceFault> {};

// Every way the gamepad can end an update badly is exit code 1 with the reason, and never a word
// of success: the device did not get CMD_UPDATE_DONE after the whole image. With --json the last
// progress line is what the gamepad really got.
TEST_P(FlashFaultTest, DeviceFaultsFailWithTheReason) {
    const DeviceFault& f = GetParam();
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        SimPort p;
        const int pad = p.AddGamepad("pad-a", f.behaviour);
        CapturedConsole c;
        ParsedArgs a = UpdateYes(file);
        a.silenceLimit = 300ms;
        a.json = json;
        const auto start = Clock::now();
        EXPECT_EQ(zevrin::cli::Run(a, c.console, p), kExitUpdateFailed);
        EXPECT_LT(Clock::now() - start, 8s);

        const std::string err = c.err.str();
        EXPECT_TRUE(Contains(err, f.expectedText)) << err;
        EXPECT_FALSE(Contains(c.out.str(), LoadLocalizedText(4)));
        EXPECT_FALSE(Contains(c.out.str(), "Sent "));
        const auto rec = p.RecordingOf(pad);
        EXPECT_FALSE(rec.doneAfterWholeImage);
        EXPECT_EQ(rec.headerReceived, f.headerExpected);
        if (!json) {
            continue;
        }
        const std::vector<Json> lines = JsonLines(c.out.str());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(WithoutSeconds(lines.back()), Result(1, "update failed", f.reason, "pad-a"));
        const std::vector<Json> progress = Events(lines, "progress");
        EXPECT_EQ(Events(lines, "start").size(), f.headerExpected ? 1u : 0u);
        if (f.headerExpected) {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(progress.back()["sent"], rec.received.size());
        } else {
            EXPECT_TRUE(progress.empty());
        }
    }
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
                    "Firmware update failure\n", true, "Firmware update failure"},
        DeviceFault{"Failed24", Faulty(FaultKind::Failed24, Moment::FirstChunk),
                    "Firmware update failure\n", true, "Firmware update failure"},
        DeviceFault{"SilentAfterFirstChunk", Faulty(FaultKind::Silence, Moment::FirstChunk),
                    "The gamepad stopped answering.", true, "The gamepad stopped answering."},
        DeviceFault{"SilentBeforeDone", Faulty(FaultKind::Silence, Moment::AfterComplete),
                    "The gamepad stopped answering.", true, "The gamepad stopped answering."},
        DeviceFault{"UnpluggedMidTransfer", Faulty(FaultKind::Unplug, Moment::MidTransfer),
                    "The gamepad was unplugged.", true, "The gamepad was unplugged."},
        DeviceFault{"NotInBootMode", OfType(7), "please handle work in BOOT mode", false,
                    "Firmware update failure, please handle work in BOOT mode"}),
    [](const auto& p) { return std::string(p.param.name); });

struct BadImage {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* why;  // in the command line's words
};

void PrintTo(const BadImage& b, std::ostream* os) {
    *os << b.name;
}

class FlashRefusedImageTest : public FlashTest, public ::testing::WithParamInterface<BadImage> {};

// A file that cannot be sent is refused with exit code 4 before the gamepad hears a thing, in a
// line that names the program and the file.
TEST_P(FlashRefusedImageTest, RefusedBeforeAnythingReachesTheDevice) {
    const int pad = AddPad();
    const std::string bad = dir.File("bad.dat", GetParam().bytes);
    const std::string said = "'" + bad + "': " + GetParam().why + "; nothing was sent";
    for (const bool json : {false, true}) {
        CapturedConsole c;
        ParsedArgs a = UpdateYes(bad);
        a.json = json;
        EXPECT_EQ(zevrin::cli::Run(a, c.console, port), kExitImageRefused);
        EXPECT_EQ(c.err.str(), "zevrin-flash: " + said + "\n");
        EXPECT_EQ(c.input.Asked(), 0);
        if (json) {
            const std::vector<Json> lines = JsonLines(c.out.str());
            ASSERT_EQ(lines.size(), 1u) << c.out.str();
            EXPECT_EQ(WithoutSeconds(lines.back()), Result(4, "image refused", said, nullptr));
        }
    }
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, FlashRefusedImageTest,
    ::testing::Values(BadImage{"TooShort", std::vector<uint8_t>(27, 0x78),
                               "shorter than its 28-byte header"},
                      BadImage{"Empty", {}, "shorter than its 28-byte header"},
                      BadImage{"LengthZero", ImageBytes(120, 0x44332211, 0, 64),
                               "its header declares an image length of 0"},
                      BadImage{"Truncated", ImageBytes(120, 0x44332211, 65, 64),
                               "fewer image bytes than its header declares"}),
    [](const auto& p) { return std::string(p.param.name); });

// --sha256: a file whose digest differs is refused before the gamepad hears anything, not even the
// version question, and the message names both digests; the right digest lets the update run.
TEST_F(FlashTest, Sha256ThatDiffersIsRefusedBeforeTheGamepadHearsAnything) {
    const std::optional<std::string> actual = Sha256File(file);
    ASSERT_TRUE(actual.has_value());
    std::string other = *actual;
    other.back() = other.back() == '0' ? '1' : '0';  // one digit off
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        SimPort p;
        const int pad = p.AddGamepad("pad-a");
        CapturedConsole c;
        ParsedArgs a = UpdateYes(file);
        a.sha256 = other;
        a.json = json;
        EXPECT_EQ(zevrin::cli::Run(a, c.console, p), kExitImageRefused);
        EXPECT_TRUE(p.RecordingOf(pad).reports.empty());
        const std::string err = c.err.str();
        EXPECT_TRUE(Contains(err, *actual) && Contains(err, other)) << err;
        EXPECT_TRUE(Contains(err, "No image data was sent.")) << err;
        if (json) {
            const std::vector<Json> lines = JsonLines(c.out.str());
            ASSERT_EQ(lines.size(), 1u);
            const std::string reason = lines.back().value("reason", "");
            EXPECT_TRUE(Contains(reason, *actual) && Contains(reason, other)) << reason;
            EXPECT_EQ(lines.back()["meaning"], "image refused");
        }

        SimPort q;
        const int right = q.AddGamepad("pad-a");
        CapturedConsole ok;
        a.sha256 = actual;
        EXPECT_EQ(zevrin::cli::Run(a, ok.console, q), kExitOk) << ok.err.str();
        EXPECT_TRUE(q.RecordingOf(right).doneAfterWholeImage);
    }
    // --all checks it once, before its question and before any child starts.
    AddPad();
    CapturedConsole all;
    ParsedArgs a = UpdateYes(file);
    a.all = true;
    a.sha256 = other;
    const ChildLauncher none = [](const std::vector<std::string>&, std::string&) {
        ADD_FAILURE() << "a child was started";
        return std::unique_ptr<ChildRun>();
    };
    EXPECT_EQ(zevrin::cli::Run(a, all.console, port, none), kExitImageRefused);
    EXPECT_TRUE(Contains(all.err.str(), "is not the image asked for")) << all.err.str();
    EXPECT_FALSE(Contains(all.out.str(), "Proceed")) << all.out.str();
}

// The digest is computed from the handle the update then sends from: another image renamed over
// the path after the check (here while the gamepad answers its version question, before the
// transfer starts) is never sent. Windows refuses the rename while the checked file is open.
TEST_F(FlashTest, Sha256CheckedFileIsTheFileSentWhenThePathIsReplacedAfterTheCheck) {
    const std::optional<std::string> digest = Sha256File(file);
    ASSERT_TRUE(digest.has_value());
    const std::string other =
        dir.File("other.dat", ImageBytes(130, 0x44332211, kImageBytes / 2, kImageBytes / 2));
    const int pad = AddPad();
    CapturedConsole c;
    std::atomic<bool> tried{false};
    std::atomic<bool> renamed{false};
    c.console.interrupted = [&] {
        const auto rec = port.RecordingOf(pad);
        if (rec.versionRequests > 0 && rec.enterUpdates == 0 && !tried.exchange(true)) {
            std::error_code ec;
            std::filesystem::rename(other, file, ec);
            renamed = !ec;
        }
        return false;
    };
    ParsedArgs a = UpdateYes(file);
    a.sha256 = digest;
    EXPECT_EQ(zevrin::cli::Run(a, c.console, port), kExitOk) << c.err.str();
    ASSERT_TRUE(tried.load());
#if !defined(_WIN32)
    ASSERT_TRUE(renamed.load());
#endif
    EXPECT_EQ(port.RecordingOf(pad).received, ImageData());
    EXPECT_TRUE(port.RecordingOf(pad).doneAfterWholeImage);
}

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
            EXPECT_EQ(c.err.str(),
                      "zevrin-flash: '" + special + "': not a regular file; nothing was sent\n");
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
        {{"\xe6\x98\xaf"}, kExitCancelled},  // 是: yes in Chinese only
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
    // Under zh_CN 是 is yes, and y and yes stay yes.
    SetTextSource({[] { return uint16_t{2052}; }, {}});  // until `texts` puts the default back
    for (const char* answer : {" \xe6\x98\xaf ", "y"}) {
        SimPort p;
        const int pad = p.AddGamepad("pad-a");
        CapturedConsole c({answer});
        EXPECT_EQ(zevrin::cli::Run(Args(Command::Update, file), c.console, p), kExitOk) << answer;
        EXPECT_TRUE(p.RecordingOf(pad).doneAfterWholeImage);
    }
}

// Reads as Windows reports them (ReadFile's result, the bytes, GetLastError()): a read that
// Ctrl-C cut short is neither an answer nor the end of the input, so the prompt waits for the stop
// request the console sends next; only the cancel ends it.
TEST(PumpedLineReaderTest, WindowsReadsOfTheAnswer) {
    constexpr unsigned long kAborted = kWin32OperationAborted;
    constexpr unsigned long kBrokenPipe = 109;  // ERROR_BROKEN_PIPE: the writer closed the pipe
    struct Step {
        Win32Read read;
        char byte;
    };
    const auto bytes = [](const std::string& text) {
        std::vector<Step> steps;
        for (const char c : text) {
            steps.push_back({{true, 1, 0}, c});
        }
        return steps;
    };
    const auto join = [](std::vector<Step> a, const std::vector<Step>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Step aborted{{true, 0, kAborted}, 0};
    struct Case {
        const char* name;
        std::vector<Step> steps;  // then nothing more arrives, as at a console nobody types at
        std::optional<std::string> line;
        bool waitsForTheCancel;
    };
    const std::vector<Case> cases = {
        {"line", bytes("y\r\n"), "y", false},
        {"last line without its end", join(bytes("yes"), {{{true, 0, 0}, 0}}), "yes", false},
        {"end of a file", {{{true, 0, 0}, 0}}, std::nullopt, false},
        {"closed pipe", {{{false, 0, kBrokenPipe}, 0}}, std::nullopt, false},
        {"Ctrl-C reported as success", {aborted}, std::nullopt, true},
        {"Ctrl-C reported as failure", {{{false, 0, kAborted}, 0}}, std::nullopt, true},
        {"Ctrl-C drops the line begun", join(join(bytes("n"), {aborted}), bytes("y\n")), "y",
         false},
        {"a byte is a byte whatever the last error",
         {{{true, 1, kAborted}, 'y'}, {{true, 1, 0}, '\n'}},
         "y",
         false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        struct Source {
            std::mutex mutex;
            std::condition_variable changed;
            std::deque<Step> steps;
            bool released = false;
        };
        auto source = std::make_shared<Source>();
        source->steps.assign(row.steps.begin(), row.steps.end());
        PumpedLineReader reader([source](char& byte) {
            std::unique_lock lock(source->mutex);
            // Past the script the reading thread blocks like a console read, until the row ends.
            source->changed.wait(lock, [&] { return !source->steps.empty() || source->released; });
            if (source->steps.empty()) {
                return ReadMeaning::End;
            }
            const Step step = source->steps.front();
            source->steps.pop_front();
            byte = step.byte;
            return MeaningOf(step.read);
        });
        std::atomic<bool> cancel{false};
        std::thread canceller([&] {
            std::this_thread::sleep_for(300ms);
            cancel = true;
        });
        const auto start = Clock::now();
        EXPECT_EQ(reader.ReadLine(cancel), row.line);
        const bool waited = Clock::now() - start >= 300ms;
        canceller.join();
        EXPECT_EQ(waited, row.waitsForTheCancel);
        std::lock_guard lock(source->mutex);
        source->released = true;
        source->changed.notify_all();
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

        // The reason is the advice itself, not the pointer to the rule's file that follows it.
        CapturedConsole j;
        ParsedArgs a = AsJson(Args(command, command == Command::Update ? file : ""));
        a.yes = true;
        EXPECT_EQ(zevrin::cli::Run(a, j.console, port), kExitNoGamepad);
        const std::vector<Json> lines = JsonLines(j.out.str());
        ASSERT_EQ(lines.size(), 1u) << j.out.str();
        std::string advice = LoadExtraText(OpenRefusedAdvice());
        std::replace(advice.begin(), advice.end(), '\n', ' ');  // one line
        EXPECT_EQ(WithoutSeconds(lines[0]), Result(3, "no gamepad", advice, "pad-a"));
    }
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
}

// Another program is talking to it: nothing is sent, and the reason is the claim, never a guess
// about permissions or a missing gamepad.
TEST_F(FlashTest, AGamepadClaimedElsewhereIsExitCodeThreeAndHearsNothing) {
    const int pad = AddPad();
    port.SetOpenStatus(pad, OpenStatus::Claimed);
    const std::string said = "Another program is updating this gamepad.";
    for (Command command : {Command::Version, Command::Update}) {
        for (const bool json : {false, true}) {
            SCOPED_TRACE(static_cast<int>(command) * 2 + (json ? 1 : 0));
            CapturedConsole c;
            ParsedArgs a = Args(command, command == Command::Update ? file : "");
            a.yes = true;
            a.json = json;
            EXPECT_EQ(zevrin::cli::Run(a, c.console, port), kExitNoGamepad);
            EXPECT_EQ(c.err.str(), said + "\n");
            if (json) {
                const std::vector<Json> lines = JsonLines(c.out.str());
                ASSERT_EQ(lines.size(), 1u) << c.out.str();
                EXPECT_EQ(WithoutSeconds(lines[0]), Result(3, "no gamepad", said, "pad-a"));
            }
        }
    }
    EXPECT_TRUE(port.RecordingOf(pad).reports.empty());
}

// A stop request as this platform delivers it: a signal, or a console event on Windows.
struct StopRequest {
    const char* name;
    int event;
    int exitCode;
    bool waitsForTheStop;  // its handler returns only once the run has ended
    const char* meaning;   // in the --json result
    // Sent twice at once by one sender, as `timeout` signals the process and then its group: one
    // request, not a second that would end the process at once.
    bool echoed = false;
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

// AtTheConsolePrompt: the answer is read as on Windows, and the console's read comes back cut
// short by Ctrl-C before the stop request arrives, as it does when the control handler's thread
// runs late.
enum class StopMoment {
    AtThePrompt,
    AtTheConsolePrompt,
    MidTransfer,
    MidTransferAsJson,
    WhileWaiting
};

void PrintTo(StopMoment m, std::ostream* os) {
    *os << (m == StopMoment::AtThePrompt          ? "AtThePrompt"
            : m == StopMoment::AtTheConsolePrompt ? "AtTheConsolePrompt"
            : m == StopMoment::MidTransfer        ? "MidTransfer"
            : m == StopMoment::MidTransferAsJson  ? "MidTransferAsJson"
                                                  : "WhileWaiting");
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
    const bool atThePrompt =
        moment == StopMoment::AtThePrompt || moment == StopMoment::AtTheConsolePrompt;
    struct ConsoleRead {
        std::mutex mutex;
        std::condition_variable changed;
        std::atomic<bool> asked{false};
        std::atomic<bool> aborted{false};
        bool abort = false;
        bool released = false;
    };
    auto consoleRead = std::make_shared<ConsoleRead>();
    PumpedLineReader consoleInput([consoleRead](char&) {
        std::unique_lock lock(consoleRead->mutex);
        consoleRead->asked = true;
        consoleRead->changed.wait(lock, [&] {
            return (consoleRead->abort && !consoleRead->aborted) || consoleRead->released;
        });
        if (consoleRead->released) {
            return ReadMeaning::End;
        }
        consoleRead->aborted = true;
        return MeaningOf({true, 0, kWin32OperationAborted});
    });
    Console windowsConsole{c.out, c.err, consoleInput, false, {}, {}};
    Console& console = moment == StopMoment::AtTheConsolePrompt ? windowsConsole : c.console;
    ParsedArgs a = Args(Command::Update, file);
    a.yes = !atThePrompt;
    a.json = moment == StopMoment::MidTransferAsJson;
    // --wait with the gamepad not plugged in yet.
    a.wait = moment == StopMoment::WhileWaiting;
    if (a.wait) {
        port.Unplug(pad);
    }
    const auto created = Clock::now();
    const auto reached = [&] {
        return moment == StopMoment::AtThePrompt          ? c.input.Waiting()
               : moment == StopMoment::AtTheConsolePrompt ? consoleRead->asked.load()
               : moment == StopMoment::WhileWaiting       ? Clock::now() - created >= 100ms
                                                          : port.RecordingOf(pad).chunks >= 5;
    };
    std::atomic<bool> runEnded{false};

    int code = -1;
    size_t reportsAtTheEnd = 0;
    std::atomic<bool> handlerReturned{false};
    std::thread deliverer;
    {
        const StopSignals stops;
        console.interrupted = [&] { return stops.Requested(); };
        console.exitCode = [&](int runResult) { return stops.ExitCode(runResult); };
        deliverer = std::thread([&] {
            const auto giveUp = Clock::now() + 2s;
            while (!reached() && Clock::now() < giveUp) {
                std::this_thread::sleep_for(2ms);
            }
            if (moment == StopMoment::AtTheConsolePrompt && reached()) {
                {
                    std::lock_guard lock(consoleRead->mutex);
                    consoleRead->abort = true;
                    consoleRead->changed.notify_all();
                }
                while (!consoleRead->aborted.load() && Clock::now() < giveUp) {
                    std::this_thread::sleep_for(2ms);
                }
                std::this_thread::sleep_for(100ms);  // time enough to take it for a no
            }
            // Never once the run has ended: the signal would end the suite.
            if (reached() && !runEnded.load()) {
                Deliver(request.event);
                if (request.echoed) {
                    Deliver(request.event);
                }
            }
            handlerReturned = true;
        });
        const auto start = Clock::now();
        code = stops.ExitCode(zevrin::cli::Run(a, console, port));
        runEnded = true;
        EXPECT_LT(Clock::now() - start, 2s);
        reportsAtTheEnd = port.RecordingOf(pad).reports.size();
        if (request.waitsForTheStop) {
            EXPECT_FALSE(handlerReturned.load()) << "the system would have ended the process";
        }
    }
    deliverer.join();
    {
        std::lock_guard lock(consoleRead->mutex);
        consoleRead->released = true;
        consoleRead->changed.notify_all();
    }

    EXPECT_EQ(code, request.exitCode);
    EXPECT_FALSE(Contains(c.out.str(), LoadLocalizedText(4)));
    EXPECT_FALSE(Contains(c.err.str(), "cancelled"));  // the user did not answer no
    std::this_thread::sleep_for(100ms);
    const auto rec = port.RecordingOf(pad);
    EXPECT_EQ(rec.reports.size(), reportsAtTheEnd);
    EXPECT_FALSE(rec.doneReceived);
    EXPECT_EQ(port.ReadsInProgress(pad), 0);
    if (atThePrompt) {
        EXPECT_FALSE(rec.headerReceived);
        EXPECT_TRUE(Contains(c.err.str(), "Update interrupted. No image data was sent."));
    } else if (moment == StopMoment::WhileWaiting) {
        EXPECT_TRUE(rec.reports.empty());
        EXPECT_TRUE(Contains(c.err.str(), "Interrupted while waiting for a gamepad.\n"));
    } else {
        EXPECT_GT(rec.received.size(), 0u);
        EXPECT_LT(rec.received.size(), kImageBytes);
        EXPECT_TRUE(
            Contains(c.err.str(), "Update interrupted. The gamepad did not receive the whole"));
    }
    if (moment == StopMoment::MidTransferAsJson) {
        // The result names what stopped the run, and the last figure is what the gamepad got.
        const std::vector<Json> lines = JsonLines(c.out.str());
        ASSERT_FALSE(lines.empty());
        const Json& result = lines.back();
        EXPECT_EQ(result["exitCode"], request.exitCode);
        EXPECT_EQ(result["meaning"], request.meaning);
        EXPECT_TRUE(Contains(result.value("reason", ""), "Update interrupted.")) << result.dump();
        const std::vector<Json> progress = Events(lines, "progress");
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back()["sent"], rec.received.size());
    }
}

#if defined(_WIN32)
const auto kStopRequests =
    ::testing::Values(StopRequest{"CtrlC", 0, 130, false, "interrupted (SIGINT)"},
                      StopRequest{"CtrlBreak", 1, 130, false, "interrupted (SIGINT)"},
                      StopRequest{"ConsoleClosed", 2, 129, true, "hangup (SIGHUP)"});
#else
const auto kStopRequests = ::testing::Values(
    StopRequest{"SIGINT", SIGINT, 130, false, "interrupted (SIGINT)"},
    StopRequest{"SIGTERM", SIGTERM, 143, false, "terminated (SIGTERM)"},
    StopRequest{"SIGHUP", SIGHUP, 129, false, "hangup (SIGHUP)"},
    StopRequest{"SIGTERMThenItsGroup", SIGTERM, 143, false, "terminated (SIGTERM)", true});
#endif

INSTANTIATE_TEST_SUITE_P(
    Requests, FlashStopTest,
    ::testing::Combine(kStopRequests,
                       ::testing::Values(StopMoment::AtThePrompt, StopMoment::AtTheConsolePrompt,
                                         StopMoment::MidTransfer, StopMoment::MidTransferAsJson,
                                         StopMoment::WhileWaiting)),
    [](const auto& p) {
        return std::get<0>(p.param).name + ::testing::PrintToString(std::get<1>(p.param));
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
            outClosed ? closed : c.out, outClosed ? c.err : closed, c.input, outClosed, {}, {}};
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
    EXPECT_FALSE(Contains(c.err.str(), "present")) << c.err.str();  // named: nothing to say

    // Without --device the one taken is said, on standard error, which --json leaves alone too.
    for (const bool json : {false, true}) {
        CapturedConsole first;
        ParsedArgs version = Args(Command::Version);
        version.json = json;
        EXPECT_EQ(zevrin::cli::Run(version, first.console, port), kExitOk);
        EXPECT_EQ(first.err.str(),
                  "zevrin-flash: 2 gamepads present; using pad-a (use --device PATH or --all)\n");
        if (json) {
            EXPECT_EQ(JsonLines(first.out.str()).front()["device"], "pad-a");
        }
    }
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

    CapturedConsole j;
    EXPECT_EQ(zevrin::cli::Run(AsJson(Args(Command::List)), j.console, port), kExitOk);
    const std::vector<Json> lines = JsonLines(j.out.str());
    ASSERT_EQ(lines.size(), 4u) << j.out.str();
    const auto device = [](const char* path, const char* vendor, const char* product) {
        return Json({{"event", "device"},
                     {"schema", 1},
                     {"device", path},
                     {"vendor", vendor},
                     {"product", product}});
    };
    EXPECT_EQ(lines[0], device("pad-a", "0483", "5750"));
    EXPECT_EQ(lines[1], device("pad-b", "3efd", "5750"));
    EXPECT_EQ(lines[2], device("pad-c", "0483", "5760"));
    EXPECT_EQ(WithoutSeconds(lines[3]), Result(0, "ok", nullptr, nullptr));
}

// Every command's failures end with the result line alone, its reason the text the user is told.
TEST_F(FlashTest, JsonFailuresAreOneResultLine) {
    port.AddInterface("keyboard", 0x046d, 0xc31c);
    const std::string noGamepad =
        "no gamepad found. Hold L+R+START while powering it on (the LED blinks yellow), then "
        "connect it by USB.";
    const std::string missing = (dir.Path() / "nope.dat").string();
    struct Case {
        ParsedArgs args;
        Json expected;
        const char* reasonCode;  // the same in every language
    };
    const std::string noHeader = dir.File("short.dat", std::vector<uint8_t>(5, 1));
    const std::vector<Case> cases = {
        {AsJson(Args(Command::List)), Result(3, "no gamepad", noGamepad, nullptr),
         "no-gamepad-found"},
        {AsJson(Args(Command::Version)), Result(3, "no gamepad", noGamepad, nullptr),
         "no-gamepad-found"},
        {AsJson(UpdateYes(file)), Result(3, "no gamepad", noGamepad, nullptr), "no-gamepad-found"},
        {AsJson(Args(Command::Info, missing)),
         Result(4, "image refused", "cannot open '" + missing + "': no such file", nullptr),
         "cannot-open-file"},
        {AsJson(UpdateYes(noHeader)),
         Result(4, "image refused",
                "'" + noHeader + "': shorter than its 28-byte header; nothing was sent", nullptr),
         "file-too-short"},
    };
    for (const uint16_t language : {uint16_t{1033}, kLangChinesePrc}) {
        SetTextSource({[language] { return language; }, {}});
        for (const Case& k : cases) {
            SCOPED_TRACE(k.expected.dump() + " in " + std::to_string(language));
            CapturedConsole c;
            EXPECT_EQ(zevrin::cli::Run(k.args, c.console, port), k.expected["exitCode"].get<int>());
            const std::vector<Json> lines = JsonLines(c.out.str());
            ASSERT_EQ(lines.size(), 1u) << c.out.str();
            EXPECT_EQ(lines[0]["reasonCode"], k.reasonCode);
            EXPECT_EQ(WithoutSeconds(lines[0]) == k.expected, language == 1033);
            EXPECT_FALSE(c.err.str().empty());  // the person reading the terminal is told too
        }
    }
    SetTextSource({[] { return uint16_t{1033}; }, {}});

    // A gamepad asked for by path is named in the result even when it is not there.
    CapturedConsole absent;
    ParsedArgs a = AsJson(Args(Command::Version));
    a.device = "pad-z";
    EXPECT_EQ(zevrin::cli::Run(a, absent.console, port), kExitNoGamepad);
    EXPECT_EQ(JsonLines(absent.out.str()).back()["device"], "pad-z");
}

TEST_F(FlashTest, VersionPrintsTheDeviceWord) {
    struct Case {
        uint32_t word;
        std::string text;
        Json jsonWord;
        Json jsonVersion;
    };
    const std::vector<Case> cases = {
        {110, "GamePad V1.10\n", 110, "1.10"},
        {(3u << 16) | 110, "GamePad V1.10 beta3\n", (3u << 16) | 110, "1.10 beta3"},
        {5, "GamePad V0.05\n", 5, "0.05"},
        {65535, "GamePad V655.35\n", 65535, "655.35"},
        {kNoVersion, "GamePad: no firmware version\n", nullptr, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.word);
        for (const bool json : {false, true}) {
            SimPort p;
            GamepadBehaviour b;
            b.version = k.word;
            p.AddGamepad("pad-a", b);
            CapturedConsole c;
            ParsedArgs a = Args(Command::Version);
            a.json = json;
            EXPECT_EQ(zevrin::cli::Run(a, c.console, p), kExitOk);
            if (!json) {
                EXPECT_EQ(c.out.str(), k.text);
                continue;
            }
            const std::vector<Json> lines = JsonLines(c.out.str());
            ASSERT_EQ(lines.size(), 2u) << c.out.str();
            EXPECT_EQ(lines[0], Json({{"event", "version"},
                                      {"schema", 1},
                                      {"device", "pad-a"},
                                      {"version", k.jsonVersion},
                                      {"versionWord", k.jsonWord}}));
            EXPECT_EQ(WithoutSeconds(lines[1]), Result(0, "ok", nullptr, "pad-a"));
        }
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

    CapturedConsole j;
    EXPECT_EQ(zevrin::cli::Run(AsJson(Args(Command::Version)), j.console, port), kExitUpdateFailed);
    const std::vector<Json> lines = JsonLines(j.out.str());
    ASSERT_EQ(lines.size(), 1u) << j.out.str();
    EXPECT_EQ(WithoutSeconds(lines[0]),
              Result(1, "update failed", LoadExtraText(ExtraText::VersionNoAnswer), "pad-a"));
}

// --only-if-newer: a gamepad whose firmware is the file's (1.20) or newer hears the version query
// and nothing more, and the run is a success; an older one, a beta of the same number, or one
// without firmware is written.
TEST_F(FlashTest, OnlyIfNewerLeavesAnUpToDateGamepadAlone) {
    const std::vector<std::pair<uint32_t, std::string>> cases = {
        {120, "1.20"}, {121, "1.21"}, {110, ""}, {(3u << 16) | 120, ""}, {kNoVersion, ""}};
    for (const auto& [word, kept] : cases) {
        for (const bool json : {false, true}) {
            SCOPED_TRACE(std::to_string(word) + (json ? " --json" : ""));
            GamepadBehaviour b;
            b.version = word;
            SimPort asked;
            const int once = asked.AddGamepad("pad-a", b);
            CapturedConsole v;
            ASSERT_EQ(zevrin::cli::Run(Args(Command::Version), v.console, asked), kExitOk);
            SimPort p;
            const int pad = p.AddGamepad("pad-a", b);
            CapturedConsole c;
            ParsedArgs a = UpdateYes(file);
            a.onlyIfNewer = true;
            a.json = json;
            EXPECT_EQ(zevrin::cli::Run(a, c.console, p), kExitOk) << c.err.str();
            EXPECT_EQ(p.RecordingOf(pad).doneAfterWholeImage, kept.empty());
            if (kept.empty()) {
                continue;
            }
            EXPECT_EQ(p.RecordingOf(pad).reports, asked.RecordingOf(once).reports);
            if (!json) {
                EXPECT_EQ(c.out.str(), "pad-a already has firmware " + kept +
                                           " (the file has 1.20); not updated.\n");
                continue;
            }
            const std::vector<Json> lines = JsonLines(c.out.str());
            ASSERT_EQ(lines.size(), 2u) << c.out.str();
            EXPECT_EQ(lines[0], Json({{"event", "skipped"},
                                      {"schema", 1},
                                      {"device", "pad-a"},
                                      {"oldVersion", kept},
                                      {"oldVersionWord", word},
                                      {"newVersion", "1.20"},
                                      {"newVersionWord", 120}}));
            EXPECT_EQ(WithoutSeconds(lines[1]), Result(0, "ok", nullptr, "pad-a"));
        }
    }
}

TEST_F(FlashTest, InfoDescribesTheImage) {
    std::vector<uint8_t> bytes = ImageBytes((2u << 16) | 120, 0xCAFEF00D, 64, 70);
    const std::string path = dir.File("i.dat", bytes);
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(Args(Command::Info, path), c.console, port), kExitOk);
    EXPECT_EQ(c.out.str(), "File:        " + path +
                               "\n"
                               "Size:        98 bytes\n"
                               "SHA-256:     "
                               "818e062906f685637d49fe7839dd9e476357d80aa406b7e88f0a4b26aaa76701\n"
                               "Version:     1.20 beta2 (desVersion 0x00020078)\n"
                               "imageParam:  0xcafef00d\n"
                               "imageLength: 64 bytes\n"
                               "Extra bytes: 6 after the image, sent with the last chunk\n"
                               "Can be sent: yes\n");
}

// info --json: the header's fields as numbers, null where a file too short has none, the digest,
// and whether and why not it can be sent; the result agrees.
TEST_F(FlashTest, InfoAsJson) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        Json image;  // without "event" and "file"
        int exitCode;
        const char* why = nullptr;  // the result's reason, in the command line's words
    };
    const std::string truncated = LoadExtraText(ExtraText::ImageTruncated);
    const std::string tooShort = LoadExtraText(ExtraText::FileTooShort);
    const std::vector<Case> cases = {
        {"extra bytes",
         ImageBytes((2u << 16) | 120, 0xCAFEF00D, 64, 70),
         {{"size", 98},
          {"versionWord", (2u << 16) | 120},
          {"version", "1.20 beta2"},
          {"imageParam", 0xCAFEF00Du},
          {"imageLength", 64},
          {"extraBytes", 6},
          {"sha256", "818e062906f685637d49fe7839dd9e476357d80aa406b7e88f0a4b26aaa76701"},
          {"canBeSent", true},
          {"reason", nullptr},
          {"reasonCode", nullptr}},
         kExitOk},
        {"truncated",
         ImageBytes(120, 0x44332211, 100, 99),
         {{"size", 127},
          {"versionWord", 120},
          {"version", "1.20"},
          {"imageParam", 0x44332211u},
          {"imageLength", 100},
          {"extraBytes", 0},
          {"sha256", "8bb2abe00b8b14ed47c18bfd763e99251f435bdc7a87e03185e45c8c35d789e4"},
          {"canBeSent", false},
          {"reason", truncated},
          {"reasonCode", "image-truncated"}},
         kExitImageRefused,
         "fewer image bytes than its header declares"},
        {"no whole header",
         std::vector<uint8_t>(5, 1),
         {{"size", 5},
          {"versionWord", nullptr},
          {"version", nullptr},
          {"imageParam", nullptr},
          {"imageLength", nullptr},
          {"extraBytes", nullptr},
          {"sha256", "377a23f52c6b357696238c3318f677a082dd3430bb6691042bd550a5cda28ebb"},
          {"canBeSent", false},
          {"reason", tooShort},
          {"reasonCode", "file-too-short"}},
         kExitImageRefused,
         "shorter than its 28-byte header"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string path = dir.File("j.dat", k.bytes);
        CapturedConsole c;
        EXPECT_EQ(zevrin::cli::Run(AsJson(Args(Command::Info, path)), c.console, port), k.exitCode);
        const std::vector<Json> lines = JsonLines(c.out.str());
        ASSERT_EQ(lines.size(), 2u) << c.out.str();
        Json expected = k.image;
        expected["event"] = "image";
        expected["schema"] = 1;
        expected["file"] = path;
        EXPECT_EQ(lines[0], expected);
        EXPECT_EQ(lines[1]["reasonCode"],
                  expected["reasonCode"]);  // the image's why, not its frame
        EXPECT_EQ(WithoutSeconds(lines[1]),
                  k.exitCode == kExitOk
                      ? Result(0, "ok", nullptr, nullptr)
                      : Result(4, "image refused",
                               "'" + path + "': " + k.why + "; nothing was sent", nullptr));
    }
}

#if !defined(_WIN32)
// A Linux file name may be any bytes; the line must still be JSON, with U+FFFD for what is not
// UTF-8, and the run must not end in an exception half-way.
TEST_F(FlashTest, InfoAsJsonOfAFileNameThatIsNotUtf8) {
    const std::string path = dir.File("fw\xff\xfe.dat", ImageBytes(120, 0x44332211, 32, 32));
    CapturedConsole c;
    EXPECT_EQ(zevrin::cli::Run(AsJson(Args(Command::Info, path)), c.console, port), kExitOk);
    const std::vector<Json> lines = JsonLines(c.out.str());
    ASSERT_EQ(lines.size(), 2u) << c.out.str();
    EXPECT_TRUE(Contains(lines[0].value("file", ""), "fw\xef\xbf\xbd\xef\xbf\xbd.dat"))
        << lines[0].dump();
}
#endif

// The digest is of the whole file, past imageLength too, read in pieces: the standard vectors, and
// one longer than the read buffer. The same in the text and the JSON.
TEST_F(FlashTest, InfoShowsTheSha256OfTheWholeFile) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [content, digest] : vectors) {
        SCOPED_TRACE(content.size());
        const std::string path = dir.File("v.dat", {content.begin(), content.end()});
        EXPECT_EQ(Sha256File(path).value_or(""), digest);
        CapturedConsole text;
        (void)zevrin::cli::Run(Args(Command::Info, path), text.console, port);
        EXPECT_TRUE(Contains(text.out.str(), "SHA-256:     " + digest + "\n")) << text.out.str();
        CapturedConsole j;
        (void)zevrin::cli::Run(AsJson(Args(Command::Info, path)), j.console, port);
        EXPECT_EQ(JsonLines(j.out.str()).front()["sha256"], digest);
    }
    // What cannot be read to its end has no digest, rather than the digest of what was read.
    EXPECT_FALSE(Sha256File((dir.Path() / "absent.dat").string()).has_value());
    EXPECT_FALSE(Sha256File(dir.Path().string()).has_value());
}

TEST_F(FlashTest, InfoSaysWhyAnImageCannotBeSent) {
    const std::string truncated = dir.File("t.dat", ImageBytes(120, 0x44332211, 100, 99));
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

    CapturedConsole bench;
    EXPECT_EQ(RunCommandLine({"--simulate=3", "list"}, bench.console, factory), kExitOk);
    EXPECT_EQ(bench.out.str(),
              "sim:gamepad\t0483:5750\nsim:gamepad2\t0483:5750\nsim:gamepad3\t0483:5750\n");

    // A rehearsal: the gamepads arrive later, through the hot-plug watch --wait sleeps on, and
    // without --wait there is none yet.
    CapturedConsole absent;
    EXPECT_EQ(RunCommandLine({"--simulate-arrive=30", "version"}, absent.console, factory),
              kExitNoGamepad);
    CapturedConsole later;
    const auto start = Clock::now();
    EXPECT_EQ(RunCommandLine({"--simulate=2", "--simulate-arrive=0.3", "--wait=20", "version"},
                             later.console, factory),
              kExitOk);
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_LT(Clock::now() - start, 15s);
    EXPECT_EQ(later.out.str(), "GamePad V1.10\n");
    EXPECT_TRUE(Contains(later.err.str(), "Waiting for a gamepad")) << later.err.str();

    // And a gamepad unplugged after 3 chunks of 32 bytes: a failed update, as a real unplug is.
    TempDir dir;
    const std::string image = dir.File("fw.dat", ImageBytes(120, 0x44332211, 1000, 1000));
    CapturedConsole unplugged;
    EXPECT_EQ(RunCommandLine({"--simulate-fault=unplug@3", "--json", "update", "--yes", image},
                             unplugged.console, factory),
              kExitUpdateFailed);
    const std::vector<Json> lines = JsonLines(unplugged.out.str());
    ASSERT_FALSE(Events(lines, "progress").empty()) << unplugged.out.str();
    EXPECT_EQ(Events(lines, "progress").back()["sent"], 96);
    EXPECT_EQ(lines.back()["reason"], "The gamepad was unplugged.");
}

TEST(RunCommandLineTest, NoBackendIsExitCodeThreeButInfoStillWorks) {
    const PortFactory none = [](bool) -> std::unique_ptr<zevrin::HidPort> { return nullptr; };
    CapturedConsole c;
    EXPECT_EQ(RunCommandLine({"list"}, c.console, none), kExitNoGamepad);
    EXPECT_TRUE(Contains(c.err.str(), "--simulate"));

    TempDir dir;
    const std::string path = dir.File("ok.dat", ImageBytes(120, 0x44332211, 32, 32));
    CapturedConsole info;
    EXPECT_EQ(RunCommandLine({"info", path}, info.console, none), kExitOk);
}

// --wait, --all and --repeat.

// A child run of --all and --repeat on a thread of the suite: the same command line, the same lines
// for the parent to read, against the suite's simulated port. The engine's state is process-wide,
// which is why the program gives each gamepad a process of its own; here the children take turns.
class ThreadRun final : public ChildRun {
  public:
    ThreadRun(std::vector<std::string> args, SimPort& port, std::mutex& turn) : m_Out(&m_Channel) {
        m_Thread = std::thread([this, args = std::move(args), &port, &turn] {
            const std::lock_guard lock(turn);
            ScriptedInput input;
            Console console{m_Out, m_Out, input, false, [this] { return m_Stop.load(); }, {}};
            const auto device = std::find(args.begin(), args.end(), "--device");
            const std::string path = device + 1 < args.end() ? *(device + 1) : "";
            m_Code = RunCommandLine(args, console, [&](bool) -> std::unique_ptr<zevrin::HidPort> {
                return std::make_unique<DevicePort>(port, path);
            });
            m_Channel.Close();
        });
    }
    ~ThreadRun() override { (void)Wait(); }
    ThreadRun(const ThreadRun&) = delete;
    ThreadRun& operator=(const ThreadRun&) = delete;

    std::optional<std::string> ReadLine() override { return m_Channel.ReadLine(); }
    int Wait() override {
        if (m_Thread.joinable()) {
            m_Thread.join();
        }
        return m_Code;
    }
    void Stop() override { m_Stop = true; }
    void HardStop() override { m_Stop = true; }  // a thread cannot be ended at once

  private:
    LineChannel m_Channel;
    std::ostream m_Out;
    std::atomic<bool> m_Stop{false};
    int m_Code = -1;
    std::thread m_Thread;
};

class FlashBenchTest : public FlashTest {
  protected:
    ChildLauncher Children(SimPort& p) {
        return [this, &p](const std::vector<std::string>& args,
                          std::string&) -> std::unique_ptr<ChildRun> {
            return std::make_unique<ThreadRun>(args, p, m_Turn);
        };
    }

    // The summary row of `path`: its last line, below the versions listed before the question.
    static std::string Row(const std::string& out, const std::string& path) {
        std::istringstream lines(out);
        std::string row = "(no row for " + path + ")";
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(path + " ", 0) == 0) {
                row = line;
            }
        }
        return row;
    }

  private:
    std::mutex m_Turn;
};

struct BenchPad {
    const char* path;
    GamepadBehaviour behaviour;
    OpenStatus open = OpenStatus::Ok;
    const char* shown;  // what its row says in place of the new version
};

struct AllCase {
    const char* name;
    std::vector<BenchPad> pads;
    int exitCode;
};

void PrintTo(const AllCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashAllTest : public FlashBenchTest, public ::testing::WithParamInterface<AllCase> {};

// Each gamepad's fault stays its own: the others get their whole image, the table says what became
// of each, and the exit code is the worst of them (a failed transfer over one that never opened).
TEST_P(FlashAllTest, EveryGamepadAtOnceAndTheWorstExitCode) {
    const auto bench = [this](SimPort& p) {
        std::vector<int> ids;
        for (const BenchPad& pad : GetParam().pads) {
            ids.push_back(p.AddGamepad(pad.path, pad.behaviour));
            p.SetOpenStatus(ids.back(), pad.open);
        }
        return ids;
    };
    const std::vector<int> ids = bench(port);
    CapturedConsole c;
    ParsedArgs a = UpdateYes(file);
    a.all = true;
    a.silenceLimit = 2s;
    EXPECT_EQ(zevrin::cli::Run(a, c.console, port, Children(port)), GetParam().exitCode);

    const std::string out = c.out.str();
    size_t updated = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        const BenchPad& pad = GetParam().pads[i];
        const bool ok = std::string(pad.shown) == "1.20";
        updated += ok ? 1 : 0;
        EXPECT_EQ(port.RecordingOf(ids[i]).doneAfterWholeImage, ok) << pad.path;
        if (ok) {
            EXPECT_EQ(port.RecordingOf(ids[i]).received, ImageData());
        }
        const std::string row = Row(out, pad.path);
        // A gamepad that never opened never told its version.
        EXPECT_TRUE(Contains(row, pad.open == OpenStatus::Ok ? " 1.10 " : " unknown ")) << row;
        EXPECT_TRUE(Contains(row, std::string("  ") + pad.shown)) << row;
        EXPECT_EQ(row.substr(row.size() - 2), " s") << row;
    }
    EXPECT_TRUE(Contains(out, "Proceed with the update? [y/N] y (--yes)\n"));
    EXPECT_TRUE(Contains(
        out, std::to_string(updated) + " of " + std::to_string(ids.size()) + " updated.\n"))
        << out;

    // --json: the children's lines as they come, each naming its gamepad, a result for every one
    // (one that failed to open too), then the summary of the whole run.
    SimPort p;
    bench(p);
    CapturedConsole j;
    EXPECT_EQ(zevrin::cli::Run(AsJson(a), j.console, p, Children(p)), GetParam().exitCode);
    const std::vector<Json> lines = JsonLines(j.out.str());
    ASSERT_FALSE(lines.empty());
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].value("device", "").rfind("pad-", 0) == 0) << lines[i].dump();
    }
    for (const BenchPad& pad : GetParam().pads) {
        const auto results = Events(lines, "result");
        const bool ok = std::string(pad.shown) == "1.20";
        EXPECT_EQ(std::count_if(results.begin(), results.end(),
                                [&](const Json& r) {
                                    return r["device"] == pad.path && (r["exitCode"] == 0) == ok;
                                }),
                  1)
            << pad.path << j.out.str();
    }
    EXPECT_EQ(WithoutSeconds(lines.back()),
              Json({{"event", "summary"},
                    {"schema", 1},
                    {"exitCode", GetParam().exitCode},
                    {"meaning", FindExitCode(GetParam().exitCode)->meaning},
                    {"reason", nullptr},
                    {"newVersion", "1.20"},
                    {"newVersionWord", kFileVersion},
                    {"gamepads", ids.size()},
                    {"ok", updated},
                    {"failed", ids.size() - updated}}));
}

INSTANTIATE_TEST_SUITE_P(
    Benches, FlashAllTest,
    ::testing::Values(AllCase{"TwoOneUnplugged",
                              {{"pad-a", {}, OpenStatus::Ok, "1.20"},
                               {"pad-b", Faulty(FaultKind::Unplug, Moment::MidTransfer),
                                OpenStatus::Ok, "failed: The gamepad was unplugged."}},
                              kExitUpdateFailed},
                      AllCase{"FourOneFailingOneUnpluggedOneClaimed",
                              {{"pad-a", Faulty(FaultKind::Failed21, Moment::MidTransfer),
                                OpenStatus::Ok, "failed: Firmware update failure"},
                               {"pad-b", {}, OpenStatus::Ok, "1.20"},
                               {"pad-c", Faulty(FaultKind::Unplug, Moment::FirstChunk),
                                OpenStatus::Ok, "failed: The gamepad was unplugged."},
                               {"pad-d",
                                {},
                                OpenStatus::Claimed,
                                "failed: Another program is updating this gamepad."}},
                              kExitUpdateFailed},
                      AllCase{"OneCannotBeOpened",
                              {{"pad-a", {}, OpenStatus::Ok, "1.20"},
                               {"pad-b", {}, OpenStatus::PermissionDenied, "failed: "}},
                              kExitNoGamepad},
                      AllCase{"FailedIsWorseThanUnopened",
                              {{"pad-a", {}, OpenStatus::PermissionDenied, "failed: "},
                               {"pad-b", Faulty(FaultKind::Failed24, Moment::FirstChunk),
                                OpenStatus::Ok, "failed: Firmware update failure"}},
                              kExitUpdateFailed}),
    [](const auto& p) { return std::string(p.param.name); });

// Without --yes one question covers every gamepad; its answer goes for all of them.
TEST_F(FlashBenchTest, AllAsksOnceForEveryGamepad) {
    for (const bool yes : {true, false}) {
        SCOPED_TRACE(yes ? "yes" : "no");
        SimPort p;
        const int a = p.AddGamepad("pad-a");
        const int b = p.AddGamepad("pad-b");
        CapturedConsole c({yes ? "y" : "n"});
        ParsedArgs args = Args(Command::Update, file);
        args.all = true;
        EXPECT_EQ(zevrin::cli::Run(args, c.console, p, Children(p)),
                  yes ? kExitOk : kExitCancelled);
        EXPECT_EQ(c.input.Asked(), 1);
        EXPECT_TRUE(Contains(c.out.str(),
                             "pad-a  1.10 -> 1.20\npad-b  1.10 -> 1.20\n"
                             "New firmware 1.20 for all 2 of them.\nProceed"))
            << c.out.str();
        for (const int id : {a, b}) {
            EXPECT_EQ(p.RecordingOf(id).doneAfterWholeImage, yes);
            EXPECT_EQ(p.RecordingOf(id).headerReceived, yes);
        }
    }
    // --only-if-newer: the one already up to date is listed so, asked nothing more, and is no
    // failure; the question is for the other alone.
    GamepadBehaviour current;
    current.version = kFileVersion;
    const int a = port.AddGamepad("pad-a");
    const int b = port.AddGamepad("pad-bb", current);
    CapturedConsole c({"y"});
    ParsedArgs args = Args(Command::Update, file);
    args.all = true;
    args.onlyIfNewer = true;
    EXPECT_EQ(zevrin::cli::Run(args, c.console, port, Children(port)), kExitOk);
    const std::string out = c.out.str();
    EXPECT_TRUE(Contains(out,
                         "pad-a   1.10 -> 1.20\npad-bb  1.20  (up to date, not updated)\n"
                         "New firmware 1.20 for 1 of the 2 gamepads; the others are up to "
                         "date.\n"))
        << out;
    EXPECT_TRUE(port.RecordingOf(a).doneAfterWholeImage);
    const auto kept = port.RecordingOf(b);
    EXPECT_EQ(kept.versionRequests, kept.reports.size());  // version queries, and nothing more
    EXPECT_TRUE(Contains(Row(out, "pad-bb"), " 1.20  up to date, not updated ")) << out;
    EXPECT_TRUE(Contains(out, "1 of 2 updated, 1 already up to date.\n")) << out;
}

// A stop request that lands while the children are being started: the ones not yet started never
// are, and the table says so; the ones started are stopped.
TEST_F(FlashBenchTest, AllStartsNoChildOnceStopped) {
    // Slow enough that the first run cannot end before the stop reaches it, on a busy machine too.
    GamepadBehaviour slow;
    slow.latency = std::chrono::milliseconds(50);
    const int a = port.AddGamepad("pad-a", slow);
    const int b = port.AddGamepad("pad-b");
    std::atomic<bool> stop{false};
    CapturedConsole c;
    c.console.interrupted = [&] { return stop.load(); };
    const ChildLauncher children = Children(port);
    const ChildLauncher stopAfterTheFirst = [&](const std::vector<std::string>& args,
                                                std::string& error) {
        if (std::find(args.begin(), args.end(), "update") != args.end()) {
            stop = true;  // the versions were asked first
        }
        return children(args, error);
    };
    ParsedArgs args = UpdateYes(file);
    args.all = true;
    EXPECT_EQ(zevrin::cli::Run(args, c.console, port, stopAfterTheFirst), kExitInterrupted);
    EXPECT_FALSE(port.RecordingOf(a).doneReceived);
    const auto rec = port.RecordingOf(b);
    EXPECT_EQ(rec.versionRequests, rec.reports.size());  // asked its version, no more
    EXPECT_TRUE(Contains(Row(c.out.str(), "pad-b"), "failed: Stopped before it was started."))
        << c.out.str();
    EXPECT_TRUE(Contains(c.out.str(), "0 of 2 updated.\n")) << c.out.str();
}

TEST_F(FlashBenchTest, AllVersionsInOneTable) {
    GamepadBehaviour none;
    none.version = kNoVersion;
    port.AddGamepad("pad-a");
    port.AddGamepad("pad-b", none);
    CapturedConsole c;
    ParsedArgs a = Args(Command::Version);
    a.all = true;
    EXPECT_EQ(zevrin::cli::Run(a, c.console, port, Children(port)), kExitOk);
    EXPECT_TRUE(Contains(Row(c.out.str(), "pad-a"), " 1.10 ")) << c.out.str();
    EXPECT_TRUE(Contains(Row(c.out.str(), "pad-b"), " none ")) << c.out.str();
    EXPECT_TRUE(Contains(c.out.str(), "2 of 2 answered.\n"));
}

// --wait ends when a gamepad arrives (another device arriving is no reason), or with exit code 3
// once its bound has passed.
TEST_F(FlashBenchTest, WaitEndsWithAGamepadArrivingOrItsBound) {
    const int pad = AddPad();
    port.Unplug(pad);
    const int keyboard = port.AddInterface("keyboard", 0x046d, 0xc31c);
    port.Unplug(keyboard);
    CapturedConsole c;
    // The wait looks for a stop request every slice: once it has looked twice, it is waiting (a
    // start can take seconds on a loaded machine, so a fixed delay would race it).
    std::atomic<int> looks{0};
    c.console.interrupted = [&looks] {
        ++looks;
        return false;
    };
    std::thread plugging([&] {
        const auto giveUp = Clock::now() + 20s;
        while (looks.load() < 2 && Clock::now() < giveUp) {
            std::this_thread::sleep_for(10ms);
        }
        port.Plug(keyboard);
        std::this_thread::sleep_for(300ms);
        port.Plug(pad);
    });
    ParsedArgs a = Args(Command::Version);
    a.wait = true;
    a.waitLimit = 30s;
    auto start = Clock::now();
    EXPECT_EQ(zevrin::cli::Run(a, c.console, port), kExitOk);
    EXPECT_GE(Clock::now() - start, 300ms);  // the keyboard's arrival did not end it
    EXPECT_LT(Clock::now() - start, 25s);    // released by the arrival, not by the bound
    plugging.join();
    EXPECT_EQ(c.out.str(), "GamePad V1.10\n");
    EXPECT_TRUE(Contains(c.err.str(), "Waiting for a gamepad in boot mode")) << c.err.str();

    port.Unplug(pad);
    CapturedConsole bounded;
    a.waitLimit = 300ms;
    start = Clock::now();
    EXPECT_EQ(zevrin::cli::Run(a, bounded.console, port), kExitNoGamepad);
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_TRUE(Contains(bounded.err.str(), "no gamepad arrived within 0.3 s.\n"));
}

// The line mode: gamepads arrive one after another and each is written once (the first stays
// plugged in and is not written again), a line as each finishes; a stop prints the totals. A
// gamepad unplugged and another plugged in at the same path while the list is not being read (here
// while the second is written) is a new arrival all the same.
TEST_F(FlashBenchTest, RepeatWritesEachArrivalUntilStopped) {
    struct Case {
        const char* name;
        GamepadBehaviour second;
        bool swapFirstWhileSecondIsWritten;
        std::string order;        // the gamepads pad-a, pad-b, pad-c in the order they are written
        std::string secondShows;  // after its old version
        std::string totals;
        int exitCode;
        bool json = false;  // a result line for each gamepad, the summary at the stop
    };
    const std::vector<Case> cases = {
        {"AllWritten", {}, false, "abc", "1.20 ok", "done 3, failed 0", kExitOk},
        {"SecondUnplugged", Faulty(FaultKind::Unplug, Moment::MidTransfer), false, "abc",
         "failed: The gamepad was unplugged.", "done 2, failed 1", kExitUpdateFailed},
        {"FirstSwappedAtItsPath", {}, true, "abac", "1.20 ok", "done 4, failed 0", kExitOk},
        {"SecondUnpluggedAsJson", Faulty(FaultKind::Unplug, Moment::MidTransfer), false, "abc",
         "failed: The gamepad was unplugged.", "done 2, failed 1", kExitUpdateFailed, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        SimPort p;
        std::vector<int> pads = {p.AddGamepad("pad-a"), p.AddGamepad("pad-b", k.second),
                                 p.AddGamepad("pad-c")};
        for (const int id : pads) {
            p.Unplug(id);
        }
        ChildLauncher launch = Children(p);
        if (k.swapFirstWhileSecondIsWritten) {
            launch = [&, inner = launch](const std::vector<std::string>& args, std::string& error) {
                if (std::find(args.begin(), args.end(), "pad-b") != args.end()) {
                    p.Unplug(pads[0]);
                    p.Plug(pads[0]);
                }
                return inner(args, error);
            };
        }
        LineChannel channel;
        std::ostream out(&channel);
        std::ostringstream err;
        ScriptedInput input;
        std::atomic<bool> stop{false};
        Console console{out, err, input, false, [&] { return stop.load(); }, {}};
        ParsedArgs a = UpdateYes(file);
        a.repeat = true;
        a.json = k.json;
        a.silenceLimit = 2s;
        int code = -1;
        std::thread run([&] {
            code = zevrin::cli::Run(a, console, p, launch);
            channel.Close();
        });
        std::vector<std::string> lines;
        if (!k.json) {
            lines.push_back(channel.ReadLine().value_or(""));
        }
        for (const int id : pads) {
            p.Plug(id);
            lines.push_back(channel.ReadLine().value_or(""));
        }
        while (lines.size() < k.order.size() + (k.json ? 0 : 1)) {
            lines.push_back(channel.ReadLine().value_or(""));
        }
        stop = true;
        lines.push_back(channel.ReadLine().value_or(""));
        run.join();

        EXPECT_EQ(code, k.exitCode);
        if (k.json) {
            std::string all;
            for (const std::string& line : lines) {
                all += line + "\n";
            }
            const std::vector<Json> json = JsonLines(all);
            ASSERT_EQ(json.size(), k.order.size() + 1) << all;
            for (size_t i = 0; i < k.order.size(); ++i) {
                EXPECT_EQ(json[i]["event"], "result");
                EXPECT_EQ(json[i]["device"], std::string("pad-") + k.order[i]);
                EXPECT_EQ(json[i]["exitCode"], i == 1 ? kExitUpdateFailed : kExitOk);
            }
            const Json summary = WithoutSeconds(json.back());
            EXPECT_EQ(summary["event"], "summary");
            EXPECT_EQ(summary["exitCode"], k.exitCode);
            EXPECT_EQ(summary["ok"], 2);
            EXPECT_EQ(summary["failed"], 1);
            continue;
        }
        ASSERT_EQ(lines.size(), k.order.size() + 2);
        EXPECT_EQ(lines[0],
                  "Writing " + file +
                      " (1.20) into each gamepad that arrives in boot mode; Ctrl-C ends.");
        for (size_t i = 0; i < k.order.size(); ++i) {
            const std::string start =
                zevrin::Format("#%d pad-%c 1.10 -> %s ", static_cast<int>(i + 1), k.order[i],
                               i == 1 ? k.secondShows.c_str() : "1.20 ok");
            EXPECT_EQ(lines[i + 1].rfind(start, 0), 0u) << lines[i + 1];
        }
        EXPECT_EQ(lines.back(), k.totals);
        for (size_t i = 0; i < pads.size(); ++i) {
            EXPECT_EQ(p.RecordingOf(pads[i]).enterUpdates,
                      static_cast<size_t>(
                          std::count(k.order.begin(), k.order.end(), static_cast<char>('a' + i))));
        }
    }
}

}  // namespace

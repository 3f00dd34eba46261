// zevrin-uhid-gamepad where this machine has no /dev/uhid: its command line, and its loop against
// a socket that passes whole uhid_event records as the character device does, the test playing
// the kernel. What the real kernel makes of it is the real-stack bench's to show.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "tools/uhid-gamepad/Options.h"
#include "tools/uhid-gamepad/UhidGamepad.h"

using namespace std::chrono_literals;
using zevrin::protocol::FaultKind;
using zevrin::protocol::GamepadBehaviour;
using zevrin::protocol::Moment;
using zevrin::uhid::Options;
using zevrin::uhid::UhidGamepad;

namespace {

// --- The command line -------------------------------------------------------------------------

struct Accepted {
    std::vector<std::string> args;
    std::function<void(Options&)> expect;  // applied to the defaults
};

const Accepted kAccepted[] = {
    {{}, [](Options&) {}},
    {{"--vid", "3EFD", "--pid", "0x5760"},
     [](Options& o) {
         o.vendorId = 0x3EFD;
         o.productId = 0x5760;
     }},
    {{"--version", "0x00030078", "--type", "200"},
     [](Options& o) {
         o.behaviour.version = 0x00030078;
         o.behaviour.firmwareType = 200;
     }},
    {{"--version", "0120"}, [](Options& o) { o.behaviour.version = 120; }},  // never octal
    {{"--version", "4294967295"}, [](Options& o) { o.behaviour.version = kNoVersion; }},
    {{"--no-version", "--latency", "1"},
     [](Options& o) {
         o.behaviour.answersVersion = false;
         o.behaviour.latency = 1ms;
     }},
    {{"--fault", "unplug@mid-transfer"},
     [](Options& o) {
         o.behaviour.fault = {FaultKind::Unplug, Moment::MidTransfer};
     }},
    {{"--fault", "delay500@get-version", "--name", "pad"},
     [](Options& o) {
         o.behaviour.fault = {FaultKind::Delay500, Moment::GetVersion};
         o.name = "pad";
     }},
    {{"--ready", "r", "--record", "c", "--image-out", "i", "--turnaround", "t"},
     [](Options& o) {
         o.readyFile = "r";
         o.recordFile = "c";
         o.imageOutFile = "i";
         o.turnaroundFile = "t";
     }},
};

std::string Describe(const Options& o) {
    std::ostringstream s;
    const GamepadBehaviour& b = o.behaviour;
    s << std::hex << o.vendorId << ":" << o.productId << std::dec << " name=" << o.name
      << " version=" << b.version << (b.answersVersion ? "" : " (never)")
      << " type=" << b.firmwareType << " latency=" << b.latency.count()
      << " fault=" << static_cast<int>(b.fault.kind) << "@" << static_cast<int>(b.fault.moment)
      << " ready=" << o.readyFile << " record=" << o.recordFile << " image=" << o.imageOutFile
      << " turnaround=" << o.turnaroundFile;
    return s.str();
}

TEST(UhidOptionsTest, EveryOptionLandsWhereTheBenchExpectsIt) {
    for (const Accepted& c : kAccepted) {
        const auto parsed = zevrin::uhid::ParseOptions(c.args);
        ASSERT_TRUE(std::holds_alternative<Options>(parsed))
            << std::get<zevrin::uhid::UsageError>(parsed).message;
        Options expected;
        c.expect(expected);
        EXPECT_EQ(Describe(std::get<Options>(parsed)), Describe(expected));
    }
}

TEST(UhidOptionsTest, AnythingElseIsAUsageError) {
    const std::vector<std::vector<std::string>> refused = {
        {"--vid"},
        {"--vid", "12345"},
        {"--vid", "xyz"},
        {"--pid", "-1"},
        {"--version", "0x100000000"},
        {"--version", "1.5"},
        {"--type", ""},
        {"--latency", "-5"},
        {"--latency", "1ms"},
        {"--fault", "unplug"},
        {"--fault", "melt@header"},
        {"--fault", "silence@later"},
        {"--fault", "writefail@header"},  // a uhid device cannot refuse the kernel's writes
        {"--fault", "silence@header", "--fault", "unplug@header"},
        {"--bogus"},
        {"/dev/hidraw0"},
    };
    for (const auto& args : refused) {
        const auto parsed = zevrin::uhid::ParseOptions(args);
        ASSERT_TRUE(std::holds_alternative<zevrin::uhid::UsageError>(parsed)) << args[0];
        EXPECT_FALSE(std::get<zevrin::uhid::UsageError>(parsed).message.empty());
    }
}

int ExitCodeOf(const std::string& args, const std::string& errFile) {
    const int status = std::system(
        (std::string(ZEVRIN_UHID_GAMEPAD) + " " + args + " 2>" + errFile + " >/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(UhidOptionsTest, ExitsTwoOnBadOptionsAndOneWithoutUhid) {
    zevrin::test::TempDir dir;
    const std::string err = (dir.Path() / "err").string();
    EXPECT_EQ(ExitCodeOf("--fault silence", err), 2);
    if (::access("/dev/uhid", F_OK) == 0) {
        GTEST_SKIP() << "this machine has /dev/uhid: the program would make a device";
    }
    EXPECT_EQ(ExitCodeOf("--record " + (dir.Path() / "rec").string(), err), 1);
    std::ifstream in(err);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("open /dev/uhid: (2) "), std::string::npos) << said;
}

// --- The loop -----------------------------------------------------------------------------------

// Walks the descriptor's short items: bits of each input and output report, and any report id.
struct DescriptorReports {
    unsigned inputBits = 0;
    unsigned outputBits = 0;
    bool reportIds = false;
};

DescriptorReports Walk(const uint8_t* d, size_t n) {
    DescriptorReports r;
    unsigned size = 0;
    unsigned count = 0;
    for (size_t i = 0; i < n;) {
        const uint8_t prefix = d[i];
        const size_t length = (prefix & 3) == 3 ? 4 : (prefix & 3);
        unsigned value = 0;
        for (size_t k = 0; k < length && i + 1 + k < n; ++k) {
            value |= static_cast<unsigned>(d[i + 1 + k]) << (8 * k);
        }
        switch (prefix & 0xFC) {
            case 0x74:
                size = value;
                break;
            case 0x94:
                count = value;
                break;
            case 0x84:
                r.reportIds = true;
                break;
            case 0x80:
                r.inputBits += size * count;
                break;
            case 0x90:
                r.outputBits += size * count;
                break;
            default:
                break;
        }
        i += 1 + length;
    }
    return r;
}

class UhidLoopTest : public ::testing::Test {
  protected:
    ~UhidLoopTest() override {
        if (m_Thread.joinable()) {
            Stop();
        }
        for (int fd : {m_Kernel, m_Device, m_Stop[0], m_Stop[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    // Makes the device and starts its loop; the creation event is waiting on the kernel's end.
    void Start(const GamepadBehaviour& behaviour = {}) {
        int pair[2] = {-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        m_Kernel = pair[0];
        m_Device = pair[1];
        ASSERT_EQ(::pipe2(m_Stop, O_CLOEXEC), 0);
        m_Gamepad.emplace(behaviour);
        m_Loop.emplace(m_Device, *m_Gamepad);
        ASSERT_TRUE(m_Loop->Create({0x0483, 0x5750, "pad", "uniq-7"}));
        m_Thread = std::thread([this] {
            m_End = m_Loop->Run(m_Stop[0], [this] {
                m_StartedCalls++;
                return m_NodeVisible.load();
            });
        });
    }

    // The next event the device wrote, or nothing within `wait`.
    std::optional<uhid_event> Next(std::chrono::milliseconds wait = 2000ms) {
        pollfd p{m_Kernel, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) {
            return std::nullopt;
        }
        uhid_event ev{};
        if (::recv(m_Kernel, &ev, sizeof ev, 0) != static_cast<ssize_t>(sizeof ev)) {
            return std::nullopt;
        }
        return ev;
    }

    uint32_t NextType() {
        const auto ev = Next();
        return ev ? ev->type : ~0u;
    }

    void Send(const uhid_event& ev) {
        ASSERT_EQ(::send(m_Kernel, &ev, sizeof ev, 0), static_cast<ssize_t>(sizeof ev));
    }

    void SendType(uint32_t type) {
        uhid_event ev{};
        ev.type = type;
        Send(ev);
    }

    // What hidraw hands on for a 65-byte write: the report id 0, the frame's length, the frame.
    void Output(const std::vector<uint8_t>& frame) {
        uhid_event ev{};
        ev.type = UHID_OUTPUT;
        ev.u.output.size = zevrin::kReportSize;
        ev.u.output.rtype = UHID_OUTPUT_REPORT;
        ev.u.output.data[1] = static_cast<uint8_t>(frame.size());
        std::copy(frame.begin(), frame.end(), ev.u.output.data + 2);
        Send(ev);
    }

    // The next input report, all 64 bytes of it.
    std::vector<uint8_t> Input() {
        const auto ev = Next();
        if (!ev || ev->type != UHID_INPUT2 || ev->u.input2.size != zevrin::kReportPayload) {
            ADD_FAILURE() << "no 64-byte UHID_INPUT2";
            return {};
        }
        return {ev->u.input2.data, ev->u.input2.data + zevrin::kReportPayload};
    }

    // Stops the loop as a signal does, and removes the device as the program then does.
    UhidGamepad::End Stop() {
        EXPECT_EQ(::write(m_Stop[1], "x", 1), 1);
        m_Thread.join();
        m_Loop->Destroy();
        return m_End;
    }

    // A 64-byte input report: `head`, then zeros.
    static std::vector<uint8_t> Report(std::vector<uint8_t> head) {
        head.resize(zevrin::kReportPayload, 0);
        return head;
    }

    int m_Kernel = -1;
    int m_Device = -1;
    int m_Stop[2] = {-1, -1};
    std::optional<zevrin::protocol::Gamepad> m_Gamepad;
    std::optional<UhidGamepad> m_Loop;
    std::thread m_Thread;
    UhidGamepad::End m_End = UhidGamepad::End::Failed;
    std::atomic<int> m_StartedCalls{0};
    std::atomic<bool> m_NodeVisible{false};
};

TEST_F(UhidLoopTest, CreatesAUsbGamepadWithOne64ByteReportEachWayAndNoIds) {
    Start();
    const auto ev = Next();
    ASSERT_TRUE(ev);
    ASSERT_EQ(+ev->type, UHID_CREATE2);
    const uhid_create2_req& c = ev->u.create2;
    // The fields are packed: compared as copies.
    EXPECT_EQ(+c.bus, BUS_USB);
    EXPECT_EQ(+c.vendor, 0x0483u);
    EXPECT_EQ(+c.product, 0x5750u);
    EXPECT_STREQ(reinterpret_cast<const char*>(c.uniq), "uniq-7");
    const DescriptorReports r = Walk(c.rd_data, c.rd_size);
    EXPECT_EQ(r.inputBits, 64u * 8);
    EXPECT_EQ(r.outputBits, 64u * 8);
    EXPECT_FALSE(r.reportIds);
    EXPECT_EQ(Stop(), UhidGamepad::End::Stopped);
    EXPECT_EQ(NextType(), UHID_DESTROY);
}

TEST_F(UhidLoopTest, AWholeUpdateIsAnsweredByteForByteAndTimed) {
    Start();
    ASSERT_EQ(NextType(), UHID_CREATE2);

    // The node is looked for only once the kernel has started the device, until it is there.
    Output({0x00, MSG_ENTER_UPDATE, 0x01, 0x00, 0x00});
    std::vector<uint8_t> info(zevrin::kReportPayload, 0);
    info[0] = 44;
    info[2] = MSG_DEVICE_INFO;
    info[3] = 40;
    info[1 + 4 + kDeviceInfoTypeOffset] = 1;
    EXPECT_EQ(Input(), info);
    EXPECT_EQ(m_StartedCalls.load(), 0);
    SendType(UHID_START);
    SendType(UHID_OPEN);
    EXPECT_TRUE(zevrin::test::WaitFor([&] { return m_StartedCalls.load() >= 2; }));
    m_NodeVisible = true;
    EXPECT_TRUE(zevrin::test::WaitFor([&] {
        const int before = m_StartedCalls.load();
        std::this_thread::sleep_for(50ms);
        return m_StartedCalls.load() == before;
    }));

    Output({0x00, MSG_UPDATE, 0x01, 0x00, CMD_GET_VERSION});
    EXPECT_EQ(Input(), Report({11, 0x00, MSG_UPDATE, 0x07, 0x00, EVT_VERSION, 0x04, 0x00, 110}));

    std::vector<uint8_t> header(35, 0);
    header[1] = MSG_UPDATE;
    header[2] = 0x1F;
    header[4] = CMD_FIRMWARE_HEADER;
    header[5] = 0x1C;
    header[15] = 40;  // imageLength
    Output(header);
    const std::vector<uint8_t> request = Report({5, 0x00, MSG_UPDATE, 0x01, 0x00, 0x14});
    EXPECT_EQ(Input(), request);

    std::this_thread::sleep_for(20ms);  // the host taking its time over the first chunk
    std::vector<uint8_t> chunk = {0x00, MSG_UPDATE, 0x23, 0x00, CMD_FIRMWARE_DATA, 0x20, 0x00};
    for (uint8_t i = 1; i <= 32; ++i) {
        chunk.push_back(i);
    }
    Output(chunk);
    EXPECT_EQ(Input(), request);
    Output({0x00, MSG_UPDATE, 0x0B, 0x00, CMD_FIRMWARE_DATA, 0x08, 0x00, 33, 34, 35, 36, 37, 38, 39,
            40});
    EXPECT_EQ(Input(), request);  // the whole image is in: the request for DONE
    Output({0x00, MSG_UPDATE, 0x01, 0x00, CMD_UPDATE_DONE});

    EXPECT_EQ(Stop(), UhidGamepad::End::Stopped);
    EXPECT_EQ(NextType(), UHID_DESTROY);
    EXPECT_EQ(zevrin::uhid::RecordText(m_Gamepad->RecordingOf()),
              "enter_updates=1\nversion_requests=1\npolls=0\nheader_received=1\nimage_length=40\n"
              "chunks=2\ndone_received=1\ndone_after_whole_image=1\n");
    ASSERT_EQ(m_Loop->TurnaroundsUs().size(), 2u);  // the request for DONE got no data frame
    EXPECT_GE(m_Loop->TurnaroundsUs()[0], 20'000);
    EXPECT_LT(m_Loop->TurnaroundsUs()[0], 2'000'000);
    EXPECT_GE(m_Loop->TurnaroundsUs()[1], 0);
}

TEST_F(UhidLoopTest, AnswersComeLateAndInOrder) {
    GamepadBehaviour b;
    b.latency = 40ms;
    b.fault = {FaultKind::Malformed, Moment::EnterUpdate};
    Start(b);
    ASSERT_EQ(NextType(), UHID_CREATE2);
    const auto sent = std::chrono::steady_clock::now();
    Output({0x00, MSG_ENTER_UPDATE, 0x01, 0x00, 0x00});
    EXPECT_EQ(Input(), Report({5, 0x00, 0x04, 0xFF, 0xFF, 0x14}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 40ms);
    EXPECT_EQ(Input(), Report({5, 0x00, MSG_UPDATE, 0xFF, 0xFF, 0x77}));
    EXPECT_EQ(Input(), Report({4, 0x00, 0x42, 0x00, 0x00}));
    EXPECT_EQ(Input(), Report({}));
    EXPECT_EQ(Input()[2], MSG_DEVICE_INFO);

    // The gamepad has no feature reports: the kernel is told so at once, not left to time out.
    uhid_event get{};
    get.type = UHID_GET_REPORT;
    get.u.get_report.id = 7;
    Send(get);
    const auto reply = Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(+reply->u.get_report_reply.id, 7u);
    EXPECT_NE(+reply->u.get_report_reply.err, 0);
}

TEST_F(UhidLoopTest, AnUnplugFaultDestroysTheDeviceAndEndsTheLoop) {
    GamepadBehaviour b;
    b.fault = {FaultKind::Unplug, Moment::EnterUpdate};
    Start(b);
    ASSERT_EQ(NextType(), UHID_CREATE2);
    Output({0x00, MSG_ENTER_UPDATE, 0x01, 0x00, 0x00});
    EXPECT_EQ(NextType(), UHID_DESTROY);
    m_Thread.join();
    EXPECT_EQ(m_End, UhidGamepad::End::Unplugged);
    m_Loop->Destroy();
    EXPECT_FALSE(Next(100ms));  // destroyed once
}

TEST_F(UhidLoopTest, AClosedDescriptorEndsTheLoopWithAReason) {
    Start();
    ASSERT_EQ(NextType(), UHID_CREATE2);
    ::close(m_Kernel);
    m_Kernel = -1;
    m_Thread.join();
    EXPECT_EQ(m_End, UhidGamepad::End::Failed);
    EXPECT_FALSE(m_Loop->Error().empty());
}

}  // namespace

// The simulated gamepad is the ground every flow test stands on: its transport must behave like a
// device (reads wait, unplugged devices fail, events fire) and its recording must be exact.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "hid/CHid.h"
#include "hid/sim/SimBench.h"
#include "update/Protocol.h"

using namespace std::chrono_literals;
using zevrin::OpenStatus;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::sim::SimPort;

namespace {

using Clock = std::chrono::steady_clock;

struct Channel {
    std::unique_ptr<zevrin::HidWriteHandle> w;
    std::unique_ptr<zevrin::HidReadHandle> r;
};

Channel Open(SimPort& port, const std::string& path) {
    OpenStatus s = OpenStatus::Failed;
    Channel c;
    c.w = port.OpenWrite(path, s);
    c.r = port.OpenRead(path, s);
    return c;
}

bool Send(Channel& c, const std::vector<uint8_t>& frame) {
    uint8_t report[zevrin::kReportSize] = {};
    report[1] = static_cast<uint8_t>(frame.size());
    std::copy(frame.begin(), frame.end(), report + 2);
    return c.w->Write(report);
}

// The 35-byte header frame for an image of `length` bytes.
std::vector<uint8_t> HeaderFrame(uint32_t length) {
    std::vector<uint8_t> f(35, 0);
    f[1] = MSG_UPDATE;
    f[2] = 0x1F;
    f[4] = CMD_FIRMWARE_HEADER;
    f[5] = 0x1C;
    WriteLe32(f.data() + 7, 0x78);
    WriteLe32(f.data() + 15, length);
    return f;
}

TEST(SimPortTest, AnswersTheProtocolStepsInOrder) {
    SimPort port;
    GamepadBehaviour b;
    b.firmwareType = 200;
    b.version = 0x00030078;
    const int pad = port.AddGamepad("pad", b);
    Channel c = Open(port, "pad");
    uint8_t in[64];

    ASSERT_TRUE(Send(c, {0x00, MSG_ENTER_UPDATE, 0x01, 0x00, 0x00}));
    ASSERT_EQ(c.r->Read(in, 100), zevrin::kReadOk);
    EXPECT_EQ(in[0], 44);  // 4 + 40-byte body
    EXPECT_EQ(in[2], MSG_DEVICE_INFO);
    EXPECT_EQ(ReadLe32(in + 1 + 4 + kDeviceInfoTypeOffset), 200u);

    ASSERT_TRUE(Send(c, {0x00, MSG_UPDATE, 0x01, 0x00, CMD_GET_VERSION}));
    ASSERT_EQ(c.r->Read(in, 100), zevrin::kReadOk);
    EXPECT_EQ(in[5], EVT_VERSION);
    EXPECT_EQ(ReadLe32(in + 8), 0x00030078u);  // receive-buffer offsets 8..11

    // Header of a 40-byte image, then two chunks, then the request for CMD_UPDATE_DONE.
    ASSERT_TRUE(Send(c, HeaderFrame(40)));
    ASSERT_EQ(c.r->Read(in, 100), zevrin::kReadOk);
    EXPECT_EQ(in[5], SET_FIRMWARE_DATA);
    ASSERT_TRUE(Send(c, {0x00, MSG_UPDATE, 0x23, 0x00, CMD_FIRMWARE_DATA,
                         0x20, 0x00,       1,    2,    3,
                         4,    5,          6,    7,    8,
                         9,    10,         11,   12,   13,
                         14,   15,         16,   17,   18,
                         19,   20,         21,   22,   23,
                         24,   25,         26,   27,   28,
                         29,   30,         31,   32}));
    ASSERT_EQ(c.r->Read(in, 100), zevrin::kReadOk);
    ASSERT_TRUE(Send(c, {0x00, MSG_UPDATE, 0x0B, 0x00, CMD_FIRMWARE_DATA, 0x08, 0x00, 33, 34, 35,
                         36, 37, 38, 39, 40}));
    ASSERT_EQ(c.r->Read(in, 100), zevrin::kReadOk);
    EXPECT_EQ(in[5], SET_FIRMWARE_DATA);
    ASSERT_TRUE(Send(c, {0x00, MSG_UPDATE, 0x01, 0x00, CMD_UPDATE_DONE}));

    const auto rec = port.RecordingOf(pad);
    EXPECT_EQ(rec.reports.size(), 6u);
    EXPECT_EQ(rec.imageLength, 40u);
    ASSERT_EQ(rec.received.size(), 40u);
    EXPECT_EQ(rec.received.front(), 1);
    EXPECT_EQ(rec.received.back(), 40);
    EXPECT_EQ(rec.chunks, 2u);
    EXPECT_TRUE(rec.doneAfterWholeImage);
}

TEST(SimPortTest, ReadsReallyWaitAndLatencyDelaysAnswers) {
    SimPort port;
    GamepadBehaviour b;
    b.latency = 120ms;
    port.AddGamepad("pad", b);
    Channel c = Open(port, "pad");
    uint8_t in[64];
    auto start = Clock::now();
    EXPECT_EQ(c.r->Read(in, 80), zevrin::kReadTimeout);
    EXPECT_GE(Clock::now() - start, 80ms);

    ASSERT_TRUE(Send(c, {0x00, MSG_ENTER_UPDATE, 0x01, 0x00, 0x00}));
    start = Clock::now();
    EXPECT_EQ(c.r->Read(in, 50), zevrin::kReadTimeout);  // not yet
    EXPECT_EQ(c.r->Read(in, 500), zevrin::kReadOk);
    EXPECT_GE(Clock::now() - start, 110ms);
}

TEST(SimPortTest, FaultsStrikeAtTheirMoment) {
    SimPort port;
    GamepadBehaviour b;
    b.fault = {FaultKind::Failed24, Moment::Header};
    port.AddGamepad("pad", b);
    Channel c = Open(port, "pad");
    uint8_t in[64];
    ASSERT_TRUE(Send(c, HeaderFrame(64)));
    ASSERT_EQ(c.r->Read(in, 100), zevrin::kReadOk);
    EXPECT_EQ(in[5], EVT_UPDATE_FAILED_2);
}

TEST(SimPortTest, UnplugKillsHandlesRaisesEventsAndRefusesOpens) {
    SimPort port;
    const int pad = port.AddGamepad("pad");
    std::vector<uint32_t> events;
    std::mutex m;
    auto reg = port.RegisterNotification({nullptr, [&](uint32_t code) {
                                              std::lock_guard lock(m);
                                              events.push_back(code);
                                          }});
    ASSERT_TRUE(reg);
    Channel c = Open(port, "pad");
    port.Unplug(pad);
    uint8_t in[64];
    const auto start = Clock::now();
    EXPECT_EQ(c.r->Read(in, 1000), zevrin::kReadFailed);
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_FALSE(Send(c, {0x00, MSG_POLL, 0x01, 0x00, 0x00}));
    OpenStatus s = OpenStatus::Ok;
    EXPECT_FALSE(port.OpenWrite("pad", s));
    EXPECT_EQ(s, OpenStatus::NotFound);

    port.Plug(pad);
    Channel again = Open(port, "pad");
    EXPECT_TRUE(Send(again, {0x00, MSG_POLL, 0x01, 0x00, 0x00}));
    EXPECT_FALSE(Send(c, {0x00, MSG_POLL, 0x01, 0x00, 0x00}));  // old handles stay dead
    port.RaiseNodesChanged();
    reg.reset();
    port.Unplug(pad);  // no longer registered
    std::lock_guard lock(m);
    EXPECT_EQ(events, (std::vector<uint32_t>{zevrin::kDeviceRemoveComplete, zevrin::kDeviceArrival,
                                             zevrin::kDevNodesChanged}));
}

TEST(SimPortTest, OpenRefusedForPermission) {
    SimPort port;
    const int pad = port.AddGamepad("pad");
    port.SetOpenStatus(pad, OpenStatus::PermissionDenied);
    OpenStatus s = OpenStatus::Ok;
    EXPECT_FALSE(port.OpenRead("pad", s));
    EXPECT_EQ(s, OpenStatus::PermissionDenied);
}

// The programs' benches: gamepads after the other interfaces, the n-th at its numbered path, and
// the demo's gamepad absent until plugged in.
TEST(SimPortTest, BenchesListTheirGamepadsAsTheProgramsShowThem) {
    const auto paths = [](SimPort& port, bool gamepadsOnly) {
        std::vector<std::string> found;
        for (const auto& i : port.ListAccepted([&](uint16_t vendor, uint16_t product) {
                 return !gamepadsOnly || (vendor == 0x0483 && product == 0x5750);
             })) {
            found.push_back(i.path);
        }
        return found;
    };
    SimPort cli;
    const std::vector<int> pads = zevrin::sim::AddBench(cli, zevrin::sim::CommandLineBench(3));
    EXPECT_EQ(pads.size(), 3u);
    EXPECT_EQ(paths(cli, false), (std::vector<std::string>{"sim:keyboard", "sim:gamepad",
                                                           "sim:gamepad2", "sim:gamepad3"}));

    SimPort demo;
    const int pad = zevrin::sim::AddBench(demo, zevrin::sim::DemoBench()).front();
    EXPECT_EQ(paths(demo, false).size(), 3u);
    EXPECT_TRUE(paths(demo, true).empty());
    demo.Plug(pad);
    EXPECT_EQ(paths(demo, true).size(), 1u);
    Channel c = Open(demo, paths(demo, true)[0]);
    uint8_t in[64];
    ASSERT_TRUE(Send(c, {0x00, MSG_UPDATE, 0x01, 0x00, CMD_GET_VERSION}));
    ASSERT_EQ(c.r->Read(in, 100), zevrin::kReadOk);
    EXPECT_EQ(ReadLe32(in + 8), 110u);

    // A rehearsal's bench: absent, then all at once, so the first arrival already shows the
    // others; a port that goes first plugs nothing in, and does not wait for the delay.
    SimPort later;
    zevrin::sim::BenchLayout layout = zevrin::sim::CommandLineBench(2);
    layout.arriveAfter = 50ms;
    zevrin::sim::AddBench(later, layout);
    EXPECT_TRUE(paths(later, true).empty());
    std::atomic<size_t> atFirstArrival{0};
    auto reg = later.RegisterNotification({nullptr, [&](uint32_t) {
                                               size_t none = 0;
                                               atFirstArrival.compare_exchange_strong(
                                                   none, paths(later, true).size());
                                           }});
    const auto giveUp = Clock::now() + 5s;
    while (atFirstArrival.load() == 0 && Clock::now() < giveUp) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(atFirstArrival.load(), 2u);
    reg.reset();
    layout.arriveAfter = 1h;
    const auto start = Clock::now();
    {
        SimPort gone;
        zevrin::sim::AddBench(gone, layout);
    }
    EXPECT_LT(Clock::now() - start, 5s);
}

}  // namespace

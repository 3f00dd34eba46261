// The report channel: handles, the shared output report, read results and their timing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "TestSupport.h"
#include "hid/CHid.h"
#include "update/Frames.h"

using namespace std::chrono_literals;
using zevrin::OpenStatus;
using zevrin::sim::SimPort;

namespace {

using Clock = std::chrono::steady_clock;

// A port whose opens fail on demand and that counts them.
class ScriptedPort : public zevrin::HidPort {
  public:
    bool writeOpens = true;
    bool readOpens = true;
    int writeOpenCalls = 0;
    int readOpenCalls = 0;
    SimPort sim;
    ScriptedPort() { sim.AddGamepad("p"); }

    bool ScanFirst(const Accept& a, std::string& path,
                   std::unique_ptr<zevrin::HidProbe>& probe) override {
        return sim.ScanFirst(a, path, probe);
    }
    std::vector<zevrin::HidInterface> ListAccepted(const Accept& a) override {
        return sim.ListAccepted(a);
    }
    std::unique_ptr<zevrin::HidWriteHandle> OpenWrite(const std::string& path,
                                                      OpenStatus& status) override {
        ++writeOpenCalls;
        if (!writeOpens) {
            status = OpenStatus::NotFound;
            return nullptr;
        }
        return sim.OpenWrite(path, status);
    }
    std::unique_ptr<zevrin::HidReadHandle> OpenRead(const std::string& path,
                                                    OpenStatus& status) override {
        ++readOpenCalls;
        if (!readOpens) {
            status = OpenStatus::Failed;
            return nullptr;
        }
        return sim.OpenRead(path, status);
    }
    std::unique_ptr<zevrin::HidClaim> Claim(const std::string& path, OpenStatus& status) override {
        return sim.Claim(path, status);
    }
    std::unique_ptr<zevrin::HidNotification> RegisterNotification(
        const zevrin::NotifyWindow& w) override {
        return sim.RegisterNotification(w);
    }
};

void Poison(uint8_t* buffer, size_t n) {
    std::memset(buffer, 0xA5, n);
}

bool AllPoison(const uint8_t* buffer, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (buffer[i] != 0xA5) {
            return false;
        }
    }
    return true;
}

// Runs in a fresh process, where no write has touched g_OutputReport yet.
bool FirstWriteHasZerosBehindIt() {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    hid.FindDevice();
    hid.OpenDevice();
    const uint8_t data[3] = {2, 0x11, 0x22};
    hid.WriteHid(data, 3);
    const auto r = port.RecordingOf(pad).reports.at(0);
    bool ok = r[0] == 0 && r[1] == 2 && r[2] == 0x11 && r[3] == 0x22;
    for (size_t i = 4; i < r.size(); ++i) {
        ok = ok && r[i] == 0;
    }
    return ok;
}

TEST(OutputReportTest, FirstWriteOfTheProcessHasZerosBehindIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-runs the binary: a fresh process
    EXPECT_EXIT(std::exit(FirstWriteHasZerosBehindIt() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(OutputReportTest, ShortWriteLeavesTheTailOfEarlierWrites) {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    uint8_t forty[40];
    for (uint8_t i = 0; i < 40; ++i) {
        forty[i] = static_cast<uint8_t>(0x80 + i);
    }
    const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_NE(hid.WriteHid(forty, 40), 0);
    ASSERT_NE(hid.WriteHid(six, 6), 0);
    const auto r = port.RecordingOf(pad).reports.at(1);
    EXPECT_EQ(r[0], 0);
    for (size_t i = 1; i <= 6; ++i) {
        EXPECT_EQ(r[i], six[i - 1]);
    }
    for (size_t i = 7; i <= 40; ++i) {
        EXPECT_EQ(r[i], forty[i - 1]) << "offset " << i;
    }
    // Bytes beyond 40 hold whatever earlier tests left there: the 40-byte write never reached
    // them, so they equal the first report's.
    const auto first = port.RecordingOf(pad).reports.at(0);
    for (size_t i = 41; i < r.size(); ++i) {
        EXPECT_EQ(r[i], first[i]);
    }
}

TEST(OutputReportTest, WriteWithoutHandleFailsButItsBytesStayInTheBuffer) {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    const uint8_t unsent[10] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(hid.WriteHid(unsent, 10), 0);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    const uint8_t two[2] = {1, 7};
    ASSERT_NE(hid.WriteHid(two, 2), 0);
    const auto r = port.RecordingOf(pad).reports.at(0);
    EXPECT_EQ(r[1], 1);
    EXPECT_EQ(r[2], 7);
    for (size_t i = 3; i <= 10; ++i) {
        EXPECT_EQ(r[i], 9) << "offset " << i;
    }
}

TEST(ChannelTest, FreshObjectHasNoHandles) {
    SimPort port;
    CHid hid(port);
    EXPECT_EQ(hid.DeviceFound(), 0);
    EXPECT_TRUE(hid.DevicePath().empty());
    EXPECT_EQ(hid.ReadTimeout(), 0u);
    EXPECT_EQ(hid.NotifyRegistered(), 0);
    uint8_t buffer[64];
    Poison(buffer, sizeof buffer);
    const auto start = Clock::now();
    EXPECT_EQ(hid.ReadHid(buffer, 64), zevrin::kReadNoHandle);
    EXPECT_LT(Clock::now() - start, 50ms);  // no wait without a handle
    EXPECT_TRUE(AllPoison(buffer, sizeof buffer));
    EXPECT_EQ(hid.OpenDevice(), 0);  // no path yet
}

TEST(ChannelTest, SilentDeviceTimesOutAfterTheReadTimeoutAndLeavesTheBuffer) {
    SimPort port;
    port.AddGamepad("p");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(hid.ReadTimeout(), 200u);
    hid.SetReadTimeout(60);
    uint8_t buffer[64];
    Poison(buffer, sizeof buffer);
    const auto start = Clock::now();
    EXPECT_EQ(hid.ReadHid(buffer, 64), zevrin::kReadTimeout);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 60ms);
    EXPECT_LT(waited, 400ms);
    EXPECT_TRUE(AllPoison(buffer, sizeof buffer));
}

TEST(ChannelTest, ReportBytesAfterTheIdLandAtTheBufferStart) {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    std::array<uint8_t, 64> report{};
    for (size_t i = 0; i < report.size(); ++i) {
        report[i] = static_cast<uint8_t>(i + 1);
    }
    port.InjectInput(pad, report);
    port.InjectInput(pad, report);
    uint8_t buffer[64];
    Poison(buffer, sizeof buffer);
    EXPECT_EQ(hid.ReadHid(buffer, 0), zevrin::kReadOk);  // count 0: read, copy nothing
    EXPECT_TRUE(AllPoison(buffer, sizeof buffer));
    EXPECT_EQ(hid.ReadHid(buffer, 64), zevrin::kReadOk);
    EXPECT_EQ(std::memcmp(buffer, report.data(), 64), 0);
}

TEST(ChannelTest, FirstOpenFailingSkipsTheSecond) {
    ScriptedPort port;
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    port.writeOpens = false;
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(port.writeOpenCalls, 1);
    EXPECT_EQ(port.readOpenCalls, 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::NotFound);
}

TEST(ChannelTest, HalfOpenDeviceWritesButCannotRead) {
    for (const bool openedBefore : {false, true}) {
        ScriptedPort port;
        CHid hid(port);
        ASSERT_EQ(hid.FindDevice(), 1);
        if (openedBefore) {
            // The reader of the earlier open (perhaps of a device that has gone since) must not
            // stay paired with the new writer.
            ASSERT_EQ(hid.OpenDevice(), 1);
            hid.SetReadTimeout(0);
        }
        port.readOpens = false;
        EXPECT_EQ(hid.OpenDevice(), 0);
        const uint8_t data[2] = {1, 0};
        EXPECT_NE(hid.WriteHid(data, 2), 0);
        uint8_t buffer[64];
        EXPECT_EQ(hid.ReadHid(buffer, 64), zevrin::kReadNoHandle) << openedBefore;
        EXPECT_EQ(hid.ReadTimeout(), 0u);       // the time-out is only set once both are open
        EXPECT_EQ(port.sim.OpenHandles(1), 1);  // the new writer alone
    }
}

TEST(ChannelTest, PathHandedToAnotherDeviceIsNotOpened) {
    // hidraw node numbers are reused: the gamepad found by the scan leaves and a keyboard gets
    // its node before the click.
    SimPort port;
    const int pad = port.AddGamepad("/dev/hidraw3");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    port.Unplug(pad);
    const int keyboard = port.AddInterface("/dev/hidraw3", 0x046D, 0xC31C);
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::NotFound);
    EXPECT_EQ(port.OpenHandles(keyboard), 0);
    const uint8_t data[2] = {1, 0};
    EXPECT_EQ(hid.WriteHid(data, 2), 0);
}

TEST(ChannelTest, SecondOpenReplacesBothHandles) {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(10);
    ASSERT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(port.OpenHandles(pad), 2);  // the replaced pair was closed
    EXPECT_EQ(hid.ReadTimeout(), 200u);
}

TEST(ChannelTest, OpenTellsPermissionFromAbsence) {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    port.SetOpenStatus(pad, OpenStatus::PermissionDenied);
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::PermissionDenied);
    port.SetOpenStatus(pad, OpenStatus::Ok);
    port.Unplug(pad);
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::NotFound);
}

TEST(ChannelTest, CancelEndsAReadOnAnotherThreadEarly) {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(5000);
    uint32_t result = 0;
    const auto start = Clock::now();
    std::thread reader([&] {
        uint8_t buffer[64];
        result = hid.ReadHid(buffer, 64);
    });
    ASSERT_TRUE(zevrin::test::WaitFor([&] { return port.ReadsInProgress(pad) == 1; }));
    hid.CancelRead();
    reader.join();
    EXPECT_EQ(result, zevrin::kReadTimeout);
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(ChannelTest, UnpluggedDeviceFailsReadsAndWrites) {
    SimPort port;
    const int pad = port.AddGamepad("p");
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    port.Unplug(pad);
    uint8_t buffer[64];
    EXPECT_EQ(hid.ReadHid(buffer, 64), zevrin::kReadFailed);
    EXPECT_EQ(hid.WriteHid(buffer, 2), 0);
}

}  // namespace

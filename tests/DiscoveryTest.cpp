// Finding the gamepad among the HID interfaces, and the notification registration beside it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "hid/CHid.h"

using zevrin::sim::SimPort;
using zevrin::test::LogCapture;

namespace {

TEST(AcceptedDevicesTest, TableInItsOrder) {
    EXPECT_TRUE(IsAcceptedDevice(0x0483, 0x5750));
    EXPECT_TRUE(IsAcceptedDevice(0x0483, 0x5760));
    EXPECT_TRUE(IsAcceptedDevice(MakerVendorId, 0x5750));
    EXPECT_FALSE(IsAcceptedDevice(MakerVendorId, 0x5760));
    EXPECT_FALSE(IsAcceptedDevice(0x0483, 0x5751));
    EXPECT_FALSE(IsAcceptedDevice(0x046D, 0x5750));
}

// A scan registers nothing behind its caller's back; the registration is its own step, delivers
// until it is undone, and a second one replaces the first instead of doubling every event.
TEST(DiscoveryTest, ScanningRegistersNothingAndTheRegistrationDeliversUntilUndone) {
    SimPort port;
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(hid.DeviceFound(), 0);
    EXPECT_EQ(hid.NotifyRegistered(), 0);
    const int other = port.AddInterface("mouse", 0x046D, 0xC077);
    port.Unplug(other);  // nobody to tell

    std::atomic<int> first{0};
    std::atomic<int> second{0};
    EXPECT_EQ(hid.RegisterNotification([&](const zevrin::DeviceEvent&) { ++first; }), 1);
    EXPECT_EQ(hid.NotifyRegistered(), 1);
    port.Plug(other);
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(hid.RegisterNotification([&](const zevrin::DeviceEvent&) { ++second; }), 1);
    port.Unplug(other);
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 1);
    hid.UnregisterNotification();
    port.Plug(other);
    EXPECT_EQ(second.load(), 1);
}

TEST(DiscoveryTest, FirstAcceptedInterfaceWinsAmongOthers) {
    SimPort port;
    port.AddInterface("keyboard", 0x046D, 0xC31C);
    port.AddInterface("maker-alt", MakerVendorId, 0x5760);  // refused
    port.AddInterface("st-other", 0x0483, 0x1234);
    const int first = port.AddGamepad("pad-a", {}, 0x0483, 0x5760);
    // Longer than a line the log formats on the stack: it still reaches the sink whole.
    const std::string longPath = "pad-b" + std::string(300, '-') + "end";
    port.AddGamepad(longPath, {}, MakerVendorId, 0x5750);
    LogCapture log;
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), "pad-a");
    {
        // No sink: nothing is logged, and the sink put back takes lines again.
        const zevrin::LogSink capture = zevrin::SetLogSink({});
        EXPECT_EQ(hid.FindDevice(), 1);
        zevrin::SetLogSink(capture);
    }
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"m_DevicePath:pad-a\n"});
    port.Unplug(first);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), longPath);
    EXPECT_EQ(log.Count("m_DevicePath:" + longPath + "\n"), 1u);
}

TEST(DiscoveryTest, PathIsKeptWhenTheGamepadGoes) {
    SimPort port;
    const int pad = port.AddGamepad("pad");
    LogCapture log;
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    port.Unplug(pad);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(hid.DeviceFound(), 0);
    EXPECT_EQ(hid.DevicePath(), "pad");
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(log.Lines().size(), 1u);  // only the successful scan logged
    port.Plug(pad);
    EXPECT_EQ(hid.FindDevice(), 1);
}

TEST(DiscoveryTest, ScansOnTwoThreadsAgreeOnTheOutcome) {
    SimPort port;
    const int pad = port.AddGamepad("pad");
    CHid hid(port);
    std::atomic<bool> stop{false};
    std::thread flapper([&] {
        for (int i = 0; i < 200; ++i) {
            port.Unplug(pad);
            port.Plug(pad);
        }
        stop = true;
    });
    std::thread scanner([&] {
        while (!stop) {
            hid.FindDevice();
        }
    });
    while (!stop) {
        hid.FindDevice();
    }
    flapper.join();
    scanner.join();
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), "pad");
}

}  // namespace

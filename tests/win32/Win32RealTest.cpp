// The backend on the real system calls (Wine here): what must hold with no gamepad attached.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "hid/CHid.h"
#include "hid/win32/Win32Api.h"
#include "hid/win32/Win32HidPort.h"

namespace zevrin::test {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST(Win32RealTest, MissingDeviceCannotBeOpenedAndHasNoReader) {
    Win32HidPort port(RealWin32Api());
    CHid hid(port);
    hid.SetDevicePath(
        "\\\\?\\hid#vid_0483&pid_5750#7&zevrin&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::NotFound);
    uint8_t buffer[64] = {};
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadNoHandle);
    EXPECT_EQ(hid.WriteHid(buffer, 1), 0);
}

TEST(Win32RealTest, ScanOverTheSystemsInterfacesFindsNoGamepadAndRegisters) {
    Win32HidPort port(RealWin32Api());
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(hid.RegisterNotification([](const zevrin::DeviceEvent&) {}), 1)
        << "registration of the watch's window failed";
    EXPECT_EQ(hid.NotifyRegistered(), 1);
}

TEST(Win32RealTest, EveryListedInterfaceCarriesThePathAndIdsTheSystemGave) {
    Win32HidPort port(RealWin32Api());
    const auto all = port.ListAccepted([](uint16_t, uint16_t) { return true; });
    if (all.empty()) {
        GTEST_SKIP() << "this Wine prefix lists no HID interface";
    }
    for (const auto& iface : all) {
        const std::string path = Lower(iface.path);
        EXPECT_EQ(path.rfind("\\\\?\\hid#", 0), 0u) << path;
        char vendor[16];
        std::snprintf(vendor, sizeof(vendor), "vid_%04x", iface.vendorId);
        EXPECT_NE(path.find(vendor), std::string::npos) << path;
        OpenStatus status = OpenStatus::Failed;
        EXPECT_NE(port.OpenRead(iface.path, status), nullptr) << path;
        EXPECT_EQ(status, OpenStatus::Ok);
    }
}

// Claims on the system's own object manager: one holder per gamepad across processes and
// sessions, gone with the last handle. The path carries this process's id, so no other suite
// running at the same time meets it.
TEST(Win32RealTest, AClaimHasOneHolderAndEndsWithItsHandle) {
    Win32HidPort port(RealWin32Api());
    const std::string path =
        R"(\\?\hid#vid_0483&pid_5750#claim-test-)" + std::to_string(GetCurrentProcessId());
    OpenStatus status = OpenStatus::Failed;
    auto first = port.Claim(path, status);
    ASSERT_TRUE(first) << static_cast<int>(status);
    EXPECT_EQ(port.Claim(path, status), nullptr);
    EXPECT_EQ(status, OpenStatus::Claimed);
    first.reset();
    EXPECT_NE(port.Claim(path, status), nullptr);
}

}  // namespace
}  // namespace zevrin::test

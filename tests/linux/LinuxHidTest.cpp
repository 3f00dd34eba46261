// The Linux backend: hot-plug event translation, telling permission from absence, the udev rule,
// and a real hidapi scan of this machine.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "TestSupport.h"
#include "hid/CHid.h"
#include "hid/linux/HidapiPort.h"

using zevrin::HidapiPort;
using zevrin::OpenStatus;

namespace {

TEST(UdevEventsTest, AddAndRemoveBecomeArrivalAndRemoval) {
    EXPECT_EQ(zevrin::DeviceEventForAction("add"), zevrin::kDeviceArrival);
    EXPECT_EQ(zevrin::DeviceEventForAction("remove"), zevrin::kDeviceRemoveComplete);
    for (const char* other : {"change", "bind", "unbind", "move", "online", "", "ad", "added"}) {
        EXPECT_EQ(zevrin::DeviceEventForAction(other), 0u) << other;
    }
    EXPECT_EQ(zevrin::DeviceEventForAction(nullptr), 0u);
}

TEST(OpenStatusTest, PermissionIsToldApartFromAbsence) {
    EXPECT_EQ(zevrin::OpenStatusFromErrno(EACCES), OpenStatus::PermissionDenied);
    EXPECT_EQ(zevrin::OpenStatusFromErrno(EPERM), OpenStatus::PermissionDenied);
    EXPECT_EQ(zevrin::OpenStatusFromErrno(ENOENT), OpenStatus::NotFound);
    EXPECT_EQ(zevrin::OpenStatusFromErrno(ENODEV), OpenStatus::NotFound);
    EXPECT_EQ(zevrin::OpenStatusFromErrno(EBUSY), OpenStatus::Failed);
}

TEST(HidapiPortTest, OpeningAMissingNodeSaysNotFound) {
    HidapiPort port;
    OpenStatus status = OpenStatus::Ok;
    EXPECT_FALSE(port.OpenWrite("/dev/hidraw-zevrin-missing", status));
    EXPECT_EQ(status, OpenStatus::NotFound);
    EXPECT_FALSE(port.OpenRead("/dev/hidraw-zevrin-missing", status));
    EXPECT_EQ(status, OpenStatus::NotFound);
}

// Opens a node this user may not touch; as root, first becomes "nobody" (in a child process).
bool LockedNodeReportsPermissionDenied(const std::string& path) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
        return false;
    }
    HidapiPort port;
    OpenStatus status = OpenStatus::Ok;
    return !port.OpenWrite(path, status) && status == OpenStatus::PermissionDenied &&
           !port.OpenRead(path, status) && status == OpenStatus::PermissionDenied;
}

TEST(HidapiPortTest, OpeningANodeWithoutAccessSaysPermissionDenied) {
    zevrin::test::TempDir dir;
    const std::string path = dir.File("hidraw-locked", {0});
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(LockedNodeReportsPermissionDenied(path) ? 0 : 1),
                ::testing::ExitedWithCode(0), "");
}

// The claim is the kernel's flock: one holder per node, whether the other is a second descriptor
// of this process or another process, and gone when its holder is killed.
TEST(HidapiPortTest, AClaimHasOneHolderAndDiesWithItsProcess) {
    zevrin::test::TempDir dir;
    const std::string path = dir.File("hidraw-claimed", {0});
    HidapiPort port;
    OpenStatus status = OpenStatus::Ok;
    EXPECT_FALSE(port.Claim(path + "-missing", status));
    EXPECT_EQ(status, OpenStatus::NotFound);
    {
        auto mine = port.Claim(path, status);
        ASSERT_TRUE(mine);
        EXPECT_FALSE(port.Claim(path, status));
        EXPECT_EQ(status, OpenStatus::Claimed);
    }
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        auto claim = port.Claim(path, status);
        const char said = claim ? 'y' : 'n';
        (void)::write(ready[1], &said, 1);
        ::pause();  // killed, never released
        ::_exit(0);
    }
    char said = 0;
    ASSERT_EQ(::read(ready[0], &said, 1), 1);
    EXPECT_EQ(said, 'y');
    EXPECT_FALSE(port.Claim(path, status));
    EXPECT_EQ(status, OpenStatus::Claimed);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_TRUE(port.Claim(path, status));
}

TEST(HidapiPortTest, RealScanOfThisMachineEndsAndRegisters) {
    HidapiPort port;
    CHid hid(port);
    const int found = hid.FindDevice();  // whatever is plugged in here; no gamepad expected
    EXPECT_EQ(found, hid.DeviceFound());
    const auto list = port.ListAccepted(IsAcceptedDevice);
    EXPECT_EQ(list.empty(), found == 0);
    // The udev monitor's thread starts and, when the registration goes, ends without an event.
    const int registered = hid.RegisterNotification([](const zevrin::DeviceEvent&) {});
    EXPECT_EQ(hid.NotifyRegistered(), 1);
    if (registered == 0) {
        GTEST_SKIP() << "no udev monitor on this machine";
    }
    hid.UnregisterNotification();
}

TEST(UdevRuleTest, GrantsTheSeatUserAccessToEveryAcceptedGamepadAndNothingElse) {
    std::ifstream in(ZEVRIN_UDEV_RULE);
    ASSERT_TRUE(in) << ZEVRIN_UDEV_RULE;
    const std::regex rule(
        R"re(SUBSYSTEM=="hidraw", KERNELS=="(0003:([0-9A-F]{4}):([0-9A-F]{4})\.\*)", )re"
        R"re(TAG\+="uaccess")re");
    std::set<std::pair<unsigned, unsigned>> granted;
    std::vector<std::string> patterns;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, rule)) << "unexpected rule: " << line;
        patterns.push_back(m[1]);
        granted.emplace(std::stoul(m[2], nullptr, 16), std::stoul(m[3], nullptr, 16));
    }
    const std::set<std::pair<unsigned, unsigned>> accepted = {
        {kStVendorId, kGamepadProductId},
        {kStVendorId, kGamepadProductIdAlt},
        {MakerVendorId, kGamepadProductId},
    };
    EXPECT_EQ(granted, accepted);
    for (const auto& [vid, pid] : granted) {
        EXPECT_TRUE(IsAcceptedDevice(static_cast<uint16_t>(vid), static_cast<uint16_t>(pid)));
    }
    // udev compares the patterns with the HID parent's name as the kernel writes it
    // ("%04X:%04X:%04X.%04X": bus, vendor, product, a running number).
    const auto granting = [&](unsigned bus, unsigned vid, unsigned pid, unsigned n) {
        char name[32];
        std::snprintf(name, sizeof name, "%04X:%04X:%04X.%04X", bus, vid, pid, n);
        return std::count_if(patterns.begin(), patterns.end(), [&](const std::string& p) {
            return ::fnmatch(p.c_str(), name, 0) == 0;
        });
    };
    for (const auto& [vid, pid] : accepted) {
        EXPECT_EQ(granting(0x0003, vid, pid, 0x000B), 1) << std::hex << vid << ":" << pid;
    }
    EXPECT_EQ(granting(0x0003, 0x0483, 0x1234, 1), 0);
    EXPECT_EQ(granting(0x0003, 0x046D, 0xC31C, 1), 0);
    EXPECT_EQ(granting(0x0005, 0x0483, 0x5750, 1), 0);  // Bluetooth: updates go over USB only
    // uaccess is applied by 73-seat-late.rules: the file must sort before it.
    const std::string name =
        std::string(ZEVRIN_UDEV_RULE).substr(std::string(ZEVRIN_UDEV_RULE).find_last_of('/') + 1);
    EXPECT_LT(name, "73-seat-late.rules");
}

}  // namespace

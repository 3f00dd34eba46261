// Finding the gamepad among the system's HID interfaces, and the device-change registration.
#include <memory>
#include <string>
#include <utility>

#include "tests/win32/Win32TestSupport.h"

namespace zevrin::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint16_t kMouseVendor = 0x046D;

using Win32DiscoveryTest = Win32PortTest;

TEST_F(Win32DiscoveryTest, NoInterfaceFindsNothingYetRegisters) {
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(hid.DeviceFound(), 0);
    EXPECT_EQ(fake.registrations.size(), 0u);  // a scan registers nothing

    EXPECT_EQ(fake.setsCreated, 1);
    EXPECT_THAT(fake.enumIndices, ElementsAre(0u));
    EXPECT_EQ(fake.allocations, 0);
    EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(Win32DiscoveryTest, InterfaceSetThatCannotBeObtainedEndsTheScan) {
    fake.classDevsFail = true;
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_THAT(fake.enumIndices, IsEmpty());
    EXPECT_THAT(fake.setsDestroyed, IsEmpty());  // nothing to destroy
}

TEST_F(Win32DiscoveryTest, OtherDevicesAreProbedClosedAndSkipped) {
    fake.interfaces = {Device(L"mouse", kMouseVendor, 0xC52B),
                       Device(L"other", kStVendorId, 0x5740),
                       Device(L"maker", MakerVendorId, kGamepadProductIdAlt),
                       Device(L"clone", 0x1234, kGamepadProductId)};
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(hid.DeviceFound(), 0);
    EXPECT_EQ(hid.DevicePath(), "");
    EXPECT_THAT(Log(), IsEmpty());

    EXPECT_THAT(fake.enumIndices, ElementsAre(0u, 1u, 2u, 3u, 4u));
    EXPECT_EQ(fake.allocations, 1) << "paths of one length need one buffer per scan";
    EXPECT_EQ(fake.opens.size(), 4u);
    EXPECT_EQ(fake.OpenFiles(), 0) << "every probe is closed again";
    EXPECT_THAT(fake.preparsedRequests, IsEmpty()) << "only accepted ids are looked at closer";
}

TEST_F(Win32DiscoveryTest, AlternativeProductIsFoundAndLoggedWithItsPath) {
    fake.interfaces = {Device(L"alt", kStVendorId, kGamepadProductIdAlt)};
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DeviceFound(), 1);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("alt"));
    EXPECT_THAT(Log(), ElementsAre("m_DevicePath:" + Utf8InterfacePath("alt") + "\n"));
    EXPECT_EQ(fake.OpenFiles(), 0) << "discovery keeps no handle open";
}

TEST_F(Win32DiscoveryTest, InterfacesThatCannotBeOpenedOrReadAreSkipped) {
    FakeInterface gone = Gamepad(L"gone");
    gone.gone = true;
    FakeInterface mute = Gamepad(L"mute!");
    mute.attributesFail = true;
    FakeInterface noDescriptor = Gamepad(L"nodesc");
    noDescriptor.preparsedDataFails = true;
    FakeInterface noCaps = Gamepad(L"nocaps");
    noCaps.capsFail = true;
    fake.interfaces = {gone, mute, noDescriptor, noCaps, Gamepad(L"good!")};

    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("good!"));
    for (const auto* skipped : {&mute, &noDescriptor, &noCaps}) {
        EXPECT_EQ(fake.OpensOf(skipped->path), 1);
    }
    EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(Win32DiscoveryTest, OnlyTheCollectionWith65ByteReportsIsFoundAndOpenedForReports) {
    // One gamepad, one interface per collection; the report channel's is listed last.
    const std::pair<USHORT, USHORT> others[] = {{9, 0}, {65, 0}, {0, 65}, {64, 65}, {65, 64}};
    for (const auto& [input, output] : others) {
        FakeInterface collection =
            Gamepad(L"col" + std::to_wstring(input) + L"-" + std::to_wstring(output));
        collection.inputReportBytes = input;
        collection.outputReportBytes = output;
        fake.interfaces.push_back(collection);
    }
    fake.interfaces.push_back(Gamepad(L"col65-65"));

    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("col65-65"));
    EXPECT_EQ(fake.preparsedRequests.size(), std::size(others) + 1);
    ASSERT_EQ(hid.OpenDevice(), 1);

    const std::wstring channel = InterfacePath(L"col65-65");
    std::vector<std::pair<std::wstring, DWORD>> withRights;
    for (const auto& open : fake.opens) {
        if (open.access != 0) {
            withRights.emplace_back(open.path, open.access);
        }
    }
    EXPECT_THAT(withRights, ElementsAre(std::pair{channel, DWORD{GENERIC_WRITE}},
                                        std::pair{channel, DWORD{GENERIC_READ}}));
    EXPECT_EQ(fake.OpenFiles(), 2) << "every probe is closed again";

    // Listing names the gamepad once, by the same collection.
    const auto listed = port.ListAccepted(IsAcceptedDevice);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, hid.DevicePath());
}

TEST_F(Win32DiscoveryTest, GamepadAnotherProgramHoldsIsFoundAndItsOpenSaysSo) {
    FakeInterface held = Gamepad(L"held");
    held.refuseAccess = GENERIC_READ | GENERIC_WRITE;
    held.openError = ERROR_SHARING_VIOLATION;
    fake.interfaces = {held};

    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::PermissionDenied);
    EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(Win32DiscoveryTest, FirstGamepadListedWinsAndTheNextIsNeverOpened) {
    fake.interfaces = {Gamepad(L"first"), Gamepad(L"second")};
    std::string path;
    std::unique_ptr<HidProbe> probe;
    ASSERT_TRUE(port.ScanFirst(IsAcceptedDevice, path, probe));
    EXPECT_EQ(path, Utf8InterfacePath("first"));
    EXPECT_THAT(fake.enumIndices, ElementsAre(0u));
    EXPECT_EQ(fake.OpensOf(InterfacePath(L"second")), 0);

    // The matching probe is the caller's until it lets go of it.
    ASSERT_NE(probe, nullptr);
    const HANDLE probeHandle = fake.opens.at(0).result;
    EXPECT_TRUE(fake.IsOpen(probeHandle));
    probe.reset();
    EXPECT_EQ(fake.Closes(probeHandle), 1);
}

TEST_F(Win32DiscoveryTest, LongerPathSizesTheBufferAnewAndAsksTheSameInterfaceAgain) {
    fake.interfaces = {Device(L"m", kMouseVendor, 1), Gamepad(L"a-much-longer-instance-id")};
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("a-much-longer-instance-id"));
    EXPECT_EQ(fake.allocations, 2);
    EXPECT_THAT(fake.enumIndices, ElementsAre(0u, 1u, 1u));
}

TEST_F(Win32DiscoveryTest, DetailQueryThatNeverSucceedsGivesUpThatInterfaceAfterThreeTries) {
    FakeInterface stuck = Gamepad(L"stuck");
    stuck.detailFailures = kNever;
    fake.interfaces = {stuck, Gamepad(L"next!")};

    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("next!"));
    EXPECT_EQ(fake.OpensOf(stuck.path), 0);
    EXPECT_THAT(fake.enumIndices, ElementsAre(0u, 0u, 0u, 1u));
}

TEST_F(Win32DiscoveryTest, DetailQueryThatSucceedsOnTheThirdTryIsExamined) {
    FakeInterface slow = Gamepad(L"slow");
    slow.detailFailures = 2;
    fake.interfaces = {slow};
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("slow"));
}

TEST_F(Win32DiscoveryTest, FailedAllocationEndsTheScanWithoutAMatch) {
    fake.interfaces = {Gamepad(L"pad")};
    fake.failAllocation = 0;
    CHid hid(port);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(fake.OpensOf(InterfacePath(L"pad")), 0);

    // The same when it is the resize for a longer path that fails.
    fake.interfaces = {Device(L"m", kMouseVendor, 1), Gamepad(L"longer-than-m")};
    fake.failAllocation = fake.allocations + 1;
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(fake.OpensOf(InterfacePath(L"longer-than-m")), 0);
    EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(Win32DiscoveryTest, RemovedGamepadKeepsItsPathAndItsNextOpenFails) {
    fake.interfaces = {Gamepad(L"pad")};
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);

    auto gone = fake.interfaces;
    fake.interfaces.clear();
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(hid.DeviceFound(), 0);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("pad"));
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::NotFound);

    fake.interfaces = gone;
    EXPECT_EQ(hid.FindDevice(), 1);
    const std::string line = "m_DevicePath:" + Utf8InterfacePath("pad") + "\n";
    EXPECT_THAT(Log(), ElementsAre(line, line)) << "one line per successful scan";
}

TEST_F(Win32DiscoveryTest, NonAsciiPathSurvivesTheTripThroughUtf8) {
    fake.interfaces = {Gamepad(L"\u00e4\u4e2d")};
    CHid hid(port);
    ASSERT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.DevicePath(), Utf8InterfacePath("\xc3\xa4\xe4\xb8\xad"));
    EXPECT_EQ(hid.OpenDevice(), 1) << "CreateFileW must get back the exact wide path";
}

TEST_F(Win32DiscoveryTest, ListingCollectsEveryAcceptedInterfaceInOrder) {
    FakeInterface gone = Gamepad(L"gone");
    gone.gone = true;
    fake.interfaces = {Device(L"mouse", kMouseVendor, 1), Gamepad(L"one"),
                       Device(L"two", kStVendorId, kGamepadProductIdAlt), gone};
    const auto found = port.ListAccepted(IsAcceptedDevice);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, Utf8InterfacePath("one"));
    EXPECT_EQ(found[0].productId, kGamepadProductId);
    EXPECT_EQ(found[1].path, Utf8InterfacePath("two"));
    EXPECT_EQ(found[1].vendorId, kStVendorId);
    EXPECT_EQ(found[1].productId, kGamepadProductIdAlt);
    EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(Win32DiscoveryTest, RegistrationAsksForHidInterfaceEventsAtItsOwnWindowOnce) {
    HDEVNOTIFY registration = nullptr;
    {
        CHid hid(port);
        ASSERT_EQ(hid.RegisterNotification([](const zevrin::DeviceEvent&) {}), 1);
        hid.FindDevice();
        hid.FindDevice();
        ASSERT_EQ(fake.registrations.size(), 1u);
        EXPECT_NE(fake.registrations[0].recipient, nullptr);  // the watch's message-only window
        registration = fake.registrations[0].result;
        EXPECT_THAT(fake.unregistered, IsEmpty());
    }
    EXPECT_THAT(fake.unregistered, ElementsAre(registration));
}

TEST_F(Win32DiscoveryTest, FailedRegistrationIsNeitherRetriedNorUnregistered) {
    fake.registrationFails = true;
    {
        CHid hid(port);
        EXPECT_EQ(hid.RegisterNotification([](const zevrin::DeviceEvent&) {}), 0);
        hid.FindDevice();
        hid.FindDevice();
    }
    EXPECT_EQ(fake.registrations.size(), 1u);
    EXPECT_THAT(fake.unregistered, IsEmpty());
}

}  // namespace
}  // namespace zevrin::test

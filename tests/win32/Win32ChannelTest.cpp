// The report channel on Windows: the two handles, the overlapped write and read with their bounds,
// calls whose buffers must outlive their cancellation, and the ways a device ends a call early.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/win32/Win32TestSupport.h"

namespace zevrin::test {
namespace {

using ::testing::Each;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr uint8_t kPoison = 0x5A;

std::array<uint8_t, kReportSize> Report(uint8_t first) {
    std::array<uint8_t, kReportSize> report{};
    for (size_t i = 0; i < report.size(); ++i) {
        report[i] = static_cast<uint8_t>(first + i);
    }
    return report;
}

class Win32ChannelTest : public Win32PortTest {
  protected:
    Win32ChannelTest() {
        fake.interfaces = {Gamepad(L"pad")};
        hid.SetDevicePath(Utf8InterfacePath("pad"));
        poisoned.fill(kPoison);
    }

    HANDLE Opened(size_t n) const { return fake.opens.at(n).result; }

    // Waits for a read running on another thread. A read that nothing ends would block the
    // suite, so after a while the fake delivers a report to free it and the test fails.
    uint32_t Finish(std::future<uint32_t>& read) {
        if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the read did not end";
            fake.Deliver(Report(0));
        }
        return read.get();
    }
    std::future<uint32_t> ReadElsewhere() {
        return std::async(std::launch::async, [this] { return hid.ReadHid(buffer, 64); });
    }
    static long long MsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    }

    // A handle keeps its calls' event and memory until it goes: close both before the check.
    void TearDown() override {
        hid.CloseDevice();
        Win32PortTest::TearDown();
    }

    CHid hid{port};
    uint8_t buffer[64];
    std::array<uint8_t, 64> poisoned;
};

// The rights each handle asks for show in the refusals below; a handle that could not be waited
// on, or not written or read through, is a fault of the fake system.
TEST_F(Win32ChannelTest, OpenDeviceOpensTheGamepadOnceToWriteAndOnceToRead) {
    EXPECT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::Ok);
    EXPECT_EQ(fake.OpensOf(InterfacePath(L"pad")), 2);
    const uint8_t data[2] = {1, 0x42};
    EXPECT_EQ(hid.WriteHid(data, 2), 1);
    fake.input.push_back(Report(0));
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    EXPECT_EQ(fake.writes.at(0).file, Opened(0));
    EXPECT_EQ(fake.reads.at(0).file, Opened(1));
}

TEST_F(Win32ChannelTest, RefusedWriterEndsTheOpenBeforeTheReader) {
    fake.interfaces[0].refuseAccess = GENERIC_WRITE;
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(fake.opens.size(), 1u);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::PermissionDenied);
}

TEST_F(Win32ChannelTest, RefusedReaderLeavesAWorkingWriter) {
    fake.interfaces[0].refuseAccess = GENERIC_READ;
    EXPECT_EQ(hid.OpenDevice(), 0);
    ASSERT_EQ(fake.opens.size(), 2u);

    const uint8_t data[2] = {1, 0x42};
    EXPECT_EQ(hid.WriteHid(data, 2), 1);
    ASSERT_EQ(fake.writes.size(), 1u);
    EXPECT_EQ(fake.writes[0].file, Opened(0));
    const int events = fake.eventsCreated;
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadNoHandle);
    EXPECT_EQ(fake.eventsCreated, events);
}

TEST_F(Win32ChannelTest, OpenErrorsTellAMissingDeviceFromAForbiddenOne) {
    const std::pair<DWORD, OpenStatus> cases[] = {
        {ERROR_FILE_NOT_FOUND, OpenStatus::NotFound},
        {ERROR_PATH_NOT_FOUND, OpenStatus::NotFound},
        {ERROR_ACCESS_DENIED, OpenStatus::PermissionDenied},
        {ERROR_SHARING_VIOLATION, OpenStatus::PermissionDenied},
        {ERROR_GEN_FAILURE, OpenStatus::Failed},
    };
    fake.interfaces[0].refuseAccess = GENERIC_READ | GENERIC_WRITE;
    for (const auto& [error, expected] : cases) {
        fake.interfaces[0].openError = error;
        OpenStatus status = OpenStatus::Ok;
        EXPECT_EQ(port.OpenWrite(hid.DevicePath(), status), nullptr);
        EXPECT_EQ(status, expected) << "writer, error " << error;
        status = OpenStatus::Ok;
        EXPECT_EQ(port.OpenRead(hid.DevicePath(), status), nullptr);
        EXPECT_EQ(status, expected) << "reader, error " << error;
    }
}

// The claim comes before any handle: a second object meets it under any spelling of the path,
// opens nothing, and may have the gamepad once the first lets go (or closes it, as a dying
// process does).
TEST_F(Win32ChannelTest, OpenDeviceClaimsTheGamepadFirstUnderEverySpellingOfItsPath) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    ASSERT_EQ(fake.mutexNames.size(), 1u);
    EXPECT_TRUE(fake.mutexNames[0].starts_with(LR"(Global\zevrin-gamepad-)"));
    std::string other = hid.DevicePath();
    std::transform(other.begin(), other.end(), other.begin(), ::toupper);
    other[2] = '.';  // \\.\HID#...
    EXPECT_EQ(ClaimName(other), fake.mutexNames[0]);
    EXPECT_NE(ClaimName(Utf8InterfacePath("pad2")), fake.mutexNames[0]);

    OpenStatus status = OpenStatus::Ok;
    EXPECT_EQ(port.Claim(other, status), nullptr);
    EXPECT_EQ(status, OpenStatus::Claimed);
    CHid second(port);
    second.SetDevicePath(hid.DevicePath());
    const size_t opens = fake.opens.size();
    EXPECT_EQ(second.OpenDevice(), 0);
    EXPECT_EQ(second.LastOpenStatus(), OpenStatus::Claimed);
    EXPECT_EQ(fake.opens.size(), opens);

    hid.ReleaseClaim();
    EXPECT_EQ(second.OpenDevice(), 1);
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::Claimed);
    second.CloseDevice();
    EXPECT_EQ(hid.OpenDevice(), 1);
}

TEST_F(Win32ChannelTest, SecondOpenReplacesBothHandlesAndClosesTheOldOnes) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    ASSERT_EQ(fake.opens.size(), 4u);
    EXPECT_EQ(fake.Closes(Opened(0)), 1);
    EXPECT_EQ(fake.Closes(Opened(1)), 1);

    const uint8_t data[1] = {0};
    hid.WriteHid(data, 1);
    EXPECT_EQ(fake.writes.at(0).file, Opened(2));
    fake.input.push_back(Report(0));
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    EXPECT_EQ(fake.reads.at(0).file, Opened(3));
}

TEST_F(Win32ChannelTest, CloseDeviceEndsAPendingReadAndClosesBothHandles) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(5000);
    auto read = ReadElsewhere();
    ASSERT_TRUE(fake.WaitUntilAnyoneWaits());
    const auto start = std::chrono::steady_clock::now();
    hid.CloseDevice();
    EXPECT_LT(MsSince(start), 2000) << "the pending read was waited out, not cancelled";
    EXPECT_EQ(Finish(read), kReadTimeout);
    EXPECT_TRUE(fake.reads.at(0).endedWithEventOpen);
    EXPECT_EQ(fake.Closes(Opened(0)), 1);
    EXPECT_EQ(fake.Closes(Opened(1)), 1);

    // Nothing of the old device is used again; the next open starts afresh.
    const uint8_t data[1] = {0};
    EXPECT_EQ(hid.WriteHid(data, 1), 0);
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadNoHandle);
    EXPECT_THAT(fake.writes, IsEmpty());
    ASSERT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(fake.OpenFiles(), 2);
}

TEST_F(Win32ChannelTest, WriteHandsTheWhole65ByteReportToOneOverlappedWriteFile) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    // Taken inside WriteFile, or after it returned pending: the status comes from the call.
    for (const WriteEnd end : {WriteEnd::InTheCall, WriteEnd::Pending}) {
        SCOPED_TRACE(static_cast<int>(end));
        fake.writeEnd = end;
        fake.writes.clear();
        const uint8_t zeros[64] = {};
        hid.WriteHid(zeros, 64);
        uint8_t forty[40];
        for (uint8_t i = 0; i < 40; ++i) {
            forty[i] = static_cast<uint8_t>(0x40 + i);
        }
        hid.WriteHid(forty, 40);
        const uint8_t six[6] = {5, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
        EXPECT_EQ(hid.WriteHid(six, 6), 1);

        ASSERT_EQ(fake.writes.size(), 3u);
        for (const auto& write : fake.writes) {
            EXPECT_EQ(write.file, Opened(0));
            EXPECT_EQ(write.bytes.size(), kReportSize);
            EXPECT_NE(write.overlapped, nullptr);
            EXPECT_TRUE(write.endedWithEventOpen);
            EXPECT_EQ(fake.Closes(write.event), 0);
            EXPECT_EQ(write.event, fake.writes[0].event);  // the handle's one event
        }
        std::vector<uint8_t> expected(kReportSize, 0);
        std::memcpy(&expected[1], forty, 40);
        std::memcpy(&expected[1], six, 6);
        EXPECT_EQ(fake.writes[2].bytes, expected);
    }
    ASSERT_FALSE(fake.waits.empty());
    EXPECT_EQ(fake.waits.back().milliseconds, kWriteTimeoutMs);
    EXPECT_THAT(fake.cancels, IsEmpty());
}

TEST_F(Win32ChannelTest, WriteTheDeviceDoesNotTakeWholeReturnsZero) {
    struct Case {
        const char* what;
        DWORD error;
        WriteEnd end;
        ULONG_PTR status;
        DWORD transfers;
        bool queued;  // a write that was queued is waited for, however soon it ended
    };
    const Case cases[] = {
        {"unplugged: fails at once", ERROR_DEVICE_NOT_CONNECTED, WriteEnd::InTheCall, 0,
         kReportSize, false},
        {"refused at once", ERROR_GEN_FAILURE, WriteEnd::InTheCall, 0, kReportSize, false},
        {"ends with an error in the call", 0, WriteEnd::InTheCall, kStatusUnsuccessful, 0, false},
        {"ends with an error later", 0, WriteEnd::Pending, kStatusDeviceNotConnected, 0, true},
        {"short in the call", 0, WriteEnd::InTheCall, 0, kReportSize - 1, true},
        {"short later", 0, WriteEnd::Pending, 0, 0, true},
    };
    ASSERT_EQ(hid.OpenDevice(), 1);
    const uint8_t data[1] = {0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.writeError = c.error;
        fake.writeEnd = c.end;
        fake.writeStatus = c.status;
        fake.writeTransfers = c.transfers;
        fake.waits.clear();
        fake.overlappedResults.clear();
        EXPECT_EQ(hid.WriteHid(data, 1), 0);
        EXPECT_EQ(fake.waits.size(), c.queued ? 1u : 0u);
        EXPECT_EQ(fake.overlappedResults.size(), c.queued ? 1u : 0u);
        EXPECT_TRUE(fake.IsOpen(fake.writes.back().event));
    }
    EXPECT_THAT(fake.cancels, IsEmpty());
}

TEST_F(Win32ChannelTest, StalledDeviceTimesTheWriteOutAndTheCancelledWriteEndsBeforeItsBufferGoes) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.writeEnd = WriteEnd::Never;
    const uint8_t data[2] = {1, 0x42};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hid.WriteHid(data, 2), 0);
    EXPECT_LT(MsSince(start), static_cast<long long>(kWriteTimeoutMs) + 2000);

    ASSERT_EQ(fake.writes.size(), 1u);
    const WriteCall& write = fake.writes[0];
    // The time-out, then the cancelled write's end, awaited with a bound of its own.
    ASSERT_EQ(fake.waits.size(), 2u);
    EXPECT_EQ(fake.waits[0].milliseconds, kWriteTimeoutMs);
    EXPECT_EQ(fake.waits[1].milliseconds, kCancelledCallBoundMs);
    ASSERT_EQ(fake.cancels.size(), 1u);
    EXPECT_EQ(fake.cancels[0].file, Opened(0));
    EXPECT_EQ(fake.cancels[0].thread, std::this_thread::get_id());
    ASSERT_FALSE(fake.overlappedResults.empty());
    EXPECT_FALSE(fake.overlappedResults.back().wait);
    EXPECT_TRUE(write.ended);
    EXPECT_TRUE(write.endedWithEventOpen);

    // The device takes reports again: nothing of the given-up write is left in the way.
    fake.writeEnd = WriteEnd::InTheCall;
    EXPECT_EQ(hid.WriteHid(data, 2), 1);
}

TEST_F(Win32ChannelTest, CancelFromAnotherThreadEndsAStalledWriteAtOnce) {
    OpenStatus status = OpenStatus::Failed;
    const auto writer = port.OpenWrite(hid.DevicePath(), status);
    ASSERT_NE(writer, nullptr);
    uint8_t report[kReportSize] = {0, 0x11};
    // Nothing in flight: the cancel is not kept for the next write.
    writer->Cancel();
    EXPECT_TRUE(writer->Write(report));

    fake.writeEnd = WriteEnd::Never;
    auto write = std::async(std::launch::async, [&] { return writer->Write(report); });
    ASSERT_TRUE(fake.WaitUntilAnyoneWaits());
    const auto start = std::chrono::steady_clock::now();
    writer->Cancel();
    EXPECT_FALSE(write.get());
    EXPECT_LT(MsSince(start), 300);

    ASSERT_EQ(fake.writes.size(), 2u);
    const WriteCall& stalled = fake.writes[1];
    ASSERT_FALSE(fake.cancels.empty());
    EXPECT_EQ(fake.cancels[0].overlapped, stalled.overlapped);
    EXPECT_EQ(fake.cancels[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(stalled.endedWithEventOpen);
}

TEST_F(Win32ChannelTest, ReportHandsOnItsBytesAfterTheReportId) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    const auto report = Report(0x90);
    fake.input.push_back(report);
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    EXPECT_THAT(buffer, ElementsAreArray(report.data() + 1, 64));

    EXPECT_EQ(fake.eventsCreated, 1);
    ASSERT_EQ(fake.reads.size(), 1u);
    const ReadCall& read = fake.reads[0];
    EXPECT_EQ(read.file, Opened(1));
    ASSERT_EQ(fake.waits.size(), 1u);
    EXPECT_EQ(fake.waits[0].object, read.event);
    EXPECT_EQ(fake.waits[0].milliseconds, kOpenReadTimeoutMs);
    EXPECT_THAT(fake.cancels, IsEmpty());
    // The read's status, not the event, said it brought a report.
    ASSERT_EQ(fake.overlappedResults.size(), 1u);
    EXPECT_FALSE(fake.overlappedResults[0].wait);

    // The next read takes the same event and memory, from a clean OVERLAPPED; both go with the
    // handle.
    const HANDLE event = read.event;
    const OVERLAPPED* overlapped = read.overlapped;
    fake.input.push_back(Report(0x91));
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    EXPECT_EQ(buffer[0], 0x92);
    EXPECT_EQ(fake.eventsCreated, 1);
    ASSERT_EQ(fake.reads.size(), 2u);
    EXPECT_EQ(fake.reads[1].event, event);
    EXPECT_EQ(fake.reads[1].overlapped, overlapped);
    EXPECT_EQ(fake.LiveCallMemory(), 1u);
    EXPECT_EQ(fake.Closes(event), 0);
    hid.CloseDevice();
    EXPECT_EQ(fake.Closes(event), 1);
    EXPECT_EQ(fake.LiveCallMemory(), 0u);
}

TEST_F(Win32ChannelTest, ReportArrivingDuringTheWaitIsHandedOn) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(60000);
    auto read = ReadElsewhere();
    ASSERT_TRUE(fake.WaitUntilAnyoneWaits());
    const auto report = Report(7);
    fake.Deliver(report);
    EXPECT_EQ(Finish(read), kReadOk);
    EXPECT_THAT(buffer, ElementsAreArray(report.data() + 1, 64));
}

TEST_F(Win32ChannelTest, CountZeroWaitsAsUsualButCopiesNothing) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.input.push_back(Report(1));
    std::memcpy(buffer, poisoned.data(), 64);
    EXPECT_EQ(hid.ReadHid(buffer, 0), kReadOk);
    EXPECT_EQ(fake.waits.size(), 1u);
    EXPECT_THAT(buffer, Each(kPoison));
}

TEST_F(Win32ChannelTest, SilentDeviceTimesOutAndTheCancelledReadEndsBeforeItsBufferGoes) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(15);
    std::memcpy(buffer, poisoned.data(), 64);
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadTimeout);
    EXPECT_THAT(buffer, Each(kPoison));

    ASSERT_EQ(fake.reads.size(), 1u);
    const ReadCall& read = fake.reads[0];
    ASSERT_EQ(fake.waits.size(), 2u);
    EXPECT_EQ(fake.waits[0].milliseconds, 15u);
    EXPECT_EQ(fake.waits[1].object, read.event);
    EXPECT_EQ(fake.waits[1].milliseconds, kCancelledCallBoundMs);
    ASSERT_EQ(fake.cancels.size(), 1u);
    EXPECT_EQ(fake.cancels[0].file, Opened(1));
    EXPECT_EQ(fake.cancels[0].thread, std::this_thread::get_id());
    ASSERT_EQ(fake.overlappedResults.size(), 1u);
    EXPECT_EQ(fake.overlappedResults[0].overlapped, read.overlapped);
    EXPECT_FALSE(fake.overlappedResults[0].wait);
    // The read ended only when it was awaited after the cancel, while its event (and so its
    // buffer) was still alive.
    EXPECT_TRUE(read.ended);
    EXPECT_TRUE(read.endedWithEventOpen);

    // The next read takes the same event, reset by the call as it begins. (The next read moves
    // the records: `read` is kept by value.)
    const HANDLE firstEvent = read.event;
    fake.input.push_back(Report(2));
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    ASSERT_EQ(fake.reads.size(), 2u);
    EXPECT_EQ(fake.reads[1].event, firstEvent);
    EXPECT_TRUE(fake.IsOpen(firstEvent));
}

TEST_F(Win32ChannelTest, OtherWaitResultsArePassedOnAfterTheReadHasEnded) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    for (const DWORD outcome : {DWORD{WAIT_TIMEOUT}, DWORD{WAIT_ABANDONED}, DWORD{WAIT_FAILED}}) {
        fake.forcedWait = outcome;
        std::memcpy(buffer, poisoned.data(), 64);
        EXPECT_EQ(hid.ReadHid(buffer, 64), outcome);
        EXPECT_THAT(buffer, Each(kPoison)) << outcome;
        EXPECT_TRUE(fake.reads.back().endedWithEventOpen) << outcome;
    }
    EXPECT_EQ(fake.cancels.size(), 3u);
}

TEST_F(Win32ChannelTest, ReportThatRacesTheCancelIsHandedOn) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.reportRacesCancel = true;
    std::array<uint8_t, 64> late;
    late.fill(0xAB);

    // Given up by the time-out.
    hid.SetReadTimeout(15);
    std::memcpy(buffer, poisoned.data(), 64);
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    EXPECT_THAT(buffer, ElementsAreArray(late));
    EXPECT_TRUE(fake.reads.back().endedWithEventOpen);

    // Given up by a cancel from another thread.
    hid.SetReadTimeout(60000);
    std::memcpy(buffer, poisoned.data(), 64);
    auto read = ReadElsewhere();
    ASSERT_TRUE(fake.WaitUntilAnyoneWaits());
    hid.CancelRead();
    EXPECT_EQ(Finish(read), kReadOk);
    EXPECT_THAT(buffer, ElementsAreArray(late));
}

TEST_F(Win32ChannelTest, ReadThatBringsNoReportFailsAndHandsNothingOn) {
    struct Case {
        const char* what;
        DWORD error;
        ULONG_PTR status;
        size_t waits;
    };
    // A read that failed at once was never queued: its event is never set, and waiting for its
    // end would never return.
    const Case cases[] = {
        {"unplugged: fails at once", ERROR_DEVICE_NOT_CONNECTED, 0, 0},
        {"refused at once", ERROR_GEN_FAILURE, 0, 0},
        {"unplugged while pending", 0, kStatusDeviceNotConnected, 1},
        {"ends with an error", 0, kStatusUnsuccessful, 1},
    };
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(500);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.readError = c.error;
        fake.readStatus = c.status;
        fake.waits.clear();
        fake.overlappedResults.clear();
        std::memcpy(buffer, poisoned.data(), 64);
        EXPECT_EQ(hid.ReadHid(buffer, 64), kReadFailed);
        EXPECT_THAT(buffer, Each(kPoison));
        EXPECT_EQ(fake.waits.size(), c.waits);
        for (const auto& result : fake.overlappedResults) {
            EXPECT_FALSE(result.wait);
        }
        EXPECT_TRUE(fake.IsOpen(fake.reads.back().event));
    }
    EXPECT_THAT(fake.cancels, IsEmpty());

    // Back again: the next read is an ordinary one.
    fake.readError = 0;
    fake.readStatus = 0;
    fake.input.push_back(Report(5));
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
}

TEST_F(Win32ChannelTest, CallThatCannotBeSeenToEndKeepsItsBufferAndEvent) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.forcedWait = WAIT_FAILED;
    fake.cancelIgnored = true;
    parkedCalls = 2;
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadFailed);
    const HANDLE readEvent = fake.reads.at(0).event;
    // Past this point a released buffer would be written into: stop here if it was.
    ASSERT_TRUE(fake.IsOpen(readEvent)) << "the read's event was closed, its buffer released";
    // The read ends after all: the system writes into memory that must still be ours.
    EXPECT_TRUE(fake.Deliver(Report(3)));

    fake.writeEnd = WriteEnd::Never;
    const uint8_t first[1] = {0x31};
    EXPECT_EQ(hid.WriteHid(first, 1), 0);
    ASSERT_EQ(fake.writes.size(), 1u);
    ASSERT_TRUE(fake.IsOpen(fake.writes[0].event)) << "the write's event was closed";
    // The handles that gave a call up take no more; the gamepad opened anew writes again. The next
    // report fills the sender's buffer anew; the abandoned write still reads its own.
    fake.forcedWait.reset();
    fake.cancelIgnored = false;
    fake.writeEnd = WriteEnd::InTheCall;
    const uint8_t second[1] = {0x32};
    EXPECT_EQ(hid.WriteHid(second, 1), 0);
    EXPECT_EQ(fake.writes.size(), 1u);
    ASSERT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(hid.WriteHid(second, 1), 1);
    EXPECT_TRUE(fake.ReleaseWrites());
}

// A driver that never ends a cancelled call: the read or write still ends, failed, within its own
// bound and the cancel's, and the call's memory stays where the system may write into it.
TEST_F(Win32ChannelTest, CancelThatNeverEndsTheCallFailsItWithinTheBoundAndKeepsItsMemory) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.cancelIgnored = true;
    const long long bound = kCancelledCallBoundMs;

    // A read cancelled from another thread (the window closing), then given up after its time-out.
    hid.SetReadTimeout(50);
    auto read = ReadElsewhere();
    ASSERT_TRUE(fake.WaitUntilAnyoneWaits());
    auto start = std::chrono::steady_clock::now();
    hid.CancelRead();
    EXPECT_EQ(Finish(read), kReadFailed) << "a given-up read is a failed one, not a time-out";
    EXPECT_GE(MsSince(start), bound - 100);
    EXPECT_LT(MsSince(start), 50 + bound + 1000);
    ++parkedCalls;
    EXPECT_EQ(fake.LiveCallMemory(), parkedCalls);
    EXPECT_TRUE(fake.IsOpen(fake.reads.at(0).event));
    // The handle takes no more reads; the late report lands in memory that is still there.
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadFailed);
    EXPECT_EQ(fake.reads.size(), 1u);
    EXPECT_TRUE(fake.Deliver(Report(9)));

    // A write the device never takes, given up after its time-out.
    fake.writeEnd = WriteEnd::Never;
    const uint8_t data[1] = {0x33};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(hid.WriteHid(data, 1), 0);
    EXPECT_LT(MsSince(start), static_cast<long long>(kWriteTimeoutMs) + bound + 1000);
    ++parkedCalls;
    EXPECT_EQ(fake.LiveCallMemory(), parkedCalls);
    EXPECT_EQ(hid.WriteHid(data, 1), 0);
    EXPECT_EQ(fake.writes.size(), 1u);
    EXPECT_TRUE(fake.ReleaseWrites()) << "the report of the given-up write changed or went";

    const std::vector<std::string> log = Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) {
                                return line.find("did not end within 2000 ms") != std::string::npos;
                            }),
              2);
}

TEST_F(Win32ChannelTest, EventThatCannotBeCreatedFailsTheReadWithoutStartingIt) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.eventCreationFails = true;
    std::memcpy(buffer, poisoned.data(), 64);
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadFailed);
    EXPECT_THAT(fake.reads, IsEmpty());
    EXPECT_THAT(buffer, Each(kPoison));
}

TEST_F(Win32ChannelTest, CancelFromAnotherThreadEndsAPendingReadEarly) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(60000);
    std::memcpy(buffer, poisoned.data(), 64);
    auto read = ReadElsewhere();
    ASSERT_TRUE(fake.WaitUntilAnyoneWaits());
    hid.CancelRead();
    EXPECT_EQ(Finish(read), kReadTimeout);
    EXPECT_THAT(buffer, Each(kPoison));
    ASSERT_FALSE(fake.cancels.empty());
    EXPECT_EQ(fake.cancels[0].file, Opened(1));
    EXPECT_EQ(fake.cancels[0].overlapped, fake.reads.at(0).overlapped);
    EXPECT_EQ(fake.cancels[0].thread, std::this_thread::get_id());
}

TEST_F(Win32ChannelTest, CancelBetweenReadsEndsOnlyTheNextRead) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(60000);
    hid.CancelRead();
    auto read = ReadElsewhere();
    EXPECT_EQ(Finish(read), kReadTimeout);

    fake.input.push_back(Report(4));
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
}

}  // namespace
}  // namespace zevrin::test

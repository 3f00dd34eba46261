// The report channel on Windows: the two handles, the synchronous write, the overlapped read with
// its time-out, and a read whose buffer must outlive its cancellation.
#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

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
        hid.m_DevicePath = Utf8InterfacePath("pad");
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

    CHid hid{port};
    uint8_t buffer[64];
    std::array<uint8_t, 64> poisoned;
};

TEST_F(Win32ChannelTest, OpenDeviceOpensAWriterThenAnOverlappedReader) {
    EXPECT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(hid.LastOpenStatus(), OpenStatus::Ok);
    ASSERT_EQ(fake.opens.size(), 2u);
    const CreateFileCall& writer = fake.opens[0];
    const CreateFileCall& reader = fake.opens[1];
    for (const auto* open : {&writer, &reader}) {
        EXPECT_EQ(open->path, InterfacePath(L"pad"));
        EXPECT_EQ(open->share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(open->disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_FALSE(open->security);
        EXPECT_FALSE(open->templateFile);
    }
    EXPECT_EQ(writer.access, static_cast<DWORD>(GENERIC_WRITE));
    EXPECT_EQ(writer.flags, 0u);
    EXPECT_EQ(reader.access, static_cast<DWORD>(GENERIC_READ));
    EXPECT_EQ(reader.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
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
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadNoHandle);
    EXPECT_THAT(fake.events, IsEmpty());
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
        EXPECT_EQ(port.OpenWrite(hid.m_DevicePath, status), nullptr);
        EXPECT_EQ(status, expected) << "writer, error " << error;
        status = OpenStatus::Ok;
        EXPECT_EQ(port.OpenRead(hid.m_DevicePath, status), nullptr);
        EXPECT_EQ(status, expected) << "reader, error " << error;
    }
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

TEST_F(Win32ChannelTest, WriteHandsTheWhole65ByteReportToOneSynchronousWriteFile) {
    ASSERT_EQ(hid.OpenDevice(), 1);
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
        EXPECT_FALSE(write.overlapped);
    }
    std::vector<uint8_t> expected(kReportSize, 0);
    std::memcpy(&expected[1], forty, 40);
    std::memcpy(&expected[1], six, 6);
    EXPECT_EQ(fake.writes[2].bytes, expected);
}

TEST_F(Win32ChannelTest, RefusedWriteReturnsZero) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.writeResult = FALSE;
    const uint8_t data[1] = {0};
    EXPECT_EQ(hid.WriteHid(data, 1), 0);
}

TEST_F(Win32ChannelTest, ReportHandsOnItsBytesAfterTheReportId) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    const auto report = Report(0x90);
    fake.input.push_back(report);
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    EXPECT_THAT(buffer, ElementsAreArray(report.data() + 1, 64));

    ASSERT_EQ(fake.events.size(), 1u);
    const EventCall& event = fake.events[0];
    EXPECT_TRUE(event.manualReset);
    EXPECT_TRUE(event.initialState);
    EXPECT_FALSE(event.security);
    EXPECT_FALSE(event.named);
    ASSERT_EQ(fake.reads.size(), 1u);
    const ReadCall& read = fake.reads[0];
    EXPECT_EQ(read.file, Opened(1));
    EXPECT_EQ(read.size, kReportSize);
    EXPECT_EQ(read.offset, 0u);
    EXPECT_EQ(read.offsetHigh, 0u);
    ASSERT_EQ(fake.waits.size(), 1u);
    EXPECT_EQ(fake.waits[0].object, read.event);
    EXPECT_EQ(fake.waits[0].milliseconds, kOpenReadTimeoutMs);
    EXPECT_EQ(fake.Closes(read.event), 1);
    EXPECT_THAT(fake.cancels, IsEmpty());
}

TEST_F(Win32ChannelTest, ReportArrivingDuringTheWaitIsHandedOn) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    hid.SetReadTimeout(60000);
    auto read = ReadElsewhere();
    ASSERT_TRUE(fake.WaitUntilReaderWaits());
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
    EXPECT_EQ(fake.waits.at(0).milliseconds, 15u);
    ASSERT_EQ(fake.cancels.size(), 1u);
    EXPECT_EQ(fake.cancels[0].file, Opened(1));
    EXPECT_EQ(fake.cancels[0].thread, std::this_thread::get_id());
    ASSERT_EQ(fake.overlappedResults.size(), 1u);
    EXPECT_EQ(fake.overlappedResults[0].overlapped, read.overlapped);
    EXPECT_TRUE(fake.overlappedResults[0].wait);
    // The fake ended the read late, writing a report into its buffer: that happened while the
    // read's event (and so the read) was still alive.
    EXPECT_TRUE(read.ended);
    EXPECT_TRUE(read.endedWithEventOpen);
    EXPECT_EQ(fake.Closes(read.event), 1);

    // Each read has its own event.
    fake.input.push_back(Report(2));
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadOk);
    ASSERT_EQ(fake.reads.size(), 2u);
    EXPECT_NE(fake.reads[1].event, read.event);
    EXPECT_EQ(fake.Closes(fake.reads[1].event), 1);
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

TEST_F(Win32ChannelTest, ReadThatCannotBeSeenToEndKeepsItsBufferAndEvent) {
    ASSERT_EQ(hid.OpenDevice(), 1);
    fake.forcedWait = WAIT_FAILED;
    fake.overlappedWaitFails = true;
    EXPECT_EQ(hid.ReadHid(buffer, 64), kReadFailed);
    const HANDLE event = fake.reads.at(0).event;
    // Past this point a released buffer would be written into: stop here if it was.
    ASSERT_TRUE(fake.IsOpen(event)) << "the read's event was closed, its buffer released";
    // The read ends after all: the system writes into memory that must still be ours.
    EXPECT_TRUE(fake.Deliver(Report(3)));
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
    ASSERT_TRUE(fake.WaitUntilReaderWaits());
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

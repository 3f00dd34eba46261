// The frames on the wire: what the device receives, byte for byte, for each sender, and which
// incoming frames reach the handlers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "TestSupport.h"
#include "hid/CHid.h"
#include "update/Frames.h"
#include "update/UpdateEngine.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using zevrin::sim::SimPort;
using zevrin::test::Bytes;
using zevrin::test::FakeView;
using zevrin::test::LogCapture;

namespace {

class FramingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_Pad = m_Port.AddGamepad("sim:pad");
        ASSERT_EQ(m_Engine.Hid().FindDevice(), 1);
        ASSERT_EQ(m_Engine.Hid().OpenDevice(), 1);
        m_Port.ClearRecording(m_Pad);
    }
    std::vector<std::array<uint8_t, zevrin::kReportSize>> Reports() {
        return m_Port.RecordingOf(m_Pad).reports;
    }

    SimPort m_Port;
    FakeView m_View;
    CUpdateEngine m_Engine{m_Port, m_View};
    int m_Pad = 0;
};

TEST_F(FramingTest, CommandsGoAsOneReportEach) {
    LogCapture log;
    std::vector<uint8_t> header(28);
    std::iota(header.begin(), header.end(), uint8_t{0x40});
    EXPECT_EQ(SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_HEADER, header.data(), 28), 1);
    EXPECT_EQ(SendFirmwarePacket(m_Engine.Hid(), CMD_GET_VERSION), 1);
    EXPECT_EQ(SendShortMessage(m_Engine.Hid(), MSG_POLL, 0), 1);
    EXPECT_EQ(SendShortMessage(m_Engine.Hid(), MSG_ENTER_UPDATE, 0), 1);

    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 4u);
    std::vector<uint8_t> expected = {0x00, 0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00};
    expected.insert(expected.end(), header.begin(), header.end());
    EXPECT_EQ(Bytes(reports[0], expected.size()), expected);
    EXPECT_THAT(Bytes(reports[1], 7), ElementsAre(0x00, 0x05, 0x00, 0x16, 0x01, 0x00, 0x04));
    EXPECT_THAT(Bytes(reports[2], 7), ElementsAre(0x00, 0x05, 0x00, 0x1D, 0x01, 0x00, 0x00));
    EXPECT_THAT(Bytes(reports[3], 7), ElementsAre(0x00, 0x05, 0x00, 0x1A, 0x01, 0x00, 0x00));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"SendFirmwarePacket cmd 1\n",
                                                     "SendFirmwarePacket cmd 4\n"}));
}

TEST_F(FramingTest, DataFramesOfThe32ByteChunkAndOfNothing) {
    LogCapture log;
    uint8_t chunk[32];
    std::iota(std::begin(chunk), std::end(chunk), uint8_t{1});
    EXPECT_EQ(SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_DATA, chunk, 32), -1);
    EXPECT_EQ(SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_DATA, chunk, 0), -1);

    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    std::vector<uint8_t> expected = {0x00, 0x27, 0x00, 0x16, 0x23, 0x00, 0x00, 0x20, 0x00};
    expected.insert(expected.end(), std::begin(chunk), std::end(chunk));
    EXPECT_EQ(Bytes(reports[0], expected.size()), expected);
    EXPECT_THAT(Bytes(reports[1], 7), ElementsAre(0x00, 0x05, 0x00, 0x16, 0x01, 0x00, 0x00));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"WriteHid 39 btye sucessful\n",
                                                     "WriteHid 5 btye sucessful\n"}));
}

TEST_F(FramingTest, LongDataFrameGoesInPiecesOf39And39And22) {
    LogCapture log;
    std::vector<uint8_t> payload(93);  // frame of 100 bytes
    std::iota(payload.begin(), payload.end(), uint8_t{0x80});
    SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_DATA, payload.data(), 93);

    std::vector<uint8_t> frame = {0x00, 0x16, 96, 0x00, 0x00, 93, 0x00};
    frame.insert(frame.end(), payload.begin(), payload.end());
    ASSERT_EQ(frame.size(), 100u);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 3u);
    size_t offset = 0;
    for (size_t i = 0; i < 3; ++i) {
        const size_t piece = i < 2 ? 39 : 22;
        EXPECT_EQ(reports[i][0], 0x00);
        EXPECT_EQ(reports[i][1], piece);
        EXPECT_EQ(std::vector<uint8_t>(reports[i].begin() + 2, reports[i].begin() + 2 + piece),
                  std::vector<uint8_t>(frame.begin() + offset, frame.begin() + offset + piece));
        offset += piece;
    }
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"WriteHid 39 btye sucessful\n",
                                                     "WriteHid 39 btye sucessful\n",
                                                     "WriteHid 22 btye sucessful\n"}));
    // The device put the pieces back together into one data frame.
    EXPECT_EQ(m_Port.RecordingOf(m_Pad).received, payload);
}

TEST_F(FramingTest, FailedPieceStopsTheFrame) {
    LogCapture log;
    m_Port.SetWriteFails(m_Pad, true);
    std::vector<uint8_t> payload(93, 0x11);
    // The caller learns of it: the frame never reached the device.
    EXPECT_EQ(SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_DATA, payload.data(), 93), 0);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"WriteHid error\n"});
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(SendFirmwarePacket(m_Engine.Hid(), CMD_GET_VERSION), 0);
    EXPECT_EQ(SendShortMessage(m_Engine.Hid(), MSG_POLL, 0), 0);
}

TEST_F(FramingTest, CommandTooLongForOneReportIsNotSent) {
    std::vector<uint8_t> payload(57, 0x22);  // frame of 64 bytes
    EXPECT_EQ(SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_HEADER, payload.data(), 57), 0);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(FramingTest, ShortReportKeepsTheTailOfALongerOne) {
    uint8_t chunk[32];
    std::fill(std::begin(chunk), std::end(chunk), 0xEE);
    SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_DATA, chunk, 32);
    SendShortMessage(m_Engine.Hid(), MSG_POLL, 0);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    // Bytes 7..40 still hold the data frame; the device sees them, so they stay.
    for (size_t i = 7; i <= 40; ++i) {
        EXPECT_EQ(reports[1][i], reports[0][i]) << "offset " << i;
    }
}

// Records what the dispatch hands on.
struct RecordingHandlers : FrameHandlers {
    std::vector<std::vector<uint8_t>> info;
    std::vector<std::vector<uint8_t>> update;
    void OnDeviceInfo(const uint8_t* body, size_t length) override {
        info.emplace_back(body, body + length);
    }
    void OnUpdateEvent(const uint8_t* body, size_t length) override {
        update.emplace_back(body, body + length);
    }
};

TEST(DispatchTest, OnlyZeroLedFramesOfTheTwoKnownTypesReachTheHandlers) {
    RecordingHandlers h;
    uint8_t frame[kInputFrameBytes] = {};
    auto dispatch = [&](std::initializer_list<uint8_t> head) {
        std::fill(std::begin(frame), std::end(frame), 0xCC);
        std::copy(head.begin(), head.end(), frame);
        DispatchFrame(frame, h);
    };
    dispatch({0x01, MSG_UPDATE, 0x01, 0x00, SET_FIRMWARE_DATA});  // byte 0 not 0
    dispatch({0x00, 0x04, 0x01, 0x00, SET_FIRMWARE_DATA});        // type 4
    dispatch({0x00, MSG_POLL, 0x01, 0x00, 0x00});                 // a host-only type
    dispatch({0x00, 0x77, 0x01, 0x00, 0x00});                     // unknown
    EXPECT_TRUE(h.info.empty());
    EXPECT_TRUE(h.update.empty());

    dispatch({0x00, MSG_UPDATE, 0x00, 0x00, SET_FIRMWARE_DATA});  // lengths are not trusted
    dispatch({0x00, MSG_DEVICE_INFO, 0x28, 0x00, 0x55});
    ASSERT_EQ(h.update.size(), 1u);
    ASSERT_EQ(h.info.size(), 1u);
    EXPECT_EQ(h.update[0].size(), 59u);
    EXPECT_EQ(h.update[0][0], SET_FIRMWARE_DATA);
    EXPECT_EQ(h.info[0][0], 0x55);
}

}  // namespace

namespace {

TEST_F(FramingTest, SendersOnTwoThreadsNeverMixTheirFrames) {
    constexpr int kRounds = 300;
    uint8_t chunk[32];
    std::fill(std::begin(chunk), std::end(chunk), 0x5C);
    std::thread data([&] {
        for (int i = 0; i < kRounds; ++i) {
            SendFirmwarePacket(m_Engine.Hid(), CMD_FIRMWARE_DATA, chunk, 32);
        }
    });
    std::thread polls([&] {
        for (int i = 0; i < kRounds; ++i) {
            SendShortMessage(m_Engine.Hid(), MSG_POLL, 0);
        }
    });
    data.join();
    polls.join();
    int dataReports = 0;
    int pollReports = 0;
    for (const auto& r : Reports()) {
        if (r[1] == 0x27) {
            ++dataReports;
            EXPECT_EQ(r[3], MSG_UPDATE);
            EXPECT_TRUE(
                std::all_of(r.begin() + 9, r.begin() + 41, [](uint8_t b) { return b == 0x5C; }));
        } else {
            ++pollReports;
            EXPECT_THAT(Bytes(r, 7), ElementsAre(0x00, 0x05, 0x00, 0x1D, 0x01, 0x00, 0x00));
        }
    }
    EXPECT_EQ(dataReports, kRounds);
    EXPECT_EQ(pollReports, kRounds);
}

}  // namespace

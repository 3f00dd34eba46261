// Asking the gamepad for its version: the answer, the caption, and a device that never answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "EngineRig.h"
#include "update/Texts.h"
#include "update/UpdateEngine.h"

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::SimPort;
using zevrin::test::Bytes;
using zevrin::test::FakeView;
using zevrin::test::LogCapture;

namespace {

class VersionQueryTest : public ::testing::Test {
  protected:
    void Start(GamepadBehaviour b) {
        m_Pad = m_Port.AddGamepad("pad", b);
        ASSERT_EQ(m_Engine.Hid().FindDevice(), 1);
    }

    zevrin::test::EnglishTexts m_Texts;
    SimPort m_Port;
    FakeView m_View;
    CUpdateEngine m_Engine{m_Port, m_View};
    int m_Pad = 0;
};

TEST_F(VersionQueryTest, CaptionShowsTheReportedVersion) {
    const struct {
        uint32_t word;
        const char* caption;
    } cases[] = {
        {110, "Zevrin Update v1.20(GamePad V1.10)"},
        {110 | (3u << 16), "Zevrin Update v1.20(GamePad V1.10 beta3)"},
        {5, "Zevrin Update v1.20(GamePad V0.05)"},
        {65535, "Zevrin Update v1.20(GamePad V655.35)"},
    };
    Start({});
    for (const auto& c : cases) {
        GamepadBehaviour b;
        b.version = c.word;
        m_Port.SetBehaviour(m_Pad, b);
        LogCapture log;
        m_Engine.QueryDeviceVersion();
        EXPECT_EQ(cur_devVersion.load(), c.word);
        EXPECT_EQ(m_View.Snapshot().caption, c.caption);
        EXPECT_TRUE(log.Contains(zevrin::Format("cur_devVersion 0x%x\n", c.word)));
        EXPECT_EQ(log.Lines().front(), "SendFirmwarePacket cmd 4\n");
    }
    EXPECT_TRUE(m_View.Snapshot().boxes.empty());
}

TEST_F(VersionQueryTest, NoFirmwareShowsTheInstructionsAndKeepsTheCaption) {
    GamepadBehaviour b;
    b.version = kNoVersion;
    Start(b);
    m_View.SetCaption("before");
    m_Engine.QueryDeviceVersion();
    EXPECT_EQ(cur_devVersion.load(), kNoVersion);
    const auto view = m_View.Snapshot();
    EXPECT_EQ(view.caption, "before");
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, LoadLocalizedText(14));
    EXPECT_EQ(view.boxes[0].caption, "Zevrin Update v1.20");
    EXPECT_EQ(view.boxes[0].buttons, BoxButtons::Ok);
}

TEST_F(VersionQueryTest, SilentDeviceIsPolledThenGivenUp) {
    GamepadBehaviour b;
    b.answersVersion = false;
    Start(b);
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    m_Engine.QueryDeviceVersion();  // time-outs of 200 ms until the 2 s deadline
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 2600ms);
    EXPECT_EQ(cur_devVersion.load(), kVersionPending);
    EXPECT_TRUE(m_View.Snapshot().boxes.empty());
    EXPECT_TRUE(m_View.Snapshot().captionHistory.empty());
    const size_t timeouts = log.Count("recv() failed with error code 0x102\n");
    EXPECT_GE(timeouts, 9u);
    EXPECT_LE(timeouts, 10u);
    const auto rec = m_Port.RecordingOf(m_Pad);
    EXPECT_EQ(rec.polls, timeouts);
    EXPECT_THAT(Bytes(rec.reports.back(), 7),
                ElementsAre(0x00, 0x05, 0x00, 0x1D, 0x01, 0x00, 0x00));
    EXPECT_EQ(log.Lines().back(), "QueryDeviceVersion: no answer in 2000 ms\n");
}

TEST_F(VersionQueryTest, OneDeadlineWhateverArrivesMeanwhile) {
    // A gamepad outside boot mode that sends an unrelated report now and then: each one used to
    // restart the count of time-outs, so the window froze for as long as they kept coming.
    GamepadBehaviour b;
    b.answersVersion = false;
    Start(b);
    std::atomic<bool> done{false};
    std::thread chatter([&] {
        while (!done.load()) {
            m_Port.InjectFrame(m_Pad, {0x00, 0x42, 0x00, 0x00});
            std::this_thread::sleep_for(150ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    m_Engine.QueryDeviceVersion();
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    chatter.join();
    EXPECT_LT(took, 2600ms);
    EXPECT_EQ(cur_devVersion.load(), kVersionPending);
}

TEST_F(VersionQueryTest, OutsideAnUpdateOnlyTheVersionAnswerActs) {
    // Each of these used to reach the transfer's handlers from the dialog thread: the file dialog
    // and a header, CMD_UPDATE_DONE with "Firmware upgraded!", or a failure box.
    std::vector<uint8_t> info(4 + kDeviceInfoBodySize, 0);
    info[1] = MSG_DEVICE_INFO;
    info[2] = kDeviceInfoBodySize;
    info[4 + kDeviceInfoTypeOffset] = kFirmwareTypeGamepad;
    const std::vector<std::vector<uint8_t>> strays = {
        info,
        {0x00, MSG_UPDATE, 0x01, 0x00, SET_FIRMWARE_DATA},
        {0x00, MSG_UPDATE, 0x01, 0x00, EVT_UPDATE_FAILED},
        {0x00, MSG_UPDATE, 0x01, 0x00, EVT_UPDATE_FAILED_2},
    };
    GamepadBehaviour b;
    b.answersVersion = false;
    Start(b);
    for (const int stage : {STAGE_HEADER_SENT, STAGE_TRANSFER, STAGE_COMPLETE}) {
        for (const auto& stray : strays) {
            g_UpdateStage = stage;
            m_Port.ClearRecording(m_Pad);
            m_Port.InjectFrame(m_Pad, stray);
            m_Port.InjectFrame(m_Pad,
                               {0x00, MSG_UPDATE, 0x07, 0x00, EVT_VERSION, 4, 0, 110, 0, 0, 0});
            m_Engine.QueryDeviceVersion();
            EXPECT_EQ(cur_devVersion.load(), 110u);
            const auto rec = m_Port.RecordingOf(m_Pad);
            EXPECT_EQ(rec.reports.size(), 1u) << "stage " << stage << ", frame type " << +stray[1];
            EXPECT_FALSE(rec.headerReceived || rec.doneReceived || rec.chunks > 0);
        }
    }
    const auto view = m_View.Snapshot();
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_TRUE(view.fileDialogs.empty());
    EXPECT_EQ(m_Engine.Outcome(), UpdateOutcome::None);
}

TEST_F(VersionQueryTest, DeviceEventInsideItsBoxDoesNotNestASecondQuery) {
    // The box of a gamepad without firmware runs a message loop; an arrival handled there used to
    // start a query inside the query, and boxes inside boxes.
    GamepadBehaviour b;
    b.version = kNoVersion;
    Start(b);
    int depth = 0;
    int deepest = 0;
    m_View.OnBox([&](const zevrin::test::BoxShown&) {
        deepest = std::max(deepest, ++depth);
        if (m_View.Snapshot().boxes.size() == 1) {
            m_Engine.QueryDeviceVersion();
        }
        --depth;
    });
    m_Engine.QueryDeviceVersion();
    EXPECT_EQ(deepest, 1);
    // The event is not lost: the gamepad is asked again once the first query has ended.
    EXPECT_EQ(m_Port.RecordingOf(m_Pad).versionRequests, 2u);
    EXPECT_EQ(m_View.Snapshot().boxes.size(), 2u);
}

TEST_F(VersionQueryTest, DeviceThatCannotBeOpenedIsNotAsked) {
    Start({});
    m_Port.Unplug(m_Pad);
    cur_devVersion = 110;
    m_View.SetCaption("kept");
    m_Engine.QueryDeviceVersion();
    EXPECT_EQ(cur_devVersion.load(), kVersionPending);
    EXPECT_EQ(m_View.Snapshot().caption, "kept");
    EXPECT_TRUE(m_Port.RecordingOf(m_Pad).reports.empty());
    EXPECT_TRUE(m_View.Snapshot().boxes.empty());
}

TEST_F(VersionQueryTest, PermissionDeniedTellsTheUserWhatToDo) {
    Start({});
    m_Port.SetOpenStatus(m_Pad, zevrin::OpenStatus::PermissionDenied);
    m_Engine.QueryDeviceVersion();
    const auto boxes = m_View.Snapshot().boxes;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, LoadExtraText(OpenRefusedAdvice()));
#if !defined(_WIN32)
    EXPECT_NE(boxes[0].text.find("70-zevrin-gamepad.rules"), std::string::npos);
#endif
}

TEST_F(VersionQueryTest, VersionIsReadAtItsOffsetWhateverTheLengthsSay) {
    GamepadBehaviour b;
    b.answersVersion = false;
    Start(b);
    // Noise and other frames first: ignored, the loop goes on.
    m_Port.InjectFrame(m_Pad, {0x01, MSG_UPDATE, 0x07, 0x00, EVT_VERSION, 4, 0, 9, 9, 9, 9});
    m_Port.InjectFrame(m_Pad, {0x00, 0x04, 0x07, 0x00, EVT_VERSION, 4, 0, 9, 9, 9, 9});
    m_Port.InjectFrame(m_Pad, {0x00, MSG_UPDATE, 0x00, 0x00, EVT_VERSION, 0, 0, 0x6E, 0, 2, 0});
    m_Engine.QueryDeviceVersion();
    EXPECT_EQ(cur_devVersion.load(), 0x0002006Eu);
    EXPECT_EQ(m_View.Snapshot().caption, "Zevrin Update v1.20(GamePad V1.10 beta2)");
}

TEST_F(VersionQueryTest, StrayDataRequestNeverReportsASuccessThatDidNotHappen) {
    GamepadBehaviour b;
    b.answersVersion = false;
    Start(b);
    g_UpdateStage = STAGE_COMPLETE;
    m_Port.InjectFrame(m_Pad, {0x00, MSG_UPDATE, 0x01, 0x00, SET_FIRMWARE_DATA});
    m_Port.InjectFrame(m_Pad, {0x00, MSG_UPDATE, 0x07, 0x00, EVT_VERSION, 4, 0, 110, 0, 0, 0});
    m_Engine.QueryDeviceVersion();
    EXPECT_EQ(cur_devVersion.load(), 110u);
    EXPECT_TRUE(m_View.Snapshot().boxes.empty());
    EXPECT_FALSE(m_Port.RecordingOf(m_Pad).doneReceived);
}

}  // namespace

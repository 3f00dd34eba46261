// Asking the gamepad for its version: the answer, the caption, and a device that never answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "TestSupport.h"
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
    VersionQueryTest() {
        SetTextSource({[] { return uint16_t{1033}; }, {}});
    }
    ~VersionQueryTest() override { SetTextSource({}); }

    void Start(GamepadBehaviour b) {
        m_Pad = m_Port.AddGamepad("pad", b);
        ASSERT_EQ(m_Engine.Hid().FindDevice(), 1);
    }

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
    m_Engine.QueryDeviceVersion();  // 10 time-outs of 200 ms
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 4000ms);
    EXPECT_EQ(cur_devVersion.load(), kVersionPending);
    EXPECT_TRUE(m_View.Snapshot().boxes.empty());
    EXPECT_TRUE(m_View.Snapshot().captionHistory.empty());
    EXPECT_EQ(log.Count("recv() failed with error code 0x102\n"), 10u);
    const auto rec = m_Port.RecordingOf(m_Pad);
    EXPECT_EQ(rec.polls, 10u);
    EXPECT_THAT(Bytes(rec.reports.back(), 7),
                ElementsAre(0x00, 0x05, 0x00, 0x1D, 0x01, 0x00, 0x00));
    EXPECT_EQ(log.Lines().back(), "QueryDeviceVersion: no answer after 10 reads\n");
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

// Hot-plug storms during a transfer, and closing the window at every moment of one.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <iterator>

#include "EngineRig.h"
#include "update/Texts.h"
#include "update/UpdateDlg.h"

using namespace std::chrono_literals;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::test::WaitFor;

namespace {

// The test thread plays the window's thread: it delivers the events the simulated devices post.
class StormTest : public ::testing::Test, public zevrin::test::EngineRig {};

TEST_F(StormTest, HundredArrivalsAndRemovalsDuringATransfer) {
    const int keyboard = m_Port.AddInterface("keyboard", 0x046D, 0xC31C);
    GamepadBehaviour b;
    b.latency = 8ms;  // 250 chunks: the transfer outlasts the storm
    const int pad = AddPad(b);
    UseImage(32 * 250, 32 * 250);
    Open();
    const size_t versionRequests = m_Port.RecordingOf(pad).versionRequests;

    m_Dlg->OnBnClickedUsbUpdate();
    ASSERT_TRUE(WaitFor([&] { return m_Dlg->BytesSent() > 0; }));
    int events = 0;
    const auto start = std::chrono::steady_clock::now();
    while (events < 100) {
        if (events % 2 == 0) {
            m_Port.Unplug(keyboard);
        } else {
            m_Port.Plug(keyboard);
        }
        ++events;
        DeliverEvents();
        m_Dlg->OnBnClickedUsbUpdate();  // an impatient user, too
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(m_Dlg->IsWorkerRunning()) << "the storm outlasted the transfer; make it longer";
    ASSERT_TRUE(WaitFor([&] { return !m_Dlg->IsWorkerRunning(); }, 20s));
    m_Dlg->WaitForWorker();

    const auto rec = m_Port.RecordingOf(pad);
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    EXPECT_EQ(rec.enterUpdates, 1u);                  // no second worker
    EXPECT_EQ(rec.versionRequests, versionRequests);  // no query beside the worker
    EXPECT_EQ(rec.received, ImageData(32 * 250));
    EXPECT_TRUE(m_View.Snapshot().buttonEnabled);
}

// Where the window is closed, and how the test knows that moment has come.
struct CloseAt {
    const char* name;
    Moment delayAt;  // the device pauses here, so the close lands inside that step
    std::function<bool(const zevrin::sim::Recording&)> reached;
    FaultKind pause = FaultKind::Delay500;
};

class TeardownTest : public StormTest, public ::testing::WithParamInterface<int> {};

const CloseAt kCloseMoments[] = {
    {"header sent", Moment::Header, [](const auto& r) { return r.headerReceived; }},
    {"first chunk", Moment::FirstChunk, [](const auto& r) { return r.chunks >= 1; }},
    {"mid-transfer", Moment::MidTransfer, [](const auto& r) { return r.chunks >= 5; }},
    {"last chunk", Moment::LastChunk, [](const auto& r) { return r.chunks >= 7; }},
    {"complete, before DONE", Moment::AfterComplete, [](const auto& r) { return r.chunks >= 8; }},
    // The gamepad takes no more output reports: the close lands inside a write that would last
    // its whole bound.
    {"write stalls", Moment::MidTransfer, [](const auto& r) { return r.chunks >= 5; },
     FaultKind::WriteStall},
};
constexpr int kDeviceMoments = static_cast<int>(std::size(kCloseMoments));

TEST_P(TeardownTest, ClosingStopsAndWaitsForTheWorkerAndTouchesNothingAfter) {
    const int which = GetParam();
    GamepadBehaviour b;
    std::atomic<bool> inPrompt{false};
    if (which < kDeviceMoments) {
        b.fault = {kCloseMoments[which].pause, kCloseMoments[which].delayAt};
    } else {
        auto wait = [&] {  // the user looks at the prompt until the window closes
            inPrompt = true;
            WaitFor([&] { return m_View.PromptsCancelled(); }, 5s);
        };
        if (which == kDeviceMoments) {
            m_View.OnFileDialog(wait);
        } else {
            m_View.OnBox([wait](const zevrin::test::BoxShown& box) {
                if (box.buttons == BoxButtons::OkCancel) {
                    wait();
                }
            });
        }
    }
    const int pad = AddPad(b);
    UseImage(256, 256);
    Open();
    m_Dlg->OnBnClickedUsbUpdate();
    if (which < kDeviceMoments) {
        ASSERT_TRUE(WaitFor([&] { return kCloseMoments[which].reached(m_Port.RecordingOf(pad)); }));
        if (kCloseMoments[which].pause == FaultKind::WriteStall) {
            // Inside the stalled write, not before it: a stop cancels the write in progress, and
            // one that lands just before the write begins is bounded by the write's own 1 s.
            std::this_thread::sleep_for(100ms);
        }
    } else {
        ASSERT_TRUE(WaitFor([&] { return inPrompt.load(); }));
    }

    const auto start = std::chrono::steady_clock::now();
    m_Dlg.reset();  // the window goes away
    // Well inside the 1 s bound of a single read or write: the stop cuts both short.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    const size_t calls = m_View.Calls();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(m_View.Calls(), calls) << "the view was used after the dialog was gone";
    EXPECT_EQ(m_Port.OpenHandles(pad), 0);
    EXPECT_FALSE(m_Port.RecordingOf(pad).doneReceived);
    EXPECT_EQ(m_Port.ReadsInProgress(pad), 0);
}

std::string MomentName(const ::testing::TestParamInfo<int>& info) {
    static const char* const kNames[] = {"HeaderSent", "FirstChunk",         "MidTransfer",
                                         "LastChunk",  "CompleteBeforeDone", "WriteStalls",
                                         "FileDialog", "Confirmation"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(EveryMoment, TeardownTest, ::testing::Range(0, kDeviceMoments + 2),
                         MomentName);

}  // namespace

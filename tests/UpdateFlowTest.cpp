// The dialog's logic and the worker, end to end against the simulated gamepad: what the window
// shows, what the user is told, and what the device actually received.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "EngineRig.h"
#include "update/DeviceEventPolicy.h"
#include "update/Texts.h"
#include "update/UpdateDlg.h"

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::sim::SimPort;
using zevrin::test::FakeView;
using zevrin::test::ImageBytes;
using zevrin::test::LogCapture;
using zevrin::test::WaitFor;

namespace {

constexpr char kTitle[] = "Zevrin Update v1.20";

class FlowTest : public ::testing::Test, public zevrin::test::EngineRig {
  protected:
    void Open() { EngineRig::Open(zevrin::test::QuickLimits()); }
    void Update() { ASSERT_TRUE(RunUpdate()); }
    FakeView::State View() const { return m_View.Snapshot(); }
};

// --- start-up and device events ---------------------------------------------------------------

TEST_F(FlowTest, StartWithoutGamepad) {
    m_Port.AddInterface("keyboard", 0x046D, 0xC31C);
    Open();
    const auto v = View();
    EXPECT_EQ(v.caption, kTitle);
    EXPECT_EQ(v.buttonText, "USB Update");
    EXPECT_FALSE(v.buttonEnabled);
    EXPECT_EQ(v.instructions, LoadLocalizedText(14));
    EXPECT_EQ(v.successText, "Firmware upgraded!");
    EXPECT_FALSE(v.successVisible);
    EXPECT_EQ(v.rangeMin, 0);
    EXPECT_EQ(v.rangeMax, 100);
    EXPECT_EQ(v.progress, 0u);
    EXPECT_EQ(g_StopThread.load(), 1);
    EXPECT_EQ(g_UpdateStage.load(), STAGE_COMPLETE);
    EXPECT_EQ(cur_devVersion.load(), kVersionPending);
    EXPECT_TRUE(v.boxes.empty());
}

TEST_F(FlowTest, StartWithGamepadAsksItsVersionButShowsThePlainTitle) {
    AddPad();
    Open();
    const auto v = View();
    EXPECT_TRUE(v.buttonEnabled);
    EXPECT_EQ(cur_devVersion.load(), 110u);
    EXPECT_THAT(v.captionHistory, ElementsAre("Zevrin Update v1.20(GamePad V1.10)", kTitle));
}

TEST_F(FlowTest, StartWithGamepadWithoutFirmwareShowsTheInstructionsFirst) {
    GamepadBehaviour b;
    b.version = kNoVersion;
    AddPad(b);
    Open();
    const auto v = View();
    ASSERT_EQ(v.boxes.size(), 1u);
    EXPECT_EQ(v.boxes[0].text, LoadLocalizedText(14));
    EXPECT_TRUE(v.buttonEnabled);
    EXPECT_EQ(v.caption, kTitle);
}

TEST_F(FlowTest, ArrivalAndRemovals) {
    const int other = m_Port.AddInterface("mouse", 0x046D, 0xC077);
    AddPad();
    m_Port.Unplug(m_Pad);
    Open();
    ASSERT_FALSE(View().buttonEnabled);

    m_Port.Plug(m_Pad);
    EXPECT_EQ(m_Dlg->OnDeviceChange(zevrin::kDeviceArrival, 0), 1);
    EXPECT_TRUE(View().buttonEnabled);
    EXPECT_EQ(View().caption, "Zevrin Update v1.20(GamePad V1.10)");

    m_Port.Unplug(other);  // another device goes: nothing changes
    const size_t versionRequests = Rec().versionRequests;
    EXPECT_EQ(m_Dlg->OnDeviceChange(zevrin::kDeviceRemoveComplete, 0), 1);
    EXPECT_TRUE(View().buttonEnabled);
    EXPECT_EQ(View().caption, "Zevrin Update v1.20(GamePad V1.10)");
    EXPECT_EQ(Rec().versionRequests, versionRequests);

    LogCapture log;
    m_Port.Unplug(m_Pad);
    EXPECT_EQ(m_Dlg->OnDeviceChange(zevrin::kDeviceRemoveComplete, 0), 1);
    EXPECT_FALSE(View().buttonEnabled);
    EXPECT_EQ(View().caption, kTitle);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{kTitle});  // without a line end
    EXPECT_EQ(m_Dlg->Hid().DevicePath(), "pad");               // kept for the next open to fail on
}

TEST_F(FlowTest, NodesChangedEnablesOrResetsAndOtherCodesAreIgnored) {
    AddPad();
    Open();
    m_Dlg->OnDeviceChange(zevrin::kDeviceArrival, 0);
    m_View.EnableControl(ControlId::UpdateButton, false);
    EXPECT_EQ(m_Dlg->OnDeviceChange(0x00010007, 0), 1);  // only the low 16 bits count
    EXPECT_TRUE(View().buttonEnabled);
    EXPECT_EQ(View().caption, "Zevrin Update v1.20(GamePad V1.10)");

    LogCapture log;
    m_View.EnableControl(ControlId::UpdateButton, false);
    EXPECT_EQ(m_Dlg->OnDeviceChange(0x8003, 0), 1);
    EXPECT_EQ(m_Dlg->OnDeviceChange(0x0018, 0), 1);
    EXPECT_TRUE(log.Lines().empty());  // no scan at all
    EXPECT_FALSE(View().buttonEnabled);

    m_Port.Unplug(m_Pad);
    m_Dlg->OnDeviceChange(zevrin::kDevNodesChanged, 0);
    EXPECT_FALSE(View().buttonEnabled);
    EXPECT_EQ(View().caption, kTitle);
}

// Both windows hand their events to this policy. A replug seen as one burst (every interface's
// arrival and removal, the node change, codes no reaction answers) runs each reaction once, the
// arrival's version query last.
TEST_F(FlowTest, DeviceEventBurstRunsEachReactionOnceWithTheArrivalLast) {
    AddPad();
    Open();
    DeviceEventPolicy policy(*m_Dlg);
    EXPECT_FALSE(policy.Add(0x0018));  // opens nothing
    EXPECT_FALSE(policy.Pending());
    EXPECT_TRUE(policy.Add(zevrin::kDeviceArrival));
    for (const uint32_t code : {zevrin::kDeviceArrival, zevrin::kDeviceRemoveComplete, 0x8003u,
                                zevrin::kDevNodesChanged, zevrin::kDeviceRemoveComplete}) {
        EXPECT_FALSE(policy.Add(code)) << code;  // the burst is open already
    }
    const size_t versionRequests = Rec().versionRequests;
    LogCapture log;
    policy.Deliver();
    const std::vector<std::string> lines = log.Lines();
    const auto scan = [](const std::string& line) { return line == "m_DevicePath:pad\n"; };
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), scan), 3);
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(scan(lines.back()));  // nothing scanned after the version query
    EXPECT_EQ(Rec().versionRequests, versionRequests + 1);
    EXPECT_EQ(View().caption, "Zevrin Update v1.20(GamePad V1.10)");

    EXPECT_FALSE(policy.Pending());
    policy.Deliver();  // a timer that fires late runs nothing twice
    EXPECT_EQ(Rec().versionRequests, versionRequests + 1);
    EXPECT_TRUE(policy.Add(zevrin::kDevNodesChanged));  // the next burst
}

TEST_F(FlowTest, ClickThatCannotOpenOnlyHidesTheSuccessText) {
    AddPad();
    Open();
    m_View.ShowControl(ControlId::SuccessText, true);
    m_Port.Unplug(m_Pad);
    m_Dlg->OnBnClickedUsbUpdate();
    EXPECT_FALSE(m_Dlg->IsWorkerRunning());
    const auto v = View();
    EXPECT_FALSE(v.successVisible);
    EXPECT_TRUE(v.buttonEnabled);
    EXPECT_TRUE(v.boxes.empty());
    EXPECT_EQ(g_StopThread.load(), 1);
}

TEST_F(FlowTest, ClickWithoutPermissionSaysHowToGetIt) {
    AddPad();
    Open();
    m_Port.SetOpenStatus(m_Pad, zevrin::OpenStatus::PermissionDenied);
    m_Dlg->OnBnClickedUsbUpdate();
    EXPECT_FALSE(m_Dlg->IsWorkerRunning());
    const auto boxes = View().boxes;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, LoadExtraText(OpenRefusedAdvice()));
}

// Another program's claim: the gamepad hears nothing from this one, whose version stays unknown
// and whose click says why. Its own claim lasts a conversation: the version query, then the
// transfer, and nobody else's report gets in while either runs.
TEST_F(FlowTest, AGamepadClaimedElsewhereHearsNothingAndItsOwnClaimSpansEachConversation) {
    AddPad();
    zevrin::OpenStatus status = zevrin::OpenStatus::Failed;
    auto elsewhere = m_Port.Claim("pad", status);
    ASSERT_TRUE(elsewhere);
    Open();
    m_Dlg->OnBnClickedUsbUpdate();
    EXPECT_FALSE(m_Dlg->IsWorkerRunning());
    EXPECT_EQ(cur_devVersion.load(), kVersionPending);
    EXPECT_EQ(View().caption, kTitle);
    ASSERT_EQ(View().boxes.size(), 1u);
    EXPECT_EQ(View().boxes[0].text, "Another program is updating this gamepad.");
    EXPECT_TRUE(Rec().reports.empty());

    elsewhere.reset();
    UseImage(64, 64);
    std::optional<zevrin::OpenStatus> duringTransfer;
    m_View.OnFileDialog([&] {
        zevrin::OpenStatus s = zevrin::OpenStatus::Ok;
        duringTransfer = m_Port.Claim("pad", s) ? zevrin::OpenStatus::Ok : s;
    });
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    EXPECT_EQ(duringTransfer, zevrin::OpenStatus::Claimed);
    EXPECT_EQ(Rec().received, ImageData(64));
    EXPECT_TRUE(m_Port.Claim("pad", status)) << "the claim outlived the transfer";
}

// --- whole transfers -------------------------------------------------------------------------

TEST_F(FlowTest, WholeUpdateOfTwoChunks) {
    AddPad();
    Open();
    UseImage(64, 64);
    LogCapture log;
    Update();

    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    const auto rec = Rec();
    EXPECT_EQ(rec.received, ImageData(64));
    EXPECT_EQ(rec.chunks, 2u);
    EXPECT_TRUE(rec.doneAfterWholeImage);
    const auto v = View();
    EXPECT_THAT(v.progressHistory, ElementsAre(0u, 0u, 100u, 0u));  // init, click, chunk 2, done
    ASSERT_EQ(v.boxes.size(), 2u);
    EXPECT_EQ(v.boxes[0].text, "New firmware 1.20 and current is 1.10\n");
    EXPECT_EQ(v.boxes[1].text, "\n Firmware upgraded! \n");
    EXPECT_EQ(v.boxes[1].caption, kTitle);
    EXPECT_TRUE(v.successVisible);
    EXPECT_TRUE(v.buttonEnabled);
    EXPECT_EQ(g_StopThread.load(), 1);
    EXPECT_EQ(g_UpdateStage.load(), STAGE_COMPLETE);

    const std::vector<std::string> expected = {
        "send() is OK!\n",
        "Bytes Sent: 1\n",
        " 44 Bytes received from sender\n",
        "SendFirmwarePacket cmd 1\n",
        "desVersion is 120\n",
        " 5 Bytes received from sender\n",
        "WriteHid 39 btye sucessful\n",
        "update file is 0x40\n",
        " 5 Bytes received from sender\n",
        "WriteHid 39 btye sucessful\n",
        "\nSET_FIRMWARE_DATA read_pos 32 offset 0x40\n\n",
        "update successful\n",
        " 5 Bytes received from sender\n",
        "SendFirmwarePacket cmd 2\n",
        "m_DevicePath:pad\n",
        "Exit Usb_UpdateThread\n",
    };
    std::vector<std::string> lines;
    for (const auto& l : log.Lines()) {
        if (l.rfind("recv() failed", 0) != 0) {  // time-outs depend on the machine's speed
            lines.push_back(l);
        }
    }
    EXPECT_EQ(lines, expected);
}

TEST_F(FlowTest, LastChunkMayBeShortAndExtraFileBytesStillGoOut) {
    AddPad();
    Open();
    UseImage(40, 40);
    Update();
    EXPECT_EQ(Rec().received, ImageData(40));
    EXPECT_THAT(View().progressHistory, ElementsAre(0u, 0u, 100u, 0u));

    UseImage(100, 128);  // the file holds more than the header says
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    EXPECT_EQ(Rec().received, ImageData(128));
    EXPECT_THAT(View().progressHistory, ElementsAre(0u, 0u, 100u, 0u, 0u, 64u, 96u, 128u, 0u));
}

TEST_F(FlowTest, ExactHundredBytesMoveTheBarTo64And96And100) {
    AddPad();
    Open();
    UseImage(100, 100);
    Update();
    EXPECT_EQ(Rec().received, ImageData(100));
    EXPECT_THAT(View().progressHistory, ElementsAre(0u, 0u, 64u, 96u, 100u, 0u));

    // 400 chunks: the bar is set once a position, not once a chunk (a window's bar is set on the
    // window's thread, which the worker would wait for each time).
    const size_t before = View().progressHistory.size();
    UseImage(32 * 400, 32 * 400);
    Update();
    std::vector<uint32_t> expected = {0u};  // the click
    for (uint32_t percent = 0; percent <= 100; ++percent) {
        expected.push_back(percent);
    }
    expected.push_back(0u);  // the success
    const std::vector<uint32_t> history = View().progressHistory;
    EXPECT_EQ(std::vector<uint32_t>(history.begin() + static_cast<long>(before), history.end()),
              expected);
}

TEST_F(FlowTest, FirmwareTypesOtherThan1And200MeanNotInBootMode) {
    GamepadBehaviour b;
    b.firmwareType = 200;
    AddPad(b);
    Open();
    UseImage(64, 64);
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);

    b.firmwareType = 7;
    m_Port.SetBehaviour(m_Pad, b);
    LogCapture log;
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::WrongFirmwareType);
    const std::string text = "Firmware update failure, please handle work in BOOT mode\n";
    EXPECT_EQ(View().boxes.back().text, text);
    EXPECT_TRUE(log.Contains(text));
    EXPECT_TRUE(View().buttonEnabled);
}

TEST_F(FlowTest, DeviceFailureMidTransferStopsAndTellsTheUser) {
    GamepadBehaviour b;
    b.fault = {FaultKind::Failed21, Moment::MidTransfer};
    AddPad(b);
    Open();
    UseImage(320, 320);
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::DeviceFailed);
    EXPECT_EQ(View().boxes.back().text, "Firmware update failure\n");
    // Nothing of the failed transfer is left to act on a later data request.
    EXPECT_EQ(g_UpdateStage.load(), STAGE_COMPLETE);
    EXPECT_TRUE(View().buttonEnabled);
    EXPECT_FALSE(View().successVisible);
    EXPECT_FALSE(Rec().doneReceived);

    m_Port.SetBehaviour(m_Pad, {});  // and the next try goes through
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    EXPECT_EQ(Rec().received, ImageData(320));
}

TEST_F(FlowTest, SilentDeviceEndsTheTransferWithinItsLimit) {
    GamepadBehaviour b;
    b.fault = {FaultKind::Silence, Moment::FirstChunk};
    AddPad(b);
    Open();
    UseImage(320, 320);
    const auto start = std::chrono::steady_clock::now();
    Update();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::DeviceSilent);
    EXPECT_EQ(View().boxes.back().text,
              "Firmware update failure\nThe gamepad stopped answering.\n");
    EXPECT_FALSE(Rec().doneReceived);
}

TEST_F(FlowTest, UnplugMidTransferIsAFailureNotAHang) {
    GamepadBehaviour b;
    b.fault = {FaultKind::Unplug, Moment::MidTransfer};
    AddPad(b);
    Open();
    UseImage(320, 320);
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::DeviceLost);
    EXPECT_EQ(View().boxes.back().text, "Firmware update failure\nThe gamepad was unplugged.\n");
    EXPECT_FALSE(View().buttonEnabled);  // the last scan found nothing
    EXPECT_FALSE(View().successVisible);
}

TEST_F(FlowTest, NoiseIsNoSignOfLife) {
    GamepadBehaviour b;
    b.fault = {FaultKind::Silence, Moment::Header};
    AddPad(b);
    Open();
    UseImage(64, 64);
    std::atomic<bool> done{false};
    std::thread noisy([&] {
        std::array<uint8_t, zevrin::kReportPayload> noise{};
        noise.fill(0xA5);
        while (!done) {
            m_Port.InjectInput(m_Pad, noise);
            std::this_thread::sleep_for(5ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    Update();
    done = true;
    noisy.join();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::DeviceSilent);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(FlowTest, DataRequestLeftFromAFailedRunSendsNothingBeforeTheNextHeader) {
    AddPad();
    Open();
    UseImage(64, 64);
    // The device fails while the user confirms; its answer to the header is still on its way.
    m_View.OnBox([&](const zevrin::test::BoxShown& box) {
        if (box.buttons == BoxButtons::OkCancel) {
            m_Port.InjectFrame(m_Pad, {0x00, MSG_UPDATE, 0x01, 0x00, EVT_UPDATE_FAILED});
        }
    });
    Update();
    ASSERT_EQ(m_Dlg->Outcome(), UpdateOutcome::DeviceFailed);
    ASSERT_EQ(g_UpdateStage.load(), STAGE_COMPLETE);

    m_View.OnBox({});
    m_Port.ClearRecording(m_Pad);
    m_Port.InjectFrame(m_Pad, {0x00, MSG_UPDATE, 0x01, 0x00, SET_FIRMWARE_DATA});  // stale
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    const auto rec = Rec();
    EXPECT_EQ(rec.chunks, 2u);  // no chunk went out before this run's header
    EXPECT_EQ(rec.received, ImageData(64));
}

TEST_F(FlowTest, TheFileThatWasCheckedIsTheFileThatIsSent) {
    AddPad();
    Open();
    UseImage(64, 64);
    // Another file takes the path while the user confirms (a download finishing, a script):
    // the device must still get the bytes that were checked and confirmed.
    m_View.OnBox([&](const zevrin::test::BoxShown& box) {
        if (box.buttons == BoxButtons::OkCancel) {
            std::vector<uint8_t> bytes = ImageBytes(130, 0, 64, 64);
            for (size_t i = 28; i < bytes.size(); ++i) {
                bytes[i] ^= 0xFF;
            }
            const std::string other = m_Dir.File("other.dat", bytes);
            std::error_code ignored;  // Windows refuses to replace a file that is open: fine too
            std::filesystem::rename(other, m_Dir.Path() / "fw.dat", ignored);
        }
    });
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    EXPECT_EQ(Rec().received, ImageData(64));
}

// Each hold checks as it is taken that the question was asked (so neither the file dialog nor the
// question was held) and that the gamepad has no header yet (so no firmware was replaced unheld),
// and as it goes that its worker has not ended yet.
class SessionFlowTest : public FlowTest {
  protected:
    struct CheckedHold : zevrin::SessionHold {
        explicit CheckedHold(SessionFlowTest& t) : test(t) {
            ++test.m_Live;
            if (!test.m_Asked.load() || test.Rec().headerReceived) {
                ++test.m_Misplaced;
            }
        }
        ~CheckedHold() override {
            --test.m_Live;
            if (!test.m_Dlg->IsWorkerRunning()) {
                ++test.m_KeptLate;
            }
        }
        SessionFlowTest& test;
    };

    SessionFlowTest() {
        zevrin::SetSessionHolder([this](const zevrin::HoldRequest& request) {
            ++m_Taken;
            {
                std::lock_guard lock(m_RequestLock);
                m_Request = request;
            }
            return std::make_unique<CheckedHold>(*this);
        });
    }
    ~SessionFlowTest() override { zevrin::SetSessionHolder({}); }

    zevrin::HoldRequest Request() {
        std::lock_guard lock(m_RequestLock);
        return m_Request;
    }

    std::atomic<int> m_Taken{0};
    std::atomic<int> m_Live{0};
    std::atomic<bool> m_Asked{false};
    std::atomic<int> m_Misplaced{0};
    std::atomic<int> m_KeptLate{0};
    std::mutex m_RequestLock;
    zevrin::HoldRequest m_Request;
};

TEST_F(SessionFlowTest, HeldFromTheConfirmationToTheWorkersEndWhicheverWayItEnds) {
    struct Case {
        const char* what;
        GamepadBehaviour behaviour;
        bool fileChosen;
        BoxResult confirmation;
        UpdateOutcome outcome;
        int holds;
    };
    GamepadBehaviour failing;
    failing.fault = {FaultKind::Failed21, Moment::MidTransfer};
    GamepadBehaviour unplugged;
    unplugged.fault = {FaultKind::Unplug, Moment::MidTransfer};
    GamepadBehaviour headerRefused;
    headerRefused.fault = {FaultKind::WriteFail, Moment::EnterUpdate};
    const Case cases[] = {
        {"success", {}, true, BoxResult::Ok, UpdateOutcome::Success, 1},
        {"failed by the device", failing, true, BoxResult::Ok, UpdateOutcome::DeviceFailed, 1},
        {"no file chosen", {}, false, BoxResult::Ok, UpdateOutcome::Cancelled, 0},
        {"not confirmed", {}, true, BoxResult::Cancel, UpdateOutcome::Cancelled, 0},
        {"header not taken", headerRefused, true, BoxResult::Ok, UpdateOutcome::SendFailed, 1},
        {"unplugged", unplugged, true, BoxResult::Ok, UpdateOutcome::DeviceLost, 1},
    };
    AddPad();
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Port.SetBehaviour(m_Pad, c.behaviour);
        m_Port.ClearRecording(m_Pad);
        UseImage(320, 320);
        if (c.fileChosen) {
            m_View.QueueBoxAnswer(c.confirmation);
        } else {
            m_View.SetFile(std::nullopt);
        }
        int liveAtQuestion = -1;
        m_Asked = false;
        m_View.OnBox([&](const zevrin::test::BoxShown& box) {
            if (box.buttons == BoxButtons::OkCancel) {
                liveAtQuestion = m_Live.load();
                m_Asked = true;
            }
        });
        m_Taken = 0;
        Update();
        EXPECT_EQ(m_Dlg->Outcome(), c.outcome);
        EXPECT_EQ(m_Taken.load(), c.holds);
        EXPECT_EQ(m_Live.load(), 0);
        EXPECT_THAT(liveAtQuestion, ::testing::AnyOf(-1, 0));
    }
    EXPECT_EQ(m_Misplaced.load(), 0) << "held before the question, or after the header went";
    EXPECT_EQ(m_KeptLate.load(), 0) << "held after the worker ended";

    // The window closing while the file dialog is open: nothing was held.
    m_Port.SetBehaviour(m_Pad, {});
    m_Port.Plug(m_Pad);
    m_Dlg->OnDeviceChange(zevrin::kDeviceArrival, 0);
    UseImage(320, 320);
    std::atomic<bool> choosing{false};
    m_View.OnFileDialog([&] {
        choosing = true;
        std::this_thread::sleep_for(100ms);
    });
    m_Taken = 0;
    m_Dlg->OnBnClickedUsbUpdate();
    ASSERT_TRUE(WaitFor([&] { return choosing.load(); }));
    m_Dlg->StopWorker();
    EXPECT_EQ(m_Taken.load(), 0);
    EXPECT_EQ(m_Live.load(), 0);
}

TEST_F(SessionFlowTest, TheSessionEndingAllTheSameStopsTheTransferThroughTheHold) {
    GamepadBehaviour slow;
    slow.latency = 5ms;
    AddPad(slow);
    Open();
    UseImage(32 * 200, 32 * 200);
    m_Dlg->OnBnClickedUsbUpdate();
    ASSERT_TRUE(WaitFor([&] { return Rec().chunks >= 3; }));
    const zevrin::HoldRequest request = Request();
    EXPECT_EQ(request.who, kTitle);
    EXPECT_EQ(request.why, LoadExtraText(ExtraText::UpdateInProgress));
    ASSERT_TRUE(request.stop);
    request.stop();  // from this thread, as a platform's own thread would
    ASSERT_TRUE(WaitFor([&] { return !m_Dlg->IsWorkerRunning(); }, 5s));
    m_Dlg->WaitForWorker();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Interrupted);
    EXPECT_EQ(m_Live.load(), 0);
    EXPECT_FALSE(Rec().doneReceived);
    EXPECT_LT(Rec().chunks, 200u);
}

TEST_F(FlowTest, CancelledFileDialogEndsQuietly) {
    AddPad();
    Open();
    m_View.SetFile(std::nullopt);
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Cancelled);
    EXPECT_TRUE(View().boxes.empty());
    EXPECT_FALSE(Rec().headerReceived);
    EXPECT_TRUE(View().buttonEnabled);
}

// --- one worker, one reader --------------------------------------------------------------------

TEST_F(FlowTest, DeviceEventsAndClicksDuringATransferLeaveTheWorkerAlone) {
    AddPad();
    Open();
    UseImage(64, 64);
    const size_t versionRequests = Rec().versionRequests;
    m_View.OnFileDialog([&] {
        // The UI thread reacting while the worker waits for the user.
        m_Dlg->OnDeviceChange(zevrin::kDeviceArrival, 0);
        m_Dlg->OnDeviceChange(zevrin::kDevNodesChanged, 0);
        m_Dlg->OnBnClickedUsbUpdate();
        EXPECT_FALSE(View().buttonEnabled);
    });
    Update();
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    EXPECT_EQ(Rec().versionRequests, versionRequests);
    EXPECT_EQ(Rec().enterUpdates, 1u);
}

TEST_F(FlowTest, ConfirmationShowsTheVersionOfTheGamepadBeingWritten) {
    GamepadBehaviour older;
    older.version = 150;
    const int first = m_Port.AddGamepad("a");  // 1.10, asked at start-up
    m_Pad = m_Port.AddGamepad("b", older);
    Open();
    ASSERT_EQ(cur_devVersion.load(), 110u);
    std::vector<uint32_t> posted;
    std::mutex postedLock;
    m_View.SetNotifyTarget({nullptr, [&](uint32_t code) {
                                std::lock_guard lock(postedLock);
                                posted.push_back(code);
                            }});
    // The first gamepad leaves; the path now leads to the second, whose version nobody asked.
    m_Port.Unplug(first);
    m_Dlg->OnDeviceChange(zevrin::kDeviceRemoveComplete, 0);
    UseImage(64, 64);
    m_View.OnFileDialog([&] { m_Dlg->OnDeviceChange(zevrin::kDeviceArrival, 0); });
    Update();
    ASSERT_EQ(m_Dlg->Outcome(), UpdateOutcome::Success);
    const auto boxes = View().boxes;
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].text, "New firmware 1.20 and current is 1.50\n");
    EXPECT_EQ(Rec().versionRequests, 1u);
    // The arrival during the transfer was not dropped: the window's thread is asked to look.
    std::lock_guard lock(postedLock);
    EXPECT_EQ(posted, std::vector<uint32_t>{zevrin::kDeviceArrival});
}

TEST_F(FlowTest, ClosingMidTransferAsksThenStopsTheWorker) {
    GamepadBehaviour b;
    b.latency = 3ms;
    AddPad(b);
    Open();
    UseImage(32 * 400, 32 * 400);
    m_Dlg->OnBnClickedUsbUpdate();
    ASSERT_TRUE(WaitFor([&] { return m_Dlg->BytesSent() >= 32 * 20; }));

    m_View.QueueBoxAnswer(BoxResult::Cancel);
    EXPECT_FALSE(m_Dlg->OnCloseRequest());
    EXPECT_TRUE(m_Dlg->IsWorkerRunning());
    const auto asked = View().boxes.back();
    EXPECT_EQ(asked.text, LoadLocalizedText(2));
    EXPECT_EQ(asked.caption, kTitle);
    EXPECT_EQ(asked.buttons, BoxButtons::OkCancel);

    EXPECT_TRUE(m_Dlg->OnCloseRequest());  // OK
    EXPECT_FALSE(m_Dlg->IsWorkerRunning());
    EXPECT_EQ(m_Dlg->Outcome(), UpdateOutcome::Interrupted);
    EXPECT_FALSE(Rec().doneReceived);
    EXPECT_LT(m_Dlg->BytesSent(), 32u * 400);
    m_Dlg.reset();  // nothing left running to touch the dialog
}

TEST_F(FlowTest, ClosingWhileTheWorkerWaitsForTheUserDoesNotHang) {
    AddPad();
    Open();
    UseImage(64, 64);
    std::atomic<bool> inDialog{false};
    std::atomic<bool> release{false};
    m_View.OnFileDialog([&] {
        inDialog = true;
        WaitFor([&] { return release.load(); }, 5s);
    });
    m_Dlg->OnBnClickedUsbUpdate();
    ASSERT_TRUE(WaitFor([&] { return inDialog.load(); }));
    std::thread user([&] {
        std::this_thread::sleep_for(50ms);
        release = true;  // the view gives up on the prompt once told to
    });
    const auto start = std::chrono::steady_clock::now();
    m_Dlg.reset();
    user.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(m_View.PromptsCancelled());
    EXPECT_FALSE(Rec().headerReceived);
}

}  // namespace

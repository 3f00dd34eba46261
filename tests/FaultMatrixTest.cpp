// Every fault at every moment of an update: the run ends within its bound, the user is told the
// truth, the button ends right, nothing is left open, and the next update goes through. The table
// of outcomes is printed at the end and written to fault-matrix.txt beside the executable.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>

#include "EngineRig.h"
#include "update/Texts.h"
#include "update/UpdateDlg.h"

using namespace std::chrono_literals;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::sim::SimPort;
using zevrin::test::WaitFor;

namespace {

enum class When {
    BeforeDeviceInfo,
    AtFileDialog,
    AtConfirmation,
    HeaderSent,
    FirstChunk,
    MidTransfer,
    LastChunk,
    AfterComplete,
};

constexpr When kMoments[] = {When::BeforeDeviceInfo, When::AtFileDialog, When::AtConfirmation,
                             When::HeaderSent,       When::FirstChunk,   When::MidTransfer,
                             When::LastChunk,        When::AfterComplete};
constexpr FaultKind kFaults[] = {FaultKind::Silence,  FaultKind::Failed21,  FaultKind::Failed24,
                                 FaultKind::Unplug,   FaultKind::Garbage,   FaultKind::Malformed,
                                 FaultKind::Delay500, FaultKind::WriteFail, FaultKind::WriteStall};

const char* Name(When w) {
    switch (w) {
        case When::BeforeDeviceInfo:
            return "before device info";
        case When::AtFileDialog:
            return "at file dialog";
        case When::AtConfirmation:
            return "at confirmation";
        case When::HeaderSent:
            return "header sent";
        case When::FirstChunk:
            return "first chunk";
        case When::MidTransfer:
            return "mid-transfer";
        case When::LastChunk:
            return "last chunk";
        case When::AfterComplete:
            return "complete, before DONE";
    }
    return "?";
}

const char* Name(FaultKind f) {
    switch (f) {
        case FaultKind::Silence:
            return "silence";
        case FaultKind::Failed21:
            return "failed 21";
        case FaultKind::Failed24:
            return "failed 24";
        case FaultKind::Unplug:
            return "unplug";
        case FaultKind::Garbage:
            return "garbage";
        case FaultKind::Malformed:
            return "malformed";
        case FaultKind::Delay500:
            return "delay 500ms";
        case FaultKind::WriteFail:
            return "write fails";
        case FaultKind::WriteStall:
            return "write stalls";
        case FaultKind::None:
            break;
    }
    return "none";
}

const char* Name(UpdateOutcome o) {
    switch (o) {
        case UpdateOutcome::Success:
            return "success";
        case UpdateOutcome::DeviceFailed:
            return "device failed";
        case UpdateOutcome::DeviceSilent:
            return "silent";
        case UpdateOutcome::DeviceLost:
            return "lost";
        case UpdateOutcome::WrongFirmwareType:
            return "wrong type";
        case UpdateOutcome::Cancelled:
            return "cancelled";
        case UpdateOutcome::ImageRefused:
            return "refused";
        case UpdateOutcome::SendFailed:
            return "send failed";
        case UpdateOutcome::Interrupted:
            return "interrupted";
        case UpdateOutcome::Running:
            return "RUNNING";
        case UpdateOutcome::None:
            break;
    }
    return "none";
}

Moment SimMoment(When w) {
    switch (w) {
        case When::BeforeDeviceInfo:
            return Moment::EnterUpdate;
        case When::HeaderSent:
            return Moment::Header;
        case When::FirstChunk:
            return Moment::FirstChunk;
        case When::MidTransfer:
            return Moment::MidTransfer;
        case When::LastChunk:
            return Moment::LastChunk;
        default:
            return Moment::AfterComplete;
    }
}

UpdateOutcome Expected(When w, FaultKind f) {
    switch (f) {
        case FaultKind::Silence:
            return UpdateOutcome::DeviceSilent;
        case FaultKind::Failed21:
        case FaultKind::Failed24:
            return UpdateOutcome::DeviceFailed;
        case FaultKind::Unplug:
            // While the user decides, the worker is not reading: the header write finds it gone.
            return w == When::AtFileDialog || w == When::AtConfirmation ? UpdateOutcome::SendFailed
                                                                        : UpdateOutcome::DeviceLost;
        case FaultKind::WriteFail:
        case FaultKind::WriteStall:
            return UpdateOutcome::SendFailed;
        default:
            return UpdateOutcome::Success;  // noise and delays are survived
    }
}

constexpr auto kSilenceLimit = 800ms;
constexpr auto kBound = 4s;  // the silence limit, a 500 ms delay and scheduling slack

std::map<std::pair<When, FaultKind>, std::string>& Table() {
    static std::map<std::pair<When, FaultKind>, std::string> table;
    return table;
}

class PrintTable : public ::testing::Environment {
  public:
    void TearDown() override {
        if (Table().empty()) {
            return;
        }
        std::ostringstream out;
        out << "\nFault matrix (outcome / seconds; 'then ok' = the next update succeeded)\n";
        out << std::left << std::setw(24) << "moment \\ fault";
        for (FaultKind f : kFaults) {
            out << std::setw(29) << Name(f);
        }
        out << "\n";
        for (When w : kMoments) {
            out << std::setw(24) << Name(w);
            for (FaultKind f : kFaults) {
                const auto it = Table().find({w, f});
                out << std::setw(29) << (it == Table().end() ? "-" : it->second);
            }
            out << "\n";
        }
        std::cout << out.str();
        std::ofstream("fault-matrix.txt") << out.str();
    }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new PrintTable);

class FaultMatrix : public ::testing::TestWithParam<std::tuple<When, FaultKind>>,
                    public zevrin::test::EngineRig {};

// The fault, struck from inside the file dialog or the confirmation box (the worker is waiting for
// the user there, so the device's side happens meanwhile).
void StrikeWhileTheUserDecides(SimPort& port, int pad, FaultKind fault) {
    switch (fault) {
        case FaultKind::Silence: {
            GamepadBehaviour b;
            b.fault = {FaultKind::Silence, Moment::Header};
            port.SetBehaviour(pad, b);
            break;
        }
        case FaultKind::Failed21:
            port.InjectFrame(pad, {0x00, MSG_UPDATE, 0x01, 0x00, EVT_UPDATE_FAILED});
            break;
        case FaultKind::Failed24:
            port.InjectFrame(pad, {0x00, MSG_UPDATE, 0x01, 0x00, EVT_UPDATE_FAILED_2});
            break;
        case FaultKind::Unplug:
            port.Unplug(pad);
            break;
        case FaultKind::Garbage: {
            std::array<uint8_t, zevrin::kReportPayload> noise{};
            noise.fill(0xA5);
            port.InjectInput(pad, noise);
            break;
        }
        case FaultKind::Malformed:
            port.InjectFrame(pad, {0x00, 0x04, 0xFF, 0xFF, SET_FIRMWARE_DATA});
            port.InjectFrame(pad, {0x00, MSG_UPDATE, 0xFF, 0xFF, 0x77});
            port.InjectFrame(pad, {});
            break;
        case FaultKind::Delay500:
            std::this_thread::sleep_for(500ms);
            break;
        case FaultKind::WriteFail:
        case FaultKind::WriteStall:
            port.SetWriteFault(pad, fault);
            break;
        case FaultKind::None:
            break;
    }
}

TEST_P(FaultMatrix, EndsInTimeTellsTheTruthAndRecovers) {
    const auto [when, fault] = GetParam();
    m_Port.AddInterface("keyboard", 0x046D, 0xC31C);
    GamepadBehaviour behaviour;
    const bool struckByUser = when == When::AtFileDialog || when == When::AtConfirmation;
    if (!struckByUser) {
        behaviour.fault = {fault, SimMoment(when)};
    }
    const int pad = AddPad(behaviour);
    UseImage(256, 256);  // 8 chunks
    if (when == When::AtFileDialog) {
        m_View.OnFileDialog([&] { StrikeWhileTheUserDecides(m_Port, pad, fault); });
    } else if (when == When::AtConfirmation) {
        m_View.OnBox([&](const zevrin::test::BoxShown& box) {
            if (box.buttons == BoxButtons::OkCancel) {
                StrikeWhileTheUserDecides(m_Port, pad, fault);
            }
        });
    }

    EngineLimits limits;
    limits.workerSilence = kSilenceLimit;
    limits.deviceGone = 150ms;
    Open(limits);

    const auto start = std::chrono::steady_clock::now();
    m_Dlg->OnBnClickedUsbUpdate();
    const bool ended = WaitFor([&] { return !m_Dlg->IsWorkerRunning(); }, 3 * kBound);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(ended) << "the worker never ended";
    m_Dlg->WaitForWorker();
    EXPECT_LT(took, kBound);

    const UpdateOutcome outcome = m_Dlg->Outcome();
    const auto rec = m_Port.RecordingOf(pad);
    const auto shown = m_View.Snapshot();
    bool toldSuccess = false;
    for (const auto& box : shown.boxes) {
        toldSuccess = toldSuccess || box.text == "\n Firmware upgraded! \n";
    }
    EXPECT_EQ(outcome, Expected(when, fault));
    // The truth: success is said exactly when the device got the whole image and then DONE.
    EXPECT_EQ(toldSuccess, rec.doneAfterWholeImage);
    EXPECT_EQ(outcome == UpdateOutcome::Success, rec.doneAfterWholeImage);
    EXPECT_EQ(shown.successVisible, rec.doneAfterWholeImage);
    if (rec.doneAfterWholeImage) {
        EXPECT_EQ(std::vector<uint8_t>(rec.received.begin(), rec.received.end()), ImageData(256));
    }
    EXPECT_EQ(shown.buttonEnabled, m_Port.IsPlugged(pad));  // usable again, unless it has gone

    // The next update goes through.
    m_View.OnFileDialog({});
    m_View.OnBox({});
    m_Port.SetBehaviour(pad, {});
    if (!m_Port.IsPlugged(pad)) {
        m_Port.Plug(pad);
        m_Dlg->OnDeviceChange(zevrin::kDeviceArrival, 0);
    }
    EXPECT_TRUE(m_View.Snapshot().buttonEnabled);
    m_Port.ClearRecording(pad);
    ASSERT_TRUE(RunUpdate(3 * kBound));
    const bool recovered =
        m_Dlg->Outcome() == UpdateOutcome::Success && m_Port.RecordingOf(pad).doneAfterWholeImage;
    EXPECT_TRUE(recovered);

    m_Dlg.reset();
    EXPECT_EQ(m_Port.OpenHandles(pad), 0);  // the dialog left nothing open

    std::ostringstream cell;
    cell << Name(outcome) << " " << std::fixed << std::setprecision(2)
         << std::chrono::duration<double>(took).count() << "s"
         << (recovered ? " then ok" : " STUCK");
    Table()[{when, fault}] = cell.str();
}

INSTANTIATE_TEST_SUITE_P(AllMomentsAllFaults, FaultMatrix,
                         ::testing::Combine(::testing::ValuesIn(kMoments),
                                            ::testing::ValuesIn(kFaults)),
                         [](const ::testing::TestParamInfo<FaultMatrix::ParamType>& cell) {
                             std::string name = std::string(Name(std::get<0>(cell.param))) + "_" +
                                                Name(std::get<1>(cell.param));
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

}  // namespace

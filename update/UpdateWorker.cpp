#include <thread>

#if defined(__linux__)
#include <time.h>
#endif

#include "hid/Log.h"
#include "update/UpdateEngine.h"

using zevrin::Format;
using zevrin::LogLine;

namespace {

bool IsProtocolFrame(const uint8_t* frame) {
    return frame[0] == 0x00 && (frame[1] == MSG_UPDATE || frame[1] == MSG_DEVICE_INFO);
}

}  // namespace

CUpdateEngine::Clock::time_point CUpdateEngine::Clock::now() noexcept {
#if defined(__linux__)
    // Served from the vDSO whatever the clock source; CLOCK_MONOTONIC is not where the source
    // cannot be read from user space.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
#else
    return time_point(
        std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
#endif
}

void CUpdateEngine::RunWorker() {
    EnterUpdateMode();
    uint8_t buffer[zevrin::kReportPayload] = {};
    DeviceWatch watch;
    while (g_StopThread.load() == 0) {
        const uint32_t result = m_Hid.ReadHid(buffer, zevrin::kReportPayload);
        if (result == zevrin::kReadOk) {
            if (OnReport(buffer, watch)) {
                continue;  // silence was measured from just now: nothing to look at
            }
        } else if (!OnReadFailed(result, watch)) {
            break;
        }
        if (GaveUpOnSilence(watch)) {
            break;
        }
    }
    EndWorker();
}

void CUpdateEngine::EnterUpdateMode() {
    SetOutcome(UpdateOutcome::Running);
    m_ImageComplete = false;
    m_HeaderSentThisRun = false;
    const int sent = SendShortMessage(m_Hid, MSG_ENTER_UPDATE, 0);
    if (sent == 0) {
        LogLine("send() failed with error code %d\n", static_cast<int>(zevrin::LastSystemError()));
        // Told, and the button given back below: a silent click that disables it helps nobody.
        OnWriteFailed();
    } else {
        LogLine("send() is OK!\n");
        LogLine("Bytes Sent: %d\n", sent);
    }
}

bool CUpdateEngine::OnReport(const uint8_t* buffer, DeviceWatch& watch) {
    watch.failingSince = {};
    LogLine(" %d Bytes received from sender\n", buffer[0]);
    DispatchFrame(buffer + 1, *this);
    // Only a frame the protocol knows is a sign of life: a device that sends nothing but noise is
    // as good as silent. Time spent in the file dialog or a box is the user's.
    if (!IsProtocolFrame(buffer + 1)) {
        return false;
    }
    watch.lastReport = Clock::now();
    return true;
}

bool CUpdateEngine::OnReadFailed(uint32_t result, DeviceWatch& watch) {
    LogLine("recv() failed with error code 0x%x\n", result);
    if (StopCameFirst()) {
        return false;  // the read was cut short by the stop: a poll now could only wait
    }
    SendShortMessage(m_Hid, MSG_POLL, 0);
    if (result == zevrin::kReadTimeout) {
        watch.failingSince = {};
    } else if (watch.failingSince == Clock::time_point{}) {
        watch.failingSince = Clock::now();
    } else if (Clock::now() - watch.failingSince >= m_Limits.deviceGone) {
        LogLine("Usb_UpdateThread: the device has gone\n");
        SetOutcome(UpdateOutcome::DeviceLost);
        FailureRoutine(LoadExtraText(ExtraText::DeviceUnplugged));
        return false;
    }
    if (result != zevrin::kReadTimeout) {
        std::this_thread::sleep_for(kFailedReadPause);  // a dead handle fails at once
    }
    return true;
}

bool CUpdateEngine::GaveUpOnSilence(const DeviceWatch& watch) {
    if (g_StopThread.load() != 0 || Clock::now() - watch.lastReport < m_Limits.workerSilence) {
        return false;
    }
    LogLine("Usb_UpdateThread: no report from the device, giving up\n");
    SetOutcome(UpdateOutcome::DeviceSilent);
    FailureRoutine(LoadExtraText(ExtraText::DeviceStoppedAnswering));
    return true;
}

void CUpdateEngine::EndWorker() {
    // A worker that was stopped from outside leaves no file open behind it, and nothing of its
    // transfer may act on a later data request (the version query, the next run).
    m_ImageFile.Close();
    m_CheckedImage.Close();
    m_CheckedPath.reset();
    m_HeaderSentThisRun = false;
    m_ImageComplete = false;
    g_UpdateStage = STAGE_COMPLETE;
    UpdateOutcome expected = UpdateOutcome::Running;
    m_Outcome.compare_exchange_strong(expected, UpdateOutcome::Interrupted);
    m_Hid.ReleaseClaim();
    RefreshUpdateButton();
    m_TransferHold.reset();
    LogLine("Exit Usb_UpdateThread\n");
}

void CUpdateEngine::RefreshUpdateButton() {
    m_UpdateButton.EnableWindow(m_Hid.FindDevice() != 0);
}

void CUpdateEngine::Interrupt() {
    UpdateOutcome expected = UpdateOutcome::Running;
    m_Outcome.compare_exchange_strong(expected, UpdateOutcome::Interrupted);
    g_StopThread = 1;
    m_Hid.CancelRead();
    m_Hid.CancelWrite();
}

void CUpdateEngine::StopRoutine() {
    m_ImageFile.Close();
    g_StopThread = 1;
}

void CUpdateEngine::FailureRoutine(const std::string& reason) {
    StopRoutine();
    std::string text = Format("%s\n", LoadLocalizedText(TextId::UpdateFailure).c_str());
    if (!reason.empty()) {
        text += reason + "\n";
    }
    m_View.MessageBox(text, Title(), BoxKind::Failure);
    if (m_Hid.DeviceFound() == 1) {
        m_UpdateButton.EnableWindow(true);
    }
}

void CUpdateEngine::OnDeviceInfo(const uint8_t* body, size_t /*length*/) {
    const uint32_t type = ReadLe32(body + kDeviceInfoTypeOffset);
    if (type == kFirmwareTypeGamepad || type == kFirmwareTypeGamepadAlt) {
        if (SelectFirmwareFile() == 0) {
            StopRoutine();
            UpdateOutcome expected = UpdateOutcome::Running;
            m_Outcome.compare_exchange_strong(expected, UpdateOutcome::Cancelled);
        }
        return;
    }
    StopRoutine();
    SetOutcome(UpdateOutcome::WrongFirmwareType);
    const std::string text = Format("%s\n", LoadLocalizedText(TextId::NotInBootMode).c_str());
    LogLine("%s", text.c_str());
    m_View.MessageBox(text, Title(), BoxKind::Failure);
}

// A stop (the window closing, Ctrl-C) cancels the write in progress, but not one that has yet to
// begin: a write begun after it would wait out its whole bound on a gamepad that takes nothing.
bool CUpdateEngine::StopCameFirst() const {
    return g_StopThread.load() != 0;
}

void CUpdateEngine::OnFirstDataRequest() {
    if (!m_HeaderSentThisRun) {
        return;  // not asked for by this transfer
    }
    if (!m_ImageFile.Seek(kFirmwareHeaderSize)) {
        // The checked file is no longer open: the device would ask for ever.
        SetOutcome(UpdateOutcome::ImageRefused);
        FailureRoutine(LoadExtraText(ExtraText::FileReadError));
        return;
    }
    g_UpdateStage = STAGE_TRANSFER;
    m_BarShown = kNoBarShown;
    const size_t n = m_ImageFile.Read(m_Chunk, kChunkSize);
    if (StopCameFirst()) {
        return;
    }
    if (SendFirmwarePacket(m_Hid, CMD_FIRMWARE_DATA, m_Chunk, static_cast<int>(n)) == 0) {
        OnWriteFailed();
        return;
    }
    LogLine("update file is 0x%x\n", m_TotalLength.load());
    m_BytesSent += static_cast<uint32_t>(n);
}

void CUpdateEngine::OnNextDataRequest() {
    if (!m_HeaderSentThisRun) {
        return;
    }
    const size_t n = m_ImageFile.Read(m_Chunk, kChunkSize);
    const uint32_t total = m_TotalLength.load();
    if (n == 0 && m_BytesSent.load() < total) {
        // The file changed after it was checked: the device would ask forever.
        SetOutcome(UpdateOutcome::ImageRefused);
        FailureRoutine(LoadExtraText(ExtraText::FileReadError));
        return;
    }
    if (StopCameFirst()) {
        return;
    }
    if (SendFirmwarePacket(m_Hid, CMD_FIRMWARE_DATA, m_Chunk, static_cast<int>(n)) == 0) {
        // Counting the chunk as sent would hand the device the next one at its next request.
        OnWriteFailed();
        return;
    }
    const uint32_t sentSoFar = m_BytesSent += static_cast<uint32_t>(n);
    LogLine("\nSET_FIRMWARE_DATA read_pos %d offset 0x%x\n\n", static_cast<int>(n), sentSoFar);
    if (total != 0) {
        MoveBar(ProgressPercent(sentSoFar, total));
    }
    if (sentSoFar < total) {
        return;
    }
    m_ImageFile.Close();
    LogLine("update successful\n");
    g_UpdateStage = STAGE_COMPLETE;
    m_ImageComplete = true;
    m_UpdateButton.EnableWindow(true);
}

// A bar is told only where it moves: a 64 KiB image takes 2,048 chunks and a hundred positions,
// and a window's bar is set on its own thread (a Win32 progress control through SendMessage, so
// the worker waited for each).
void CUpdateEngine::MoveBar(uint32_t percent) {
    if (percent == m_BarShown) {
        return;
    }
    m_BarShown = percent;
    m_ProgressBar.SetPos(percent);
}

void CUpdateEngine::OnDoneRequest() {
    if (!m_ImageComplete) {
        // Nothing was sent in this session: answering would report a success that did not happen.
        return;
    }
    m_ImageComplete = false;
    if (SendFirmwarePacket(m_Hid, CMD_UPDATE_DONE) == 0) {
        OnWriteFailed();
        return;
    }
    g_StopThread = 1;
    SetOutcome(UpdateOutcome::Success);
    m_View.MessageBox(Format("\n %s \n", LoadLocalizedText(TextId::Upgraded).c_str()), Title(),
                      BoxKind::Success);
    m_SuccessText.ShowWindow(true);
    m_ProgressBar.SetPos(0);
}

void CUpdateEngine::OnUpdateEvent(const uint8_t* body, size_t /*length*/) {
    switch (body[0]) {
        case SET_FIRMWARE_DATA:
            switch (g_UpdateStage.load()) {
                case STAGE_HEADER_SENT:
                    OnFirstDataRequest();
                    return;
                case STAGE_TRANSFER:
                    OnNextDataRequest();
                    return;
                case STAGE_COMPLETE:
                    OnDoneRequest();
                    return;
                default:
                    return;
            }
        case EVT_UPDATE_FAILED:
        case EVT_UPDATE_FAILED_2:
            SetOutcome(UpdateOutcome::DeviceFailed);
            FailureRoutine();
            return;
        case EVT_VERSION:
            OnVersionAnswer(body);
            return;
        default:
            return;
    }
}

void Usb_UpdateThread() {
    if (g_pUpdateDlg != nullptr) {
        g_pUpdateDlg->RunWorker();
    }
}

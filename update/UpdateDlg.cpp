#include "update/UpdateDlg.h"

#include <system_error>

#include "hid/Log.h"
#include "update/Texts.h"

ControlRef* g_pInstructionText = nullptr;

CUpdateDlg::CUpdateDlg(zevrin::HidPort& port, DialogView& view)
    : CUpdateEngine(port, view), m_InstructionText(view, ControlId::Instructions) {}

CUpdateDlg::~CUpdateDlg() {
    StopWorker();
    for (ControlRef** ref :
         {&g_pUpdateButton, &g_pProgressBar, &g_pSuccessText, &g_pInstructionText}) {
        *ref = nullptr;
    }
}

int CUpdateDlg::OnInitDialog() {
    g_pUpdateButton = &m_UpdateButton;
    g_pProgressBar = &m_ProgressBar;
    g_pSuccessText = &m_SuccessText;
    m_SuccessText.ShowWindow(false);
    m_SuccessText.SetWindowText(LoadLocalizedText(TextId::Upgraded));
    g_pInstructionText = &m_InstructionText;
    m_InstructionText.SetWindowText(LoadLocalizedText(TextId::Instructions));
    m_View.SetProgressRange(0, 100);
    m_ProgressBar.SetPos(0);
    ResetTransferRecord();
    g_StopThread = 1;
    m_UpdateButton.SetWindowText(LoadLocalizedText(TextId::UsbUpdate));
    cur_devVersion = kVersionPending;
    if (m_Hid.FindDevice() != 0) {
        m_UpdateButton.EnableWindow(true);
        QueryDeviceVersion();
    } else {
        m_UpdateButton.EnableWindow(false);
    }
    g_UpdateStage = STAGE_COMPLETE;
    m_View.SetCaption(LoadLocalizedText(TextId::Title));
    return 1;
}

int CUpdateDlg::OnDeviceChange(uint32_t eventCode, uintptr_t /*eventData*/) {
    // While a worker runs it is the only reader of the device: no version query beside it and no
    // enabled button that could start a second worker.
    const bool busy = IsWorkerRunning();
    const uint32_t code = eventCode & 0xFFFFu;
    if (code == zevrin::kDevNodesChanged || code == zevrin::kDeviceArrival ||
        code == zevrin::kDeviceRemoveComplete) {
        // The path may lead to another gamepad now (two plugged and one left, a replug): the
        // version in the caption is asked again before it is put in a confirmation.
        m_VersionStale = true;
    }
    if (busy && code == zevrin::kDeviceArrival) {
        m_ArrivalDuringWorker = true;  // asked once the worker has ended
    }
    switch (code) {
        case zevrin::kDevNodesChanged:
            if (m_Hid.FindDevice() != 0) {
                if (!busy) {
                    m_UpdateButton.EnableWindow(true);
                }
            } else {
                m_UpdateButton.EnableWindow(false);
                m_View.SetCaption(LoadLocalizedText(TextId::Title));
                if (!busy) {
                    m_Hid.CloseDevice();
                }
            }
            break;
        case zevrin::kDeviceArrival:
            if (m_Hid.FindDevice() != 0 && !busy) {
                m_UpdateButton.EnableWindow(true);
                QueryDeviceVersion();
            }
            break;
        case zevrin::kDeviceRemoveComplete:
            if (m_Hid.FindDevice() == 0) {
                m_UpdateButton.EnableWindow(false);
                zevrin::LogLine("%s", LoadLocalizedText(TextId::Title).c_str());
                m_View.SetCaption(LoadLocalizedText(TextId::Title));
                if (!busy) {
                    m_Hid.CloseDevice();
                }
            }
            break;
        default:
            break;
    }
    return 1;
}

void CUpdateDlg::OnBnClickedUsbUpdate() {
    if (IsWorkerRunning()) {
        return;  // the button may be enabled at STAGE_COMPLETE while the last request is due
    }
    m_SuccessText.ShowWindow(false);
    if (VersionStale()) {
        QueryDeviceVersion();
    }
    if (m_Hid.OpenDevice() == 0) {
        if (!ReportPermissionDenied()) {
            ReportClaimed();
        }
        return;
    }
    g_StopThread = 0;
    m_UpdateButton.EnableWindow(false);
    m_ProgressBar.SetPos(0);
    if (m_hUpdateThread.joinable()) {
        m_hUpdateThread.join();  // the last worker has finished; release its thread
    }
    m_WorkerRunning = true;
    try {
        m_hUpdateThread = std::thread([this] {
            RunWorker();  // the worker is handed its engine, not sent to find it
            m_WorkerRunning = false;
            {
                // A waiter between its look at the flag and its wait holds the lock: it cannot
                // miss this.
                std::lock_guard lock(m_EndLock);
            }
            m_Ended.notify_all();
            if (m_ArrivalDuringWorker.exchange(false)) {
                // The window's own thread asks the gamepad that arrived meanwhile for its version.
                const zevrin::NotifyWindow target = m_View.NotifyTarget();
                if (target.post) {
                    target.post(zevrin::kDeviceArrival);
                }
            }
        });
    } catch (const std::system_error&) {
        // No thread: like a worker that never started; the next device event enables the button.
        m_WorkerRunning = false;
        m_Hid.ReleaseClaim();
    }
}

bool CUpdateDlg::OnCloseRequest() {
    if (!IsWorkerRunning()) {
        return true;
    }
    if (m_View.MessageBox(LoadLocalizedText(TextId::StopWhileUpdating),
                          LoadLocalizedText(TextId::Title),
                          BoxKind::ConfirmStop) != BoxResult::Ok) {
        return false;
    }
    StopWorker();
    return true;
}

void CUpdateDlg::WaitForWorker() {
    if (m_hUpdateThread.joinable()) {
        m_hUpdateThread.join();
    }
}

bool CUpdateDlg::WaitForWorkerFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_EndLock);
    return m_Ended.wait_for(lock, limit, [this] { return !IsWorkerRunning(); });
}

void CUpdateDlg::StopWorker() {
    if (!m_hUpdateThread.joinable()) {
        return;
    }
    if (IsWorkerRunning()) {
        Interrupt();
        m_View.CancelPrompts();
    }
    m_hUpdateThread.join();
}

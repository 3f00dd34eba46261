// The dialog's logic, written once: start-up, device-change reactions, the update button and
// closing. The Win32 and Qt windows (and the CLI) are thin views that forward events here and
// carry out the DialogView calls.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "update/UpdateEngine.h"

extern ControlRef* g_pInstructionText;

class CUpdateDlg : public CUpdateEngine {
  public:
    CUpdateDlg(zevrin::HidPort& port, DialogView& view);
    // Stops a running worker and waits for it: nothing touches the dialog once it is gone.
    ~CUpdateDlg() override;

    int OnInitDialog();
    // The low 16 bits of eventCode pick the reaction; eventData is not looked at. Returns 1.
    int OnDeviceChange(uint32_t eventCode, uintptr_t eventData);
    void OnBnClickedUsbUpdate();

    // The window wants to close. True when it may close now; during a transfer the user is asked
    // first (text 2), and on OK the worker is stopped and waited for.
    bool OnCloseRequest();
    // The version word the gamepad last told, kVersionPending before it answered, kNoVersion
    // when it has no firmware.
    uint32_t DeviceVersion() const { return cur_devVersion.load(); }
    bool IsWorkerRunning() const { return m_WorkerRunning.load(); }
    // Waits for the last worker to end (the CLI).
    void WaitForWorker();
    // Waits at most `limit` for the worker to end, and is woken by its end: true when none runs.
    bool WaitForWorkerFor(std::chrono::milliseconds limit);
    // Interrupts a running worker and waits for it.
    void StopWorker();

  private:
    ControlRef m_InstructionText;
    std::thread m_hUpdateThread;
    std::atomic<bool> m_WorkerRunning{false};
    std::atomic<bool> m_ArrivalDuringWorker{false};
    std::mutex m_EndLock;
    std::condition_variable m_Ended;
};

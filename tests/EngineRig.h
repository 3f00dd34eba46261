// The dialog's logic on the simulated gamepad, as the engine suites drive it: English texts, the
// scripted view, a folder for the image, and the device events posted to the window, which the
// test thread delivers when it plays the window's thread.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "TestSupport.h"
#include "update/Texts.h"
#include "update/UpdateDlg.h"

namespace zevrin::test {

// Bounds short enough that a suite of faults runs in seconds, long enough for a loaded machine.
inline EngineLimits QuickLimits() {
    using namespace std::chrono_literals;
    EngineLimits limits;
    limits.workerSilence = 400ms;
    limits.deviceGone = 150ms;
    limits.versionQuery = 600ms;
    return limits;
}

class EngineRig {
  public:
    EngineRig() {
        m_View.SetNotifyTarget({nullptr, [this](uint32_t code) {
                                    std::lock_guard lock(m_EventsLock);
                                    m_Events.push_back(code);
                                }});
    }
    EngineRig(const EngineRig&) = delete;
    EngineRig& operator=(const EngineRig&) = delete;

    int AddPad(sim::GamepadBehaviour b = {}) { return m_Pad = m_Port.AddGamepad("pad", b); }
    // The image the file dialog hands over: `dataBytes` of data behind a header that declares
    // `imageLength`.
    const std::vector<uint8_t>& UseImage(uint32_t imageLength, size_t dataBytes,
                                         uint32_t desVersion = 120) {
        m_Image = ImageBytes(desVersion, 0xA1B2C3D4, imageLength, dataBytes);
        m_View.SetFile(m_Dir.File("fw.dat", m_Image));
        return m_Image;
    }
    // The first `n` bytes of the image's data.
    std::vector<uint8_t> ImageData(size_t n) const {
        return {m_Image.begin() + kFirmwareHeaderSize,
                m_Image.begin() + static_cast<long>(kFirmwareHeaderSize + n)};
    }
    // The window opens; without limits, the product's own.
    void Open(std::optional<EngineLimits> limits = std::nullopt) {
        m_Dlg = std::make_unique<CUpdateDlg>(m_Port, m_View);
        if (limits) {
            m_Dlg->SetLimits(*limits);
        }
        m_Dlg->OnInitDialog();
    }
    // Clicks the button; true once the worker has ended within `limit`.
    bool RunUpdate(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        m_Dlg->OnBnClickedUsbUpdate();
        if (!WaitFor([&] { return !m_Dlg->IsWorkerRunning(); }, limit)) {
            return false;
        }
        m_Dlg->WaitForWorker();
        return true;
    }
    // Hands the events posted so far to the dialog, in order.
    void DeliverEvents() {
        std::deque<uint32_t> events;
        {
            std::lock_guard lock(m_EventsLock);
            events.swap(m_Events);
        }
        for (uint32_t code : events) {
            m_Dlg->OnDeviceChange(code, 0);
        }
    }
    sim::Recording Rec() const { return m_Port.RecordingOf(m_Pad); }

  private:
    // Before the dialog, so posts from its last moments find them alive.
    std::mutex m_EventsLock;
    std::deque<uint32_t> m_Events;

  public:
    EnglishTexts m_Texts;
    sim::SimPort m_Port;
    FakeView m_View;
    TempDir m_Dir;
    std::vector<uint8_t> m_Image;
    int m_Pad = -1;
    std::unique_ptr<CUpdateDlg> m_Dlg;
};

}  // namespace zevrin::test

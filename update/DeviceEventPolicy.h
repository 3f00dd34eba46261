// How the windows turn device-change events into the dialog's reactions. A plug or unplug comes
// as a burst (one event per interface or hidraw node, the nodes-changed broadcast, the simulated
// gamepad's own event); reacting to each would scan and ask the version several times over.
#pragma once

#include <cstdint>

class CUpdateDlg;

class DeviceEventPolicy {
  public:
    // A burst is gathered this long from its first event: long enough for every interface of one
    // gamepad, short enough that the window still reacts at once to a person's eye. Not restarted
    // by later events, so a steady stream cannot hold the reaction back for ever.
    static constexpr unsigned kGatherMs = 150;

    explicit DeviceEventPolicy(CUpdateDlg& dlg) : m_Dlg(dlg) {}
    DeviceEventPolicy(const DeviceEventPolicy&) = delete;
    DeviceEventPolicy& operator=(const DeviceEventPolicy&) = delete;

    // An event came, reported by the system or posted. True when it opens a burst: the window
    // then starts its one-shot timer of kGatherMs and calls Deliver when it fires. Codes that no
    // reaction answers are dropped.
    bool Add(uint32_t code);
    // Runs each reaction the burst asked for once, in a fixed order, on the window's thread.
    void Deliver();
    bool Pending() const { return m_Pending != 0; }

  private:
    CUpdateDlg& m_Dlg;
    uint32_t m_Pending = 0;  // one bit per reaction
};

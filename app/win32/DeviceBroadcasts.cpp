// The window's device-change plumbing: which system broadcasts concern the gamepad, and the
// timer and posted message that feed the dialog's DeviceEventPolicy on the dialog thread.
#include <windows.h>
// After <windows.h>, which it needs.
#include <dbt.h>

#include <cstddef>
#include <optional>

// hidsdi.h declares C functions without extern "C"; unwrapped, the link looks for C++ names.
extern "C" {
#include <hidsdi.h>
}

#include "app/win32/Win32DialogView.h"

namespace zevrin::win32 {
namespace {

bool IsHidInterface(LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header == nullptr ||
        header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) ||
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        return false;
    }
    static const GUID hidClass = [] {
        GUID guid;
        HidD_GetHidGuid(&guid);
        return guid;
    }();
    const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
    return IsEqualGUID(iface->dbcc_classguid, hidClass) != FALSE;
}

// The reaction a system broadcast asks for, if any. Arrivals and removals of every kind of device
// (volumes, ports, other interface classes) are broadcast to every top-level window; only HID
// interfaces, and the nodes-changed broadcast that carries no record, can concern a gamepad.
std::optional<uint32_t> ReactionTo(WPARAM event, LPARAM data) {
    switch (event) {
        case DBT_DEVNODES_CHANGED:
            return kDevNodesChanged;
        case DBT_DEVICEARRIVAL:
        case DBT_DEVICEREMOVECOMPLETE:
            if (IsHidInterface(data)) {
                return static_cast<uint32_t>(event);
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

}  // namespace

INT_PTR Win32DialogView::OnDeviceMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DEVICECHANGE:
            // Sent to every top-level window, and the sender waits for each answer: no scan or
            // version query runs inside it.
            if (const std::optional<uint32_t> code = ReactionTo(wParam, lParam)) {
                QueueDeviceChange(*code);
            }
            return Result(TRUE);
        case kMsgPostedDeviceChange:
            QueueDeviceChange(static_cast<uint32_t>(wParam));
            return Result(TRUE);
        default:  // WM_TIMER
            if (wParam != kDeviceChangeTimer) {
                return FALSE;
            }
            KillTimer(Hwnd(), kDeviceChangeTimer);
            m_DeviceEvents.Deliver();
            return TRUE;
    }
}

void Win32DialogView::QueueDeviceChange(uint32_t code) {
    if (m_DeviceEvents.Add(code) &&
        SetTimer(Hwnd(), kDeviceChangeTimer, DeviceEventPolicy::kGatherMs, nullptr) == 0) {
        // No timer to be had: handled from the queue all the same, just not gathered.
        PostMessageW(Hwnd(), WM_TIMER, kDeviceChangeTimer, 0);
    }
}

NotifyWindow Win32DialogView::NotifyTarget() {
    // The hot-plug watch and the worker post from threads of their own; the system's broadcasts
    // come as WM_DEVICECHANGE. All are gathered the same way on the dialog thread.
    const HWND hwnd = Hwnd();
    return {hwnd, [hwnd](uint32_t code) { PostMessageW(hwnd, kMsgPostedDeviceChange, code, 0); }};
}

}  // namespace zevrin::win32

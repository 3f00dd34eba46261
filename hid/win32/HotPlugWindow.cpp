// Device changes on Windows: RegisterDeviceNotificationW sends WM_DEVICECHANGE to a window. A
// console program has none, and a dialog's own thread may sit in a box for minutes, so the watch
// makes a message-only window (HWND_MESSAGE: never shown, never sent broadcasts) on a thread of its
// own that pumps its messages. The simulated gamepad posts through the same registration call
// instead.
#include <windows.h>
// After <windows.h>, which it needs.
#include <dbt.h>

#include <cstddef>
#include <cwchar>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "hid/HotPlug.h"
#include "hid/win32/Utf16.h"

namespace zevrin {

namespace {

constexpr wchar_t kWindowClass[] = L"ZevrinHotPlug";

// The event a WM_DEVICECHANGE tells of, if it is one the watch passes on. An arrival or a removal
// names its interface in the record sent along; a record of another kind (a volume, a port) is no
// HID interface and concerns no gamepad.
std::optional<DeviceEvent> EventOf(uint32_t code, LPARAM lParam) {
    if (code == kDevNodesChanged) {
        return DeviceEvent{code, {}};
    }
    if (code != kDeviceArrival && code != kDeviceRemoveComplete) {
        return std::nullopt;
    }
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header == nullptr) {
        return DeviceEvent{code, {}};
    }
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        return std::nullopt;
    }
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (header->dbch_size <= kNameOffset) {
        return DeviceEvent{code, {}};
    }
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    // Bounded by the record's size, in case the name is not terminated within it.
    const size_t room = (header->dbch_size - kNameOffset) / sizeof(wchar_t);
    const std::wstring_view name(broadcast->dbcc_name, wcsnlen(broadcast->dbcc_name, room));
    return DeviceEvent{code, Utf8(name).value_or(std::string())};
}

}  // namespace

struct HotPlugWatch::Impl {
    Changed changed;
    std::unique_ptr<HidNotification> notification;
    HWND window = nullptr;
    std::thread thread;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DEVICECHANGE) {
            const std::optional<DeviceEvent> event = EventOf(static_cast<uint32_t>(wParam), lParam);
            auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            if (event && self != nullptr) {
                self->changed(*event);
            }
            return TRUE;
        }
        if (message == WM_CLOSE) {
            DestroyWindow(hwnd);
            return 0;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    // The window lives and dies on this thread: its messages are only ever taken here.
    void Pump(std::promise<HWND>& made) {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW cls{};
        cls.cbSize = sizeof cls;
        cls.lpfnWndProc = WindowProc;
        cls.hInstance = instance;
        cls.lpszClassName = kWindowClass;
        (void)RegisterClassExW(&cls);  // fails harmlessly once a second watch registered it
        HWND hwnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    instance, nullptr);
        if (hwnd != nullptr) {
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        }
        made.set_value(hwnd);
        if (hwnd == nullptr) {
            return;
        }
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageW(&msg);
        }
    }
};

HotPlugWatch::HotPlugWatch(HidPort& port, Changed changed) : m_Impl(std::make_unique<Impl>()) {
    m_Impl->changed = std::move(changed);
    std::promise<HWND> made;
    std::future<HWND> window = made.get_future();
    m_Impl->thread =
        std::thread([impl = m_Impl.get(), made = std::move(made)]() mutable { impl->Pump(made); });
    m_Impl->window = window.get();
    if (m_Impl->window == nullptr) {
        return;
    }
    NotifyWindow target;
    target.handle = m_Impl->window;
    target.post = [impl = m_Impl.get()](uint32_t code) { impl->changed({code, {}}); };
    target.postEvent = [impl = m_Impl.get()](const DeviceEvent& event) { impl->changed(event); };
    m_Impl->notification = port.RegisterNotification(target);
}

HotPlugWatch::~HotPlugWatch() {
    // Unregistered first: no event is sent to a window that is going.
    m_Impl->notification.reset();
    if (m_Impl->window != nullptr) {
        PostMessageW(m_Impl->window, WM_CLOSE, 0, 0);
    }
    m_Impl->thread.join();
}

bool HotPlugWatch::Active() const {
    return m_Impl->notification != nullptr;
}

}  // namespace zevrin

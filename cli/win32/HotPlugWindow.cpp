// Device changes on Windows: RegisterDeviceNotificationW sends WM_DEVICECHANGE to a window, and a
// console program has none, so the watch makes a message-only window (HWND_MESSAGE: never shown,
// never sent broadcasts) on a thread of its own that pumps its messages. The simulated gamepad
// posts through the same registration call instead.
#include <windows.h>

#include <future>
#include <thread>
#include <utility>

#include "cli/HotPlug.h"

namespace zevrin::cli {

namespace {

constexpr wchar_t kWindowClass[] = L"ZevrinFlashHotPlug";

}  // namespace

struct HotPlugWatch::Impl {
    std::function<void()> changed;
    std::unique_ptr<HidNotification> notification;
    HWND window = nullptr;
    std::thread thread;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DEVICECHANGE) {
            const auto code = static_cast<uint32_t>(wParam);
            if (code == kDeviceArrival || code == kDeviceRemoveComplete ||
                code == kDevNodesChanged) {
                if (auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
                    self->changed();
                }
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

HotPlugWatch::HotPlugWatch(HidPort& port, std::function<void()> changed)
    : m_Impl(std::make_unique<Impl>()) {
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
    target.post = [impl = m_Impl.get()](uint32_t) { impl->changed(); };
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

}  // namespace zevrin::cli

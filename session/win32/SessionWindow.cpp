#include "session/win32/SessionWindow.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "hid/Log.h"
#include "hid/win32/Utf16.h"
#include "session/win32/SessionApi.h"

namespace zevrin {
namespace {

// The holds changed: the window's thread puts the reason it shows in line with them.
constexpr UINT kMsgHoldsChanged = WM_APP + 1;
// The program is done with the window. Not WM_CLOSE: `taskkill` without /F sends that to every
// top-level window, and it must not take the hold away from under a running transfer.
constexpr UINT kMsgClose = WM_APP + 2;

// How long a session that ends all the same waits for its stopped transfers. A stopped transfer
// ends within a read's or a write's bound; the system gives a program that keeps it waiting about
// 5 s before it ends it anyway.
constexpr auto kStoppedTransferWait = std::chrono::seconds(4);

}  // namespace

class WindowHold;

struct SessionWindowState {
    explicit SessionWindowState(const SessionApi& sessionApi) : api(sessionApi) {}

    void Run();
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    bool TransferRunning();
    void ShowReason();
    void EndTransfers();
    void HoldsChanged();

    const SessionApi& api;
    std::mutex mutex;  // guards the four below
    std::condition_variable changed;
    std::list<WindowHold*> holds;
    bool ending = false;  // the session is ending: no transfer may go on
    bool started = false;
    HWND window = nullptr;  // set once, before `started`

    bool reasonShown = false;  // the window's thread only
    std::thread thread;
};

class WindowHold final : public SessionHold {
  public:
    WindowHold(SessionWindowState& state, HoldRequest request)
        : m_State(state), m_Request(std::move(request)) {
        // The state belongs to the calling thread, the one that runs the transfer.
        m_State.api.SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        bool ending = false;
        {
            std::lock_guard lock(m_State.mutex);
            m_State.holds.push_back(this);
            ending = m_State.ending;
        }
        m_State.HoldsChanged();
        if (ending) {
            Stop();  // too late: the session is already ending
        }
    }
    WindowHold(const WindowHold&) = delete;
    WindowHold& operator=(const WindowHold&) = delete;

    ~WindowHold() override {
        {
            std::lock_guard lock(m_State.mutex);
            m_State.holds.remove(this);
        }
        m_State.changed.notify_all();
        // Posted, never sent: the window's thread may be waiting for this very transfer to end.
        m_State.HoldsChanged();
        m_State.api.SetThreadExecutionState(ES_CONTINUOUS);
    }

    const HoldRequest& Request() const { return m_Request; }
    void Stop() const {
        if (m_Request.stop) {
            m_Request.stop();
        }
    }

  private:
    SessionWindowState& m_State;
    const HoldRequest m_Request;
};

void SessionWindowState::Run() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSessionWindowClass;
    // A second window in the same program finds the class registered already.
    RegisterClassExW(&windowClass);
    // Top-level and never shown: the system asks each top-level window whether the session may
    // end, and a message-only window (HWND_MESSAGE) is never asked.
    const HWND hwnd = CreateWindowExW(0, kSessionWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                      nullptr, nullptr, instance, this);
    if (hwnd == nullptr) {
        LogLine("SessionWindow: no window (error %lu): shutdown will not wait for a transfer\n",
                GetLastError());
    }
    {
        std::lock_guard lock(mutex);
        window = hwnd;
        started = true;
    }
    changed.notify_all();
    if (hwnd == nullptr) {
        return;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK SessionWindowState::Procedure(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<SessionWindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    }
    if (self == nullptr || self->window == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);  // still being made, or gone
    }
    return self->OnMessage(message, wParam, lParam);
}

// The message map.
LRESULT SessionWindowState::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kMsgHoldsChanged:
            ShowReason();
            return 0;
        case WM_QUERYENDSESSION:
            // The reason goes up before the answer: the system shows it beside the program while
            // it waits, and the user decides whether to end the session anyway.
            ShowReason();
            return TransferRunning() ? FALSE : TRUE;
        case WM_ENDSESSION:
            if (wParam != FALSE) {
                // Ending after all (the user chose to, or the system forced it): the process may
                // be ended as soon as this returns, so the transfers stop cleanly first instead of
                // being cut off in the middle of a report.
                EndTransfers();
                ShowReason();
            }
            return 0;  // FALSE: someone called the shutdown off, and the transfers go on
        case WM_CLOSE:
            return 0;  // from outside (taskkill): the program ends the window itself
        case kMsgClose:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            if (reasonShown) {
                api.ShutdownBlockReasonDestroy(window);
                reasonShown = false;
            }
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool SessionWindowState::TransferRunning() {
    std::lock_guard lock(mutex);
    return !holds.empty();
}

void SessionWindowState::ShowReason() {
    std::wstring who;
    std::wstring why;
    bool held = false;
    {
        std::lock_guard lock(mutex);
        if (!holds.empty()) {
            held = true;
            who = Utf16(holds.front()->Request().who);
            why = Utf16(holds.front()->Request().why);
        }
    }
    // Only the window's own thread may give it a reason (elsewhere the call is refused).
    if (held && !reasonShown) {
        SetWindowTextW(window, who.c_str());  // the name the system lists the reason under
        reasonShown = api.ShutdownBlockReasonCreate(window, why.c_str()) != FALSE;
    } else if (!held && reasonShown) {
        api.ShutdownBlockReasonDestroy(window);
        reasonShown = false;
    }
}

void SessionWindowState::EndTransfers() {
    std::unique_lock lock(mutex);
    ending = true;
    // Under the lock: a hold (and the transfer that its stop reaches) cannot go while it is being
    // stopped. A stop only asks; it never waits for the transfer, so it cannot wait for this lock.
    for (const WindowHold* hold : holds) {
        hold->Stop();
    }
    if (!changed.wait_for(lock, kStoppedTransferWait, [&] { return holds.empty(); })) {
        LogLine("SessionWindow: the session ends with a stopped transfer still running\n");
    }
}

void SessionWindowState::HoldsChanged() {
    if (window != nullptr) {
        PostMessageW(window, kMsgHoldsChanged, 0, 0);
    }
}

SessionWindow::SessionWindow(const SessionApi& api)
    : m_State(std::make_unique<SessionWindowState>(api)) {
    SessionWindowState& state = *m_State;
    state.thread = std::thread([&state] { state.Run(); });
    std::unique_lock lock(state.mutex);
    state.changed.wait(lock, [&] { return state.started; });
}

SessionWindow::~SessionWindow() {
    if (m_State->window != nullptr) {
        PostMessageW(m_State->window, kMsgClose, 0, 0);
    }
    m_State->thread.join();
}

SessionHolder SessionWindow::Holder() {
    SessionWindowState* state = m_State.get();
    return [state](const HoldRequest& request) -> std::unique_ptr<SessionHold> {
        return std::make_unique<WindowHold>(*state, request);
    };
}

const SessionApi& RealSessionApi() {
    static const SessionApi api{
        .ShutdownBlockReasonCreate = ::ShutdownBlockReasonCreate,
        .ShutdownBlockReasonDestroy = ::ShutdownBlockReasonDestroy,
        .SetThreadExecutionState = ::SetThreadExecutionState,
    };
    return api;
}

}  // namespace zevrin

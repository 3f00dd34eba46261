#include "app/win32/Win32DialogView.h"

#include <commctrl.h>

#include <utility>

#include "app/win32/DialogGeometry.h"
#include "hid/win32/Utf16.h"
#include "res/resource.h"
#include "update/Texts.h"

#undef MessageBox
#undef GetOpenFileName

namespace zevrin::win32 {
namespace {

// The worker's requests that the dialog thread carries out itself: wParam the control id,
// lParam nonzero to enable / show.
constexpr UINT kMsgEnableControl = WM_APP + 1;
constexpr UINT kMsgShowControl = WM_APP + 2;

HICON LoadIconOfSize(HINSTANCE instance, int widthMetric, int heightMetric) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                         GetSystemMetrics(widthMetric),
                                         GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

}  // namespace

Win32DialogView::Win32DialogView(HidPort& port, HINSTANCE instance, Prompts prompts)
    : m_Instance(instance),
      m_hIcon(LoadIconOfSize(instance, SM_CXICON, SM_CYICON)),
      // Title bar and taskbar: the group's own small image, not the large one shrunk.
      m_hSmallIcon(LoadIconOfSize(instance, SM_CXSMICON, SM_CYSMICON)),
      m_Prompts(std::move(prompts)),
      m_Dlg(port, *this) {}

Win32DialogView::~Win32DialogView() {
    if (HWND hwnd = Hwnd(); hwnd != nullptr && OnUiThread()) {
        DestroyWindow(hwnd);  // a modeless window still open: WM_DESTROY stops the worker
    }
    m_Dlg.StopWorker();
    for (HICON icon : {m_hIcon, m_hSmallIcon}) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
}

INT_PTR Win32DialogView::RunModal(HWND parent) {
    m_Modal = true;
    return DialogBoxParamW(m_Instance, MAKEINTRESOURCEW(IDD_UPDATE_DIALOG), parent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

HWND Win32DialogView::CreateModeless(HWND parent) {
    m_Modal = false;
    return CreateDialogParamW(m_Instance, MAKEINTRESOURCEW(IDD_UPDATE_DIALOG), parent, DialogProc,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Win32DialogView::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    Win32DialogView* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Win32DialogView*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->m_hWnd = hwnd;
        self->m_UiThread = GetWindowThreadProcessId(hwnd, nullptr);
    } else {
        self = reinterpret_cast<Win32DialogView*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (WM_SETFONT, ...) are the system's alone.
    return self != nullptr ? self->OnMessage(message, wParam, lParam) : FALSE;
}

// The message map.
INT_PTR Win32DialogView::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_PAINT:
            return OnPaint();
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_hIcon);
        case WM_DEVICECHANGE:
        case kMsgPostedDeviceChange:
        case WM_TIMER:
            return OnDeviceMessage(message, wParam, lParam);
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return FALSE;  // every control in the system's colours
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam));
        case kMsgEnableControl:
            EnableWindow(Control(static_cast<ControlId>(static_cast<int>(wParam))), lParam != 0);
            return TRUE;
        case kMsgShowControl:
            ShowWindow(Control(static_cast<ControlId>(static_cast<int>(wParam))),
                       lParam != 0 ? SW_SHOW : SW_HIDE);
            return TRUE;
        case WM_DESTROY:
            OnDestroy();
            return FALSE;
        case WM_NCDESTROY:
            SetWindowLongPtrW(Hwnd(), DWLP_USER, 0);
            m_hWnd = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

BOOL Win32DialogView::OnInitDialog() {
    const HWND hwnd = Hwnd();
    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
    // The controls are looked up once. Ids are compared as the template's 32-bit values, so the
    // success text's -1 (0xFFFFFFFF) is found however the system widened it.
    m_Controls.clear();
    for (HWND child = GetWindow(hwnd, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        const auto id = static_cast<int32_t>(GetWindowLongPtrW(child, GWLP_ID));
        m_Controls.emplace(id, child);
    }
    // Registered before the start-up's version query, whose box may be up when a gamepad comes.
    m_Dlg.Hid().RegisterNotification(
        [target = NotifyTarget()](const DeviceEvent& event) { target.post(event.code); });
    RECT before{};
    GetWindowRect(hwnd, &before);
    const BOOL result = m_Dlg.OnInitDialog();
    RECT after{};
    GetWindowRect(hwnd, &after);
    if (EqualRect(&before, &after) != FALSE) {
        // The template has no position of its own (0, 0): like any framework dialog, it opens
        // centred on its owner or on the screen.
        Center();
    }
    return result;
}

void Win32DialogView::Center() {
    const HWND hwnd = Hwnd();
    RECT area{};
    const HWND owner = GetWindow(hwnd, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (owner != nullptr && IsWindowVisible(owner) != FALSE && IsIconic(owner) == FALSE) {
        GetWindowRect(owner, &area);
    } else if (GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor) !=
               FALSE) {
        area = monitor.rcWork;
    } else {
        return;
    }
    RECT window{};
    GetWindowRect(hwnd, &window);
    const Point origin = CenteredOrigin({area.left, area.top, area.right, area.bottom},
                                        window.right - window.left, window.bottom - window.top);
    SetWindowPos(hwnd, nullptr, origin.x, origin.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL Win32DialogView::OnPaint() {
    const HWND hwnd = Hwnd();
    if (IsIconic(hwnd) == FALSE) {
        return FALSE;  // the dialog's own painting
    }
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(hwnd, &paint);
    SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(hwnd, &client);
    const Point origin =
        MinimizedIconOrigin(client.right - client.left, client.bottom - client.top,
                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    DrawIcon(dc, origin.x, origin.y, m_hIcon);
    EndPaint(hwnd, &paint);
    return TRUE;
}

BOOL Win32DialogView::OnCommand(WORD id, WORD notification) {
    switch (id) {
        case IDC_USB_UPDATE:
            if (notification != BN_CLICKED) {
                return FALSE;
            }
            m_Dlg.OnBnClickedUsbUpdate();
            return TRUE;
        case IDOK:      // Enter while the button does not have the focus
        case IDCANCEL:  // Esc and the close box
            OnCloseRequest(id);
            return TRUE;
        default:
            return FALSE;
    }
}

void Win32DialogView::OnCloseRequest(WORD command) {
    // During a transfer the user is asked first; on OK the worker is stopped and waited for, so
    // nothing it does can reach a destroyed window.
    if (!m_Dlg.OnCloseRequest()) {
        return;
    }
    if (m_Modal) {
        EndDialog(Hwnd(), command);
    } else {
        DestroyWindow(Hwnd());
    }
}

void Win32DialogView::OnDestroy() {
    // Closed some other way than through OnCloseRequest (a parent going away, the session
    // ending): the worker still must not outlive the window, nor the registration that posts to it.
    m_Dlg.Hid().UnregisterNotification();
    m_Dlg.StopWorker();
}

INT_PTR Win32DialogView::Result(LONG_PTR value) {
    SetWindowLongPtrW(Hwnd(), DWLP_MSGRESULT, value);
    return TRUE;
}

HWND Win32DialogView::Control(ControlId id) const {
    const auto it = m_Controls.find(static_cast<int>(id));
    return it == m_Controls.end() ? nullptr : it->second;
}

bool Win32DialogView::OnUiThread() const {
    return GetCurrentThreadId() == m_UiThread.load();
}

// The view's calls. From the worker, each one is a message that the dialog thread carries out
// (SetWindowTextW and PBM_SETPOS to a window of another thread are sent messages), so the
// call returns once the control has changed.

void Win32DialogView::SetCaption(const std::string& text) {
    if (HWND hwnd = Hwnd(); hwnd != nullptr) {
        SetWindowTextW(hwnd, Utf16(text).c_str());
    }
}

void Win32DialogView::SetControlText(ControlId id, const std::string& text) {
    if (HWND control = Control(id); control != nullptr) {
        SetWindowTextW(control, Utf16(text).c_str());
    }
}

void Win32DialogView::EnableControl(ControlId id, bool enabled) {
    if (OnUiThread()) {
        EnableWindow(Control(id), enabled ? TRUE : FALSE);
    } else if (HWND hwnd = Hwnd(); hwnd != nullptr) {
        SendMessageW(hwnd, kMsgEnableControl, static_cast<WPARAM>(static_cast<int>(id)),
                     enabled ? 1 : 0);
    }
}

void Win32DialogView::ShowControl(ControlId id, bool shown) {
    if (OnUiThread()) {
        ShowWindow(Control(id), shown ? SW_SHOW : SW_HIDE);
    } else if (HWND hwnd = Hwnd(); hwnd != nullptr) {
        SendMessageW(hwnd, kMsgShowControl, static_cast<WPARAM>(static_cast<int>(id)),
                     shown ? 1 : 0);
    }
}

void Win32DialogView::SetProgressRange(int minimum, int maximum) {
    if (HWND bar = Control(ControlId::Progress); bar != nullptr) {
        SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(minimum, maximum));
    }
}

void Win32DialogView::SetProgressPos(uint32_t position) {
    if (HWND bar = Control(ControlId::Progress); bar != nullptr) {
        SendMessageW(bar, PBM_SETPOS, position, 0);
    }
}

}  // namespace zevrin::win32

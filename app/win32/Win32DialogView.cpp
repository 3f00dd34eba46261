#include "app/win32/Win32DialogView.h"

#include <commctrl.h>
#include <dbt.h>
#include <objbase.h>

#include <cstddef>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

// hidsdi.h declares C functions without extern "C"; unwrapped, the link looks for C++ names.
extern "C" {
#include <hidsdi.h>
}

#include "app/win32/DialogGeometry.h"
#include "app/win32/Win32Strings.h"
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
// A device-change event from a backend that posts it (the simulated gamepad): wParam the event
// code. WM_DEVICECHANGE itself cannot be posted with an arrival or removal code, because the
// system takes its lParam for a pointer and refuses (ERROR_MESSAGE_SYNC_ONLY).
constexpr UINT kMsgPostedDeviceChange = WM_APP + 3;

// Room for any path the file dialog may hand back (the system's longest path).
constexpr size_t kFileBufferChars = 32768;

// How often a cancelled prompt of the worker is looked for while the dialog thread waits.
constexpr DWORD kCancelPollMs = 10;

// A plug or unplug comes as a burst (several interfaces, nodes changed, the simulated gamepad's
// own event): it is gathered for this long from its first event, then handled once.
constexpr UINT_PTR kDeviceChangeTimer = 1;
constexpr UINT kDeviceChangeGatherMs = 150;

// The order in which a gathered burst runs the reactions, each at most once. Every reaction scans
// afresh, so the outcome does not depend on the order the events came in; the arrival goes last
// because its version query may show a box.
constexpr uint32_t kReactionOrder[] = {kDeviceRemoveComplete, kDevNodesChanged, kDeviceArrival};

HICON LoadIconOfSize(HINSTANCE instance, int widthMetric, int heightMetric) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                         GetSystemMetrics(widthMetric),
                                         GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

// The file dialog hosts shell components (the folder view, previews, cloud-storage providers)
// that need a single-threaded apartment on the thread that shows it; the worker has none of its
// own. A thread that already joined another kind keeps it.
class SingleThreadedApartment {
  public:
    SingleThreadedApartment()
        : m_Joined(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~SingleThreadedApartment() {
        if (m_Joined) {
            CoUninitialize();
        }
    }
    SingleThreadedApartment(const SingleThreadedApartment&) = delete;
    SingleThreadedApartment& operator=(const SingleThreadedApartment&) = delete;

  private:
    const bool m_Joined;
};

// Owned by `owner` directly or through a window it owns: a box that the file dialog shows is the
// file dialog's, and the file dialog cannot end while that box is up.
bool OwnedThrough(HWND window, HWND owner) {
    for (HWND up = GetWindow(window, GW_OWNER); up != nullptr; up = GetWindow(up, GW_OWNER)) {
        if (up == owner) {
            return true;
        }
    }
    return false;
}

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

Prompts SystemPrompts() {
    return {[](HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
                return MessageBoxW(owner, text, caption, type);
            },
            [](OPENFILENAMEW& request) { return GetOpenFileNameW(&request); }};
}

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
            // Sent to every top-level window, and the sender waits for each answer: no scan or
            // version query runs inside it.
            if (const std::optional<uint32_t> code = ReactionTo(wParam, lParam)) {
                QueueDeviceChange(*code);
            }
            return Result(TRUE);
        case kMsgPostedDeviceChange:
            QueueDeviceChange(static_cast<uint32_t>(wParam));
            return Result(TRUE);
        case WM_TIMER:
            if (wParam != kDeviceChangeTimer) {
                return FALSE;
            }
            OnDeviceChangeTimer();
            return TRUE;
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
    // ending): the worker still must not outlive the window.
    m_Dlg.StopWorker();
}

INT_PTR Win32DialogView::Result(LONG_PTR value) {
    SetWindowLongPtrW(Hwnd(), DWLP_MSGRESULT, value);
    return TRUE;
}

void Win32DialogView::QueueDeviceChange(uint32_t code) {
    for (size_t i = 0; i < std::size(kReactionOrder); ++i) {
        if (kReactionOrder[i] != code) {
            continue;
        }
        if (m_PendingDeviceChanges == 0 &&
            SetTimer(Hwnd(), kDeviceChangeTimer, kDeviceChangeGatherMs, nullptr) == 0) {
            // No timer to be had: handled from the queue all the same, just not gathered.
            PostMessageW(Hwnd(), WM_TIMER, kDeviceChangeTimer, 0);
        }
        m_PendingDeviceChanges |= 1u << i;
    }
}

void Win32DialogView::OnDeviceChangeTimer() {
    KillTimer(Hwnd(), kDeviceChangeTimer);
    // Taken before the reactions run: a box of the version query runs a message loop, and events
    // that arrive meanwhile start a burst of their own.
    const uint32_t pending = std::exchange(m_PendingDeviceChanges, 0);
    for (size_t i = 0; i < std::size(kReactionOrder); ++i) {
        if ((pending & (1u << i)) != 0) {
            m_Dlg.OnDeviceChange(kReactionOrder[i], 0);
        }
    }
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
        SetWindowTextW(hwnd, Wide(text).c_str());
    }
}

void Win32DialogView::SetControlText(ControlId id, const std::string& text) {
    if (HWND control = Control(id); control != nullptr) {
        SetWindowTextW(control, Wide(text).c_str());
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

BoxResult Win32DialogView::MessageBox(const std::string& text, const std::string& caption,
                                      BoxButtons buttons) {
    if (!EnterPrompt()) {
        return BoxResult::Cancel;
    }
    // Shown on the calling thread (the worker's own box), owned by the dialog window.
    const int answer = m_Prompts.messageBox(Hwnd(), Wide(text).c_str(), Wide(caption).c_str(),
                                            buttons == BoxButtons::OkCancel ? MB_OKCANCEL : MB_OK);
    if (LeavePrompt()) {
        return BoxResult::Cancel;
    }
    return answer == IDOK ? BoxResult::Ok : BoxResult::Cancel;
}

std::optional<std::string> Win32DialogView::GetOpenFileName(const FileDialogRequest& request) {
    if (!EnterPrompt()) {
        return std::nullopt;
    }
    const std::wstring filter = FileDialogFilter(Wide(request.filter));
    const std::wstring directory = Wide(request.initialDirectory);
    const std::wstring extension = Wide(request.defaultExtension);
    std::wstring file(kFileBufferChars, L'\0');

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = Hwnd();
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = directory.empty() ? nullptr : directory.c_str();
    dialog.Flags = request.flags;
    dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    BOOL chosen = FALSE;
    {
        const SingleThreadedApartment apartment;
        chosen = m_Prompts.openFileName(dialog);
    }
    if (LeavePrompt() || chosen == FALSE) {
        return std::nullopt;
    }
    return Utf8(file.c_str());
}

NotifyWindow Win32DialogView::NotifyTarget() {
    // The real registration delivers WM_DEVICECHANGE itself; the simulated gamepad posts its
    // events, from any thread. Both are gathered the same way on the dialog thread.
    const HWND hwnd = Hwnd();
    return {hwnd, [hwnd](uint32_t code) { PostMessageW(hwnd, kMsgPostedDeviceChange, code, 0); }};
}

bool Win32DialogView::EnterPrompt() {
    std::lock_guard lock(m_PromptMutex);
    if (m_PromptsCancelled) {
        return false;
    }
    m_PromptThreads.insert(GetCurrentThreadId());
    return true;
}

bool Win32DialogView::LeavePrompt() {
    std::lock_guard lock(m_PromptMutex);
    if (auto it = m_PromptThreads.find(GetCurrentThreadId()); it != m_PromptThreads.end()) {
        m_PromptThreads.erase(it);
    }
    return m_PromptsCancelled;
}

void Win32DialogView::CancelPrompts() {
    {
        std::lock_guard lock(m_PromptMutex);
        m_PromptsCancelled = true;
    }
    if (!OnUiThread()) {
        ClosePromptsOfOtherThreads();
        return;
    }
    // The dialog thread is about to wait for the worker. The worker may be in a box or the file
    // dialog, or in a sent message that only this thread can carry out (a control change, the
    // owner being disabled by its box): end its prompts and serve its messages until it has
    // finished, or the wait would never end.
    while (m_Dlg.IsWorkerRunning()) {
        ClosePromptsOfOtherThreads();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kCancelPollMs, QS_SENDMESSAGE);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void Win32DialogView::ClosePromptsOfOtherThreads() {
    std::vector<DWORD> threads;
    {
        std::lock_guard lock(m_PromptMutex);
        threads.assign(m_PromptThreads.begin(), m_PromptThreads.end());
    }
    struct Search {
        HWND owner;
    } search{Hwnd()};
    for (DWORD thread : threads) {
        if (thread == GetCurrentThreadId()) {
            continue;
        }
        EnumThreadWindows(
            thread,
            [](HWND window, LPARAM data) -> BOOL {
                const auto* s = reinterpret_cast<const Search*>(data);
                if (s->owner != nullptr && OwnedThrough(window, s->owner)) {
                    // What Esc does: a box answers Cancel, the file dialog closes with no file.
                    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
    }
}

}  // namespace zevrin::win32

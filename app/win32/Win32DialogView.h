// The Win32 window around CUpdateDlg: dialog template 102, a dialog procedure whose message map
// forwards to CUpdateDlg's handlers, and the DialogView calls carried out on the real controls.
#pragma once

#include <windows.h>
// clang-format off
#include <commdlg.h>
// clang-format on

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>

// The A/W macros would rename DialogView's members of the same names.
#undef MessageBox
#undef GetOpenFileName

#include "app/win32/PromptGate.h"
#include "update/DeviceEventPolicy.h"
#include "update/DialogView.h"
#include "update/UpdateDlg.h"

namespace zevrin::win32 {

// The two blocking questions the window asks. The program uses MessageBoxW and GetOpenFileNameW;
// a driver that has no user (the screenshot driver) may answer them itself.
struct Prompts {
    std::function<int(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type)>
        messageBox;
    std::function<BOOL(OPENFILENAMEW& request)> openFileName;
};
Prompts SystemPrompts();

class Win32DialogView final : public DialogView {
  public:
    // Loads the icons from `instance`; the window itself is made by RunModal or CreateModeless.
    Win32DialogView(HidPort& port, HINSTANCE instance, Prompts prompts = SystemPrompts());
    ~Win32DialogView() override;
    Win32DialogView(const Win32DialogView&) = delete;
    Win32DialogView& operator=(const Win32DialogView&) = delete;

    // DialogBoxParamW on template 102: returns when the dialog has ended (IDOK or IDCANCEL).
    INT_PTR RunModal(HWND parent);
    // CreateDialogParamW on template 102, for callers that run their own message loop; the
    // window destroys itself when it is closed.
    HWND CreateModeless(HWND parent);

    HWND Hwnd() const { return m_hWnd.load(); }
    HICON Icon() const { return m_hIcon; }
    HICON SmallIcon() const { return m_hSmallIcon; }
    CUpdateDlg& Dialog() { return m_Dlg; }

    // DialogView
    void SetCaption(const std::string& text) override;
    void SetControlText(ControlId id, const std::string& text) override;
    void EnableControl(ControlId id, bool enabled) override;
    void ShowControl(ControlId id, bool shown) override;
    void SetProgressRange(int minimum, int maximum) override;
    void SetProgressPos(uint32_t position) override;
    BoxResult MessageBox(const std::string& text, const std::string& caption,
                         BoxKind kind) override;
    std::optional<std::string> GetOpenFileName(const FileDialogRequest& request) override;
    NotifyWindow NotifyTarget() override;
    void CancelPrompts() override;

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Handlers.
    BOOL OnInitDialog();
    void Center();
    BOOL OnPaint();
    BOOL OnCommand(WORD id, WORD notification);
    void OnCloseRequest(WORD command);
    void OnDestroy();
    INT_PTR Result(LONG_PTR value);
    // Device changes (DeviceBroadcasts.cpp): answered at once, gathered by the dialog's policy,
    // then handled from the queue when the gather timer fires.
    INT_PTR OnDeviceMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void QueueDeviceChange(uint32_t code);

    HWND Control(ControlId id) const;
    bool OnUiThread() const;

    // A device-change event from a backend that posts it (the simulated gamepad): wParam the event
    // code. WM_DEVICECHANGE itself cannot be posted with an arrival or removal code, because the
    // system takes its lParam for a pointer and refuses (ERROR_MESSAGE_SYNC_ONLY).
    static constexpr UINT kMsgPostedDeviceChange = WM_APP + 3;
    static constexpr UINT_PTR kDeviceChangeTimer = 1;

    HINSTANCE m_Instance;
    HICON m_hIcon = nullptr;
    HICON m_hSmallIcon = nullptr;
    Prompts m_Prompts;
    std::atomic<HWND> m_hWnd{nullptr};
    std::atomic<DWORD> m_UiThread{0};
    bool m_Modal = false;
    std::map<int, HWND> m_Controls;  // filled by WM_INITDIALOG, before any worker exists
    PromptGate m_PromptGate;

    // Last: built once everything it may call is ready, destroyed first (after the policy that
    // only feeds it).
    CUpdateDlg m_Dlg;
    DeviceEventPolicy m_DeviceEvents{m_Dlg};
};

}  // namespace zevrin::win32

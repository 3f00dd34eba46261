// The window's blocking questions: the message box and the open-file dialog, shown on the thread
// that asks (the worker's own, or the dialog thread's), and their end when the worker is stopped.
#include <objbase.h>

#include <cstddef>
#include <optional>
#include <string>

#include "app/win32/DialogGeometry.h"
#include "app/win32/Win32DialogView.h"
#include "hid/win32/Utf16.h"

#undef MessageBox
#undef GetOpenFileName

namespace zevrin::win32 {
namespace {

// Room for any path the file dialog may hand back (the system's longest path).
constexpr size_t kFileBufferChars = 32768;

// How often a cancelled prompt of the worker is looked for while the dialog thread waits.
constexpr DWORD kCancelPollMs = 10;

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

}  // namespace

Prompts SystemPrompts() {
    return {[](HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
                return MessageBoxW(owner, text, caption, type);
            },
            [](OPENFILENAMEW& request) { return GetOpenFileNameW(&request); }};
}

BoxResult Win32DialogView::MessageBox(const std::string& text, const std::string& caption,
                                      BoxKind kind) {
    if (!m_PromptGate.Enter()) {
        return BoxResult::Cancel;
    }
    // Shown on the calling thread (the worker's own box), owned by the dialog window.
    const UINT type = ButtonsOf(kind) == BoxButtons::OkCancel ? MB_OKCANCEL : MB_OK;
    const int answer =
        m_Prompts.messageBox(Hwnd(), Utf16(text).c_str(), Utf16(caption).c_str(), type);
    if (m_PromptGate.Leave()) {
        return BoxResult::Cancel;
    }
    return answer == IDOK ? BoxResult::Ok : BoxResult::Cancel;
}

std::optional<std::string> Win32DialogView::GetOpenFileName(const FileDialogRequest& request) {
    if (!m_PromptGate.Enter()) {
        return std::nullopt;
    }
    const std::wstring filter = FileDialogFilter(Utf16(request.filter));
    const std::wstring directory = Utf16(request.initialDirectory);
    const std::wstring extension = Utf16(request.defaultExtension);
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
    if (m_PromptGate.Leave() || chosen == FALSE) {
        return std::nullopt;
    }
    return Utf8(file.c_str(), BadUtf16::Replace).value_or(std::string());
}

void Win32DialogView::CancelPrompts() {
    m_PromptGate.Cancel();
    if (!OnUiThread()) {
        m_PromptGate.CloseOtherThreads(Hwnd());
        return;
    }
    // The dialog thread is about to wait for the worker. The worker may be in a box or the file
    // dialog, or in a sent message that only this thread can carry out (a control change, the
    // owner being disabled by its box): end its prompts and serve its messages until it has
    // finished, or the wait would never end.
    while (m_Dlg.IsWorkerRunning()) {
        m_PromptGate.CloseOtherThreads(Hwnd());
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kCancelPollMs, QS_SENDMESSAGE);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace zevrin::win32

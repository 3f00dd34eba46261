// What the dialog's logic needs of a window. Every call is safe from the worker thread: the view
// carries it out on its UI thread and, for message boxes and the file dialog, blocks the caller
// until the user has answered. Implemented by the Win32 window, the Qt window, the CLI and tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hid/HidPort.h"

enum class ControlId : int {
    Progress = 1003,      // IDC_PROGRESS
    UpdateButton = 1007,  // IDC_USB_UPDATE
    Instructions = 1008,  // IDC_INSTRUCTIONS
    SuccessText = -1,     // IDC_SUCCESS_TEXT
};

enum class BoxButtons { Ok, OkCancel };
enum class BoxResult { Ok = 1, Cancel = 2 };  // IDOK, IDCANCEL

// What a box is for. A window shows every kind alike, a question with OK and Cancel and the rest
// with OK alone; the CLI asks a question on the terminal and tells the rest on the stream each
// belongs on.
enum class BoxKind {
    Confirm,       // both versions before the image goes out: OK sends it
    ConfirmStop,   // closing during a transfer: OK stops it
    Failure,       // the update did not happen or did not finish, or the gamepad cannot be had
    Success,       // the gamepad took the whole image
    Instructions,  // the gamepad has no firmware: how to put it in boot mode
};

constexpr BoxButtons ButtonsOf(BoxKind kind) {
    return kind == BoxKind::Confirm || kind == BoxKind::ConfirmStop ? BoxButtons::OkCancel
                                                                    : BoxButtons::Ok;
}

struct FileDialogRequest {
    // Fields separated by '|', the list ended by "||": "File type(*.dat)|*.dat||".
    std::string filter;
    std::string initialDirectory;  // empty: the platform's choice
    std::string defaultExtension = "*.*";
    uint32_t flags = 6;  // OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT
};

class DialogView {
  public:
    virtual ~DialogView() = default;
    virtual void SetCaption(const std::string& text) = 0;
    virtual void SetControlText(ControlId id, const std::string& text) = 0;
    virtual void EnableControl(ControlId id, bool enabled) = 0;
    virtual void ShowControl(ControlId id, bool shown) = 0;
    virtual void SetProgressRange(int minimum, int maximum) = 0;
    virtual void SetProgressPos(uint32_t position) = 0;
    // Owned by the dialog window; no icon; OK is the default button; the buttons by ButtonsOf.
    virtual BoxResult MessageBox(const std::string& text, const std::string& caption,
                                 BoxKind kind) = 0;
    // The open-file dialog, owned by the dialog window; the chosen full path, or nothing.
    virtual std::optional<std::string> GetOpenFileName(const FileDialogRequest& request) = 0;
    // Where device-change events for this window go, from any thread: what its hot-plug
    // registration reports, and the arrival the worker passes on once it has ended.
    virtual zevrin::NotifyWindow NotifyTarget() = 0;
    // The dialog is stopping its worker and will wait for it: a box or file dialog that the
    // worker is waiting on, or asks for later, must return at once (Cancel, no file), or the
    // wait would never end.
    virtual void CancelPrompts() {}
};

// One control of the dialog as the worker drives it (the process-wide g_p… references).
class ControlRef {
  public:
    ControlRef(DialogView& view, ControlId id) : m_View(view), m_Id(id) {}
    void EnableWindow(bool enabled) const { m_View.EnableControl(m_Id, enabled); }
    void ShowWindow(bool shown) const { m_View.ShowControl(m_Id, shown); }
    void SetWindowText(const std::string& text) const { m_View.SetControlText(m_Id, text); }
    void SetPos(uint32_t position) const { m_View.SetProgressPos(position); }
    ControlId Id() const { return m_Id; }

  private:
    DialogView& m_View;
    ControlId m_Id;
};

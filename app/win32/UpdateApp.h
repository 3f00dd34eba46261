// The application object: runs the one dialog modally and ends the process when it closes.
#pragma once

#include <windows.h>

#include "app/win32/Win32DialogView.h"
#include "hid/HidPort.h"

namespace zevrin::win32 {

class CUpdateApp {
  public:
    CUpdateApp(HidPort& port, HINSTANCE instance, Prompts prompts = SystemPrompts());

    // Runs the dialog until it is closed. Returns 0: there is no message loop of the
    // application's own after the dialog, so the process ends.
    int InitInstance();

    // The dialog window while it runs.
    Win32DialogView* m_pMainWnd = nullptr;

  private:
    HidPort& m_Port;
    HINSTANCE m_Instance;
    Prompts m_Prompts;
};

}  // namespace zevrin::win32

#include "app/win32/UpdateApp.h"

#include <commctrl.h>

#include <utility>

#include "app/win32/ResourceTexts.h"

namespace zevrin::win32 {

CUpdateApp::CUpdateApp(HidPort& port, HINSTANCE instance, Prompts prompts)
    : m_Port(port), m_Instance(instance), m_Prompts(std::move(prompts)) {}

int CUpdateApp::InitInstance() {
    // The progress bar's window class lives in comctl32 and exists only once registered.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    InstallResourceTexts(m_Instance);

    Win32DialogView dialog(m_Port, m_Instance, m_Prompts);
    m_pMainWnd = &dialog;
    dialog.RunModal(nullptr);
    m_pMainWnd = nullptr;
    return 0;
}

}  // namespace zevrin::win32

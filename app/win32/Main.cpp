// zevrin-update.exe: the tool on the system's HID devices.
#include <windows.h>

#include "app/win32/UpdateApp.h"
#include "hid/win32/Win32Api.h"
#include "hid/win32/Win32HidPort.h"
#include "session/win32/SessionWindow.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    // Shutdown, restart and sleep wait while a transfer runs.
    zevrin::SessionWindow session(zevrin::RealSessionApi());
    zevrin::SetSessionHolder(session.Holder());
    zevrin::Win32HidPort port(zevrin::RealWin32Api());
    zevrin::win32::CUpdateApp app(port, instance);
    const int result = app.InitInstance();
    zevrin::SetSessionHolder({});  // the dialog, and every worker with it, has ended
    return result;
}

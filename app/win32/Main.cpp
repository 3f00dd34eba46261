// zevrin-update.exe: the tool on the system's HID devices.
#include <windows.h>

#include "app/win32/UpdateApp.h"
#include "hid/win32/Win32Api.h"
#include "hid/win32/Win32HidPort.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    zevrin::Win32HidPort port(zevrin::RealWin32Api());
    zevrin::win32::CUpdateApp app(port, instance);
    return app.InitInstance();
}

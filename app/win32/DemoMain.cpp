// zevrin-update-demo.exe: the same window on the simulated gamepad, which is plugged in about a
// second after start and accepts any valid image.
#include <windows.h>

#include "app/win32/DemoGamepad.h"
#include "app/win32/UpdateApp.h"
#include "hid/sim/SimBench.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    zevrin::sim::SimPort port;
    const int gamepad = zevrin::sim::AddBench(port, zevrin::sim::DemoBench()).front();
    zevrin::win32::PlugLater(port, gamepad, 1000);
    zevrin::win32::CUpdateApp app(port, instance);
    return app.InitInstance();
}

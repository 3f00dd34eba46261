// zevrin-update-demo: the same window over the simulated gamepad, which plugs in a second after
// start among a few other HID devices, so the whole update can be tried without hardware.
#include <QApplication>
#include <QTimer>
#include <chrono>

#include "app/qt/QtTexts.h"
#include "app/qt/QtUpdateWindow.h"
#include "hid/sim/SimPort.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("zevrin-update"));
    zevrin::qt::FollowSessionLocale();

    zevrin::sim::SimPort port;
    port.AddInterface("sim:hidraw0", 0x046D, 0xC31C);  // keyboard
    port.AddInterface("sim:hidraw1", 0x046D, 0xC077);  // mouse
    port.AddInterface("sim:hidraw2", 0x0483, 0x5740);  // same vendor, another product
    zevrin::sim::GamepadBehaviour gamepad;
    gamepad.firmwareType = 1;
    gamepad.version = 110;
    // Slow enough for the progress bar to be watched moving.
    gamepad.latency = std::chrono::milliseconds(2);
    const int id = port.AddGamepad("sim:hidraw3", gamepad);
    port.Unplug(id);  // nobody is registered yet: no event

    zevrin::qt::QtUpdateWindow window(port);
    window.Start();
    QTimer::singleShot(1000, &window, [&port, id] { port.Plug(id); });
    window.exec();
    return 0;
}

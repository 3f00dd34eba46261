// zevrin-update-demo: the same window over the simulated gamepad, which plugs in a second after
// start among a few other HID devices, so the whole update can be tried without hardware.
#include <QApplication>
#include <QTimer>

#include "app/qt/QtTexts.h"
#include "app/qt/QtUpdateWindow.h"
#include "hid/sim/SimBench.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("zevrin-update"));
    zevrin::qt::FollowSessionLocale();

    zevrin::sim::SimPort port;
    const int id = zevrin::sim::AddBench(port, zevrin::sim::DemoBench()).front();

    zevrin::qt::QtUpdateWindow window(port);
    window.Start();
    QTimer::singleShot(1000, &window, [&port, id] { port.Plug(id); });
    window.exec();
    return 0;
}

// zevrin-update for Linux: the window over hidraw (hidapi) with udev hot-plug. No arguments, no
// settings; diagnostics go to standard error.
#include <QApplication>

#include "app/qt/QtTexts.h"
#include "app/qt/QtUpdateWindow.h"
#include "hid/linux/HidapiPort.h"
#include "session/linux/LogindHold.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("zevrin-update"));
    zevrin::qt::FollowSessionLocale();

    zevrin::SetSessionHolder(zevrin::HoldSessionWithLogind);  // no shutdown or sleep mid-transfer
    zevrin::HidapiPort port;
    zevrin::qt::QtUpdateWindow window(port);
    window.Start();
    window.exec();
    return 0;
}

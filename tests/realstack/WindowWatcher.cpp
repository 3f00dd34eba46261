// zevrin-window-watcher: the real Linux window (QtUpdateWindow over hidapi and the udev monitor,
// wired as zevrin-update wires it) with its state printed on standard output, one line each time
// it changes:
//
//   button=0|1 version=XXXXXXXX caption=TEXT
//
// The real-stack bench plugs and unplugs uhid gamepads around it and reads these lines; the
// installed program has no such output. Runs until SIGTERM or SIGINT.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <string>

#include "app/qt/QtTexts.h"
#include "app/qt/QtUpdateWindow.h"
#include "hid/linux/HidapiPort.h"

namespace {

volatile std::sig_atomic_t g_Stop = 0;

extern "C" void OnStopSignal(int) {
    g_Stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    zevrin::qt::FollowSessionLocale();
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);

    zevrin::HidapiPort port;
    zevrin::qt::QtUpdateWindow window(port);
    window.Start();
    window.show();

    // Polled rather than hooked: what counts is what a user would see, whichever code path set it.
    std::string last;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (g_Stop != 0) {
            QApplication::quit();
            return;
        }
        char version[16];
        std::snprintf(version, sizeof version, "%08X", cur_devVersion.load());
        const std::string now =
            std::string("button=") + (window.UpdateButton()->isEnabled() ? "1" : "0") +
            " version=" + version + " caption=" + window.windowTitle().toStdString();
        if (now != last) {
            last = now;
            std::printf("%s\n", now.c_str());
            std::fflush(stdout);
        }
    });
    poll.start(20);
    return QApplication::exec();
}

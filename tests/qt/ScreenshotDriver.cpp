// zevrin-screenshot-driver OUTDIR [PREFIX]: runs the real window over the simulated gamepad on
// the X display it is given (scripts/screenshots-linux starts Xvfb), walks it through an update
// and saves what the screen shows at each step: PREFIX-idle, -confirm, -update and -success.png
// (PREFIX defaults to "linux"). Each shot is the screen cut to the program's windows.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "app/qt/QtTexts.h"
#include "app/qt/QtUpdateWindow.h"
#include "hid/Log.h"
#include "hid/sim/SimBench.h"
#include "tests/TestSupport.h"

namespace {

// What the screen shows around the program's windows, frames included, with a margin: the
// screen cut to everything that differs from the empty background. (The window manager's frame
// sizes reach Qt late, so frameGeometry cannot be trusted right after a window appears.)
QPixmap GrabProgram() {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QImage shot = screen->grabWindow(0).toImage();
    const QRgb background = shot.pixel(0, 0);
    int left = shot.width();
    int top = shot.height();
    int right = -1;
    int bottom = -1;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (shot.pixel(x, y) != background) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    if (right < 0) {
        return QPixmap::fromImage(shot);
    }
    const QRect area = QRect(QPoint(left, top), QPoint(right, bottom))
                           .adjusted(-12, -12, 12, 12)
                           .intersected(shot.rect());
    return QPixmap::fromImage(shot.copy(area));
}

// Steps run one after another, each when its condition holds; checked from the event loop, so
// they also run inside the loops of boxes and file dialogs.
class Script : public QObject {
  public:
    struct Step {
        const char* what;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    explicit Script(std::vector<Step> steps) : m_Steps(std::move(steps)) {
        connect(&m_Timer, &QTimer::timeout, this, [this] { Tick(); });
        m_Timer.start(20);
        m_Clock.start();
    }
    bool Failed() const { return m_Failed; }

  private:
    void Tick() {
        if (m_Busy) {
            return;
        }
        if (m_Next >= m_Steps.size()) {
            m_Timer.stop();
            QApplication::exit(0);
            return;
        }
        Step& step = m_Steps[m_Next];
        if (m_Clock.elapsed() > 30000) {
            std::fprintf(stderr, "screenshot driver: gave up waiting for: %s\n", step.what);
            m_Failed = true;
            m_Timer.stop();
            QApplication::exit(1);
            return;
        }
        if (!step.ready()) {
            return;
        }
        m_Busy = true;
        ++m_Next;
        m_Clock.restart();
        step.act();
        m_Busy = false;
    }

    std::vector<Step> m_Steps;
    size_t m_Next = 0;
    QTimer m_Timer;
    QElapsedTimer m_Clock;
    bool m_Busy = false;
    bool m_Failed = false;
};

// Lets the window system draw what just changed before the screen is read.
void Settle(int ms = 300) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: zevrin-screenshot-driver OUTDIR [PREFIX]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QString prefix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("linux");
    zevrin::qt::FollowSessionLocale();
    zevrin::SetLogSink([](std::string_view) {});

    bool saved = true;
    auto shoot = [&](const char* name) {
        Settle();
        const QString path =
            out.filePath(prefix + QLatin1Char('-') + QLatin1String(name) + QStringLiteral(".png"));
        if (!GrabProgram().save(path)) {
            std::fprintf(stderr, "screenshot driver: cannot write %s\n", qPrintable(path));
            saved = false;
        }
    };

    zevrin::sim::SimPort port;
    zevrin::sim::BenchLayout bench = zevrin::sim::DemoBench();
    bench.behaviour.latency = std::chrono::milliseconds(6);
    const int pad = zevrin::sim::AddBench(port, bench).front();

    zevrin::test::TempDir dir;
    const uint32_t length = 32 * 300;
    const QString image = QString::fromStdString(
        dir.File("zevrin-1.20.dat", zevrin::test::ImageBytes(120, 0, length, length)));

    zevrin::qt::QtUpdateWindow window(port);
    window.Start();
    window.show();
    window.activateWindow();
    QTimer::singleShot(300, &window, [&] { port.Plug(pad); });

    auto modal = [] { return QApplication::activeModalWidget(); };
    Script script({
        {"the gamepad's version in the caption",
         [&] { return window.windowTitle().contains(QStringLiteral("GamePad")); },
         [&] {
             window.activateWindow();  // the window manager may not have focused it yet
             shoot("idle");
             window.UpdateButton()->click();
         }},
        {"the file dialog", [&] { return qobject_cast<QFileDialog*>(modal()) != nullptr; },
         [&] {
             auto* files = qobject_cast<QFileDialog*>(modal());
             files->selectFile(image);
             static_cast<QDialog*>(files)->accept();
         }},
        {"the confirmation", [&] { return qobject_cast<QMessageBox*>(modal()) != nullptr; },
         [&] {
             shoot("confirm");
             qobject_cast<QMessageBox*>(modal())->button(QMessageBox::Ok)->click();
         }},
        {"the bar at 40 %", [&] { return window.ProgressBar()->value() >= 40; },
         [&] { shoot("update"); }},
        {"the success box", [&] { return qobject_cast<QMessageBox*>(modal()) != nullptr; },
         [&] { qobject_cast<QMessageBox*>(modal())->button(QMessageBox::Ok)->click(); }},
        {"the success text", [&] { return window.SuccessText()->isVisible(); },
         [&] { shoot("success"); }},
    });
    const int rc = QApplication::exec();
    return rc == 0 && saved && !script.Failed() ? 0 : 1;
}

// The real Qt window driven through the simulated gamepad: what it shows at start, how it follows
// devices coming and going, a click that cannot open, a whole update, a failure and closing in
// the middle of a transfer. Everything is read back from the widgets themselves.
#include <fcntl.h>
#include <unistd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "app/qt/QtTexts.h"
#include "tests/qt/QtTestSupport.h"
#include "update/Texts.h"

using namespace std::chrono_literals;
using zevrin::sim::FaultKind;
using zevrin::sim::GamepadBehaviour;
using zevrin::sim::Moment;
using zevrin::test::ImageBytes;
using zevrin::test::LogCapture;
using zevrin::test::ModalAnswerer;
using zevrin::test::SimWindow;
using zevrin::test::TempDir;

namespace {

const QString kTitle = QStringLiteral("Zevrin Update v1.20");
const QString kInstructions = QStringLiteral(
    "1. Press and hold L+R+START to power on controller,       LED will blink in yellow.\n\n"
    "2. Connect to PC via USB cable.\n\n"
    "3. Click \"USB Update\" button and select firmware file.");

QString Title(const SimWindow& w) {
    return w.window->windowTitle();
}

// A HidPort that is the simulated gamepad for everything but device events, which come from a
// pipe the test writes event codes into, as udev's monitor socket would deliver them.
class PipeEventsPort final : public zevrin::HidPort {
  public:
    explicit PipeEventsPort(zevrin::HidPort& devices) : m_Devices(devices) {
        if (pipe2(m_Pipe.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
            m_Pipe = {-1, -1};
        }
    }
    ~PipeEventsPort() override {
        for (int fd : m_Pipe) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    PipeEventsPort(const PipeEventsPort&) = delete;
    PipeEventsPort& operator=(const PipeEventsPort&) = delete;

    bool Ready() const { return m_Pipe[0] >= 0; }
    void Send(std::initializer_list<uint32_t> codes) {
        for (uint32_t code : codes) {
            QVERIFY(write(m_Pipe[1], &code, sizeof code) == static_cast<ssize_t>(sizeof code));
        }
    }

    bool ScanFirst(const Accept& accept, std::string& path,
                   std::unique_ptr<zevrin::HidProbe>& probe) override {
        return m_Devices.ScanFirst(accept, path, probe);
    }
    std::vector<zevrin::HidInterface> ListAccepted(const Accept& accept) override {
        return m_Devices.ListAccepted(accept);
    }
    std::unique_ptr<zevrin::HidWriteHandle> OpenWrite(const std::string& path,
                                                      zevrin::OpenStatus& status) override {
        return m_Devices.OpenWrite(path, status);
    }
    std::unique_ptr<zevrin::HidReadHandle> OpenRead(const std::string& path,
                                                    zevrin::OpenStatus& status) override {
        return m_Devices.OpenRead(path, status);
    }
    std::unique_ptr<zevrin::HidClaim> Claim(const std::string& path,
                                            zevrin::OpenStatus& status) override {
        return m_Devices.Claim(path, status);
    }
    std::unique_ptr<zevrin::HidNotification> RegisterNotification(
        const zevrin::NotifyWindow& /*window*/) override {
        return std::make_unique<Events>(m_Pipe[0]);
    }

  private:
    class Events final : public zevrin::HidNotification {
      public:
        explicit Events(int fd) : m_Fd(fd) {}
        int PollFd() const override { return m_Fd; }
        std::vector<uint32_t> Drain() override {
            std::vector<uint32_t> codes;
            uint32_t code = 0;
            while (read(m_Fd, &code, sizeof code) == static_cast<ssize_t>(sizeof code)) {
                codes.push_back(code);
            }
            return codes;
        }

      private:
        int m_Fd;
    };

    zevrin::HidPort& m_Devices;
    std::array<int, 2> m_Pipe{-1, -1};
};

}  // namespace

class QtWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        zevrin::qt::FollowSessionLocale();
        zevrin::SetLogSink([](std::string_view) {});  // LogCapture listens where it matters
    }

    // --- start-up ---------------------------------------------------------------------------

    void startWithoutGamepad() {
        SimWindow w;
        w.port.AddInterface("keyboard", 0x046D, 0xC31C);
        w.Open();
        QCOMPARE(Title(w), kTitle);
        QCOMPARE(w.window->UpdateButton()->text(), QStringLiteral("USB Update"));
        QVERIFY(!w.window->UpdateButton()->isEnabled());
        QCOMPARE(w.window->Instructions()->text(), kInstructions);
        QCOMPARE(w.window->SuccessText()->text(), QStringLiteral("Firmware upgraded!"));
        QVERIFY(w.window->SuccessText()->isHidden());
        QCOMPARE(w.window->ProgressBar()->minimum(), 0);
        QCOMPARE(w.window->ProgressBar()->maximum(), 100);
        QCOMPARE(w.window->ProgressBar()->value(), 0);
        w.window->show();
        QVERIFY(!w.window->SuccessText()->isVisible());
        QVERIFY(w.window->Instructions()->isVisible());
    }

    void startWithGamepadAsksVersionBeforeShowing() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.Open();
        // The query ran inside Start, before the window was ever shown; its caption was then
        // replaced by the plain title.
        QVERIFY(!w.window->isVisible());
        QCOMPARE(w.port.RecordingOf(pad).versionRequests, size_t{1});
        QCOMPARE(cur_devVersion.load(), 110u);
        QCOMPARE(Title(w), kTitle);
        QVERIFY(w.window->UpdateButton()->isEnabled());
        w.window->show();
        // The only control with a tab stop takes the focus when the window opens.
        QTRY_COMPARE(w.window->focusWidget(), static_cast<QWidget*>(w.window->UpdateButton()));
    }

    void startWithGamepadWithoutFirmwareShowsInstructionsBox() {
        SimWindow w;
        GamepadBehaviour noFirmware;
        noFirmware.version = kNoVersion;
        w.port.AddGamepad("pad", noFirmware);
        ModalAnswerer answerer;
        bool windowShownDuringBox = true;
        answerer.OnBox([&](const auto&) { windowShownDuringBox = w.window->isVisible(); });
        w.Open();
        QCOMPARE(answerer.Boxes().size(), size_t{1});
        QCOMPARE(answerer.Boxes()[0].text, kInstructions);
        QCOMPARE(answerer.Boxes()[0].title, kTitle);
        QVERIFY(!answerer.Boxes()[0].hasCancel);
        QVERIFY(!windowShownDuringBox);
        QVERIFY(w.window->UpdateButton()->isEnabled());
    }

    // --- device events ----------------------------------------------------------------------

    void arrivalShowsVersionedCaption() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.port.Unplug(pad);
        w.OpenAndShow();
        QVERIFY(!w.window->UpdateButton()->isEnabled());
        w.port.Plug(pad);
        QTRY_COMPARE(Title(w), QStringLiteral("Zevrin Update v1.20(GamePad V1.10)"));
        QVERIFY(w.window->UpdateButton()->isEnabled());
    }

    void betaVersionInCaption() {
        SimWindow w;
        GamepadBehaviour beta;
        beta.version = (3u << 16) | 121u;
        const int pad = w.port.AddGamepad("pad", beta);
        w.port.Unplug(pad);
        w.OpenAndShow();
        w.port.Plug(pad);
        QTRY_COMPARE(Title(w), QStringLiteral("Zevrin Update v1.20(GamePad V1.21 beta3)"));
    }

    void removalOfAnotherDeviceChangesNothing() {
        SimWindow w;
        const int keyboard = w.port.AddInterface("keyboard", 0x046D, 0xC31C);
        const int pad = w.port.AddGamepad("pad");
        w.port.Unplug(pad);
        w.OpenAndShow();
        w.port.Plug(pad);
        const QString versioned = QStringLiteral("Zevrin Update v1.20(GamePad V1.10)");
        QTRY_COMPARE(Title(w), versioned);
        const size_t queries = w.port.RecordingOf(pad).versionRequests;

        w.port.Unplug(keyboard);
        QTest::qWait(50);  // the queued event has been handled by now
        QCoreApplication::processEvents();
        QCOMPARE(Title(w), versioned);
        QVERIFY(w.window->UpdateButton()->isEnabled());
        QCOMPARE(w.port.RecordingOf(pad).versionRequests, queries);
    }

    void removalOfGamepad() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.port.Unplug(pad);
        w.OpenAndShow();
        w.port.Plug(pad);
        QTRY_VERIFY(Title(w) != kTitle);
        LogCapture log;
        w.port.Unplug(pad);
        QTRY_VERIFY(!w.window->UpdateButton()->isEnabled());
        QCOMPARE(Title(w), kTitle);
        QVERIFY(log.Contains("Zevrin Update v1.20"));  // the title, without a line end
    }

    void nodesChanged() {
        SimWindow w;
        w.OpenAndShow();
        QVERIFY(!w.window->UpdateButton()->isEnabled());
        // The gamepad appears without an arrival of its own; the node change finds it.
        const int pad = w.port.AddGamepad("pad");
        w.port.RaiseNodesChanged();
        QTRY_VERIFY(w.window->UpdateButton()->isEnabled());
        QCOMPARE(Title(w), kTitle);
        QCOMPARE(w.port.RecordingOf(pad).versionRequests, size_t{0});  // no query for code 7

        // With a versioned caption, a node change that still finds the gamepad keeps it.
        w.port.Unplug(pad);
        QTRY_VERIFY(!w.window->UpdateButton()->isEnabled());
        w.port.Plug(pad);
        const QString versioned = QStringLiteral("Zevrin Update v1.20(GamePad V1.10)");
        QTRY_COMPARE(Title(w), versioned);
        w.port.RaiseNodesChanged();
        QTest::qWait(50);
        QCOMPARE(Title(w), versioned);
        QVERIFY(w.window->UpdateButton()->isEnabled());
    }

    void eventsFromADescriptorAreGatheredIntoOneReaction() {
        zevrin::sim::SimPort devices;
        PipeEventsPort port(devices);
        if (!port.Ready()) {
            QSKIP("no pipe for the simulated udev monitor");
        }
        zevrin::qt::QtUpdateWindow window(port);
        window.Dialog().SetLimits(zevrin::test::ShortLimits());
        window.Start();
        window.show();
        QVERIFY(!window.UpdateButton()->isEnabled());

        // One gamepad, three hidraw nodes: three arrivals in one burst, one version query.
        const int pad = devices.AddGamepad("pad");
        port.Send({zevrin::kDeviceArrival, zevrin::kDeviceArrival, zevrin::kDeviceArrival});
        QTRY_COMPARE(window.windowTitle(), QStringLiteral("Zevrin Update v1.20(GamePad V1.10)"));
        QVERIFY(window.UpdateButton()->isEnabled());
        QTest::qWait(250);
        QCOMPARE(devices.RecordingOf(pad).versionRequests, size_t{1});

        devices.Unplug(pad);  // nobody registered with the simulation: no event but the pipe's
        port.Send({zevrin::kDeviceRemoveComplete});
        QTRY_VERIFY(!window.UpdateButton()->isEnabled());
        QCOMPARE(window.windowTitle(), kTitle);
    }

    // --- the button -------------------------------------------------------------------------

    void clickThatCannotOpen() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.OpenAndShow();
        w.window->ShowControl(ControlId::SuccessText, true);  // left from an earlier update
        QVERIFY(w.window->SuccessText()->isVisible());
        w.port.SetOpenStatus(pad, zevrin::OpenStatus::Failed);
        w.port.ClearRecording(pad);
        ModalAnswerer answerer;

        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QTest::qWait(100);
        QVERIFY(!w.window->SuccessText()->isVisible());
        QVERIFY(w.window->UpdateButton()->isEnabled());
        QVERIFY(!w.window->Dialog().IsWorkerRunning());
        QVERIFY(answerer.Boxes().empty());
        QVERIFY(answerer.FileDialogs().empty());
        QVERIFY(w.port.RecordingOf(pad).reports.empty());
        QCOMPARE(Title(w), kTitle);
    }

    void clickWithoutPermissionSaysSo() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.OpenAndShow();
        w.port.SetOpenStatus(pad, zevrin::OpenStatus::PermissionDenied);
        ModalAnswerer answerer;
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QCOMPARE(answerer.Boxes().size(), size_t{1});
        const auto& box = answerer.Boxes()[0];
        QVERIFY(box.text.startsWith(QStringLiteral("No permission to open the gamepad.")));
        QVERIFY(box.text.contains(QStringLiteral("70-zevrin-gamepad.rules")));
        QCOMPARE(box.title, kTitle);
        QVERIFY(!box.hasCancel);
        QVERIFY(!box.hasIcon);
        QVERIFY(w.window->UpdateButton()->isEnabled());
        QVERIFY(!w.window->Dialog().IsWorkerRunning());
    }

    void wholeUpdate() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        TempDir dir;
        const std::vector<uint8_t> image = ImageBytes(120, 0x11223344, 32 * 20 + 7, 32 * 20 + 7);
        const std::string path = dir.File("fw.dat", image);
        w.OpenAndShow();
        QSignalSpy progress(w.window->ProgressBar(), &QProgressBar::valueChanged);
        ModalAnswerer answerer;
        answerer.ChooseFile(QString::fromStdString(path));
        bool successTextDuringBox = true;
        answerer.OnBox([&](const auto& box) {
            if (box.text.contains(QStringLiteral("upgraded"))) {
                successTextDuringBox = w.window->SuccessText()->isVisible();
            }
        });

        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QVERIFY(!w.window->UpdateButton()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(w.window->SuccessText()->isVisible(), 10000);
        QTRY_VERIFY(!w.window->Dialog().IsWorkerRunning());

        QCOMPARE(answerer.FileDialogs().size(), size_t{1});
        QCOMPARE(answerer.FileDialogs()[0].nameFilters, QStringList{"File type(*.dat)"});
        QCOMPARE(answerer.FileDialogs()[0].directory, QDir::currentPath());
        QCOMPARE(answerer.Boxes().size(), size_t{2});
        QCOMPARE(answerer.Boxes()[0].text,
                 QStringLiteral("New firmware 1.20 and current is 1.10\n"));
        QCOMPARE(answerer.Boxes()[0].title, kTitle);
        QVERIFY(answerer.Boxes()[0].hasCancel);
        QVERIFY(answerer.Boxes()[0].okIsDefault);
        QVERIFY(!answerer.Boxes()[0].hasIcon);
        QCOMPARE(answerer.Boxes()[1].text, QStringLiteral("\n Firmware upgraded! \n"));
        QVERIFY(!answerer.Boxes()[1].hasCancel);
        QVERIFY(!successTextDuringBox);  // shown once the box has been answered

        // The bar climbed to 100 in steps and went back to 0 after the success box.
        std::vector<int> values;
        for (const QList<QVariant>& call : progress) {
            values.push_back(call.at(0).toInt());
        }
        QVERIFY(values.size() > 3);
        QCOMPARE(values.back(), 0);
        QCOMPARE(*std::max_element(values.begin(), values.end()), 100);
        QVERIFY(std::is_sorted(values.begin(), values.end() - 1));
        QCOMPARE(w.window->ProgressBar()->value(), 0);
        QVERIFY(w.window->UpdateButton()->isEnabled());

        const auto rec = w.port.RecordingOf(pad);
        QVERIFY(rec.doneAfterWholeImage);
        QVERIFY(
            std::equal(rec.received.begin(), rec.received.end(), image.begin() + 28, image.end()));
        QCOMPARE(rec.received.size(), image.size() - 28);
    }

    void cancelledFileDialogSendsNothing() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.OpenAndShow();
        ModalAnswerer answerer;
        answerer.ChooseFile(std::nullopt);
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QTRY_VERIFY(!w.window->Dialog().IsWorkerRunning());
        QTRY_VERIFY(w.window->UpdateButton()->isEnabled());
        QCOMPARE(answerer.FileDialogs().size(), size_t{1});
        QVERIFY(answerer.Boxes().empty());
        QVERIFY(!w.port.RecordingOf(pad).headerReceived);
        QVERIFY(w.window->SuccessText()->isHidden());
    }

    void deviceReportsFailure() {
        SimWindow w;
        GamepadBehaviour failing;
        failing.fault = {FaultKind::Failed21, Moment::MidTransfer};
        const int pad = w.port.AddGamepad("pad", failing);
        TempDir dir;
        const std::string path = dir.File("fw.dat", ImageBytes(120, 0, 32 * 16, 32 * 16));
        w.OpenAndShow();
        ModalAnswerer answerer;
        answerer.ChooseFile(QString::fromStdString(path));
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(answerer.Boxes().size() >= 2, 10000);
        QTRY_VERIFY(!w.window->Dialog().IsWorkerRunning());
        QCOMPARE(answerer.Boxes().size(), size_t{2});
        QCOMPARE(answerer.Boxes()[1].text, QStringLiteral("Firmware update failure\n"));
        QCOMPARE(answerer.Boxes()[1].title, kTitle);
        QVERIFY(!answerer.Boxes()[1].hasCancel);
        QTRY_VERIFY(w.window->UpdateButton()->isEnabled());
        QVERIFY(w.window->SuccessText()->isHidden());
        QVERIFY(w.window->ProgressBar()->value() < 100);
        QVERIFY(!w.port.RecordingOf(pad).doneReceived);
        QCOMPARE(w.window->Dialog().Outcome(), UpdateOutcome::DeviceFailed);
    }

    // --- closing ----------------------------------------------------------------------------

    void closingMidTransferAsksFirst() {
        SimWindow w;
        GamepadBehaviour slow;
        slow.latency = 15ms;
        const int pad = w.port.AddGamepad("pad", slow);
        TempDir dir;
        const uint32_t length = 32 * 200;
        const std::string path = dir.File("fw.dat", ImageBytes(120, 0, length, length));
        w.OpenAndShow();
        ModalAnswerer answerer;
        answerer.ChooseFile(QString::fromStdString(path));
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.port.RecordingOf(pad).chunks >= 3, 10000);
        QCOMPARE(answerer.Boxes().size(), size_t{1});  // the confirmation

        answerer.AnswerBox(QMessageBox::Cancel);
        w.window->close();
        QCOMPARE(answerer.Boxes().size(), size_t{2});
        QCOMPARE(answerer.Boxes()[1].text,
                 QStringLiteral("The new firmware is updating,and it is turned off"));
        QCOMPARE(answerer.Boxes()[1].title, kTitle);
        QVERIFY(answerer.Boxes()[1].hasCancel);
        QVERIFY(w.window->isVisible());
        QVERIFY(w.window->Dialog().IsWorkerRunning());
        const size_t chunks = w.port.RecordingOf(pad).chunks;
        QTRY_VERIFY(w.port.RecordingOf(pad).chunks > chunks + 2);  // the transfer goes on

        answerer.AnswerBox(QMessageBox::Ok);
        QTest::keyClick(w.window.get(), Qt::Key_Escape);
        QCOMPARE(answerer.Boxes().size(), size_t{3});
        QVERIFY(!w.window->isVisible());
        QVERIFY(!w.window->Dialog().IsWorkerRunning());
        const auto rec = w.port.RecordingOf(pad);
        QVERIFY(!rec.doneReceived);
        QVERIFY(rec.received.size() < length);
        QCOMPARE(w.window->Dialog().Outcome(), UpdateOutcome::Interrupted);
    }

    void destroyingTheWindowReleasesAWorkerWaitingOnIt() {
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.OpenAndShow();
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        // The worker gets the device information and asks for a file; the GUI thread runs no
        // events meanwhile, so the request stays queued and the worker waits on it.
        QVERIFY(zevrin::test::WaitFor([&] { return w.port.RecordingOf(pad).enterUpdates > 0; }));
        std::this_thread::sleep_for(200ms);
        QVERIFY(w.window->Dialog().IsWorkerRunning());
        QElapsedTimer clock;
        clock.start();
        w.window.reset();
        QVERIFY2(clock.elapsed() < 2000, "the worker was not let go of");
        QVERIFY(!w.port.RecordingOf(pad).headerReceived);
    }

    void closingWhenIdleDoesNotAsk() {
        SimWindow w;
        w.port.AddGamepad("pad");
        w.OpenAndShow();
        ModalAnswerer answerer;
        QTest::keyClick(w.window.get(), Qt::Key_Escape);
        QVERIFY(!w.window->isVisible());
        QVERIFY(answerer.Boxes().empty());

        // Enter away from the button is the dialog's default OK: it closes too.
        w.window->show();
        QVERIFY(w.window->isVisible());
        w.window->UpdateButton()->clearFocus();
        QTest::keyClick(w.window.get(), Qt::Key_Return);
        QVERIFY(!w.window->isVisible());
        QVERIFY(answerer.Boxes().empty());
        QCOMPARE(w.window->result(), int(QDialog::Accepted));
    }

    void enterOnTheButtonStartsAnUpdate() {
        SimWindow w;
        w.port.AddGamepad("pad");
        w.OpenAndShow();
        ModalAnswerer answerer;
        answerer.ChooseFile(std::nullopt);
        QTest::keyClick(w.window->UpdateButton(), Qt::Key_Return);
        QTRY_COMPARE(answerer.FileDialogs().size(), size_t{1});
        QVERIFY(w.window->isVisible());
        QTRY_VERIFY(!w.window->Dialog().IsWorkerRunning());
    }
};

QTEST_MAIN(QtWindowTest)
#include "QtWindowTest.moc"

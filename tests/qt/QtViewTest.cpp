// The Qt window as a DialogView: its layout in dialog units, calls from the worker thread carried
// out on the GUI thread in order, boxes and the file dialog that block the worker until answered
// and let go of it at once when the dialog stops its worker; and the small pure helpers.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <future>
#include <thread>

#include "app/qt/DialogTemplate.h"
#include "app/qt/QtTexts.h"
#include "tests/qt/QtTestSupport.h"

using namespace std::chrono_literals;
using zevrin::qt::BaseUnits;
using zevrin::qt::DialogRect;
using zevrin::qt::FileFilter;
using zevrin::qt::MapDialogRect;
using zevrin::qt::QtUpdateWindow;
using zevrin::test::ModalAnswerer;
using zevrin::test::SimWindow;
using zevrin::test::TempDir;

Q_DECLARE_METATYPE(DialogRect)
Q_DECLARE_METATYPE(BaseUnits)

namespace {

// Runs `call` on a thread of its own, the way the update worker calls the view.
template <typename Call>
auto OnWorker(Call call) {
    return std::async(std::launch::async, std::move(call));
}

// Waits for a worker's result while the GUI thread keeps running its event loop.
template <typename T>
bool Finishes(std::future<T>& result, int timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (result.wait_for(0ms) != std::future_status::ready) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Calls `act` once a modal window is on screen, from inside the event loop that window runs.
void WhenModalAppears(QObject* context, std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [timer, act = std::move(act)] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
        }
    });
    timer->start(5);
}

}  // namespace

class QtViewTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        zevrin::qt::FollowSessionLocale();
        zevrin::SetLogSink([](std::string_view) {});  // LogCapture listens where it matters
    }

    // --- dialog units -----------------------------------------------------------------------

    void mapDialogRect_data() {
        QTest::addColumn<DialogRect>("rect");
        QTest::addColumn<BaseUnits>("units");
        QTest::addColumn<QRect>("pixels");
        // SimSun 9 pt on Windows at 96 dpi has base units 6 x 12.
        QTest::newRow("dialog, 6x12")
            << DialogRect{0, 0, 233, 138} << BaseUnits{6, 12} << QRect(0, 0, 350, 207);
        // Halves round away from zero: 7 * 6 / 4 = 10.5 -> 11, 226 * 6 / 4 = 339.
        QTest::newRow("progress, 6x13")
            << DialogRect{7, 7, 219, 14} << BaseUnits{6, 13} << QRect(11, 11, 328, 23);
        // Each edge is converted, not the size: 12.25 -> 12 and 395.5 -> 396 give 384, where
        // 219 * 7 / 4 = 383.25 would give 383.
        QTest::newRow("button, 7x16")
            << DialogRect{7, 109, 219, 22} << BaseUnits{7, 16} << QRect(12, 218, 384, 44);
        QTest::newRow("success text, 7x15")
            << DialogRect{59, 91, 85, 12} << BaseUnits{7, 15} << QRect(103, 171, 149, 22);
    }
    void mapDialogRect() {
        QFETCH(DialogRect, rect);
        QFETCH(BaseUnits, units);
        QFETCH(QRect, pixels);
        QCOMPARE(MapDialogRect(rect, units), pixels);
    }

    void baseUnitsOfAFixedPitchFont() {
        // Every letter of a fixed-pitch font has the same advance a: 52a / 26 = 2a, and
        // (2a + 1) / 2 = a, so the horizontal base unit is exactly one letter.
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        mono.setPointSize(9);
        const QFontMetrics metrics(mono);
        if (metrics.horizontalAdvance(QLatin1Char('i')) != metrics.horizontalAdvance('W')) {
            QSKIP("no fixed-pitch font installed");
        }
        const BaseUnits units = zevrin::qt::DialogBaseUnits(mono);
        QCOMPARE(units.x, metrics.horizontalAdvance(QLatin1Char('x')));
        QCOMPARE(units.y, metrics.height());
        QFont larger = mono;
        larger.setPointSize(18);
        QVERIFY(zevrin::qt::DialogBaseUnits(larger).x > units.x);
    }

    void layoutFollowsTheTemplate() {
        SimWindow w;
        w.OpenAndShow();
        QtUpdateWindow& win = *w.window;
        const BaseUnits units = win.Units();
        QVERIFY(units.x > 0 && units.y > 0);
        QCOMPARE(win.font().pointSize(), 9);
        QCOMPARE(units.x, zevrin::qt::DialogBaseUnits(win.font()).x);

        const QSize size = MapDialogRect(zevrin::qt::kDialogRect, units).size();
        QCOMPARE(win.size(), size);
        QCOMPARE(win.minimumSize(), size);
        QCOMPARE(win.maximumSize(), size);
        QCOMPARE(win.ProgressBar()->geometry(), MapDialogRect(zevrin::qt::kProgressRect, units));
        QCOMPARE(win.UpdateButton()->geometry(),
                 MapDialogRect(zevrin::qt::kUpdateButtonRect, units));
        QCOMPARE(win.SuccessText()->geometry(), MapDialogRect(zevrin::qt::kSuccessTextRect, units));
        QCOMPARE(win.Instructions()->geometry(),
                 MapDialogRect(zevrin::qt::kInstructionsRect, units));

        const Qt::WindowFlags flags = win.windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));

        // The button is the only control with a tab stop.
        QCOMPARE(win.UpdateButton()->focusPolicy(), Qt::StrongFocus);
        QCOMPARE(win.ProgressBar()->focusPolicy(), Qt::NoFocus);
        QCOMPARE(win.SuccessText()->focusPolicy(), Qt::NoFocus);
        QCOMPARE(win.Instructions()->focusPolicy(), Qt::NoFocus);
        QVERIFY(!win.ProgressBar()->isTextVisible());
    }

    void windowIconComesWithTheProgram() {
        const QStringList images = QDir(QStringLiteral(":/zevrin/icons")).entryList(QDir::Files);
        if (images.isEmpty()) {
            QSKIP("built without res/icons/zevrin-*.png: the window keeps the default icon");
        }
        SimWindow w;
        w.Open();
        const QIcon icon = w.window->windowIcon();
        QVERIFY(!icon.isNull());
        // The title bar's size is drawn from its own image, not scaled from a larger one.
        QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
        QCOMPARE(icon.pixmap(32, 32).size(), QSize(32, 32));
    }

    // --- controls ---------------------------------------------------------------------------

    void progressIsClampedToItsRange() {
        SimWindow w;
        w.Open();
        QProgressBar* bar = w.window->ProgressBar();
        w.window->SetProgressPos(40);
        QCOMPARE(bar->value(), 40);
        // More bytes than the header declares make more than 100 %: a full bar, as on Windows,
        // not the previous value.
        w.window->SetProgressPos(103);
        QCOMPARE(bar->value(), 100);
        w.window->SetProgressPos(0xFFFFFFFFu);
        QCOMPARE(bar->value(), 100);
        w.window->SetProgressRange(10, 50);
        w.window->SetProgressPos(3);
        QCOMPARE(bar->value(), 10);
    }

    void callsFromTheWorkerRunOnTheGuiThreadInOrder() {
        SimWindow w;
        w.OpenAndShow();
        QtUpdateWindow& win = *w.window;
        std::vector<int> values;
        bool allOnGuiThread = true;
        connect(win.ProgressBar(), &QProgressBar::valueChanged, this, [&](int v) {
            values.push_back(v);
            allOnGuiThread = allOnGuiThread && QThread::currentThread() == qApp->thread();
        });
        auto done = OnWorker([&win] {
            for (uint32_t i = 1; i <= 100; ++i) {
                win.SetProgressPos(i);
                win.SetControlText(ControlId::Instructions, "step " + std::to_string(i));
            }
            win.EnableControl(ControlId::UpdateButton, false);
            win.ShowControl(ControlId::SuccessText, true);
            win.SetCaption("caption from the worker");
        });
        QVERIFY(Finishes(done));
        QTRY_COMPARE(win.windowTitle(), QStringLiteral("caption from the worker"));
        QVERIFY(allOnGuiThread);
        QCOMPARE(values.size(), size_t{100});
        for (size_t i = 0; i < values.size(); ++i) {
            QCOMPARE(values[i], static_cast<int>(i) + 1);
        }
        QCOMPARE(win.Instructions()->text(), QStringLiteral("step 100"));
        QVERIFY(!win.UpdateButton()->isEnabled());
        QVERIFY(win.SuccessText()->isVisible());
    }

    void staticTextsShowLineEndsAsBreaks() {
        SimWindow w;
        w.Open();
        w.window->SetControlText(ControlId::Instructions, "a\r\n\r\nb \"c\"");
        QCOMPARE(w.window->Instructions()->text(), QStringLiteral("a\n\nb \"c\""));
        QCOMPARE(w.window->Instructions()->textFormat(), Qt::PlainText);
        w.window->SetControlText(ControlId::Instructions, "<b>not bold</b>");
        QCOMPARE(w.window->Instructions()->textFormat(), Qt::PlainText);
    }

    // --- boxes and the file dialog ----------------------------------------------------------

    void boxFromTheWorkerWaitsForTheAnswer() {
        SimWindow w;
        w.OpenAndShow();
        ModalAnswerer answerer;
        answerer.SetAnswering(false);
        std::atomic<bool> returned{false};
        auto result = OnWorker([&] {
            const BoxResult r = w.window->MessageBox("Sure?", "Caption", BoxKind::Confirm);
            returned = true;
            return r;
        });
        answerer.AnswerBox(QMessageBox::Cancel);
        // Read while the box is on screen, from the loop it runs: the worker is still waiting.
        bool waitingWhileOpen = false;
        answerer.OnBox([&](const auto&) {
            QTest::qWait(100);
            waitingWhileOpen = !returned;
            answerer.SetAnswering(true);
        });
        QVERIFY(Finishes(result));
        QVERIFY(waitingWhileOpen);
        QCOMPARE(result.get(), BoxResult::Cancel);
        QCOMPARE(answerer.Boxes().size(), size_t{1});
        QCOMPARE(answerer.Boxes()[0].title, QStringLiteral("Caption"));
        QCOMPARE(answerer.Boxes()[0].text, QStringLiteral("Sure?"));
        QVERIFY(answerer.Boxes()[0].hasCancel);
        QVERIFY(answerer.Boxes()[0].okIsDefault);

        auto ok =
            OnWorker([&] { return w.window->MessageBox("Done", "Caption", BoxKind::Success); });
        QVERIFY(Finishes(ok));
        QCOMPARE(ok.get(), BoxResult::Ok);
        QVERIFY(!answerer.Boxes()[1].hasCancel);
    }

    void boxOnTheGuiThreadIsShownDirectly() {
        SimWindow w;
        w.Open();
        ModalAnswerer answerer;
        answerer.AnswerBox(QMessageBox::Cancel);
        // A queued call waited for here would never run: this must come back with the answer.
        QCOMPARE(w.window->MessageBox("x", "y", BoxKind::Confirm), BoxResult::Cancel);
        QCOMPARE(w.window->MessageBox("x", "y", BoxKind::Confirm), BoxResult::Ok);
        QCOMPARE(answerer.Boxes().size(), size_t{2});
    }

    void boxIsWideEnoughForItsCaption() {
        SimWindow w;
        w.Open();
        // A short text under a longer title: sized to the text alone, the box would leave the
        // window manager too little room and the caption would be cut off.
        const std::string caption = "Zevrin Update v1.20 Zevrin Update v1.20";
        int boxWidth = 0;
        WhenModalAppears(this, [&](QWidget* box) {
            boxWidth = box->width();
            QTest::keyClick(box, Qt::Key_Escape);
        });
        w.window->MessageBox("x", caption, BoxKind::Failure);
        // Title bars draw their caption in bold, beside an icon and a close box.
        QFont bold = w.window->font();
        bold.setBold(true);
        const int needed =
            QFontMetrics(bold).horizontalAdvance(QString::fromStdString(caption)) + 2 * 32;
        QVERIFY2(
            boxWidth >= needed,
            qPrintable(QStringLiteral("box %1 px, caption needs %2").arg(boxWidth).arg(needed)));
    }

    void escapeOnAnOkBoxAnswersOk() {
        SimWindow w;
        w.Open();
        WhenModalAppears(this, [](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); });
        QCOMPARE(w.window->MessageBox("x", "y", BoxKind::Failure), BoxResult::Ok);
        WhenModalAppears(this, [](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); });
        QCOMPARE(w.window->MessageBox("x", "y", BoxKind::Confirm), BoxResult::Cancel);
    }

    void cancelPromptsReleasesAWorkerWhoseBoxIsNotShownYet() {
        SimWindow w;
        w.Open();
        ModalAnswerer answerer;
        auto box = OnWorker([&] { return w.window->MessageBox("x", "y", BoxKind::Confirm); });
        auto file = OnWorker([&] { return w.window->GetOpenFileName({"a(*.dat)|*.dat||", ""}); });
        // The GUI thread runs no events here, as when it is about to join the worker.
        std::this_thread::sleep_for(100ms);
        QCOMPARE(box.wait_for(0ms), std::future_status::timeout);
        w.window->CancelPrompts();
        QCOMPARE(box.wait_for(2s), std::future_status::ready);
        QCOMPARE(file.wait_for(2s), std::future_status::ready);
        QCOMPARE(box.get(), BoxResult::Cancel);
        QVERIFY(!file.get().has_value());
        // The requests still queued must not pop up afterwards.
        QTest::qWait(100);
        QVERIFY(answerer.Boxes().empty());
        QVERIFY(answerer.FileDialogs().empty());
    }

    void cancelPromptsClosesWhatIsOnScreen() {
        {
            SimWindow w;
            w.OpenAndShow();
            WhenModalAppears(this, [&](QWidget*) { w.window->CancelPrompts(); });
            auto box = OnWorker([&] { return w.window->MessageBox("x", "y", BoxKind::Failure); });
            QVERIFY(Finishes(box));
            QCOMPARE(box.get(), BoxResult::Cancel);
            QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
        }
        SimWindow w2;
        w2.OpenAndShow();
        bool sawFileDialog = false;
        WhenModalAppears(this, [&](QWidget* modal) {
            sawFileDialog = qobject_cast<QFileDialog*>(modal) != nullptr;
            w2.window->CancelPrompts();
        });
        auto file = OnWorker([&] { return w2.window->GetOpenFileName({"a(*.dat)|*.dat||", ""}); });
        QVERIFY(Finishes(file));
        QVERIFY(sawFileDialog);
        QVERIFY(!file.get().has_value());
    }

    void afterCancelPromptsNothingAsks() {
        SimWindow w;
        w.Open();
        ModalAnswerer answerer;
        w.window->CancelPrompts();
        QCOMPARE(w.window->MessageBox("x", "y", BoxKind::Failure), BoxResult::Cancel);
        auto later = OnWorker([&] { return w.window->MessageBox("x", "y", BoxKind::Failure); });
        QCOMPARE(later.wait_for(2s), std::future_status::ready);
        QCOMPARE(later.get(), BoxResult::Cancel);
        QVERIFY(!w.window->GetOpenFileName({"a(*.dat)|*.dat||", ""}).has_value());
        QTest::qWait(50);
        QVERIFY(answerer.Boxes().empty());
        QVERIFY(answerer.FileDialogs().empty());
    }

    void fileDialogFromTheRequest() {
        SimWindow w;
        w.OpenAndShow();
        TempDir dir;
        const std::string existing = dir.File("fw.dat", {1, 2, 3});
        const QString folder = QFileInfo(QString::fromStdString(existing)).absolutePath();
        ModalAnswerer answerer;
        answerer.ChooseFile(QString::fromStdString(existing));
        // A typed name of a file that does not exist is accepted; opening it fails later.
        answerer.ChooseFile(folder + QStringLiteral("/missing.dat"));
        answerer.ChooseFile(std::nullopt);

        FileDialogRequest request;
        request.filter = "File type(*.dat)|*.dat||";
        request.initialDirectory = folder.toStdString();
        auto first = OnWorker([&] { return w.window->GetOpenFileName(request); });
        QVERIFY(Finishes(first));
        const auto chosen = first.get();
        QVERIFY(chosen.has_value());
        QCOMPARE(QFileInfo(QString::fromStdString(*chosen)).canonicalFilePath(),
                 QFileInfo(QString::fromStdString(existing)).canonicalFilePath());
        QCOMPARE(answerer.FileDialogs()[0].nameFilters, QStringList{"File type(*.dat)"});
        QCOMPARE(QFileInfo(answerer.FileDialogs()[0].directory).canonicalFilePath(),
                 QFileInfo(folder).canonicalFilePath());

        auto second = OnWorker([&] { return w.window->GetOpenFileName(request); });
        QVERIFY(Finishes(second));
        const auto missing = second.get();
        QVERIFY(missing.has_value());
        QVERIFY(QString::fromStdString(*missing).endsWith(QStringLiteral("/missing.dat")));

        auto third = OnWorker([&] { return w.window->GetOpenFileName(request); });
        QVERIFY(Finishes(third));
        QVERIFY(!third.get().has_value());
    }

    // --- pure helpers -----------------------------------------------------------------------

    void parseFileFilter() {
        using zevrin::qt::ParseFileFilter;
        auto one = ParseFileFilter("File type(*.dat)|*.dat||");
        QCOMPARE(one.size(), size_t{1});
        QCOMPARE(QString::fromStdString(one[0].description), QStringLiteral("File type(*.dat)"));
        QCOMPARE(QString::fromStdString(one[0].patterns), QStringLiteral("*.dat"));

        auto two = ParseFileFilter("Images|*.dat;*.bin|All|*.*||Ignored|*.x||");
        QCOMPARE(two.size(), size_t{2});  // the doubled bar ends the list
        QCOMPARE(QString::fromStdString(two[1].patterns), QStringLiteral("*.*"));

        QCOMPARE(ParseFileFilter("").size(), size_t{0});
        QCOMPARE(ParseFileFilter("Lonely description").size(), size_t{0});
        QCOMPARE(ParseFileFilter("A|*.a|B").size(), size_t{1});  // B has no pattern
        QCOMPARE(ParseFileFilter("A|*.a").size(), size_t{1});    // no terminator
    }

    void nameFiltersForQt() {
        using zevrin::qt::QtNameFilters;
        QCOMPARE(QtNameFilters({{"File type(*.dat)", "*.dat"}}), QStringList{"File type(*.dat)"});
        QCOMPARE(QtNameFilters({{"文件类型中显示的内容(*.dat)", "*.dat"}}),
                 QStringList{QStringLiteral("文件类型中显示的内容(*.dat)")});
        // Qt takes the patterns from the last parentheses: they must be the real ones.
        QCOMPARE(QtNameFilters({{"Images(*.dat)", "*.dat;*.bin"}}),
                 QStringList{"Images(*.dat) (*.dat *.bin)"});
        QCOMPARE(QtNameFilters({{"Firmware", "*.dat"}}), QStringList{"Firmware (*.dat)"});
    }

    void interfaceLanguage() {
        using zevrin::qt::InterfaceLanguageOf;
        QCOMPARE(InterfaceLanguageOf(QLocale(QStringLiteral("zh_CN"))), uint16_t{2052});
        QCOMPARE(InterfaceLanguageOf(QLocale(QStringLiteral("zh_TW"))), uint16_t{1033});
        QCOMPARE(InterfaceLanguageOf(QLocale(QStringLiteral("zh_HK"))), uint16_t{1033});
        QCOMPARE(InterfaceLanguageOf(QLocale(QStringLiteral("zh_SG"))), uint16_t{1033});
        QCOMPARE(InterfaceLanguageOf(QLocale(QStringLiteral("en_US"))), uint16_t{1033});
        QCOMPARE(InterfaceLanguageOf(QLocale::c()), uint16_t{1033});
    }
};

QTEST_MAIN(QtViewTest)
#include "QtViewTest.moc"

// The window's language follows the session's locale as Qt reads it: only zh_CN gets the Chinese
// texts. CTest runs this suite once per locale (LANG), with ZEVRIN_EXPECT_TEXTS naming the set
// that locale must produce ("zh" or "en"). Qt's own buttons (boxes, the file dialog) speak the same
// language, and versions keep their decimal point where the locale writes a comma. Also: the
// dialog font can draw the texts it shows and every text fits its control.
#include <locale.h>

#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLibraryInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/qt/QtTexts.h"
#include "tests/qt/QtTestSupport.h"

using zevrin::test::ImageBytes;
using zevrin::test::ModalAnswerer;
using zevrin::test::SimWindow;
using zevrin::test::TempDir;

namespace {

struct Expected {
    QString button;
    QString success;
    QString instructions;
    QString permissionStart;
    QString filter;
    QString confirmation;  // image 1.20 over firmware 1.10
    // Qt's labels, from its own translations for Chinese (the mnemonic is part of the label).
    QString ok;
    QString cancel;
    QString open;
};

const Expected kChinese{
    QStringLiteral("USB 升级"),
    QStringLiteral("升级成功。"),
    QStringLiteral("1. 按住 L+R+START 开机，黄色指示灯闪烁。\n\n2. 插入USB线。\n\n"
                   "3. 点击USB升级按钮，选择升级文件升级。"),
    QStringLiteral("没有权限打开手柄。"),
    QStringLiteral("文件类型中显示的内容(*.dat)"),
    QStringLiteral("升级新固件 1.20 当前版本为 1.10\n"),
    QStringLiteral("确定"),
    QStringLiteral("取消"),
    QStringLiteral("打开(&O)")};

const Expected kEnglish{
    QStringLiteral("USB Update"),
    QStringLiteral("Firmware upgraded!"),
    QStringLiteral(
        "1. Press and hold L+R+START to power on controller,       LED will blink in yellow.\n\n"
        "2. Connect to PC via USB cable.\n\n"
        "3. Click \"USB Update\" button and select firmware file."),
    QStringLiteral("No permission to open the gamepad."),
    QStringLiteral("File type(*.dat)"),
    QStringLiteral("New firmware 1.20 and current is 1.10\n"),
    QStringLiteral("OK"),
    QStringLiteral("Cancel"),
    QStringLiteral("&Open")};

// Without Debian's qt6-translations-l10n Qt has no Chinese of its own to give.
constexpr const char* kNoQtChinese =
    "Qt's Chinese translations are not installed (qt6-translations-l10n)";
bool QtSpeaksChinese() {
    return QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) +
                         QStringLiteral("/qtbase_zh_CN.qm"));
}

}  // namespace

class QtLanguageTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        const QByteArray expect = qgetenv("ZEVRIN_EXPECT_TEXTS");
        if (expect != "zh" && expect != "en") {
            QSKIP("run by CTest with LANG and ZEVRIN_EXPECT_TEXTS set (zh or en)");
        }
        m_Chinese = expect == "zh";
        zevrin::qt::FollowSessionLocale();
        zevrin::SetLogSink([](std::string_view) {});
    }

    void windowTexts() {
        const Expected& e = m_Chinese ? kChinese : kEnglish;
        SimWindow w;
        w.Open();
        QCOMPARE(w.window->windowTitle(), QStringLiteral("Zevrin Update v1.20"));
        QCOMPARE(w.window->UpdateButton()->text(), e.button);
        QCOMPARE(w.window->SuccessText()->text(), e.success);
        QCOMPARE(w.window->Instructions()->text(), e.instructions);
    }

    void permissionDeniedInThisLanguage() {
        const Expected& e = m_Chinese ? kChinese : kEnglish;
        SimWindow w;
        const int pad = w.port.AddGamepad("pad");
        w.OpenAndShow();
        w.port.SetOpenStatus(pad, zevrin::OpenStatus::PermissionDenied);
        ModalAnswerer answerer;
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QCOMPARE(answerer.Boxes().size(), size_t{1});
        QVERIFY2(answerer.Boxes()[0].text.startsWith(e.permissionStart),
                 qPrintable(answerer.Boxes()[0].text));
        QVERIFY(answerer.Boxes()[0].text.contains(QStringLiteral("sudo udevadm control")));
        QCOMPARE(answerer.Boxes()[0].title, QStringLiteral("Zevrin Update v1.20"));
        if (QtLabelsMissing()) {
            QSKIP(kNoQtChinese);
        }
        QCOMPARE(answerer.Boxes()[0].okText, e.ok);
    }

    void fileDialogInThisLanguage() {
        const Expected& e = m_Chinese ? kChinese : kEnglish;
        SimWindow w;
        w.port.AddGamepad("pad");
        w.OpenAndShow();
        ModalAnswerer answerer;
        answerer.ChooseFile(std::nullopt);
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QTRY_COMPARE(answerer.FileDialogs().size(), size_t{1});
        QCOMPARE(answerer.FileDialogs()[0].nameFilters, QStringList{e.filter});
        QTRY_VERIFY(!w.window->Dialog().IsWorkerRunning());
        if (QtLabelsMissing()) {
            QSKIP(kNoQtChinese);
        }
        QCOMPARE(answerer.FileDialogs()[0].acceptText, e.open);
        QCOMPARE(answerer.FileDialogs()[0].cancelText, e.cancel);
    }

    // Qt enters the session's locale in the C library, where de_DE writes 1,10: the caption and
    // the question about the versions must still read 1.10 and 1.20.
    void versionsAndTheQuestionInThisLocale() {
        const Expected& e = m_Chinese ? kChinese : kEnglish;
        locale_t session = newlocale(LC_NUMERIC_MASK, "", nullptr);
        if (session == nullptr) {
            QSKIP(qPrintable(QStringLiteral("the C library has no locale %1 to enter (scripts/deps "
                                            "gui generates the ones CTest runs this suite in)")
                                 .arg(QString::fromLocal8Bit(qgetenv("LANG")))));
        }
        freelocale(session);

        SimWindow w;
        const int pad = w.port.AddGamepad("pad");  // firmware 1.10
        w.port.Unplug(pad);
        TempDir dir;
        const std::string path = dir.File("fw.dat", ImageBytes(120, 0, 64, 64));
        w.OpenAndShow();
        w.port.Plug(pad);  // the caption names the version only after an arrival
        QTRY_COMPARE(w.window->windowTitle(), QStringLiteral("Zevrin Update v1.20(GamePad V1.10)"));

        ModalAnswerer answerer;
        answerer.ChooseFile(QString::fromStdString(path));
        answerer.AnswerBox(QMessageBox::Cancel);
        QTest::mouseClick(w.window->UpdateButton(), Qt::LeftButton);
        QTRY_COMPARE(answerer.Boxes().size(), size_t{1});
        QTRY_VERIFY(!w.window->Dialog().IsWorkerRunning());
        QCOMPARE(answerer.Boxes()[0].text, e.confirmation);
        QVERIFY(w.port.RecordingOf(pad).received.empty());
        if (QtLabelsMissing()) {
            QSKIP(kNoQtChinese);
        }
        QCOMPARE(answerer.Boxes()[0].okText, e.ok);
        QCOMPARE(answerer.Boxes()[0].cancelText, e.cancel);
    }

    void fontDrawsTheTextsAndTheyFit() {
        SimWindow w;
        w.OpenAndShow();
        const QFontInfo used(w.window->font());
        if (m_Chinese) {
            const auto systems = QFontDatabase::writingSystems(used.family());
            if (!systems.contains(QFontDatabase::SimplifiedChinese)) {
                QSKIP("no font for Simplified Chinese installed (fonts-noto-cjk)");
            }
        }
        QCOMPARE(used.pointSize(), 9);

        QLabel* instructions = w.window->Instructions();
        QVERIFY2(instructions->heightForWidth(instructions->width()) <= instructions->height(),
                 qPrintable(QStringLiteral("instructions need %1 px, have %2")
                                .arg(instructions->heightForWidth(instructions->width()))
                                .arg(instructions->height())));
        const QFontMetrics metrics(w.window->font());
        QLabel* success = w.window->SuccessText();
        QVERIFY(metrics.horizontalAdvance(success->text()) <= success->width());
        QVERIFY(metrics.height() <= success->height());
        QPushButton* button = w.window->UpdateButton();
        QVERIFY(metrics.horizontalAdvance(button->text()) < button->width());
    }

  private:
    bool QtLabelsMissing() const { return m_Chinese && !QtSpeaksChinese(); }

    bool m_Chinese = false;
};

QTEST_MAIN(QtLanguageTest)
#include "QtLanguageTest.moc"

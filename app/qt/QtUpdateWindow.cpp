#include "app/qt/QtUpdateWindow.h"

#include <QDir>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <climits>
#include <utility>

#include "app/qt/QtTexts.h"
#include "update/Texts.h"

namespace zevrin::qt {

namespace {

// The installed theme icon when there is one, else the images built into the program.
QIcon AppIcon() {
    QIcon builtIn;
    const QDir dir(QStringLiteral(":/zevrin/icons"));
    for (const QString& name : dir.entryList(QDir::Files)) {
        builtIn.addFile(dir.filePath(name));
    }
    return QIcon::fromTheme(QStringLiteral("zevrin-update"), builtIn);
}

}  // namespace

QtUpdateWindow::QtUpdateWindow(zevrin::HidPort& port, QWidget* parent) : QDialog(parent) {
    setFont(DialogFont(InterfaceLanguageOf(QLocale::system()) == kLangChinesePrc));
    m_Units = DialogBaseUnits(font());
    // A caption with a close box only: no minimise, maximise or help buttons, and a fixed size.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(MapDialogRect(kDialogRect, m_Units).size());
    setWindowIcon(AppIcon());
    setWindowTitle(QStringLiteral("s"));

    // Created in the template's order; the button is the only control that takes the focus.
    m_ProgressBar = new QProgressBar(this);
    m_ProgressBar->setGeometry(MapDialogRect(kProgressRect, m_Units));
    m_ProgressBar->setRange(0, 100);
    m_ProgressBar->setValue(0);
    m_ProgressBar->setTextVisible(false);
    m_ProgressBar->setFocusPolicy(Qt::NoFocus);

    m_UpdateButton = new QPushButton(QStringLiteral("USB_Update"), this);
    m_UpdateButton->setGeometry(MapDialogRect(kUpdateButtonRect, m_Units));
    m_UpdateButton->setFocusPolicy(Qt::StrongFocus);
    connect(m_UpdateButton, &QPushButton::clicked, this, [this] { m_Dlg->OnBnClickedUsbUpdate(); });

    m_SuccessText = new QLabel(QStringLiteral("Firmware upgraded!"), this);
    m_SuccessText->setGeometry(MapDialogRect(kSuccessTextRect, m_Units));
    m_SuccessText->setTextFormat(Qt::PlainText);
    m_SuccessText->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_SuccessText->setWordWrap(true);

    m_Instructions = new QLabel(QStringLiteral("静态"), this);
    m_Instructions->setGeometry(MapDialogRect(kInstructionsRect, m_Units));
    m_Instructions->setTextFormat(Qt::PlainText);
    m_Instructions->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_Instructions->setWordWrap(true);

    m_Dlg = std::make_unique<CUpdateDlg>(port, *this);
    m_DeviceEventPolicy = std::make_unique<DeviceEventPolicy>(*m_Dlg);
    m_EventBurst.setSingleShot(true);
    m_EventBurst.setInterval(static_cast<int>(DeviceEventPolicy::kGatherMs));
    connect(&m_EventBurst, &QTimer::timeout, this, [this] { m_DeviceEventPolicy->Deliver(); });
}

QtUpdateWindow::~QtUpdateWindow() {
    // No device event is posted to a window that is going.
    m_Dlg->Hid().UnregisterNotification();
    m_EventBurst.stop();
    m_DeviceEventPolicy.reset();
    m_Dlg.reset();
}

void QtUpdateWindow::Start() {
    // Registered before the start-up's version query, whose box may be up when a gamepad comes.
    m_Dlg->Hid().RegisterNotification(
        [target = NotifyTarget()](const zevrin::DeviceEvent& event) { target.post(event.code); });
    m_Dlg->OnInitDialog();
}

void QtUpdateWindow::QueueDeviceEvent(uint32_t code) {
    if (m_DeviceEventPolicy && m_DeviceEventPolicy->Add(code)) {
        m_EventBurst.start();
    }
}

NotifyWindow QtUpdateWindow::NotifyTarget() {
    NotifyWindow target;
    // Called on any thread: the hot-plug watch's and the worker's. The watch is unregistered (and
    // a post in flight waited for) and the worker stopped before this window is gone, so `this`
    // is alive whenever post runs.
    target.post = [this](uint32_t code) {
        QMetaObject::invokeMethod(
            this, [this, code] { QueueDeviceEvent(code); }, Qt::QueuedConnection);
    };
    return target;
}

void QtUpdateWindow::OnGuiThread(std::function<void()> change) {
    if (QThread::currentThread() == thread()) {
        change();
        return;
    }
    QMetaObject::invokeMethod(this, std::move(change), Qt::QueuedConnection);
}

void QtUpdateWindow::SetCaption(const std::string& text) {
    OnGuiThread([this, title = FromUtf8(text)] { setWindowTitle(title); });
}

void QtUpdateWindow::SetControlText(ControlId id, const std::string& text) {
    OnGuiThread([this, id, text] {
        switch (id) {
            case ControlId::UpdateButton:
                m_UpdateButton->setText(FromUtf8(text));
                break;
            case ControlId::SuccessText:
                m_SuccessText->setText(DisplayText(text));
                break;
            case ControlId::Instructions:
                m_Instructions->setText(DisplayText(text));
                break;
            case ControlId::Progress:
                break;  // a progress bar shows no text
        }
    });
}

void QtUpdateWindow::EnableControl(ControlId id, bool enabled) {
    OnGuiThread([this, id, enabled] {
        switch (id) {
            case ControlId::UpdateButton:
                m_UpdateButton->setEnabled(enabled);
                break;
            case ControlId::SuccessText:
                m_SuccessText->setEnabled(enabled);
                break;
            case ControlId::Instructions:
                m_Instructions->setEnabled(enabled);
                break;
            case ControlId::Progress:
                m_ProgressBar->setEnabled(enabled);
                break;
        }
    });
}

void QtUpdateWindow::ShowControl(ControlId id, bool shown) {
    OnGuiThread([this, id, shown] {
        switch (id) {
            case ControlId::UpdateButton:
                m_UpdateButton->setVisible(shown);
                break;
            case ControlId::SuccessText:
                m_SuccessText->setVisible(shown);
                break;
            case ControlId::Instructions:
                m_Instructions->setVisible(shown);
                break;
            case ControlId::Progress:
                m_ProgressBar->setVisible(shown);
                break;
        }
    });
}

void QtUpdateWindow::SetProgressRange(int minimum, int maximum) {
    OnGuiThread([this, minimum, maximum] { m_ProgressBar->setRange(minimum, maximum); });
}

void QtUpdateWindow::SetProgressPos(uint32_t position) {
    OnGuiThread([this, position] {
        // A Windows progress bar clamps; QProgressBar would ignore a value outside its range and
        // keep showing the previous one.
        const int value = static_cast<int>(std::min<uint32_t>(position, INT_MAX));
        m_ProgressBar->setValue(
            std::clamp(value, m_ProgressBar->minimum(), m_ProgressBar->maximum()));
    });
}

void QtUpdateWindow::accept() {
    CloseRequested(QDialog::Accepted);
}

void QtUpdateWindow::reject() {
    CloseRequested(QDialog::Rejected);
}

void QtUpdateWindow::CloseRequested(int result) {
    if (m_AskingToClose) {
        return;  // the question is already on screen
    }
    m_AskingToClose = true;
    const bool mayClose = m_Dlg->OnCloseRequest();
    m_AskingToClose = false;
    if (mayClose) {
        QDialog::done(result);
    }
}

void QtUpdateWindow::keyPressEvent(QKeyEvent* event) {
    // The button takes Enter itself while it has the focus; anywhere else Enter is the dialog's
    // default OK, which closes it as Esc does.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (enter && plain) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace zevrin::qt

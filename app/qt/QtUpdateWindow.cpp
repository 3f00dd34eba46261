#include "app/qt/QtUpdateWindow.h"

#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSpacerItem>
#include <QThread>
#include <algorithm>
#include <climits>
#include <utility>

#include "app/qt/QtTexts.h"
#include "update/Texts.h"

namespace zevrin::qt {

namespace {

// Long enough to gather the events udev sends for the interfaces of one gamepad, short enough
// that the window still reacts at once to a person's eye.
constexpr int kEventBurstMs = 100;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Static controls and boxes show the texts' CR LF pairs as line breaks, as on Windows; Qt would
// draw the CR as a stray glyph.
QString DisplayText(const std::string& text) {
    return FromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// The installed theme icon when there is one, else the images built into the program.
QIcon AppIcon() {
    QIcon builtIn;
    const QDir dir(QStringLiteral(":/zevrin/icons"));
    for (const QString& name : dir.entryList(QDir::Files)) {
        builtIn.addFile(dir.filePath(name));
    }
    return QIcon::fromTheme(QStringLiteral("zevrin-update"), builtIn);
}

// A box with a short text would cut its own caption off, where Windows widens the box to show
// the whole caption: room for the caption in the title bar's usual bold, its icon and close box.
void WidenForCaption(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr) {
        return;
    }
    QFont titleFont = box.font();
    titleFont.setBold(true);
    const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + 96;
    // Spans the first row without adding one of its own; only the minimum width grows.
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), 0, 0, 1,
                  grid->columnCount());
}

}  // namespace

std::vector<FileFilter> ParseFileFilter(const std::string& filter) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t bar = filter.find('|', start);
        if (bar == std::string::npos) {
            fields.push_back(filter.substr(start));
            break;
        }
        fields.push_back(filter.substr(start, bar - start));
        start = bar + 1;
    }
    std::vector<FileFilter> filters;
    for (size_t i = 0; i + 1 < fields.size(); i += 2) {
        if (fields[i].empty() || fields[i + 1].empty()) {
            break;
        }
        filters.push_back({fields[i], fields[i + 1]});
    }
    return filters;
}

QStringList QtNameFilters(const std::vector<FileFilter>& filters) {
    QStringList list;
    for (const FileFilter& f : filters) {
        const QString description = FromUtf8(f.description);
        const QString patterns = FromUtf8(f.patterns);
        if (description.endsWith(QLatin1Char('(') + patterns + QLatin1Char(')'))) {
            list.append(description);
        } else {
            QString spaced = patterns;
            spaced.replace(QLatin1Char(';'), QLatin1Char(' '));
            list.append(description + QStringLiteral(" (") + spaced + QLatin1Char(')'));
        }
    }
    return list;
}

std::vector<uint32_t> CoalesceDeviceEvents(const std::vector<uint32_t>& codes) {
    std::vector<uint32_t> folded;
    for (uint32_t code : codes) {
        if (folded.empty() || folded.back() != code) {
            folded.push_back(code);
        }
    }
    return folded;
}

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

    m_EventBurst.setSingleShot(true);
    m_EventBurst.setInterval(kEventBurstMs);
    connect(&m_EventBurst, &QTimer::timeout, this, &QtUpdateWindow::DeliverDeviceEvents);

    m_Dlg = std::make_unique<CUpdateDlg>(port, *this);
}

QtUpdateWindow::~QtUpdateWindow() {
    // The notifier watches a descriptor that the dialog's CHid owns: it goes first.
    delete m_DeviceEvents;
    m_DeviceEvents = nullptr;
    m_EventBurst.stop();
    m_Dlg.reset();
}

void QtUpdateWindow::Start() {
    m_Dlg->OnInitDialog();
    // CHid registered for device events during its first FindDevice, inside OnInitDialog.
    WatchDeviceEvents();
}

void QtUpdateWindow::WatchDeviceEvents() {
    const zevrin::HidNotification* events = m_Dlg->Hid().Notification();
    if (events == nullptr || events->PollFd() < 0 || m_DeviceEvents != nullptr) {
        return;  // no registration, or one that posts its events through NotifyTarget
    }
    m_DeviceEvents = new QSocketNotifier(events->PollFd(), QSocketNotifier::Read, this);
    connect(m_DeviceEvents, &QSocketNotifier::activated, this,
            &QtUpdateWindow::OnDeviceEventsReadable);
}

void QtUpdateWindow::OnDeviceEventsReadable() {
    zevrin::HidNotification* events = m_Dlg->Hid().Notification();
    if (events == nullptr) {
        return;
    }
    const std::vector<uint32_t> codes = events->Drain();
    m_PendingEvents.insert(m_PendingEvents.end(), codes.begin(), codes.end());
    // Not restarted by later events: a steady stream must not hold the reaction back forever.
    if (!m_PendingEvents.empty() && !m_EventBurst.isActive()) {
        m_EventBurst.start();
    }
}

void QtUpdateWindow::DeliverDeviceEvents() {
    // Taken out first: a reaction may show a box, whose event loop can deliver the next burst.
    const std::vector<uint32_t> codes = CoalesceDeviceEvents(std::exchange(m_PendingEvents, {}));
    for (uint32_t code : codes) {
        DeliverDeviceEvent(code);
    }
}

void QtUpdateWindow::DeliverDeviceEvent(uint32_t code) {
    if (m_Dlg) {
        m_Dlg->OnDeviceChange(code, 0);
    }
}

NotifyWindow QtUpdateWindow::NotifyTarget() {
    NotifyWindow target;
    // Called on any thread; CHid unregisters (and waits for a post in flight) before this window
    // is gone, so `this` is alive whenever post runs.
    target.post = [this](uint32_t code) {
        QMetaObject::invokeMethod(
            this, [this, code] { DeliverDeviceEvent(code); }, Qt::QueuedConnection);
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

bool QtUpdateWindow::PromptsCancelled() const {
    std::lock_guard lock(m_PromptLock);
    return m_PromptsCancelled;
}

template <typename Result>
Result QtUpdateWindow::Ask(std::function<Result()> ask, Result cancelled) {
    if (QThread::currentThread() == thread()) {
        // The version query and closing ask on the GUI thread itself: waiting for a queued call
        // there would wait forever.
        return PromptsCancelled() ? cancelled : ask();
    }
    auto prompt = std::make_shared<Prompt<Result>>();
    {
        std::lock_guard lock(m_PromptLock);
        if (m_PromptsCancelled) {
            return cancelled;
        }
        m_Waiting.push_back(prompt);
    }
    QMetaObject::invokeMethod(
        this,
        [prompt, ask = std::move(ask)] {
            {
                std::lock_guard lock(prompt->mutex);
                if (prompt->cancelled) {
                    return;  // the worker stopped waiting before its turn came
                }
            }
            Result answer = ask();
            {
                std::lock_guard lock(prompt->mutex);
                prompt->answer = std::move(answer);
                prompt->done = true;
            }
            prompt->answered.notify_all();
        },
        Qt::QueuedConnection);

    Result result = cancelled;
    {
        std::unique_lock lock(prompt->mutex);
        prompt->answered.wait(lock, [&] { return prompt->done || prompt->cancelled; });
        if (!prompt->cancelled) {
            result = std::move(prompt->answer);
        }
    }
    std::lock_guard lock(m_PromptLock);
    std::erase(m_Waiting, std::static_pointer_cast<PromptWait>(prompt));
    return result;
}

void QtUpdateWindow::CancelPrompts() {
    std::vector<std::shared_ptr<PromptWait>> waiting;
    {
        std::lock_guard lock(m_PromptLock);
        m_PromptsCancelled = true;
        waiting = m_Waiting;
    }
    for (const auto& prompt : waiting) {
        {
            std::lock_guard lock(prompt->mutex);
            prompt->cancelled = true;
        }
        prompt->answered.notify_all();
    }
    OnGuiThread([this] {
        for (const QPointer<QDialog>& open : m_OpenPrompts) {
            if (open) {
                open->reject();
            }
        }
    });
}

BoxResult QtUpdateWindow::MessageBox(const std::string& text, const std::string& caption,
                                     BoxButtons buttons) {
    return Ask<BoxResult>(
        [this, text, caption, buttons] { return ShowBox(text, caption, buttons); },
        BoxResult::Cancel);
}

std::optional<std::string> QtUpdateWindow::GetOpenFileName(const FileDialogRequest& request) {
    return Ask<std::optional<std::string>>([this, request] { return ShowFileDialog(request); },
                                           std::nullopt);
}

BoxResult QtUpdateWindow::ShowBox(const std::string& text, const std::string& caption,
                                  BoxButtons buttons) {
    const bool withCancel = buttons == BoxButtons::OkCancel;
    QMessageBox box(QMessageBox::NoIcon, FromUtf8(caption), DisplayText(text),
                    withCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    WidenForCaption(box);
    box.setDefaultButton(QMessageBox::Ok);
    if (withCancel) {
        box.setEscapeButton(QMessageBox::Cancel);
    }
    m_OpenPrompts.emplace_back(&box);
    box.exec();
    std::erase(m_OpenPrompts, QPointer<QDialog>(&box));
    // A box with OK alone answers OK however it is closed, as MB_OK does; one closed by
    // CancelPrompts has no clicked button.
    return box.clickedButton() != nullptr && box.clickedButton() == box.button(QMessageBox::Ok) &&
                   !PromptsCancelled()
               ? BoxResult::Ok
               : BoxResult::Cancel;
}

std::optional<std::string> QtUpdateWindow::ShowFileDialog(const FileDialogRequest& request) {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The name of a file that does not exist is accepted too; opening it then fails quietly.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(QtNameFilters(ParseFileFilter(request.filter)));
    if (!request.initialDirectory.empty()) {
        dialog.setDirectory(FromUtf8(request.initialDirectory));
    }
    m_OpenPrompts.emplace_back(&dialog);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    std::erase(m_OpenPrompts, QPointer<QDialog>(&dialog));
    const QStringList files = dialog.selectedFiles();
    if (!accepted || files.isEmpty() || PromptsCancelled()) {
        return std::nullopt;
    }
    const QByteArray path = files.first().toUtf8();
    return std::string(path.constData(), static_cast<size_t>(path.size()));
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

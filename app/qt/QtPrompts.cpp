// The window's blocking questions: boxes and the open-file dialog on the GUI thread, whichever
// thread asks, and their end when the dialog stops its worker.
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QThread>
#include <utility>

#include "app/qt/QtTexts.h"
#include "app/qt/QtUpdateWindow.h"

namespace zevrin::qt {

namespace {

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
                                     BoxKind kind) {
    return Ask<BoxResult>([this, text, caption,
                           buttons = ButtonsOf(kind)] { return ShowBox(text, caption, buttons); },
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

}  // namespace zevrin::qt

// Shared pieces of the Qt suites: something that answers the modal boxes and file dialogs the real
// window shows, and the window set up over a simulated gamepad.
#pragma once

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/qt/QtUpdateWindow.h"
#include "hid/sim/SimPort.h"
#include "tests/TestSupport.h"

namespace zevrin::test {

struct SeenBox {
    QString title;
    QString text;
    bool hasCancel = false;
    bool okIsDefault = false;
    bool hasIcon = false;
    QString okText;  // the buttons' labels as shown, in the language Qt was given
    QString cancelText;
};

struct SeenFileDialog {
    QStringList nameFilters;
    QString directory;
    QString acceptText;  // empty for a dialog without Qt's own buttons (a desktop's native one)
    QString cancelText;
};

inline QString LabelOf(const QAbstractButton* button) {
    return button != nullptr ? button->text() : QString();
}

// Looks for a modal box or file dialog every few milliseconds, from the event loop the box itself
// runs, records it and answers it from a script. A box answers OK and a file dialog is cancelled
// when the script has nothing left.
class ModalAnswerer : public QObject {
  public:
    ModalAnswerer() {
        m_Timer.setInterval(5);
        QObject::connect(&m_Timer, &QTimer::timeout, this, [this] { Poll(); });
        m_Timer.start();
    }

    void AnswerBox(QMessageBox::StandardButton button) { m_BoxAnswers.push_back(button); }
    void ChooseFile(std::optional<QString> path) { m_Files.push_back(std::move(path)); }
    // Runs while the box is on screen, before it is answered (the window's state can be read).
    void OnBox(std::function<void(const SeenBox&)> hook) { m_BoxHook = std::move(hook); }
    // While false, boxes are recorded but left open.
    void SetAnswering(bool answering) { m_Answering = answering; }

    const std::vector<SeenBox>& Boxes() const { return m_Boxes; }
    const std::vector<SeenFileDialog>& FileDialogs() const { return m_FileDialogs; }
    // The box on screen now and not yet answered.
    QMessageBox* OpenBox() const { return m_Open; }

  private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (box != m_Open) {
                m_Open = box;
                SeenBox seen{box->windowTitle(),
                             box->text(),
                             box->button(QMessageBox::Cancel) != nullptr,
                             box->defaultButton() == box->button(QMessageBox::Ok),
                             box->icon() != QMessageBox::NoIcon,
                             LabelOf(box->button(QMessageBox::Ok)),
                             LabelOf(box->button(QMessageBox::Cancel))};
                m_Boxes.push_back(seen);
                if (m_BoxHook) {
                    m_BoxHook(seen);
                }
            }
            if (!m_Answering) {
                return;
            }
            QMessageBox::StandardButton answer = QMessageBox::Ok;
            if (!m_BoxAnswers.empty()) {
                answer = m_BoxAnswers.front();
                m_BoxAnswers.pop_front();
            }
            m_Open = nullptr;
            box->button(answer)->click();
            return;
        }
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            if (!m_Answering) {
                return;
            }
            const auto* buttons = dialog->findChild<QDialogButtonBox*>();
            m_FileDialogs.push_back(
                {dialog->nameFilters(), dialog->directory().absolutePath(),
                 buttons != nullptr ? LabelOf(buttons->button(QDialogButtonBox::Open)) : QString(),
                 buttons != nullptr ? LabelOf(buttons->button(QDialogButtonBox::Cancel))
                                    : QString()});
            std::optional<QString> file;
            if (!m_Files.empty()) {
                file = m_Files.front();
                m_Files.pop_front();
            }
            if (file) {
                dialog->selectFile(*file);
                static_cast<QDialog*>(dialog)->accept();  // checks the name as OK does
            } else {
                dialog->reject();
            }
        }
    }

    QTimer m_Timer;
    std::deque<QMessageBox::StandardButton> m_BoxAnswers;
    std::deque<std::optional<QString>> m_Files;
    std::function<void(const SeenBox&)> m_BoxHook;
    std::vector<SeenBox> m_Boxes;
    std::vector<SeenFileDialog> m_FileDialogs;
    QPointer<QMessageBox> m_Open;
    bool m_Answering = true;
};

// Short bounds, so a silent device fails a test in moments rather than in seconds.
inline EngineLimits ShortLimits() {
    using namespace std::chrono_literals;
    EngineLimits limits;
    limits.versionQuery = std::chrono::milliseconds(600);
    limits.workerSilence = 1500ms;
    limits.deviceGone = 200ms;
    return limits;
}

// The real window over a simulated gamepad, built afresh by each test.
struct SimWindow {
    sim::SimPort port;  // outlives the window, which stops its worker when destroyed
    std::unique_ptr<qt::QtUpdateWindow> window;

    void Open() {
        window = std::make_unique<qt::QtUpdateWindow>(port);
        window->Dialog().SetLimits(ShortLimits());
        window->Start();
    }
    void OpenAndShow() {
        Open();
        window->show();
    }
};

}  // namespace zevrin::test

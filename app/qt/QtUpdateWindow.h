// The Qt window around CUpdateDlg: the four controls of the template, hot-plug events from the
// dialog's registration gathered by its DeviceEventPolicy, and the DialogView calls carried out on
// the GUI thread whichever thread makes them.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/qt/DialogTemplate.h"
#include "update/DeviceEventPolicy.h"
#include "update/DialogView.h"
#include "update/UpdateDlg.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace zevrin::qt {

// One entry of the open-file dialog's filter list.
struct FileFilter {
    std::string description;  // what the list shows
    std::string patterns;     // "*.dat" or "*.dat;*.bin"
};

// Reads the Win32 filter form "desc|pattern|desc|pattern||" (a bar ends each field, the doubled
// bar the list). A description without its pattern, or an empty pattern, ends the list.
std::vector<FileFilter> ParseFileFilter(const std::string& filter);

// The filter as QFileDialog takes it: QFileDialog finds the patterns in the last parentheses, so
// a description that already ends with "(patterns)" is used as it is ("File type(*.dat)"), and
// any other gets the patterns appended.
QStringList QtNameFilters(const std::vector<FileFilter>& filters);

class QtUpdateWindow final : public QDialog, public DialogView {
    Q_OBJECT

  public:
    explicit QtUpdateWindow(zevrin::HidPort& port, QWidget* parent = nullptr);
    ~QtUpdateWindow() override;
    QtUpdateWindow(const QtUpdateWindow&) = delete;
    QtUpdateWindow& operator=(const QtUpdateWindow&) = delete;

    // Hot-plug registration, then the dialog's start-up (which may ask the device for its version
    // and show a box before the window appears). Once, before the window is shown.
    void Start();

    CUpdateDlg& Dialog() { return *m_Dlg; }
    QProgressBar* ProgressBar() const { return m_ProgressBar; }
    QPushButton* UpdateButton() const { return m_UpdateButton; }
    QLabel* SuccessText() const { return m_SuccessText; }
    QLabel* Instructions() const { return m_Instructions; }
    BaseUnits Units() const { return m_Units; }

    // DialogView
    void SetCaption(const std::string& text) override;
    void SetControlText(ControlId id, const std::string& text) override;
    void EnableControl(ControlId id, bool enabled) override;
    void ShowControl(ControlId id, bool shown) override;
    void SetProgressRange(int minimum, int maximum) override;
    void SetProgressPos(uint32_t position) override;
    BoxResult MessageBox(const std::string& text, const std::string& caption,
                         BoxKind kind) override;
    std::optional<std::string> GetOpenFileName(const FileDialogRequest& request) override;
    NotifyWindow NotifyTarget() override;
    void CancelPrompts() override;

    // Esc, the close box and Enter away from the button all end here: the dialog decides.
    void accept() override;
    void reject() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    struct PromptWait {
        std::mutex mutex;
        std::condition_variable answered;
        bool done = false;
        bool cancelled = false;
    };
    template <typename Result>
    struct Prompt : PromptWait {
        Result answer{};
    };

    // Runs `change` on the GUI thread: at once when called there, else queued in call order.
    void OnGuiThread(std::function<void()> change);
    // Runs `ask` on the GUI thread and waits for its answer; `cancelled` once CancelPrompts has
    // been called, before or during the wait.
    template <typename Result>
    Result Ask(std::function<Result()> ask, Result cancelled);
    bool PromptsCancelled() const;

    BoxResult ShowBox(const std::string& text, const std::string& caption, BoxButtons buttons);
    std::optional<std::string> ShowFileDialog(const FileDialogRequest& request);
    void CloseRequested(int result);
    void QueueDeviceEvent(uint32_t code);

    QProgressBar* m_ProgressBar = nullptr;
    QPushButton* m_UpdateButton = nullptr;
    QLabel* m_SuccessText = nullptr;
    QLabel* m_Instructions = nullptr;
    BaseUnits m_Units;

    QTimer m_EventBurst;
    bool m_AskingToClose = false;

    mutable std::mutex m_PromptLock;
    bool m_PromptsCancelled = false;
    std::vector<std::shared_ptr<PromptWait>> m_Waiting;
    // Boxes and file dialogs on screen now, so CancelPrompts can close them.
    std::vector<QPointer<QDialog>> m_OpenPrompts;

    // Last: destroyed first (after the policy that only feeds it), while the window it talks to
    // is still whole.
    std::unique_ptr<CUpdateDlg> m_Dlg;
    std::unique_ptr<DeviceEventPolicy> m_DeviceEventPolicy;
};

}  // namespace zevrin::qt

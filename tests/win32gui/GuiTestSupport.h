// What the dialog suites share: a message pump for the test thread (which is the dialog thread),
// reading the real controls back, and a thread that answers the boxes and the file dialog the
// way a user would, by finding the window owned by the dialog and pressing its buttons.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zevrin::test {

// Runs the calling thread's messages (as the dialog's loop would) until `done` holds or `limit`
// passes. Returns whether `done` held.
bool PumpUntil(HWND dialog, const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));
// Runs every message already queued for the calling thread, and those they cause.
void PumpPending(HWND dialog);

// The controls of the dialog, found by id the way the template stores it (32 bits).
HWND ControlOf(HWND dialog, int id);
std::string TextOf(HWND window);  // UTF-8; reads the stored text without sending a message
int ProgressPos(HWND dialog);
std::pair<int, int> ProgressRange(HWND dialog);

// The boxes and file dialogs on screen that `owner` owns, whichever thread shows them.
std::vector<HWND> PromptsOwnedBy(HWND owner);
HWND FindPrompt(HWND owner);  // the first of them, or null

// A box or file dialog that the answerer saw.
struct Prompt {
    bool fileDialog = false;
    std::string caption;
    std::string text;  // the message of a box
    bool hasCancel = false;
    bool ownerWasVisible = false;
    DWORD thread = 0;  // the thread that showed it
};

// Answers every prompt owned by `owner`, in order, from a script. Without a scripted answer a box
// is answered OK and the file dialog with `DefaultFile` (or cancelled when there is none).
class PromptAnswerer {
  public:
    // Leave: let it stand until something else ends it. A prompt left standing for longer than
    // kStandingLimit is cancelled by the answerer after all (and counted), so that a window that
    // fails to end it makes its test fail instead of hanging.
    enum class Answer { Ok, Cancel, Leave };
    static constexpr std::chrono::seconds kStandingLimit{8};

    PromptAnswerer();
    ~PromptAnswerer();
    PromptAnswerer(const PromptAnswerer&) = delete;
    PromptAnswerer& operator=(const PromptAnswerer&) = delete;

    // Where the owner window is to be found; asked on every pass, so a window that does not
    // exist yet (boxes shown during WM_INITDIALOG) is found as soon as it does.
    void SetOwner(std::function<HWND()> owner);
    void QueueBoxAnswer(Answer answer);
    void SetFile(std::optional<std::filesystem::path> file);

    std::vector<Prompt> Seen() const;
    size_t Count() const;
    // True while a prompt that was left standing is still on screen.
    bool AnyStanding() const;
    // Prompts left standing that nothing else ended in time.
    int ForcedCloses() const;

  private:
    void Run();
    void Handle(HWND window);

    mutable std::mutex m_Mutex;
    std::condition_variable m_Stop;
    bool m_Stopping = false;
    std::function<HWND()> m_Owner;
    std::deque<Answer> m_Answers;
    std::optional<std::filesystem::path> m_File;
    std::vector<Prompt> m_Seen;
    std::vector<HWND> m_Handled;
    struct Standing {
        HWND window;
        std::chrono::steady_clock::time_point deadline;
    };
    std::vector<Standing> m_Standing;
    int m_ForcedCloses = 0;
    std::thread m_Thread;
};

// The interface language that the test run was started for (ZEVRIN_EXPECT_UI_LANGUAGE), or 0.
uint16_t ExpectedUiLanguage();
// The built programs whose resources are checked, from the command line (--exe=PATH).
std::vector<std::string>& ProgramFiles();

// A path as given on the command line (a Linux path when run under Wine) as Windows opens it.
std::wstring WindowsPath(const std::string& path);

}  // namespace zevrin::test

#include "tests/win32gui/GuiTestSupport.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>

#include "hid/win32/Utf16.h"
#include "update/Protocol.h"

namespace zevrin::test {
namespace {

using namespace std::chrono_literals;

// The file name field of the open-file dialog (cmb13 in the explorer style, edt1 in the old).
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileNameEdit = 0x480;
// The message text of a box.
constexpr int kBoxText = 0xFFFF;

std::string ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return Utf8(name).value();
}

HWND ChildById(HWND parent, int id) {
    struct Search {
        int id;
        HWND found;
    } search{id, nullptr};
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (static_cast<int32_t>(GetWindowLongPtrW(child, GWLP_ID)) == s->id) {
                s->found = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string BoxMessage(HWND box) {
    if (HWND text = ChildById(box, kBoxText); text != nullptr) {
        return TextOf(text);
    }
    // Not every system gives the message its usual id: take the longest static text.
    struct Search {
        std::string longest;
    } search;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (ClassOf(child) == "Static") {
                std::string t = TextOf(child);
                if (t.size() > s->longest.size()) {
                    s->longest = std::move(t);
                }
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.longest;
}

void Press(HWND window, int id) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

}  // namespace

bool PumpUntil(HWND dialog, const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        PumpPending(dialog);
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void PumpPending(HWND dialog) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        if (dialog != nullptr && IsWindow(dialog) != FALSE &&
            IsDialogMessageW(dialog, &message) != FALSE) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

HWND ControlOf(HWND dialog, int id) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (static_cast<int32_t>(GetWindowLongPtrW(child, GWLP_ID)) == id) {
            return child;
        }
    }
    return nullptr;
}

std::string TextOf(HWND window) {
    wchar_t text[4096] = {};
    const int n = InternalGetWindowText(window, text, 4096);
    return Utf8(std::wstring_view(text, static_cast<size_t>(n > 0 ? n : 0))).value();
}

int ProgressPos(HWND dialog) {
    return static_cast<int>(SendMessageW(ControlOf(dialog, 1003), PBM_GETPOS, 0, 0));
}

std::pair<int, int> ProgressRange(HWND dialog) {
    PBRANGE range{-1, -1};
    SendMessageW(ControlOf(dialog, 1003), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    return {range.iLow, range.iHigh};
}

std::vector<HWND> PromptsOwnedBy(HWND owner) {
    struct Search {
        HWND owner;
        std::vector<HWND> found;
    } search{owner, {}};
    if (owner == nullptr) {
        return {};
    }
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (GetWindow(window, GW_OWNER) == s->owner && IsWindowVisible(window) != FALSE &&
                ClassOf(window) == "#32770") {
                s->found.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindPrompt(HWND owner) {
    const std::vector<HWND> prompts = PromptsOwnedBy(owner);
    return prompts.empty() ? nullptr : prompts.front();
}

PromptAnswerer::PromptAnswerer() : m_Thread([this] { Run(); }) {}

PromptAnswerer::~PromptAnswerer() {
    {
        std::lock_guard lock(m_Mutex);
        m_Stopping = true;
    }
    m_Stop.notify_all();
    m_Thread.join();
}

void PromptAnswerer::SetOwner(std::function<HWND()> owner) {
    std::lock_guard lock(m_Mutex);
    m_Owner = owner;
}

void PromptAnswerer::QueueBoxAnswer(Answer answer) {
    std::lock_guard lock(m_Mutex);
    m_Answers.push_back(answer);
}

void PromptAnswerer::SetFile(std::optional<std::filesystem::path> file) {
    std::lock_guard lock(m_Mutex);
    m_File = std::move(file);
}

std::vector<Prompt> PromptAnswerer::Seen() const {
    std::lock_guard lock(m_Mutex);
    return m_Seen;
}

size_t PromptAnswerer::Count() const {
    std::lock_guard lock(m_Mutex);
    return m_Seen.size();
}

bool PromptAnswerer::AnyStanding() const {
    std::lock_guard lock(m_Mutex);
    return std::any_of(m_Standing.begin(), m_Standing.end(),
                       [](const Standing& s) { return IsWindow(s.window) != FALSE; });
}

int PromptAnswerer::ForcedCloses() const {
    std::lock_guard lock(m_Mutex);
    return m_ForcedCloses;
}

void PromptAnswerer::Run() {
    std::unique_lock lock(m_Mutex);
    while (!m_Stopping) {
        // Asked under the lock: whoever clears the owner knows it is no longer being asked.
        const HWND owner = m_Owner ? m_Owner() : nullptr;
        lock.unlock();
        for (HWND window : PromptsOwnedBy(owner)) {
            Handle(window);
        }
        lock.lock();
        const auto now = std::chrono::steady_clock::now();
        for (Standing& standing : m_Standing) {
            if (now >= standing.deadline && IsWindow(standing.window) != FALSE) {
                Press(standing.window, IDCANCEL);
                standing.deadline = std::chrono::steady_clock::time_point::max();
                ++m_ForcedCloses;
            }
        }
        m_Stop.wait_for(lock, 5ms, [this] { return m_Stopping; });
    }
}

void PromptAnswerer::Handle(HWND window) {
    {
        std::lock_guard lock(m_Mutex);
        m_Handled.erase(std::remove_if(m_Handled.begin(), m_Handled.end(),
                                       [](HWND w) { return IsWindow(w) == FALSE; }),
                        m_Handled.end());
        if (std::find(m_Handled.begin(), m_Handled.end(), window) != m_Handled.end()) {
            return;
        }
        m_Handled.push_back(window);
    }
    Prompt prompt;
    prompt.caption = TextOf(window);
    prompt.thread = GetWindowThreadProcessId(window, nullptr);
    prompt.ownerWasVisible = IsWindowVisible(GetWindow(window, GW_OWNER)) != FALSE;
    HWND fileName = ChildById(window, kFileNameCombo);
    if (fileName == nullptr || IsWindowVisible(fileName) == FALSE) {
        fileName = ChildById(window, kFileNameEdit);
    }
    prompt.fileDialog = fileName != nullptr;
    if (!prompt.fileDialog) {
        prompt.text = BoxMessage(window);
        const HWND cancel = GetDlgItem(window, IDCANCEL);
        prompt.hasCancel = cancel != nullptr && IsWindowVisible(cancel) != FALSE;
    }

    Answer answer = Answer::Ok;
    std::optional<std::filesystem::path> file;
    {
        std::lock_guard lock(m_Mutex);
        m_Seen.push_back(prompt);
        if (prompt.fileDialog) {
            file = m_File;
        } else if (!m_Answers.empty()) {
            answer = m_Answers.front();
            m_Answers.pop_front();
        }
        if (answer == Answer::Leave) {
            m_Standing.push_back({window, std::chrono::steady_clock::now() + kStandingLimit});
        }
    }
    if (prompt.fileDialog) {
        if (!file) {
            Press(window, IDCANCEL);
            return;
        }
        // The dialog fills its folder view after it has appeared, and typing before that can be
        // lost: type and press Open again until it has gone.
        const std::wstring path = file->wstring();
        for (int attempt = 0; attempt < 10 && IsWindow(window) != FALSE; ++attempt) {
            std::this_thread::sleep_for(attempt == 0 ? 300ms : 700ms);
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(fileName, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                                SMTO_ABORTIFHUNG, 5000, &ignored);
            Press(window, IDOK);
            for (int wait = 0; wait < 100 && IsWindow(window) != FALSE; ++wait) {
                std::this_thread::sleep_for(5ms);
            }
        }
        return;
    }
    if (answer == Answer::Ok) {
        Press(window, IDOK);
    } else if (answer == Answer::Cancel) {
        Press(window, IDCANCEL);
    }
}

uint16_t ExpectedUiLanguage() {
    const char* value = std::getenv("ZEVRIN_EXPECT_UI_LANGUAGE");  // NOLINT(concurrency-mt-unsafe)
    return value == nullptr ? 0 : static_cast<uint16_t>(std::strtoul(value, nullptr, 10));
}

std::vector<std::string>& ProgramFiles() {
    static std::vector<std::string> files;
    return files;
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring wide = Utf16(path);
    if (!wide.empty() && wide.front() == L'/') {
        // Wine shows the Linux root as drive Z:.
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
        wide = L"Z:" + wide;
    }
    return wide;
}

}  // namespace zevrin::test

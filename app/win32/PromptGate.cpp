#include "app/win32/PromptGate.h"

#include <vector>

namespace zevrin::win32 {
namespace {

// Owned by `owner` directly or through a window it owns: a box that the file dialog shows is the
// file dialog's, and the file dialog cannot end while that box is up.
bool OwnedThrough(HWND window, HWND owner) {
    for (HWND up = GetWindow(window, GW_OWNER); up != nullptr; up = GetWindow(up, GW_OWNER)) {
        if (up == owner) {
            return true;
        }
    }
    return false;
}

BOOL CALLBACK CloseIfOwned(HWND window, LPARAM owner) {
    if (owner != 0 && OwnedThrough(window, reinterpret_cast<HWND>(owner))) {
        // What Esc does: a box answers Cancel, the file dialog closes with no file.
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    return TRUE;
}

}  // namespace

bool PromptGate::Enter() {
    std::lock_guard lock(m_Mutex);
    if (m_Cancelled) {
        return false;
    }
    m_Threads.insert(GetCurrentThreadId());
    return true;
}

bool PromptGate::Leave() {
    std::lock_guard lock(m_Mutex);
    if (auto it = m_Threads.find(GetCurrentThreadId()); it != m_Threads.end()) {
        m_Threads.erase(it);
    }
    return m_Cancelled;
}

void PromptGate::Cancel() {
    std::lock_guard lock(m_Mutex);
    m_Cancelled = true;
}

void PromptGate::CloseOtherThreads(HWND owner) {
    std::vector<DWORD> threads;
    {
        std::lock_guard lock(m_Mutex);
        threads.assign(m_Threads.begin(), m_Threads.end());
    }
    for (DWORD thread : threads) {
        if (thread != GetCurrentThreadId()) {
            EnumThreadWindows(thread, CloseIfOwned, reinterpret_cast<LPARAM>(owner));
        }
    }
}

}  // namespace zevrin::win32

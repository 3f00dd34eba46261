// The boxes and file dialogs shown on behalf of the window, by whichever thread: the dialog
// thread's own, and the worker's (which shows its prompts itself, owned by the dialog window).
// When the dialog stops its worker they must all end, or the wait for the worker never would.
#pragma once

#include <windows.h>

#include <mutex>
#include <set>

namespace zevrin::win32 {

class PromptGate {
  public:
    // A prompt is about to be shown on this thread: false when prompts have been cancelled.
    bool Enter();
    // The prompt has ended: true when prompts were cancelled meanwhile.
    bool Leave();
    // Every prompt from now on is refused.
    void Cancel();
    // Ends every box or file dialog that another thread shows owned by `owner`, and the boxes
    // those show in turn.
    void CloseOtherThreads(HWND owner);

  private:
    std::mutex m_Mutex;
    bool m_Cancelled = false;
    std::multiset<DWORD> m_Threads;
};

}  // namespace zevrin::win32

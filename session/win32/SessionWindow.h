// Holding the session on Windows. Sleep: the execution state of the thread that runs the transfer.
// Shutdown, restart and sign-out: a hidden top-level window on a thread of its own, which tells the
// system "not now" (WM_QUERYENDSESSION) while a transfer runs, with the reason shown beside the
// program, and which stops the transfer cleanly when the session ends all the same.
#pragma once

#include <memory>

#include "session/SessionHold.h"

namespace zevrin {

struct SessionApi;
struct SessionWindowState;

// The hidden window's class, for whoever looks for it (FindWindowW).
inline constexpr wchar_t kSessionWindowClass[] = L"ZevrinSessionHold";

class SessionWindow {
  public:
    // Starts the window's thread and returns once the window exists (or could not be made: then
    // holds still keep the system awake, and one log line says so). `api` must outlive it.
    explicit SessionWindow(const SessionApi& api);
    // Closes the window and ends its thread. Every hold taken from it must be gone.
    ~SessionWindow();
    SessionWindow(const SessionWindow&) = delete;
    SessionWindow& operator=(const SessionWindow&) = delete;

    // The holder to install with SetSessionHolder. Its holds belong to this window, which must
    // outlive them.
    SessionHolder Holder();

  private:
    std::unique_ptr<SessionWindowState> m_State;
};

// The system's own functions.
const SessionApi& RealSessionApi();

}  // namespace zevrin

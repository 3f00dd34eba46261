// Holding the session: while a transfer runs the computer neither shuts down nor sleeps, because a
// transfer cut short leaves a gamepad without working firmware. One interface here, one file per
// platform beside it (linux/: a logind inhibitor; win32/: a hidden window and the execution
// state); the program installs its platform's hold once, and the engine takes one per transfer.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zevrin {

// Keeps the session from ending, and the system from sleeping, for as long as it lives. Created
// and destroyed on the thread that runs the transfer.
class SessionHold {
  public:
    virtual ~SessionHold() = default;
};

// What a hold is taken for.
struct HoldRequest {
    std::string who;  // the program, as the system lists it (UTF-8)
    std::string why;  // shown by the system while it waits (UTF-8)
    // Ends the transfer early, from any thread, without waiting for it: what a platform that is
    // told the session ends all the same (a forced shutdown) does before it lets the process go.
    std::function<void()> stop;
};

using SessionHolder = std::function<std::unique_ptr<SessionHold>(const HoldRequest& request)>;

// Installs the platform's hold, once, from the program's composition root; none by default. An
// empty holder removes it.
void SetSessionHolder(SessionHolder holder);
// A hold from the installed holder; null when none is installed or it could hold nothing.
std::unique_ptr<SessionHold> HoldSession(const HoldRequest& request);

}  // namespace zevrin

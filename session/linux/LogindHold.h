// Holding the session on Linux: a logind inhibitor lock ("shutdown:sleep", mode block) taken over
// the system bus, as desktop firmware updaters do, and released by closing its descriptor.
#pragma once

#include <memory>

#include "session/SessionHold.h"

namespace zevrin {

// A hold for the length of one transfer. Without a system bus or logind (containers, a minimal
// system) the hold holds nothing and says so in one log line: the update goes on all the same.
// A blocking lock keeps the session from ending at all, so the request's stop is never needed.
std::unique_ptr<SessionHold> HoldSessionWithLogind(const HoldRequest& request);

}  // namespace zevrin

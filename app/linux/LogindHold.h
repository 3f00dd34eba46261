// Holding the session on Linux: a logind inhibitor lock ("shutdown:sleep", mode block) taken over
// the system bus, as desktop firmware updaters do, and released by closing its descriptor.
#pragma once

#include <memory>

#include "update/UpdateEngine.h"

namespace zevrin {

// A hold for the length of one transfer. Without a system bus or logind (containers, a minimal
// system) the hold holds nothing and says so in one log line: the update goes on all the same.
std::unique_ptr<SessionHold> HoldSessionWithLogind();

}  // namespace zevrin

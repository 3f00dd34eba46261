#include "session/SessionHold.h"

#include <mutex>
#include <utility>

namespace zevrin {
namespace {

std::mutex g_HolderLock;
SessionHolder g_Holder;

}  // namespace

void SetSessionHolder(SessionHolder holder) {
    std::lock_guard lock(g_HolderLock);
    g_Holder = std::move(holder);
}

std::unique_ptr<SessionHold> HoldSession(const HoldRequest& request) {
    SessionHolder holder;
    {
        // Copied out: a holder may take its time (a bus call) and must not hold up another.
        std::lock_guard lock(g_HolderLock);
        holder = g_Holder;
    }
    return holder ? holder(request) : nullptr;
}

}  // namespace zevrin

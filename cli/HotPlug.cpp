#include "cli/HotPlug.h"

namespace zevrin::cli {

void Wakeup::Notify() {
    {
        std::lock_guard lock(m_Mutex);
        ++m_Count;
    }
    m_Changed.notify_all();
}

bool Wakeup::WaitAfter(uint64_t& seen, Clock::time_point until) {
    std::unique_lock lock(m_Mutex);
    if (!m_Changed.wait_until(lock, until, [&] { return m_Count != seen; })) {
        return false;
    }
    seen = m_Count;
    return true;
}

uint64_t Wakeup::Count() const {
    std::lock_guard lock(m_Mutex);
    return m_Count;
}

}  // namespace zevrin::cli

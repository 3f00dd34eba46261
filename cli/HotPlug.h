// Waiting for gamepads to come and go through the same hot-plug watch the windows use
// (hid/HotPlug.h): the list is read again only when the system said something changed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "hid/HotPlug.h"

namespace zevrin::cli {

// Something happened that a waiting thread should look at: the devices changed, a child wrote a
// line. Counted, so a notification that comes before the wait is not lost.
class Wakeup {
  public:
    using Clock = std::chrono::steady_clock;

    void Notify();
    // Waits until a notification newer than `seen` or `until`; true and `seen` brought up to date
    // when one came.
    bool WaitAfter(uint64_t& seen, Clock::time_point until);
    uint64_t Count() const;

  private:
    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    uint64_t m_Count = 0;
};

}  // namespace zevrin::cli

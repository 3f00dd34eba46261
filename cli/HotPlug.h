// Waiting for gamepads to come and go through the same hot-plug notification the windows use:
// a libudev monitor on Linux, WM_DEVICECHANGE to a message-only window on Windows, the `post` of
// the simulated gamepad. Nothing lists the devices on a timer: the list is read again only when
// the system said something changed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "hid/HidPort.h"

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

// A registration for device-change events for as long as it lives. `changed` runs on a thread of
// the watch's own (or, for the simulated gamepad, on the thread that plugged it), for arrivals,
// removals and the system's "devices changed", each with the interface's path where the system
// names it (Windows and udev do for arrivals and removals).
class HotPlugWatch {
  public:
    HotPlugWatch(HidPort& port, std::function<void(const DeviceEvent&)> changed);
    ~HotPlugWatch();
    HotPlugWatch(const HotPlugWatch&) = delete;
    HotPlugWatch& operator=(const HotPlugWatch&) = delete;

    // The registration was taken. Without it no arrival would ever be told.
    bool Active() const;

  private:
    struct Impl;  // per platform: cli/linux, cli/win32
    std::unique_ptr<Impl> m_Impl;
};

}  // namespace zevrin::cli

// A registration for device-change events, turned into one callback, for as long as the object
// lives: a libudev monitor that a thread of the watch's own polls on Linux, WM_DEVICECHANGE to a
// message-only window on a thread of its own on Windows, the `post` of the simulated gamepad.
// Both windows and the CLI's --wait and --repeat follow hot-plug through it; nothing lists the
// devices on a timer.
#pragma once

#include <functional>
#include <memory>

#include "hid/HidPort.h"

namespace zevrin {

class HotPlugWatch {
  public:
    // Runs on the watch's own thread (or, for the simulated gamepad, on the thread that plugged
    // it), for arrivals, removals and the system's "devices changed", each with the interface's
    // path where the system names it (Windows and udev do for arrivals and removals).
    using Changed = std::function<void(const DeviceEvent&)>;

    HotPlugWatch(HidPort& port, Changed changed);
    // Unregisters and waits for a callback in flight: nothing runs `changed` once it returns.
    ~HotPlugWatch();
    HotPlugWatch(const HotPlugWatch&) = delete;
    HotPlugWatch& operator=(const HotPlugWatch&) = delete;

    // The registration was taken. Without it no arrival would ever be told.
    bool Active() const;

  private:
    struct Impl;  // per platform: hid/linux, hid/win32
    std::unique_ptr<Impl> m_Impl;
};

}  // namespace zevrin

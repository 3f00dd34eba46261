// Device changes on Linux: the HidPort's libudev monitor hands out a descriptor that becomes
// readable when udev has an event (after its rules ran, so the node has its permissions by then);
// a thread of the watch's own sleeps in poll() on it. The simulated gamepad posts instead.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>
#include <utility>

#include "hid/HotPlug.h"

namespace zevrin {

struct HotPlugWatch::Impl {
    Changed changed;
    std::unique_ptr<HidNotification> notification;
    int quit = -1;  // an eventfd: written once to end the thread's poll
    std::thread thread;

    void Watch(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {quit, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return;  // the monitor is broken: no event will ever come through it again
            }
            for (const DeviceEvent& event : notification->DrainEvents()) {
                changed(event);
            }
        }
    }
};

HotPlugWatch::HotPlugWatch(HidPort& port, Changed changed) : m_Impl(std::make_unique<Impl>()) {
    m_Impl->changed = std::move(changed);
    NotifyWindow window;
    window.post = [impl = m_Impl.get()](uint32_t code) { impl->changed({code, {}}); };
    window.postEvent = [impl = m_Impl.get()](const DeviceEvent& event) { impl->changed(event); };
    m_Impl->notification = port.RegisterNotification(window);
    if (!m_Impl->notification || m_Impl->notification->PollFd() < 0) {
        return;
    }
    m_Impl->quit = eventfd(0, EFD_CLOEXEC);
    if (m_Impl->quit < 0) {
        m_Impl->notification.reset();
        return;
    }
    m_Impl->thread = std::thread(
        [impl = m_Impl.get(), fd = m_Impl->notification->PollFd()] { impl->Watch(fd); });
}

HotPlugWatch::~HotPlugWatch() {
    if (m_Impl->thread.joinable()) {
        const uint64_t one = 1;
        (void)!write(m_Impl->quit, &one, sizeof one);
        m_Impl->thread.join();
    }
    if (m_Impl->quit >= 0) {
        close(m_Impl->quit);
    }
    // Unregistered before `changed` goes: a post in flight finishes first.
    m_Impl->notification.reset();
}

bool HotPlugWatch::Active() const {
    return m_Impl->notification != nullptr;
}

}  // namespace zevrin

// A gamepad the Linux kernel takes for a real one: a uhid device whose output reports go to the
// gamepad's side of the update protocol (protocol/Gamepad.h) and whose answers go back as input
// reports. hidraw, udev, hidapi and the programs on top meet it as they meet the USB gamepad.
//
// The descriptor it talks to is /dev/uhid, or anything that passes whole uhid_event records the
// same way (a SOCK_SEQPACKET socket in the suites).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/Gamepad.h"

namespace zevrin::uhid {

struct Identity {
    uint16_t vendorId = 0x0483;
    uint16_t productId = 0x5750;
    std::string name;
    std::string uniq;  // what tells this device's hidraw node from every other's
};

// Vendor-defined, one 64-byte input and one 64-byte output report, no report ids: what the USB
// gamepad in boot mode declares.
extern const std::vector<uint8_t> kReportDescriptor;

// What the gamepad was sent, as key=value lines, the --record file.
std::string RecordText(const protocol::Recording& recording);

class UhidGamepad {
  public:
    enum class End {
        Stopped,    // the stop descriptor became readable
        Unplugged,  // an unplug fault: the device was destroyed
        Failed,     // the uhid descriptor failed or was closed: Error() says how
    };

    // Neither descriptor is owned.
    UhidGamepad(int uhidFd, protocol::Gamepad& gamepad) : m_Fd(uhidFd), m_Gamepad(gamepad) {}

    bool Create(const Identity& identity);

    // Serves the device until it ends. `started` runs once the kernel has started the device,
    // and again every few milliseconds until it returns true (the hidraw node comes after).
    End Run(int stopFd, const std::function<bool()>& started);

    // Removes the device, once; nothing after the first call.
    void Destroy();

    // Per data request answered: microseconds from writing the request to reading the next data
    // frame. Both ends are taken on CLOCK_MONOTONIC (steady_clock), next to the system calls.
    const std::vector<int64_t>& TurnaroundsUs() const { return m_Turnarounds; }
    // Microseconds from reading the host's enter-update frame to reading its done frame; 0 when
    // no update got there.
    int64_t UpdateUs() const { return m_UpdateUs; }
    // Of that: microseconds from the enter-update frame to the first data request going out, and
    // the data requests' time past their due moment, summed: how late the gamepad's timer woke it,
    // and whatever ran before its write returned (on one processor, a host woken by the write may
    // answer first). The rest is the answers' latency and the host's turnaround.
    int64_t FirstRequestUs() const { return m_FirstRequestUs; }
    int64_t OverdueUs() const { return m_OverdueUs; }
    const std::string& Error() const { return m_Error; }

  private:
    using Clock = std::chrono::steady_clock;

    bool Write(const void* event, const char* what);
    bool SendDue();
    bool OnEvent(const void* event, Clock::time_point readAt, End& end);
    void OnOutput(const uint8_t* data, size_t size, Clock::time_point readAt, End& end);

    int m_Fd;
    protocol::Gamepad& m_Gamepad;
    std::deque<std::pair<Clock::time_point, protocol::InputReport>> m_Due;
    bool m_Created = false;
    bool m_Started = false;
    bool m_RequestOut = false;  // a data request went out and no data frame has come since
    Clock::time_point m_RequestWrittenAt;
    std::vector<int64_t> m_Turnarounds;
    std::optional<Clock::time_point> m_UpdateFrom;
    int64_t m_UpdateUs = 0;
    int64_t m_FirstRequestUs = 0;
    int64_t m_OverdueUs = 0;
    std::string m_Error;
};

}  // namespace zevrin::uhid

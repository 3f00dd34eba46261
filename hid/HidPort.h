// What CHid needs of a platform. One implementation per platform (hid/win32, hid/linux) plus the
// simulated gamepad (hid/sim); only the composition roots name them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Wire.h"

namespace zevrin {

// Result codes of one read, the values callers log ("recv() failed with error code 0x%x").
inline constexpr uint32_t kReadOk = 0;
inline constexpr uint32_t kReadTimeout = 258;   // WAIT_TIMEOUT
inline constexpr uint32_t kReadNoHandle = 128;  // no read handle (same value as WAIT_ABANDONED)
inline constexpr uint32_t kReadFailed = 0xFFFFFFFF;  // WAIT_FAILED

// Every report write ends within this bound on every backend: a device that stops taking output
// reports must not hold the sender, and the locks it holds, for ever.
inline constexpr uint32_t kWriteTimeoutMs = 1000;

// Device-change event codes handed to the window, as Windows numbers them.
inline constexpr uint32_t kDevNodesChanged = 0x0007;
inline constexpr uint32_t kDeviceArrival = 0x8000;
inline constexpr uint32_t kDeviceRemoveComplete = 0x8004;

enum class OpenStatus {
    Ok,
    NotFound,          // the path names no present device
    PermissionDenied,  // present, but this user may not open it (hidraw without the udev rule)
    Failed,            // any other refusal
    Claimed,           // another program (or another conversation of this one) is talking to it
};

struct HidInterface {
    std::string path;  // UTF-8; on Windows the device interface path
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// Held while one conversation with a gamepad lasts: no other program of this project sends it a
// report meanwhile, as two interleaved transfers would leave it with neither image. The system
// drops a claim with the process that held it, so a crash leaves none behind.
class HidClaim {
  public:
    virtual ~HidClaim() = default;
};

// A handle that a scan opened to read an interface's attributes; destroying it closes it.
class HidProbe {
  public:
    virtual ~HidProbe() = default;
};

class HidWriteHandle {
  public:
    virtual ~HidWriteHandle() = default;
    // Hands the whole 65-byte output report (report id first) to the device. False when the write
    // failed, did not end within kWriteTimeoutMs or was cancelled: the report was not sent.
    virtual bool Write(const uint8_t (&report)[kReportSize]) = 0;
    // Asks a Write running on another thread to give up early (it then returns false). A Cancel
    // with no write in progress does nothing.
    virtual void Cancel() {}
};

class HidReadHandle {
  public:
    virtual ~HidReadHandle() = default;
    // Waits at most timeoutMs for one input report. On kReadOk, `payload` holds the report's
    // bytes 1..64 (the report id is dropped); on any other result it is left untouched.
    virtual uint32_t Read(uint8_t (&payload)[kReportPayload], uint32_t timeoutMs) = 0;
    // Asks a Read running on another thread to give up early (it then returns kReadTimeout).
    // Best effort: a backend that cannot interrupt simply lets the time-out run out.
    virtual void Cancel() {}
};

// One arrival or removal event, and which interface it is about when the system says: its path
// as ListAccepted gives it (on Windows perhaps in another case), empty when not told.
struct DeviceEvent {
    uint32_t code = 0;
    std::string path;
};

// Where arrival/removal events go. Windows registers `handle` (an HWND) with the system; other
// backends call `post` with the event code, from any thread, and the window forwards it to its
// UI thread.
struct NotifyWindow {
    void* handle = nullptr;
    std::function<void(uint32_t code)> post;
    // Optional: where set, a backend that posts hands the whole event here instead of to `post`.
    std::function<void(const DeviceEvent& event)> postEvent = {};
};

// A live registration for device-change events; destroying it cancels the registration.
class HidNotification {
  public:
    virtual ~HidNotification() = default;
    // For backends whose events arrive on a file descriptor (libudev): the window watches this
    // descriptor and calls Drain when it is readable. -1 when events come through `post`.
    virtual int PollFd() const { return -1; }
    // Reads what is pending on PollFd and returns the event codes, in order.
    virtual std::vector<uint32_t> Drain() { return {}; }
    // The same with the interface each event is about, where the backend knows it.
    virtual std::vector<DeviceEvent> DrainEvents() {
        std::vector<DeviceEvent> events;
        for (const uint32_t code : Drain()) {
            events.push_back({code, {}});
        }
        return events;
    }
};

class HidPort {
  public:
    using Accept = std::function<bool(uint16_t vendorId, uint16_t productId)>;

    virtual ~HidPort() = default;

    // Walks the present interfaces in the platform's order and stops at the first one `accept`
    // takes: its path goes to `path` and, where the platform had to open it to learn its ids, the
    // open handle to `probe`. Interfaces after the match are not looked at.
    virtual bool ScanFirst(const Accept& accept, std::string& path,
                           std::unique_ptr<HidProbe>& probe) = 0;

    // Every present interface that `accept` takes, in the platform's order.
    virtual std::vector<HidInterface> ListAccepted(const Accept& accept) = 0;

    virtual std::unique_ptr<HidWriteHandle> OpenWrite(const std::string& path,
                                                      OpenStatus& status) = 0;
    virtual std::unique_ptr<HidReadHandle> OpenRead(const std::string& path,
                                                    OpenStatus& status) = 0;

    // Claims the gamepad at `path` without waiting. Null when it cannot be had: `status` is Claimed
    // when someone else holds it, or why the path could not be looked at.
    virtual std::unique_ptr<HidClaim> Claim(const std::string& path, OpenStatus& status) = 0;

    // Null when the registration failed.
    virtual std::unique_ptr<HidNotification> RegisterNotification(const NotifyWindow& window) = 0;

    // Whether `path` still names an interface that `accept` takes. A path found by an earlier scan
    // may name another device by now (hidraw node numbers are reused), so it is asked again once
    // the path is open. Backends whose paths cannot change hands may answer more cheaply.
    virtual bool PathAccepted(const std::string& path, const Accept& accept) {
        for (const HidInterface& found : ListAccepted(accept)) {
            if (found.path == path) {
                return true;
            }
        }
        return false;
    }
};

}  // namespace zevrin

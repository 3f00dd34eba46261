// HID access on Windows: SetupDi enumeration with a probe open per interface, CreateFileW handles,
// overlapped reads and writes, each with a bound, RegisterDeviceNotificationW.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hid/HidPort.h"

namespace zevrin {

struct Win32Api;

// A cancelled call normally ends at once. One that its driver has not ended this long after the
// cancel is given up, with its memory, and the read or write reports failure.
inline constexpr uint32_t kCancelledCallBoundMs = 2000;

class Win32HidPort final : public HidPort {
  public:
    // `api` must outlive the port and every handle it hands out.
    explicit Win32HidPort(const Win32Api& api) : m_Api(api) {}

    bool ScanFirst(const Accept& accept, std::string& path,
                   std::unique_ptr<HidProbe>& probe) override;
    std::vector<HidInterface> ListAccepted(const Accept& accept) override;
    std::unique_ptr<HidWriteHandle> OpenWrite(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidReadHandle> OpenRead(const std::string& path, OpenStatus& status) override;
    // A named object per interface path (ClaimName): the claim is its existence, which lasts
    // while a handle to it is open, so it ends with the process that held it.
    std::unique_ptr<HidClaim> Claim(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidNotification> RegisterNotification(const NotifyWindow& window) override;
    // An interface path carries the device's ids and its instance: it never names another device,
    // and asking again would open every HID interface of the system.
    bool PathAccepted(const std::string& /*path*/, const Accept& /*accept*/) override {
        return true;
    }

  private:
    const Win32Api& m_Api;
};

// The claim's object name for an interface path. Paths are compared as the system does:
// without regard to case, and with the \\.\ and \\?\ prefixes alike. In the Global namespace,
// so that a program in another session (a service, a remote desktop) meets the claim too.
std::wstring ClaimName(const std::string& path);

}  // namespace zevrin

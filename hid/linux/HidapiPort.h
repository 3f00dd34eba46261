// Linux backend: hidraw through hidapi for discovery and reports, libudev for hot-plug.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/HidPort.h"

namespace zevrin {

class HidapiPort final : public HidPort {
  public:
    HidapiPort();
    ~HidapiPort() override;

    bool ScanFirst(const Accept& accept, std::string& path,
                   std::unique_ptr<HidProbe>& probe) override;
    std::vector<HidInterface> ListAccepted(const Accept& accept) override;
    std::unique_ptr<HidWriteHandle> OpenWrite(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidReadHandle> OpenRead(const std::string& path, OpenStatus& status) override;
    // An exclusive flock on the hidraw node, on a descriptor of its own: the kernel drops it when
    // the process ends, however it ends.
    std::unique_ptr<HidClaim> Claim(const std::string& path, OpenStatus& status) override;
    // A libudev monitor of the hidraw subsystem; the window watches PollFd.
    std::unique_ptr<HidNotification> RegisterNotification(const NotifyWindow& window) override;
    // Asks udev which device the hidraw node belongs to now (node numbers are reused).
    bool PathAccepted(const std::string& path, const Accept& accept) override;
};

// The event code for a udev action on a hidraw node: "add" is an arrival, "remove" a removal;
// 0 for actions the window does not react to.
uint32_t DeviceEventForAction(const char* action);

// Why a path could not be opened, from the errno of an open(2) of it.
OpenStatus OpenStatusFromErrno(int error);

// "udev" when udevd runs (events come after its rules gave the node its permissions), else
// "kernel" (containers, CI).
const char* UdevMonitorSource();

}  // namespace zevrin

// --device PATH: a view of a HidPort in which only the interface at PATH exists, so CUpdateDlg's
// own discovery finds exactly the gamepad the user named (and nothing when it is absent or not a
// gamepad), without a second discovery path in the CLI.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hid/HidPort.h"

namespace zevrin::cli {

// Whether two paths name the same interface. Windows device interface paths are case-insensitive,
// and tools, the system's own broadcasts included, give them in either case.
bool SameInterfacePath(const std::string& a, const std::string& b);

class DevicePort final : public HidPort {
  public:
    DevicePort(HidPort& inner, std::string path) : m_Inner(inner), m_Path(std::move(path)) {}

    bool ScanFirst(const Accept& accept, std::string& path,
                   std::unique_ptr<HidProbe>& probe) override;
    std::vector<HidInterface> ListAccepted(const Accept& accept) override;
    std::unique_ptr<HidWriteHandle> OpenWrite(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidReadHandle> OpenRead(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidClaim> Claim(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidNotification> RegisterNotification(const NotifyWindow& window) override;

  private:
    bool IsChosen(const std::string& path) const;

    HidPort& m_Inner;
    std::string m_Path;
};

}  // namespace zevrin::cli

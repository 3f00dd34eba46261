#include "cli/DevicePort.h"

#include <algorithm>
#include <cctype>

namespace zevrin::cli {

bool DevicePort::IsChosen(const std::string& path) const {
#if defined(_WIN32)
    // Windows device interface paths are case-insensitive; tools print them in either case.
    return std::equal(path.begin(), path.end(), m_Path.begin(), m_Path.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
#else
    return path == m_Path;
#endif
}

bool DevicePort::ScanFirst(const Accept& accept, std::string& path,
                           std::unique_ptr<HidProbe>& probe) {
    probe.reset();
    const auto found = ListAccepted(accept);
    if (found.empty()) {
        return false;
    }
    path = found.front().path;
    return true;
}

std::vector<HidInterface> DevicePort::ListAccepted(const Accept& accept) {
    std::vector<HidInterface> all = m_Inner.ListAccepted(accept);
    std::erase_if(all, [this](const HidInterface& i) { return !IsChosen(i.path); });
    return all;
}

std::unique_ptr<HidWriteHandle> DevicePort::OpenWrite(const std::string& path, OpenStatus& status) {
    if (!IsChosen(path)) {
        status = OpenStatus::NotFound;
        return nullptr;
    }
    return m_Inner.OpenWrite(path, status);
}

std::unique_ptr<HidClaim> DevicePort::Claim(const std::string& path, OpenStatus& status) {
    if (!IsChosen(path)) {
        status = OpenStatus::NotFound;
        return nullptr;
    }
    return m_Inner.Claim(path, status);
}

std::unique_ptr<HidReadHandle> DevicePort::OpenRead(const std::string& path, OpenStatus& status) {
    if (!IsChosen(path)) {
        status = OpenStatus::NotFound;
        return nullptr;
    }
    return m_Inner.OpenRead(path, status);
}

std::unique_ptr<HidNotification> DevicePort::RegisterNotification(const NotifyWindow& window) {
    return m_Inner.RegisterNotification(window);
}

}  // namespace zevrin::cli

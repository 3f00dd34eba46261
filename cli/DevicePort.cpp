#include "cli/DevicePort.h"

#include <algorithm>
#include <cctype>

namespace zevrin::cli {

bool SameInterfacePath(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
#else
    return a == b;
#endif
}

bool DevicePort::IsChosen(const std::string& path) const {
    return SameInterfacePath(path, m_Path);
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

#include "hid/linux/HidapiPort.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "hid/Log.h"

namespace zevrin {
namespace {

// hidapi 0.13 is not thread-safe across hid_init, hid_enumerate, hid_open_path and hid_close.
std::mutex g_HidapiLock;

struct DeviceCloser {
    void operator()(hid_device* d) const {
        std::lock_guard lock(g_HidapiLock);
        hid_close(d);
    }
};
using DevicePtr = std::unique_ptr<hid_device, DeviceCloser>;

std::vector<HidInterface> Enumerate(const HidPort::Accept& accept, bool firstOnly) {
    std::vector<HidInterface> found;
    std::lock_guard lock(g_HidapiLock);
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* d = list; d != nullptr; d = d->next) {
        if (d->path != nullptr && accept(d->vendor_id, d->product_id)) {
            found.push_back({d->path, d->vendor_id, d->product_id});
            if (firstOnly) {
                break;
            }
        }
    }
    hid_free_enumeration(list);
    return found;
}

DevicePtr Open(const std::string& path, OpenStatus& status) {
    hid_device* d = nullptr;
    {
        std::lock_guard lock(g_HidapiLock);
        d = hid_open_path(path.c_str());
    }
    if (d != nullptr) {
        status = OpenStatus::Ok;
        return DevicePtr(d);
    }
    // hidapi keeps only a text; ask the node itself why, so a missing udev rule is told apart
    // from a device that has gone.
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        status = OpenStatus::Failed;
    } else {
        status = OpenStatusFromErrno(errno);
    }
    return nullptr;
}

class HidapiWriter final : public HidWriteHandle {
  public:
    explicit HidapiWriter(DevicePtr device) : m_Device(std::move(device)) {}
    bool Write(const uint8_t (&report)[kReportSize]) override {
        // Report id 0 goes first: hidraw takes the full 65 bytes for an unnumbered report.
        return hid_write(m_Device.get(), report, kReportSize) >= 0;
    }

  private:
    DevicePtr m_Device;
};

class HidapiReader final : public HidReadHandle {
  public:
    explicit HidapiReader(DevicePtr device) : m_Device(std::move(device)) {}
    uint32_t Read(uint8_t (&payload)[kReportPayload], uint32_t timeoutMs) override {
        // An unnumbered hidraw read carries no report-id byte: these are report bytes 1..64.
        uint8_t report[kReportPayload] = {};
        const int n = hid_read_timeout(m_Device.get(), report, sizeof report,
                                       static_cast<int>(std::min<uint32_t>(timeoutMs, 0x7FFFFFFF)));
        if (n < 0) {
            return kReadFailed;
        }
        if (n == 0) {
            return kReadTimeout;
        }
        std::memcpy(payload, report, kReportPayload);
        return kReadOk;
    }

  private:
    DevicePtr m_Device;
};

class NodeLock final : public HidClaim {
  public:
    explicit NodeLock(int fd) : m_Fd(fd) {}
    ~NodeLock() override { ::close(m_Fd); }  // the lock goes with the last descriptor
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;

  private:
    const int m_Fd;
};

class UdevNotification final : public HidNotification {
  public:
    UdevNotification(udev* context, udev_monitor* monitor) : m_Udev(context), m_Monitor(monitor) {}
    ~UdevNotification() override {
        udev_monitor_unref(m_Monitor);
        udev_unref(m_Udev);
    }
    int PollFd() const override { return udev_monitor_get_fd(m_Monitor); }
    std::vector<uint32_t> Drain() override {
        std::vector<uint32_t> codes;
        for (const DeviceEvent& event : DrainEvents()) {
            codes.push_back(event.code);
        }
        return codes;
    }
    std::vector<DeviceEvent> DrainEvents() override {
        std::vector<DeviceEvent> events;
        while (udev_device* dev = udev_monitor_receive_device(m_Monitor)) {
            const uint32_t code = DeviceEventForAction(udev_device_get_action(dev));
            if (code != 0) {
                // The node, as hidapi names the device: a removal event still carries it.
                const char* node = udev_device_get_devnode(dev);
                events.push_back({code, node != nullptr ? node : ""});
            }
            udev_device_unref(dev);
        }
        return events;
    }

  private:
    udev* m_Udev;
    udev_monitor* m_Monitor;
};

}  // namespace

uint32_t DeviceEventForAction(const char* action) {
    if (action == nullptr) {
        return 0;
    }
    if (std::strcmp(action, "add") == 0) {
        return kDeviceArrival;
    }
    if (std::strcmp(action, "remove") == 0) {
        return kDeviceRemoveComplete;
    }
    return 0;
}

OpenStatus OpenStatusFromErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return OpenStatus::PermissionDenied;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return OpenStatus::NotFound;
        default:
            return OpenStatus::Failed;
    }
}

const char* UdevMonitorSource() {
    return ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
}

HidapiPort::HidapiPort() {
    std::lock_guard lock(g_HidapiLock);
    hid_init();
}

HidapiPort::~HidapiPort() {
    std::lock_guard lock(g_HidapiLock);
    hid_exit();
}

bool HidapiPort::ScanFirst(const Accept& accept, std::string& path,
                           std::unique_ptr<HidProbe>& probe) {
    probe.reset();  // hid_enumerate reads the ids without opening anything
    auto found = Enumerate(accept, true);
    if (found.empty()) {
        return false;
    }
    path = found.front().path;
    return true;
}

std::vector<HidInterface> HidapiPort::ListAccepted(const Accept& accept) {
    return Enumerate(accept, false);
}

std::unique_ptr<HidWriteHandle> HidapiPort::OpenWrite(const std::string& path, OpenStatus& status) {
    DevicePtr d = Open(path, status);
    return d ? std::make_unique<HidapiWriter>(std::move(d)) : nullptr;
}

std::unique_ptr<HidReadHandle> HidapiPort::OpenRead(const std::string& path, OpenStatus& status) {
    DevicePtr d = Open(path, status);
    return d ? std::make_unique<HidapiReader>(std::move(d)) : nullptr;
}

std::unique_ptr<HidClaim> HidapiPort::Claim(const std::string& path, OpenStatus& status) {
    // O_NONBLOCK: the node is only held, never read; a reader that never reads costs the kernel
    // a queue of at most 64 reports that it stops filling.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        status = OpenStatusFromErrno(errno);
        return nullptr;
    }
    // The lock belongs to this open file description: another open of the node, even by this
    // process, meets it, and every program of the project asks for it before its first report.
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        status = error == EWOULDBLOCK ? OpenStatus::Claimed : OpenStatus::Failed;
        return nullptr;
    }
    status = OpenStatus::Ok;
    return std::make_unique<NodeLock>(fd);
}

bool HidapiPort::PathAccepted(const std::string& path, const Accept& accept) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    udev* context = udev_new();
    if (context == nullptr) {
        return false;
    }
    bool accepted = false;
    if (udev_device* node =
            udev_device_new_from_subsystem_sysname(context, "hidraw", name.c_str())) {
        const char* devnode = udev_device_get_devnode(node);
        // The HID parent's HID_ID is "bus:vendor:product" in hex, as the kernel names the device.
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(node, "hid", nullptr);
        const char* id = hid != nullptr ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
        unsigned bus = 0;
        unsigned vendor = 0;
        unsigned product = 0;
        if (devnode != nullptr && path == devnode && id != nullptr &&
            std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3 && vendor <= 0xFFFF &&
            product <= 0xFFFF) {
            accepted = accept(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product));
        }
        udev_device_unref(node);
    }
    udev_unref(context);
    return accepted;
}

std::unique_ptr<HidNotification> HidapiPort::RegisterNotification(const NotifyWindow& /*window*/) {
    udev* context = udev_new();
    udev_monitor* monitor =
        context != nullptr ? udev_monitor_new_from_netlink(context, UdevMonitorSource()) : nullptr;
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        LogLine("RegisterNotification: no udev monitor, hot-plug events will not arrive\n");
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
        }
        if (context != nullptr) {
            udev_unref(context);
        }
        return nullptr;
    }
    return std::make_unique<UdevNotification>(context, monitor);
}

}  // namespace zevrin

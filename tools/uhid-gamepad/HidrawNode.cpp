#include "HidrawNode.h"

#include <libudev.h>
#include <unistd.h>

#include <memory>

namespace zevrin::uhid {
namespace {

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevUnref>;

}  // namespace

std::optional<std::string> FindHidrawNode(const std::string& uniq) {
    const UdevPtr<udev> u(udev_new());
    if (!u) {
        return std::nullopt;
    }
    const UdevPtr<udev_enumerate> e(udev_enumerate_new(u.get()));
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "hidraw") < 0 ||
        udev_enumerate_scan_devices(e.get()) < 0) {
        return std::nullopt;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        const UdevPtr<udev_device> node(
            udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        if (!node) {
            continue;  // gone since the scan
        }
        // The parent belongs to the child: it is not unreferenced on its own.
        udev_device* hid =
            udev_device_get_parent_with_subsystem_devtype(node.get(), "hid", nullptr);
        const char* hidUniq = hid ? udev_device_get_property_value(hid, "HID_UNIQ") : nullptr;
        const char* devnode = udev_device_get_devnode(node.get());
        // devtmpfs makes the node along with the sysfs entry; a slow one is looked for again.
        if (hidUniq != nullptr && uniq == hidUniq && devnode != nullptr &&
            ::access(devnode, F_OK) == 0) {
            return std::string(devnode);
        }
    }
    return std::nullopt;
}

}  // namespace zevrin::uhid

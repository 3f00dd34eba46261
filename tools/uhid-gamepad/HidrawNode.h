// Where the kernel put the hidraw node of a HID device, found by the device's uniq string.
#pragma once

#include <optional>
#include <string>

namespace zevrin::uhid {

// The /dev path of the hidraw node whose HID parent has this uniq, once the node exists.
std::optional<std::string> FindHidrawNode(const std::string& uniq);

}  // namespace zevrin::uhid

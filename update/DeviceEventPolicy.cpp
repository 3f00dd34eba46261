#include "update/DeviceEventPolicy.h"

#include <cstddef>
#include <iterator>
#include <utility>

#include "hid/HidPort.h"
#include "update/UpdateDlg.h"

namespace {

// Every reaction scans afresh, so the outcome does not depend on the order the events came in;
// the arrival goes last because its version query may show a box.
constexpr uint32_t kReactionOrder[] = {zevrin::kDeviceRemoveComplete, zevrin::kDevNodesChanged,
                                       zevrin::kDeviceArrival};

}  // namespace

bool DeviceEventPolicy::Add(uint32_t code) {
    for (size_t i = 0; i < std::size(kReactionOrder); ++i) {
        if (kReactionOrder[i] == code) {
            const bool opens = m_Pending == 0;
            m_Pending |= 1u << i;
            return opens;
        }
    }
    return false;
}

void DeviceEventPolicy::Deliver() {
    // Taken before the reactions run: a box of the version query runs an event loop, and events
    // that arrive meanwhile open a burst of their own.
    const uint32_t pending = std::exchange(m_Pending, 0);
    for (size_t i = 0; i < std::size(kReactionOrder); ++i) {
        if ((pending & (1u << i)) != 0) {
            m_Dlg.OnDeviceChange(kReactionOrder[i], 0);
        }
    }
}

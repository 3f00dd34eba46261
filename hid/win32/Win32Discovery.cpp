#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "hid/win32/Utf16.h"
#include "hid/win32/Win32Api.h"
#include "hid/win32/Win32Handle.h"
#include "hid/win32/Win32HidPort.h"

namespace zevrin {
namespace {

// A detail query that fails again after the buffer was sized for it is not a short buffer: give
// that interface up after this many tries instead of asking forever.
constexpr int kDetailTries = 3;

class DeviceInfoSet {
  public:
    DeviceInfoSet(const Win32Api& api, HDEVINFO set) : m_Api(api), m_Set(set) {}
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    ~DeviceInfoSet() {
        if (*this) {
            m_Api.SetupDiDestroyDeviceInfoList(m_Set);
        }
    }

    explicit operator bool() const { return m_Set != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return m_Set; }

  private:
    const Win32Api& m_Api;
    HDEVINFO m_Set;
};

// The interface-detail record: a size field, then the path as a zero-terminated wide string.
class DetailBuffer {
  public:
    explicit DetailBuffer(const Win32Api& api) : m_Api(api) {}
    DetailBuffer(const DetailBuffer&) = delete;
    DetailBuffer& operator=(const DetailBuffer&) = delete;
    ~DetailBuffer() { Free(); }

    bool Allocate(DWORD bytes) {
        // A size query that failed outright reports 0; the size field must fit all the same.
        const DWORD size = std::max<DWORD>(bytes, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        m_Detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(m_Api.AllocateDetail(size));
        if (m_Detail == nullptr) {
            return false;
        }
        m_Size = size;
        // The system checks this against its own record size for this build: 8 on x64, 6 on
        // 32-bit. It is never the buffer's size.
        m_Detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        return true;
    }
    void Free() {
        if (m_Detail != nullptr) {
            m_Api.FreeDetail(m_Detail);
            m_Detail = nullptr;
            m_Size = 0;
        }
    }

    explicit operator bool() const { return m_Detail != nullptr; }
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* get() const { return m_Detail; }
    DWORD size() const { return m_Size; }

    // Bounded by the buffer, in case the system left the path unterminated.
    std::wstring_view Path() const {
        const size_t room =
            (m_Size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
        return {m_Detail->DevicePath, wcsnlen(m_Detail->DevicePath, room)};
    }

  private:
    const Win32Api& m_Api;
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* m_Detail = nullptr;
    DWORD m_Size = 0;
};

// A gamepad shows one interface per top-level collection, each with its own report lengths. Only
// the one whose reports are the 65 bytes of the update protocol (report id 0 + 64) carries it; a
// write of 65 bytes to another collection fails, and its input is not the protocol's.
bool CarriesTheReportChannel(const Win32Api& api, HANDLE device) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!api.HidD_GetPreparsedData(device, &preparsed)) {
        return false;
    }
    HIDP_CAPS caps{};
    const bool known = api.HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    api.HidD_FreePreparsedData(preparsed);
    return known && caps.InputReportByteLength == kReportSize &&
           caps.OutputReportByteLength == kReportSize;
}

struct Accepted {
    std::string path;
    uint16_t vendorId;
    uint16_t productId;
    Handle probe;
};

// Opens the interface whose path `detail` holds and keeps it when its ids are accepted and it
// carries the report channel.
std::optional<Accepted> ProbeInterface(const Win32Api& api, const HidPort::Accept& accept,
                                       const DetailBuffer& detail) {
    // No access rights: enough for the attributes and the report lengths, it touches no device's
    // reports, and the system grants it for keyboards and mice too, and for a gamepad another
    // program holds (whose open then says so, instead of it going unseen).
    Handle probe(api,
                 api.CreateFileW(detail.get()->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    if (!probe) {
        return std::nullopt;
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!api.HidD_GetAttributes(probe.get(), &attributes) ||
        !accept(attributes.VendorID, attributes.ProductID) ||
        !CarriesTheReportChannel(api, probe.get())) {
        return std::nullopt;
    }
    return Accepted{Utf8(detail.Path(), BadUtf16::Replace).value_or(std::string()),
                    attributes.VendorID, attributes.ProductID, std::move(probe)};
}

// Walks the present HID interfaces in the system's order, opening each one to read its ids, and
// hands every accepted one that carries the report channel to `take` until `take` returns true.
// Returns whether it did.
bool WalkInterfaces(const Win32Api& api, const HidPort::Accept& accept,
                    const std::function<bool(Accepted&&)>& take) {
    GUID hidClass;
    api.HidD_GetHidGuid(&hidClass);
    const DeviceInfoSet set(api, api.SetupDiGetClassDevsW(&hidClass, nullptr, nullptr,
                                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) {
        return false;
    }

    SP_DEVICE_INTERFACE_DATA iface{};
    // The record's size for this build (32 on x64, 28 on 32-bit); the system refuses any other.
    iface.cbSize = sizeof(iface);
    DetailBuffer detail(api);
    int failedQueries = 0;
    DWORD index = 0;
    while (api.SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidClass, index, &iface)) {
        if (!detail) {
            DWORD required = 0;
            // Fails by design (no buffer) and says how many bytes this interface's path needs.
            api.SetupDiGetDeviceInterfaceDetailW(set.get(), &iface, nullptr, 0, &required, nullptr);
            if (!detail.Allocate(required)) {
                return false;
            }
        }
        if (!api.SetupDiGetDeviceInterfaceDetailW(set.get(), &iface, detail.get(), detail.size(),
                                                  nullptr, nullptr)) {
            // Normally a path longer than the one the buffer was sized for: size it anew and ask
            // again for the same interface.
            detail.Free();
            if (++failedQueries == kDetailTries) {
                failedQueries = 0;
                ++index;
            }
            continue;
        }
        failedQueries = 0;
        ++index;
        std::optional<Accepted> found = ProbeInterface(api, accept, detail);
        if (found && take(std::move(*found))) {
            return true;
        }
    }
    return false;
}

class Win32Probe final : public HidProbe {
  public:
    explicit Win32Probe(Handle handle) : m_Handle(std::move(handle)) {}

  private:
    Handle m_Handle;
};

}  // namespace

bool Win32HidPort::ScanFirst(const Accept& accept, std::string& path,
                             std::unique_ptr<HidProbe>& probe) {
    return WalkInterfaces(m_Api, accept, [&](Accepted&& found) {
        path = std::move(found.path);
        probe = std::make_unique<Win32Probe>(std::move(found.probe));
        return true;  // the first accepted interface wins; later ones are not opened
    });
}

std::vector<HidInterface> Win32HidPort::ListAccepted(const Accept& accept) {
    std::vector<HidInterface> found;
    WalkInterfaces(m_Api, accept, [&](Accepted&& entry) {
        found.push_back({std::move(entry.path), entry.vendorId, entry.productId});
        return false;  // the probe closes with `entry`
    });
    return found;
}

}  // namespace zevrin

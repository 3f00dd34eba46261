#include "hid/win32/Win32HidPort.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "hid/Log.h"
#include "hid/win32/Utf16.h"
#include "hid/win32/Win32Api.h"

namespace zevrin {
namespace {

// A detail query that fails again after the buffer was sized for it is not a short buffer: give
// that interface up after this many tries instead of asking forever.
constexpr int kDetailTries = 3;

// Owns one kernel handle (file or event); closing it is the only way it ends.
class Handle {
  public:
    Handle(const Win32Api& api, HANDLE handle) : m_Api(&api), m_Handle(handle) {}
    Handle(Handle&& other) noexcept
        : m_Api(other.m_Api), m_Handle(std::exchange(other.m_Handle, nullptr)) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(Handle&&) = delete;
    ~Handle() {
        if (*this) {
            m_Api->CloseHandle(m_Handle);
        }
    }

    // Files fail as INVALID_HANDLE_VALUE, events as null.
    explicit operator bool() const {
        return m_Handle != nullptr && m_Handle != INVALID_HANDLE_VALUE;
    }
    HANDLE get() const { return m_Handle; }
    // For a handle the system may still signal after we are gone: it must never be closed.
    void Abandon() { m_Handle = nullptr; }

  private:
    const Win32Api* m_Api;
    HANDLE m_Handle;
};

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

OpenStatus StatusOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OpenStatus::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return OpenStatus::PermissionDenied;
        default:
            return OpenStatus::Failed;
    }
}

class NamedClaim final : public HidClaim {
  public:
    explicit NamedClaim(Handle object) : m_Object(std::move(object)) {}

  private:
    Handle m_Object;
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

        // No access rights: enough for the attributes and the report lengths, it touches no
        // device's reports, and the system grants it for keyboards and mice too, and for a
        // gamepad another program holds (whose open then says so, instead of it going unseen).
        Handle probe(
            api, api.CreateFileW(detail.get()->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
        if (!probe) {
            continue;
        }
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(attributes);
        if (!api.HidD_GetAttributes(probe.get(), &attributes) ||
            !accept(attributes.VendorID, attributes.ProductID) ||
            !CarriesTheReportChannel(api, probe.get())) {
            continue;
        }
        if (take(Accepted{Utf8(detail.Path(), BadUtf16::Replace).value_or(std::string()),
                          attributes.VendorID, attributes.ProductID, std::move(probe)})) {
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

// One overlapped read or write. The system uses both fields until the call has ended, which after
// a cancel can be later than the wait that gave up on it. A write carries its own copy of the
// report: the caller's buffer is refilled for the next report while an abandoned write may still
// be reading this one.
struct PendingReport {
    OVERLAPPED overlapped{};
    uint8_t report[kReportSize]{};
};
static_assert(std::is_trivially_destructible_v<PendingReport>);

// The memory of one call, from the table's allocator. It goes back once the call has ended; the
// memory of a call whose end could not be seen is kept for good (Abandon): the system may still
// write into it.
class CallMemory {
  public:
    explicit CallMemory(const Win32Api& api)
        : m_Api(api), m_Block(api.AllocateIo(sizeof(PendingReport))) {
        if (m_Block != nullptr) {
            m_Report = new (m_Block) PendingReport();
        }
    }
    CallMemory(const CallMemory&) = delete;
    CallMemory& operator=(const CallMemory&) = delete;
    ~CallMemory() {
        if (m_Block != nullptr) {
            m_Api.FreeIo(m_Block);
        }
    }

    explicit operator bool() const { return m_Report != nullptr; }
    PendingReport* operator->() const { return m_Report; }
    void Abandon() { m_Block = nullptr; }

  private:
    const Win32Api& m_Api;
    void* m_Block;
    PendingReport* m_Report = nullptr;
};

// How one overlapped call ended.
struct Ending {
    bool started = false;  // false: the call failed before anything was queued
    DWORD waited = WAIT_FAILED;
    bool whole = false;      // ended well, having moved the whole report
    bool cancelled = false;  // Cancel was asked for while the call ran
    bool abandoned = false;  // it did not end even once cancelled: its memory is kept for good
};

enum class Direction { Read, Write };

// A file opened for overlapped I/O that runs one call at a time, with a bound on each, and that
// another thread may cancel.
class OverlappedFile {
  public:
    // `cancelAhead`: a Cancel that arrives between two calls ends the next one. Reads want that,
    // or a window closing just as one read ended would wait out the whole time-out of the next.
    OverlappedFile(const Win32Api& api, Handle file, bool cancelAhead)
        : m_Api(api), m_File(std::move(file)), m_CancelAhead(cancelAhead) {}

    // Runs one call on `io` and returns once it has really ended, or once it is plain that it will
    // not: then `io` is abandoned on purpose, since the system may still use it.
    Ending Transfer(Direction direction, CallMemory& io, DWORD timeoutMs) {
        Ending ending;
        if (m_GivenUp) {
            // A call on this handle never ended: its driver does not finish what it is given,
            // and each new call would be given up the same way, keeping its memory too.
            return ending;
        }
        Begin();
        // Manual-reset and unsignalled: only the end of this call may set it.
        Handle event(m_Api, m_Api.CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) {
            ending.cancelled = Finish();
            return ending;
        }
        io->overlapped.hEvent = event.get();
        const BOOL done =
            direction == Direction::Read
                ? m_Api.ReadFile(m_File.get(), io->report, kReportSize, nullptr, &io->overlapped)
                : m_Api.WriteFile(m_File.get(), io->report, kReportSize, nullptr, &io->overlapped);
        if (!done && m_Api.GetLastError() != ERROR_IO_PENDING) {
            // Nothing was queued (the device is gone, typically): its event will never be set,
            // and waiting for the end of a call that never began would never return.
            ending.cancelled = Finish();
            return ending;
        }
        ending.started = true;
        Publish(&io->overlapped);
        ending.waited = m_Api.WaitForSingleObject(event.get(), timeoutMs);
        DWORD moved = 0;
        BOOL succeeded = FALSE;
        bool ended = false;
        if (ending.waited == WAIT_OBJECT_0) {
            // The call's own status, not the event, says whether it brought a report.
            succeeded = m_Api.GetOverlappedResult(m_File.get(), &io->overlapped, &moved, FALSE);
            ended = succeeded || m_Api.GetLastError() != ERROR_IO_INCOMPLETE;
        }
        if (!ended) {
            // Still pending, or about to end: the system may use the report and the OVERLAPPED
            // until the call has really ended, so wait for that before releasing them. A cancelled
            // call normally ends at once, but a driver may never end it, and an unbounded wait
            // (GetOverlappedResult with bWait) would then hold the transfer for ever.
            m_Api.CancelIo(m_File.get());
            m_Api.WaitForSingleObject(event.get(), kCancelledCallBoundMs);
            if (!HasOverlappedIoCompleted(&io->overlapped)) {
                // Keeping the call's memory and the event it will set, for good, is the only safe
                // choice; the handle takes no further call.
                io.Abandon();
                event.Abandon();
                m_GivenUp = true;
                LogLine("%s: the cancelled call did not end within %u ms: the handle is given up\n",
                        direction == Direction::Read ? "ReadFile" : "WriteFile",
                        kCancelledCallBoundMs);
                ending.abandoned = true;
                ending.cancelled = Finish();
                return ending;
            }
            succeeded = m_Api.GetOverlappedResult(m_File.get(), &io->overlapped, &moved, FALSE);
        }
        ending.cancelled = Finish();
        // A call that completed while it was being cancelled still moved its report: a report
        // thrown away here would be a device answer the update never sees.
        ending.whole = succeeded && moved == kReportSize;
        return ending;
    }

    void Cancel() {
        std::lock_guard lock(m_Mutex);
        if (!m_Running && !m_CancelAhead) {
            return;
        }
        m_CancelRequested = true;
        if (m_Pending != nullptr) {
            // CancelIo only reaches I/O of the calling thread; the call runs on another one.
            m_Api.CancelIoEx(m_File.get(), m_Pending);
        }
    }

  private:
    void Begin() {
        std::lock_guard lock(m_Mutex);
        m_Running = true;
    }
    // Makes the call visible to Cancel. A Cancel that landed before the call was queued ends it
    // at once.
    void Publish(OVERLAPPED* overlapped) {
        std::lock_guard lock(m_Mutex);
        m_Pending = overlapped;
        if (m_CancelRequested) {
            m_Api.CancelIoEx(m_File.get(), overlapped);
        }
    }
    // Returns whether a Cancel was asked for, and consumes it.
    bool Finish() {
        std::lock_guard lock(m_Mutex);
        m_Pending = nullptr;
        m_Running = false;
        return std::exchange(m_CancelRequested, false);
    }

    const Win32Api& m_Api;
    Handle m_File;
    const bool m_CancelAhead;
    std::mutex m_Mutex;  // the three below, shared with Cancel
    OVERLAPPED* m_Pending = nullptr;
    bool m_Running = false;
    bool m_CancelRequested = false;
    bool m_GivenUp = false;  // the calling thread's only
};

class Win32WriteHandle final : public HidWriteHandle {
  public:
    Win32WriteHandle(const Win32Api& api, Handle file)
        : m_Api(api), m_File(api, std::move(file), /*cancelAhead=*/false) {}

    bool Write(const uint8_t (&report)[kReportSize]) override {
        CallMemory io(m_Api);
        if (!io) {
            return false;
        }
        std::memcpy(io->report, report, kReportSize);
        // A HID write is the whole report or nothing; a short count means the device did not
        // take it.
        return m_File.Transfer(Direction::Write, io, kWriteTimeoutMs).whole;
    }

    void Cancel() override { m_File.Cancel(); }

  private:
    const Win32Api& m_Api;
    OverlappedFile m_File;
};

class Win32ReadHandle final : public HidReadHandle {
  public:
    Win32ReadHandle(const Win32Api& api, Handle file)
        : m_Api(api), m_File(api, std::move(file), /*cancelAhead=*/true) {}

    uint32_t Read(uint8_t (&payload)[kReportPayload], uint32_t timeoutMs) override {
        CallMemory io(m_Api);
        if (!io) {
            return kReadFailed;
        }
        const Ending ending = m_File.Transfer(Direction::Read, io, timeoutMs);
        if (ending.whole) {
            std::memcpy(payload, io->report + 1, kReportPayload);
            return kReadOk;
        }
        if (!ending.started || ending.abandoned) {
            return kReadFailed;  // and so is every read after it: the engine sees a lost device
        }
        if (ending.cancelled) {
            return kReadTimeout;
        }
        // A read that ended without a report failed, whatever the wait said; one that did not
        // end in time passes on what the wait said.
        return ending.waited == WAIT_OBJECT_0 ? kReadFailed : ending.waited;
    }

    void Cancel() override { m_File.Cancel(); }

  private:
    const Win32Api& m_Api;
    OverlappedFile m_File;
};

class Win32Notification final : public HidNotification {
  public:
    Win32Notification(const Win32Api& api, HDEVNOTIFY handle) : m_Api(api), m_Handle(handle) {}
    Win32Notification(const Win32Notification&) = delete;
    Win32Notification& operator=(const Win32Notification&) = delete;
    ~Win32Notification() override { m_Api.UnregisterDeviceNotification(m_Handle); }

  private:
    const Win32Api& m_Api;
    HDEVNOTIFY m_Handle;
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

std::unique_ptr<HidWriteHandle> Win32HidPort::OpenWrite(const std::string& path,
                                                        OpenStatus& status) {
    // Overlapped, so that every write has a bound: a device that stops taking output reports
    // would otherwise hold a synchronous WriteFile, and the sender's locks, for ever.
    Handle file(m_Api, m_Api.CreateFileW(Utf16(path).c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr));
    if (!file) {
        status = StatusOf(m_Api.GetLastError());
        return nullptr;
    }
    status = OpenStatus::Ok;
    return std::make_unique<Win32WriteHandle>(m_Api, std::move(file));
}

std::unique_ptr<HidReadHandle> Win32HidPort::OpenRead(const std::string& path, OpenStatus& status) {
    Handle file(m_Api, m_Api.CreateFileW(Utf16(path).c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr));
    if (!file) {
        status = StatusOf(m_Api.GetLastError());
        return nullptr;
    }
    status = OpenStatus::Ok;
    return std::make_unique<Win32ReadHandle>(m_Api, std::move(file));
}

std::wstring ClaimName(const std::string& path) {
    std::string normal = path;
    std::transform(normal.begin(), normal.end(), normal.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    if (normal.starts_with(R"(\\.\)")) {
        normal[2] = '?';
    }
    // An object name may not hold a backslash, and a path can outgrow the name's limit: FNV-1a.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : normal) {
        hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3ULL;
    }
    wchar_t digits[17] = {};
    for (int i = 15; i >= 0; --i, hash >>= 4) {
        digits[i] = L"0123456789abcdef"[hash & 0xF];
    }
    return std::wstring(LR"(Global\zevrin-gamepad-)") + digits;
}

std::unique_ptr<HidClaim> Win32HidPort::Claim(const std::string& path, OpenStatus& status) {
    Handle object(m_Api, m_Api.CreateMutexW(nullptr, FALSE, ClaimName(path).c_str()));
    const DWORD error = m_Api.GetLastError();
    if (!object) {
        // Another user's claim: its object exists, but this user may not open it.
        status = error == ERROR_ACCESS_DENIED ? OpenStatus::Claimed : OpenStatus::Failed;
        return nullptr;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        status = OpenStatus::Claimed;
        return nullptr;
    }
    status = OpenStatus::Ok;
    return std::make_unique<NamedClaim>(std::move(object));
}

std::unique_ptr<HidNotification> Win32HidPort::RegisterNotification(const NotifyWindow& window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    // The record's fixed size (32 bytes); the name stays empty, so no room is added for one.
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    m_Api.HidD_GetHidGuid(&filter.dbcc_classguid);
    filter.dbcc_name[0] = L'\0';
    HDEVNOTIFY handle = m_Api.RegisterDeviceNotificationW(static_cast<HANDLE>(window.handle),
                                                          &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (handle == nullptr) {
        return nullptr;
    }
    return std::make_unique<Win32Notification>(m_Api, handle);
}

}  // namespace zevrin

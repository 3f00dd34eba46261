#include "hid/win32/Win32HidPort.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "hid/win32/Utf16.h"
#include "hid/win32/Win32Api.h"
#include "hid/win32/Win32Handle.h"

namespace zevrin {
namespace {

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
    return MakeWriteHandle(m_Api, std::move(file));
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
    return MakeReadHandle(m_Api, std::move(file));
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

// An owned kernel handle, shared by the discovery walk, the transfers and the claim.
#pragma once

#include <memory>
#include <utility>

#include "hid/HidPort.h"
#include "hid/win32/Win32Api.h"

namespace zevrin {

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

// The read and write handles over a file opened for overlapped I/O.
std::unique_ptr<HidWriteHandle> MakeWriteHandle(const Win32Api& api, Handle file);
std::unique_ptr<HidReadHandle> MakeReadHandle(const Win32Api& api, Handle file);

}  // namespace zevrin

// The one device object: discovery of the gamepad among the HID interfaces, the device-change
// registration, and the 65-byte report channel. Written once over HidPort.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "hid/HidPort.h"
#include "hid/HotPlug.h"

// The maker's own USB vendor id. It is accepted with product 0x5750 only.
inline constexpr uint16_t MakerVendorId = 0x3EFD;

inline constexpr uint16_t kStVendorId = 0x0483;
inline constexpr uint16_t kGamepadProductId = 0x5750;
inline constexpr uint16_t kGamepadProductIdAlt = 0x5760;

// Read time-out after OpenDevice, in ms.
inline constexpr uint32_t kOpenReadTimeoutMs = 200;

// The accepted-devices table, tested in its order: vendor 0x0483 first, then MakerVendorId.
bool IsAcceptedDevice(uint16_t vendorId, uint16_t productId);

// The output report buffer shared by every write of the process. Each write overwrites only its
// first 1 + count bytes, so the tail keeps what earlier, longer writes left there; devices see
// those bytes, so they stay as they are.
extern uint8_t g_OutputReport[zevrin::kReportSize];

class CHid {
  public:
    explicit CHid(zevrin::HidPort& port);
    virtual ~CHid();
    CHid(const CHid&) = delete;
    CHid& operator=(const CHid&) = delete;

    // Discovery. It registers nothing: a window that follows hot-plug calls RegisterNotification.
    int FindDevice();
    int ScanDevices(std::unique_ptr<zevrin::HidProbe>& probe);
    // Device-change events go to `changed`, on a thread of the registration's own, until the
    // object goes or UnregisterNotification; a second call replaces the first. 1 when the
    // registration was taken.
    int RegisterNotification(zevrin::HotPlugWatch::Changed changed);
    // Waits for a callback in flight: nothing reaches `changed` once it returns.
    void UnregisterNotification() { m_NotifyHandle.reset(); }

    // Report channel. OpenDevice claims the gamepad first (see HidClaim); a gamepad claimed by
    // another program is not opened and LastOpenStatus says Claimed.
    int OpenDevice();
    // The conversation that OpenDevice began has ended (the version answer came or the worker
    // ended): others may claim the gamepad again. The handles stay open.
    void ReleaseClaim();
    // For a program that talks to one gamepad from start to end (the CLI): the claim taken by the
    // first OpenDevice is kept until the object goes, so nobody slips in between its version
    // query and its transfer.
    void KeepClaim() { m_KeepClaim = true; }
    bool HoldsClaim() const;
    void SetReadTimeout(uint32_t milliseconds);
    int WriteHid(const uint8_t* data, uint8_t count);
    uint32_t ReadHid(uint8_t* buffer, uint8_t count);

    // Why the last OpenDevice failed (or Ok), so the window and the CLI can tell a missing device
    // from one this user may not open.
    zevrin::OpenStatus LastOpenStatus() const { return m_LastOpenStatus.load(); }
    // Makes a ReadHid running on another thread return early (closing during a transfer).
    void CancelRead();
    // Makes a WriteHid running on another thread give up (it returns 0).
    void CancelWrite();
    // Lets go of a gamepad that has left: a read or write in progress is cancelled and both
    // handles are closed once no call uses them. An open handle keeps a removed device's node
    // alive on Windows, holding up Device Manager and the next plug. Not while a worker runs: it
    // is the reader then, and it sees the unplug itself.
    void CloseDevice();
    std::string DevicePath() const;
    // A path taken without a scan (a test's own device).
    void SetDevicePath(const std::string& path);
    zevrin::HidPort& Port() { return m_Port; }

    // 1 when the last scan found the gamepad.
    int DeviceFound() const { return m_DeviceFound.load(); }
    // 1 once RegisterNotification has been called, whatever it returned.
    int NotifyRegistered() const { return m_NotifyRegistered; }
    uint32_t ReadTimeout() const { return m_ReadTimeout.load(); }

  private:
    // Takes the claim on `path` unless this object holds it already.
    bool Claim(const std::string& path, zevrin::OpenStatus& status);

    std::atomic<int> m_DeviceFound{0};
    std::unique_ptr<zevrin::HidClaim> m_Claim;  // under m_HandleLock
    std::string m_ClaimPath;                    // under m_HandleLock
    std::atomic<bool> m_KeepClaim{false};
    std::shared_ptr<zevrin::HidWriteHandle> m_WriteHandle;
    std::shared_ptr<zevrin::HidReadHandle> m_ReadHandle;
    std::string m_DevicePath;  // under m_ScanLock
    std::atomic<uint32_t> m_ReadTimeout{0};
    int m_NotifyRegistered = 0;
    std::unique_ptr<zevrin::HotPlugWatch> m_NotifyHandle;
    zevrin::HidPort& m_Port;
    std::atomic<zevrin::OpenStatus> m_LastOpenStatus{zevrin::OpenStatus::Ok};
    // Serializes whole scans, so the UI thread and the worker never write the path and the found
    // flag at the same time.
    mutable std::mutex m_ScanLock;
    // Held for the length of one read: handles are only replaced when no read can be using them.
    std::mutex m_ReadLock;
    // Guards the handle pointers for CancelRead and CancelWrite, which must not wait for the read
    // or write to end.
    mutable std::mutex m_HandleLock;
};

#include "hid/CHid.h"

#include <algorithm>
#include <cstring>

#include "hid/Log.h"

using zevrin::LogLine;
using zevrin::OpenStatus;

uint8_t g_OutputReport[zevrin::kReportSize] = {};

namespace {
// g_OutputReport is one buffer for the whole process: two writes must never fill it at once.
std::mutex g_OutputReportLock;
}  // namespace

bool IsAcceptedDevice(uint16_t vendorId, uint16_t productId) {
    if (vendorId == kStVendorId) {
        return productId == kGamepadProductId || productId == kGamepadProductIdAlt;
    }
    return vendorId == MakerVendorId && productId == kGamepadProductId;
}

CHid::CHid(zevrin::HidPort& port) : m_Port(port) {}

CHid::~CHid() {
    m_NotifyHandle.reset();
    {
        std::lock_guard lock(g_OutputReportLock);
        m_WriteHandle.reset();
    }
    std::scoped_lock lock(m_ReadLock, m_HandleLock);
    m_ReadHandle.reset();
    m_Claim.reset();
}

int CHid::FindDevice() {
    std::lock_guard lock(m_ScanLock);
    std::unique_ptr<zevrin::HidProbe> probe;
    const int found = ScanDevices(probe);
    if (found == 0) {
        m_DeviceFound = 0;
        return 0;
    }
    m_DeviceFound = 1;
    probe.reset();  // discovery keeps nothing open; OpenDevice opens the device afresh
    return 1;
}

int CHid::ScanDevices(std::unique_ptr<zevrin::HidProbe>& probe) {
    std::string path;
    if (!m_Port.ScanFirst(IsAcceptedDevice, path, probe)) {
        return 0;
    }
    m_DevicePath = path;
    LogLine("m_DevicePath:%s\n", m_DevicePath.c_str());
    return 1;
}

int CHid::RegisterNotification(zevrin::HotPlugWatch::Changed changed) {
    m_NotifyHandle.reset();  // one registration at a time: the old one ends before the new begins
    m_NotifyHandle = std::make_unique<zevrin::HotPlugWatch>(m_Port, std::move(changed));
    m_NotifyRegistered = 1;
    if (!m_NotifyHandle->Active()) {
        m_NotifyHandle.reset();
        return 0;
    }
    return 1;
}

void CHid::SetDevicePath(const std::string& path) {
    std::lock_guard lock(m_ScanLock);
    m_DevicePath = path;
}

std::string CHid::DevicePath() const {
    std::lock_guard lock(m_ScanLock);
    return m_DevicePath;
}

int CHid::OpenDevice() {
    const std::string path = DevicePath();
    OpenStatus status = OpenStatus::NotFound;
    const bool claimed = !path.empty() && Claim(path, status);
    std::shared_ptr<zevrin::HidWriteHandle> writer =
        claimed ? m_Port.OpenWrite(path, status) : nullptr;
    std::shared_ptr<zevrin::HidReadHandle> reader =
        writer ? m_Port.OpenRead(path, status) : nullptr;
    if (reader && !m_Port.PathAccepted(path, IsAcceptedDevice)) {
        // The node was handed to another device since the scan: never talk to it.
        LogLine("OpenDevice: %s is no longer a gamepad\n", path.c_str());
        status = OpenStatus::NotFound;
        reader.reset();
        writer.reset();
    }
    {
        std::lock_guard lock(g_OutputReportLock);
        std::lock_guard handles(m_HandleLock);
        m_WriteHandle = std::move(writer);
    }
    {
        // A read handle of the previous open (perhaps of a device that has gone) must not stay
        // paired with the new write handle: with no reader, reads say so (128).
        std::scoped_lock lock(m_ReadLock, m_HandleLock);
        m_ReadHandle = std::move(reader);
    }
    m_LastOpenStatus = m_ReadHandle ? OpenStatus::Ok : status;
    if (!m_ReadHandle) {
        if (status != OpenStatus::Claimed) {
            ReleaseClaim();  // ours, but for a device that cannot be talked to
        }
        return 0;
    }
    SetReadTimeout(kOpenReadTimeoutMs);
    return 1;
}

bool CHid::Claim(const std::string& path, OpenStatus& status) {
    std::lock_guard lock(m_HandleLock);
    if (m_Claim && m_ClaimPath == path) {
        return true;  // this object's own conversation goes on: a second claim would meet the first
    }
    m_Claim.reset();
    m_Claim = m_Port.Claim(path, status);
    m_ClaimPath = m_Claim ? path : std::string();
    if (!m_Claim && status == OpenStatus::Claimed) {
        LogLine("OpenDevice: %s is claimed by another program\n", path.c_str());
    }
    return m_Claim != nullptr;
}

void CHid::ReleaseClaim() {
    if (m_KeepClaim.load()) {
        return;
    }
    std::lock_guard lock(m_HandleLock);
    m_Claim.reset();
    m_ClaimPath.clear();
}

bool CHid::HoldsClaim() const {
    std::lock_guard lock(m_HandleLock);
    return m_Claim != nullptr;
}

void CHid::SetReadTimeout(uint32_t milliseconds) {
    m_ReadTimeout = milliseconds;
}

int CHid::WriteHid(const uint8_t* data, uint8_t count) {
    std::lock_guard lock(g_OutputReportLock);
    const size_t n = std::min<size_t>(count, zevrin::kReportPayload);
    g_OutputReport[0] = 0;
    if (n > 0) {
        std::memcpy(g_OutputReport + 1, data, n);
    }
    if (!m_WriteHandle) {
        return 0;
    }
    return m_WriteHandle->Write(g_OutputReport) ? 1 : 0;
}

uint32_t CHid::ReadHid(uint8_t* buffer, uint8_t count) {
    std::lock_guard lock(m_ReadLock);
    if (!m_ReadHandle) {
        return zevrin::kReadNoHandle;
    }
    uint8_t payload[zevrin::kReportPayload];
    const uint32_t result = m_ReadHandle->Read(payload, m_ReadTimeout.load());
    if (result == zevrin::kReadOk && count > 0) {
        std::memcpy(buffer, payload, std::min<size_t>(count, zevrin::kReportPayload));
    }
    return result;
}

void CHid::CancelWrite() {
    std::shared_ptr<zevrin::HidWriteHandle> writer;
    {
        std::lock_guard lock(m_HandleLock);
        writer = m_WriteHandle;
    }
    if (writer) {
        writer->Cancel();
    }
}

void CHid::CloseDevice() {
    CancelWrite();
    {
        std::lock_guard lock(g_OutputReportLock);
        std::lock_guard handles(m_HandleLock);
        m_WriteHandle.reset();
    }
    CancelRead();
    std::scoped_lock lock(m_ReadLock, m_HandleLock);
    m_ReadHandle.reset();
    // The gamepad has left: a claim on its path would keep the next one plugged there from others.
    m_Claim.reset();
    m_ClaimPath.clear();
}

void CHid::CancelRead() {
    std::shared_ptr<zevrin::HidReadHandle> reader;
    {
        std::lock_guard lock(m_HandleLock);
        reader = m_ReadHandle;
    }
    if (reader) {
        reader->Cancel();
    }
}

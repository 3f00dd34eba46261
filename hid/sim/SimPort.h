// The simulated gamepad: HID interfaces that live in memory, carrying the reports of the gamepad's
// side of the update protocol (protocol/Gamepad.h) with the timing of a device: answers come when
// they are due, reads wait, an unplugged device fails its handles, writes can fail or stall.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidPort.h"
#include "protocol/Gamepad.h"

namespace zevrin::sim {

// The gamepad's side of the protocol is the one every transport shares; these are its names here.
using protocol::Fault;
using protocol::FaultKind;
using protocol::GamepadBehaviour;
using protocol::Moment;
using protocol::Recording;

class SimPort final : public HidPort {
  public:
    SimPort();
    ~SimPort() override;

    // Any HID interface (mostly not gamepads); plugged in from the start. Returns its id.
    int AddInterface(std::string path, uint16_t vendorId, uint16_t productId);
    // An interface that speaks the update protocol.
    int AddGamepad(std::string path, GamepadBehaviour behaviour = {}, uint16_t vendorId = 0x0483,
                   uint16_t productId = 0x5750);

    // Plugging raises kDeviceArrival, unplugging kDeviceRemoveComplete, on every registration,
    // from the calling thread, naming the interface's path to a registration that takes it. A
    // replugged gamepad starts a new session (the recording is kept).
    void Plug(int id);
    void Unplug(int id);
    // All of them in one step, so a list read after the first arrival already shows the others.
    void PlugAll(const std::vector<int>& ids);
    // PlugAll from a thread of the port's own once `delay` has passed, unless the port goes first.
    void PlugAllAfter(std::vector<int> ids, std::chrono::milliseconds delay);
    // The gamepad goes away once it has received `chunks` data chunks, instead of asking for the
    // next; once, until set again. 0: never.
    void UnplugAfterChunks(int id, size_t chunks);
    bool IsPlugged(int id) const;
    // Sends kDevNodesChanged to every registration.
    void RaiseNodesChanged();

    // Ok, or why opens are refused; Claimed refuses claims, as another program's would.
    void SetOpenStatus(int id, OpenStatus status);
    void SetBehaviour(int id, const GamepadBehaviour& behaviour);
    void SetWriteFails(int id, bool fails);
    // From now on writes fail at once (WriteFail) or are never taken (WriteStall), until the
    // behaviour is set again or the gamepad is replugged; None ends it.
    void SetWriteFault(int id, FaultKind kind);
    // Queues an input report (bytes 1..64: frame length, frame) as if the device had sent it.
    void InjectInput(int id, const std::array<uint8_t, kReportPayload>& payload);
    // Queues the frame [0x00][type][len][body] as an input report.
    void InjectFrame(int id, const std::vector<uint8_t>& frame);

    Recording RecordingOf(int id) const;
    void ClearRecording(int id);
    int OpenHandles(int id) const;  // handles currently open on the interface
    int ReadsInProgress(int id) const;

    // HidPort
    bool ScanFirst(const Accept& accept, std::string& path,
                   std::unique_ptr<HidProbe>& probe) override;
    std::vector<HidInterface> ListAccepted(const Accept& accept) override;
    std::unique_ptr<HidWriteHandle> OpenWrite(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidReadHandle> OpenRead(const std::string& path, OpenStatus& status) override;
    // One claim per path at a time, as a lock on the node itself would be.
    std::unique_ptr<HidClaim> Claim(const std::string& path, OpenStatus& status) override;
    std::unique_ptr<HidNotification> RegisterNotification(const NotifyWindow& window) override;

  private:
    struct Device;
    struct Registration;
    class PathClaim;
    class Writer;
    class Reader;
    class Notification;
    using Clock = std::chrono::steady_clock;

    Device* FindByPath(const std::string& path);
    void HandleClosed(int id) noexcept;
    Device& Get(int id);
    const Device& Get(int id) const;
    // Carries out what the gamepad does about a report; called with m_Mutex held.
    void Carry(Device& d, const protocol::Reaction& reaction, std::vector<DeviceEvent>& events);
    void Queue(Device& d, const protocol::InputReport& report);
    void UnplugLocked(Device& d, std::vector<DeviceEvent>& events);
    uint32_t Read(int id, uint64_t session, uint8_t (&payload)[kReportPayload], uint32_t timeoutMs,
                  std::atomic<bool>& cancelled);
    bool Write(int id, uint64_t session, const uint8_t (&report)[kReportSize],
               std::atomic<bool>& cancelled);
    void PostAll(const std::vector<DeviceEvent>& events);

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::map<int, std::unique_ptr<Device>> m_Devices;
    std::vector<std::shared_ptr<Registration>> m_Registrations;
    std::set<std::string> m_Claimed;
    int m_NextId = 1;
    bool m_Closing = false;  // under m_Mutex: the arrivals thread must not plug anything in
    std::thread m_Arrivals;
};

}  // namespace zevrin::sim

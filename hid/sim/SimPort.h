// The simulated gamepad: HID interfaces that live in memory, with the device side of the update
// protocol and faults on demand. It records every report it receives, byte for byte, and the image
// it assembled, so a test can prove that what the user was told matches what the device got.
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
#include <string>
#include <vector>

#include "hid/HidPort.h"

namespace zevrin::sim {

// The host frame the device is reacting to when a fault strikes.
enum class Moment {
    EnterUpdate,    // before the device information
    Header,         // header received, first data request due
    FirstChunk,     // chunk 0 received
    MidTransfer,    // the chunk in the middle of the image received
    LastChunk,      // the chunk before the last received: the request for the last one is due
    AfterComplete,  // whole image received, the request for CMD_UPDATE_DONE is due
    GetVersion,     // a version request
};

enum class FaultKind {
    None,
    Silence,     // no answer from then on
    Failed21,    // EVT_UPDATE_FAILED (0x15) instead of the answer
    Failed24,    // EVT_UPDATE_FAILED (0x18) instead of the answer
    Unplug,      // the device goes away instead of answering
    Garbage,     // a report of noise (frame byte 0 not 0), then the answer
    Malformed,   // frames with lying lengths and unknown types/codes, then the answer
    Delay500,    // the answer comes 500 ms late
    WriteFail,   // the answer comes, then every write fails at once (a flaky cable, a driver error)
    WriteStall,  // the answer comes, then no write is taken: each ends after kWriteTimeoutMs
};

struct Fault {
    FaultKind kind = FaultKind::None;
    Moment moment = Moment::EnterUpdate;
};

struct GamepadBehaviour {
    uint32_t firmwareType = 1;
    uint32_t version = 110;  // version word answered to CMD_GET_VERSION
    bool answersVersion = true;
    std::chrono::milliseconds latency{0};
    Fault fault;
};

struct Recording {
    std::vector<std::array<uint8_t, kReportSize>> reports;  // every output report received
    std::vector<uint8_t> received;                          // every image byte received, in order
    std::array<uint8_t, 28> header{};
    bool headerReceived = false;
    uint32_t imageLength = 0;  // from the header
    size_t chunks = 0;
    size_t versionRequests = 0;
    size_t enterUpdates = 0;
    size_t polls = 0;
    bool doneReceived = false;
    // CMD_UPDATE_DONE arrived after the whole image had: the device would boot the new firmware.
    bool doneAfterWholeImage = false;
};

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
    // from the calling thread. A replugged gamepad starts a new session (the recording is kept).
    void Plug(int id);
    void Unplug(int id);
    bool IsPlugged(int id) const;
    // Sends kDevNodesChanged to every registration.
    void RaiseNodesChanged();

    void SetOpenStatus(int id, OpenStatus status);  // Ok, or why opens are refused
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
    std::unique_ptr<HidNotification> RegisterNotification(const NotifyWindow& window) override;

  private:
    struct Device;
    struct Registration;
    class Writer;
    class Reader;
    class Notification;
    using Clock = std::chrono::steady_clock;

    Device* FindByPath(const std::string& path);
    void HandleClosed(int id) noexcept;
    Device& Get(int id);
    const Device& Get(int id) const;
    void Post(uint32_t code);
    // Device side of the protocol; called with m_Mutex held.
    void OnReport(Device& d, const uint8_t (&report)[kReportSize], std::vector<uint32_t>& events);
    void OnFrame(Device& d, const std::vector<uint8_t>& frame, std::vector<uint32_t>& events);
    void Answer(Device& d, Moment moment, const std::vector<uint8_t>& frame,
                std::vector<uint32_t>& events);
    void Queue(Device& d, const std::vector<uint8_t>& frame, std::chrono::milliseconds delay);
    void UnplugLocked(Device& d, std::vector<uint32_t>& events);
    uint32_t Read(int id, uint64_t session, uint8_t (&payload)[kReportPayload], uint32_t timeoutMs,
                  std::atomic<bool>& cancelled);
    bool Write(int id, uint64_t session, const uint8_t (&report)[kReportSize],
               std::atomic<bool>& cancelled);
    void PostAll(const std::vector<uint32_t>& events);

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::map<int, std::unique_ptr<Device>> m_Devices;
    std::vector<std::shared_ptr<Registration>> m_Registrations;
    int m_NextId = 1;
};

}  // namespace zevrin::sim

// The gamepad's side of the update protocol, whatever carries its reports: it takes the output
// reports the host wrote and says which input reports to send back, each after its delay, and
// whether the device goes away instead. Faults strike on demand. It records every report it
// received, byte for byte, and the image it assembled, so a test can prove that what the user was
// told matches what the device got.
//
// It owns no thread and reads no clock: the transport that carries the reports (the in-process
// simulated port, a uhid device) keeps the time, sends the answers when they are due, and carries
// out an unplug or a write fault.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "protocol/Wire.h"

namespace zevrin::protocol {

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
    WriteStall,  // the answer comes, then no write is taken: each ends at the transport's bound
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

// One input report (bytes 1..64: frame length, frame) and how long after the output report that
// caused it it is due.
struct InputReport {
    std::chrono::milliseconds delay{0};
    std::array<uint8_t, kReportPayload> bytes{};
    bool dataRequest = false;  // it asks the host for the next chunk (SET_FIRMWARE_DATA)
};

// What the device does about one output report.
struct Reaction {
    std::vector<InputReport> input;  // in order; a transport never lets a later one overtake
    bool unplug = false;             // the device goes away now; nothing else is sent
    // WriteFail or WriteStall: from now on the transport takes no output report (until the
    // behaviour is set again or the device is plugged in again).
    FaultKind writeFault = FaultKind::None;
    bool dataFrame = false;  // the report completed a CMD_FIRMWARE_DATA frame
};

// The frame [0x00][type][len][body] as an input report, cut to what one report holds.
InputReport ToInputReport(const std::vector<uint8_t>& frame, std::chrono::milliseconds delay = {});

class Gamepad {
  public:
    explicit Gamepad(GamepadBehaviour behaviour = {}) : m_Behaviour(behaviour) {}

    // `report` is the whole output report as the host wrote it, report id 0 first.
    Reaction OnOutputReport(const uint8_t (&report)[kReportSize]);

    // Arms the fault again and ends a silence.
    void SetBehaviour(const GamepadBehaviour& behaviour);
    // Plugged in again: a new session, as after a power cycle, but the recording is kept.
    void Replugged();

    const Recording& RecordingOf() const { return m_Recording; }
    void ClearRecording() { m_Recording = Recording{}; }

  private:
    void OnFrame(const std::vector<uint8_t>& frame, Reaction& reaction);
    void OnUpdateCommand(uint8_t code, const uint8_t* payload, size_t usable, Reaction& reaction);
    void OnDataFrame(const uint8_t* payload, size_t usable, Reaction& reaction);
    void Answer(Moment moment, const std::vector<uint8_t>& frame, Reaction& reaction);

    GamepadBehaviour m_Behaviour;
    Recording m_Recording;
    bool m_FaultFired = false;
    bool m_Silenced = false;
    std::vector<uint8_t> m_Pending;  // a data frame split over several reports
    size_t m_PendingExpected = 0;
};

}  // namespace zevrin::protocol

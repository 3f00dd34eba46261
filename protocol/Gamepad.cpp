#include "protocol/Gamepad.h"

#include <algorithm>
#include <cstring>

namespace zevrin::protocol {

using std::chrono::milliseconds;

namespace {

std::vector<uint8_t> UpdateFrame(uint8_t code) {
    return {0x00, MSG_UPDATE, 0x01, 0x00, code};
}

std::vector<uint8_t> DeviceInfoFrame(uint32_t firmwareType) {
    std::vector<uint8_t> f(kFrameHeaderSize + kDeviceInfoBodySize, 0);
    f[1] = MSG_DEVICE_INFO;
    f[2] = static_cast<uint8_t>(kDeviceInfoBodySize);
    WriteLe32(f.data() + kFrameHeaderSize + kDeviceInfoTypeOffset, firmwareType);
    return f;
}

std::vector<uint8_t> VersionFrame(uint32_t version) {
    std::vector<uint8_t> f = {0x00, MSG_UPDATE, 0x07, 0x00, EVT_VERSION, 0x04, 0x00, 0, 0, 0, 0};
    WriteLe32(f.data() + 7, version);
    return f;
}

void Send(Reaction& reaction, const std::vector<uint8_t>& frame, milliseconds delay) {
    reaction.input.push_back(ToInputReport(frame, delay));
}

}  // namespace

InputReport ToInputReport(const std::vector<uint8_t>& frame, milliseconds delay) {
    InputReport r;
    r.delay = delay;
    const size_t n = std::min(frame.size(), kReportPayload - 1);
    r.bytes[0] = static_cast<uint8_t>(n);
    std::copy_n(frame.begin(), n, r.bytes.begin() + 1);
    r.dataRequest =
        n >= 5 && frame[0] == 0x00 && frame[1] == MSG_UPDATE && frame[4] == SET_FIRMWARE_DATA;
    return r;
}

void Gamepad::SetBehaviour(const GamepadBehaviour& behaviour) {
    m_Behaviour = behaviour;
    m_FaultFired = false;
    m_Silenced = false;
}

void Gamepad::Replugged() {
    m_FaultFired = false;
    m_Silenced = false;
    m_Pending.clear();
}

Reaction Gamepad::OnOutputReport(const uint8_t (&report)[kReportSize]) {
    Reaction reaction;
    std::array<uint8_t, kReportSize> copy{};
    std::memcpy(copy.data(), report, kReportSize);
    m_Recording.reports.push_back(copy);

    // Byte 0 is the report id, byte 1 the count of frame bytes that follow in this report.
    const size_t n = std::min<size_t>(report[1], kReportPayload - 1);
    const uint8_t* bytes = report + 2;
    if (m_Pending.empty()) {
        if (n < kFrameHeaderSize || bytes[0] != 0x00) {
            return reaction;  // not a frame this device understands
        }
        const size_t expected = kFrameHeaderSize + ReadLe16(bytes + 2);
        if (expected <= n) {
            OnFrame(std::vector<uint8_t>(bytes, bytes + expected), reaction);
            return reaction;
        }
        m_Pending.assign(bytes, bytes + n);
        m_PendingExpected = expected;
        return reaction;
    }
    m_Pending.insert(m_Pending.end(), bytes, bytes + n);
    if (m_Pending.size() >= m_PendingExpected) {
        std::vector<uint8_t> frame(m_Pending.begin(),
                                   m_Pending.begin() + static_cast<long>(m_PendingExpected));
        m_Pending.clear();
        OnFrame(frame, reaction);
    }
    return reaction;
}

void Gamepad::OnFrame(const std::vector<uint8_t>& frame, Reaction& reaction) {
    const uint8_t type = frame[1];
    const uint8_t* body = frame.data() + kFrameHeaderSize;
    const size_t bodyLength = frame.size() - kFrameHeaderSize;
    if (type == MSG_POLL) {
        m_Recording.polls++;
        return;
    }
    if (m_Silenced) {
        return;
    }
    if (type == MSG_ENTER_UPDATE) {
        m_Recording.enterUpdates++;
        Answer(Moment::EnterUpdate, DeviceInfoFrame(m_Behaviour.firmwareType), reaction);
        return;
    }
    if (type != MSG_UPDATE || bodyLength < 1) {
        return;
    }
    // Body: [code][payload length LE16][payload]; the payload is trusted no further than the frame.
    const size_t payloadLength = bodyLength >= 3 ? ReadLe16(body + 1) : 0;
    const size_t usable = bodyLength >= 3 ? std::min(payloadLength, bodyLength - 3) : 0;
    OnUpdateCommand(body[0], body + 3, usable, reaction);
}

void Gamepad::OnUpdateCommand(uint8_t code, const uint8_t* payload, size_t usable,
                              Reaction& reaction) {
    Recording& rec = m_Recording;
    switch (code) {
        case CMD_GET_VERSION:
            rec.versionRequests++;
            if (m_Behaviour.answersVersion) {
                Answer(Moment::GetVersion, VersionFrame(m_Behaviour.version), reaction);
            }
            break;
        case CMD_FIRMWARE_HEADER:
            rec.headerReceived = true;
            rec.header.fill(0);
            std::memcpy(rec.header.data(), payload, std::min(usable, rec.header.size()));
            rec.imageLength = usable >= 12 ? ReadLe32(payload + 8) : 0;
            rec.received.clear();
            rec.chunks = 0;
            rec.doneReceived = false;
            rec.doneAfterWholeImage = false;
            Answer(Moment::Header, UpdateFrame(SET_FIRMWARE_DATA), reaction);
            break;
        case CMD_FIRMWARE_DATA:
            OnDataFrame(payload, usable, reaction);
            break;
        case CMD_UPDATE_DONE:
            rec.doneReceived = true;
            rec.doneAfterWholeImage = rec.headerReceived && rec.received.size() >= rec.imageLength;
            break;
        default:
            break;
    }
}

void Gamepad::OnDataFrame(const uint8_t* payload, size_t usable, Reaction& reaction) {
    Recording& rec = m_Recording;
    reaction.dataFrame = true;
    rec.received.insert(rec.received.end(), payload, payload + usable);
    const size_t index = rec.chunks++;
    const size_t total = std::max<size_t>(1, (rec.imageLength + kChunkSize - 1) / kChunkSize);
    Moment moment = Moment::GetVersion;  // no fault moment of its own
    if (rec.received.size() >= rec.imageLength) {
        moment = Moment::AfterComplete;
    } else if (index == 0) {
        moment = Moment::FirstChunk;
    } else if (total >= 2 && index == total - 2) {
        moment = Moment::LastChunk;
    } else if (index == total / 2) {
        moment = Moment::MidTransfer;
    } else {
        Send(reaction, UpdateFrame(SET_FIRMWARE_DATA), m_Behaviour.latency);
        return;
    }
    Answer(moment, UpdateFrame(SET_FIRMWARE_DATA), reaction);
}

void Gamepad::Answer(Moment moment, const std::vector<uint8_t>& frame, Reaction& reaction) {
    milliseconds delay = m_Behaviour.latency;
    const Fault& fault = m_Behaviour.fault;
    if (fault.kind != FaultKind::None && fault.moment == moment && !m_FaultFired) {
        m_FaultFired = true;
        switch (fault.kind) {
            case FaultKind::Silence:
                m_Silenced = true;
                return;
            case FaultKind::Failed21:
                Send(reaction, UpdateFrame(EVT_UPDATE_FAILED), delay);
                return;
            case FaultKind::Failed24:
                Send(reaction, UpdateFrame(EVT_UPDATE_FAILED_2), delay);
                return;
            case FaultKind::Unplug:
                reaction.input.clear();
                reaction.unplug = true;
                m_Pending.clear();
                return;
            case FaultKind::Garbage: {
                std::vector<uint8_t> noise(63);
                for (size_t i = 0; i < noise.size(); ++i) {
                    noise[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
                }
                Send(reaction, noise, delay);
                break;
            }
            case FaultKind::Malformed:
                Send(reaction, {0x00, 0x04, 0xFF, 0xFF, 0x14}, delay);        // type 4
                Send(reaction, {0x00, MSG_UPDATE, 0xFF, 0xFF, 0x77}, delay);  // unknown code
                Send(reaction, {0x00, 0x42, 0x00, 0x00}, delay);              // unknown type
                Send(reaction, {}, delay);                                    // empty report
                break;
            case FaultKind::Delay500:
                delay += milliseconds(500);
                break;
            case FaultKind::WriteFail:
            case FaultKind::WriteStall:
                reaction.writeFault = fault.kind;
                break;
            case FaultKind::None:
                break;
        }
    }
    Send(reaction, frame, delay);
}

}  // namespace zevrin::protocol

#include "update/Frames.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "hid/CHid.h"
#include "hid/Log.h"

using zevrin::LogLine;

namespace {

// The senders' staging buffer [frame length][frame], shared by both threads that send. The lock
// covers staging and write, so two frames (or the pieces of one data frame) never interleave.
uint8_t g_TransmitBuffer[zevrin::kReportPayload];
std::mutex g_TransmitLock;

int WriteStaged(CHid& hid, uint8_t count) {
    return hid.WriteHid(g_TransmitBuffer, count);
}

}  // namespace

int SendFirmwarePacket(CHid& hid, uint8_t code, const uint8_t* payload, int payloadLength) {
    if (payloadLength > kMaxPacketPayload) {
        return 0;
    }
    uint8_t frame[7 + kMaxPacketPayload];
    size_t frameLength = 0;
    frame[0] = 0x00;
    frame[1] = MSG_UPDATE;
    if (payloadLength < 1) {
        frame[2] = 0x01;
        frame[3] = 0x00;
        frame[4] = code;
        frameLength = 5;
    } else {
        const auto n = static_cast<size_t>(payloadLength);
        const size_t body = n + 3;
        frame[2] = static_cast<uint8_t>(body);
        frame[3] = static_cast<uint8_t>(body >> 8);
        frame[4] = code;
        frame[5] = static_cast<uint8_t>(n);
        frame[6] = static_cast<uint8_t>(n >> 8);
        std::memcpy(frame + 7, payload, n);
        frameLength = n + 7;
    }

    std::lock_guard lock(g_TransmitLock);
    if (code != CMD_FIRMWARE_DATA) {
        LogLine("SendFirmwarePacket cmd %d\n", code);
        if (frameLength > zevrin::kReportPayload - 1) {
            return 0;  // commands are never split; one that does not fit is not sent
        }
        g_TransmitBuffer[0] = static_cast<uint8_t>(frameLength);
        std::memcpy(g_TransmitBuffer + 1, frame, frameLength);
        return WriteStaged(hid, static_cast<uint8_t>(frameLength + 1));
    }

    size_t remaining = frameLength;
    size_t offset = 0;
    while (remaining > 0) {
        const size_t piece = std::min(remaining, kMaxReportPiece);
        g_TransmitBuffer[0] = static_cast<uint8_t>(piece);
        std::memcpy(g_TransmitBuffer + 1, frame + offset, piece);
        if (WriteStaged(hid, static_cast<uint8_t>(piece + 1)) == 0) {
            // The device has not got this frame: sending the rest would shift every byte after it.
            LogLine("WriteHid error\n");
            return 0;
        }
        LogLine("WriteHid %d btye sucessful\n", static_cast<int>(piece));
        remaining -= piece;
        offset += piece;
    }
    return -1;
}

int SendShortMessage(CHid& hid, uint8_t type, uint8_t value) {
    std::lock_guard lock(g_TransmitLock);
    const uint8_t frame[5] = {0x00, type, 0x01, 0x00, value};
    g_TransmitBuffer[0] = sizeof frame;
    std::memcpy(g_TransmitBuffer + 1, frame, sizeof frame);
    return WriteStaged(hid, sizeof frame + 1);
}

void DispatchFrame(const uint8_t* frame, FrameHandlers& handlers) {
    if (frame[0] != 0x00) {
        return;
    }
    const uint8_t* body = frame + kFrameHeaderSize;
    const size_t length = kInputFrameBytes - kFrameHeaderSize;
    switch (frame[1]) {
        case MSG_DEVICE_INFO:
            handlers.OnDeviceInfo(body, length);
            break;
        case MSG_UPDATE:
            handlers.OnUpdateEvent(body, length);
            break;
        default:
            break;
    }
}

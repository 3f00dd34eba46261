// Frames of the update protocol, packed into 65-byte reports: the two senders and the dispatch of
// incoming frames by type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "update/Protocol.h"

class CHid;

// Largest payload SendFirmwarePacket accepts; the callers send at most 32 (data) or 28 (header).
inline constexpr int kMaxPacketPayload = 256;

// Builds a MSG_UPDATE frame and writes it through `hid`. Commands go as one report and return
// WriteHid's result (0 when the write failed or the frame would not fit one report);
// CMD_FIRMWARE_DATA goes in pieces of at most 39 frame bytes and returns -1 once every piece was
// written, 0 as soon as one was not (the rest is not sent). What a failure means is the caller's
// to decide.
int SendFirmwarePacket(CHid& hid, uint8_t code, const uint8_t* payload = nullptr,
                       int payloadLength = 0);

// Writes the 5-byte frame [0x00][type][0x01][0x00][value] as one report; WriteHid's result.
int SendShortMessage(CHid& hid, uint8_t type, uint8_t value);

// Where dispatched frames go; both get the body (frame offset 4 on) with its usable length.
class FrameHandlers {
  public:
    virtual ~FrameHandlers() = default;
    virtual void OnDeviceInfo(const uint8_t* body, size_t length) = 0;
    virtual void OnUpdateEvent(const uint8_t* body, size_t length) = 0;
};

// Frame bytes that follow the length byte of an input report.
inline constexpr size_t kInputFrameBytes = 63;

// `frame` points at the 63 bytes after the length byte. Frames whose byte 0 is not 0, and types
// other than MSG_DEVICE_INFO and MSG_UPDATE, are ignored. The length fields are not trusted:
// handlers read fixed offsets inside the 59-byte body.
void DispatchFrame(const uint8_t* frame, FrameHandlers& handlers);

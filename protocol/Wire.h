// The update protocol as it crosses the cable, the same for the host and the gamepad: reports,
// frame layout [0x00][type][body length LE16][body], message types and codes, sizes and the
// version word's sentinel. Header-only; nothing here knows a device, a thread or a clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zevrin {

inline constexpr size_t kReportSize = 65;  // report id 0 + 64 bytes, both directions
inline constexpr size_t kReportPayload = 64;

}  // namespace zevrin

// Message types (frame byte 1).
inline constexpr uint8_t MSG_UPDATE = 0x16;
inline constexpr uint8_t MSG_DEVICE_INFO = 0x19;
inline constexpr uint8_t MSG_ENTER_UPDATE = 0x1A;
inline constexpr uint8_t MSG_POLL = 0x1D;

// Codes the host sends in MSG_UPDATE.
inline constexpr uint8_t CMD_FIRMWARE_DATA = 0;
inline constexpr uint8_t CMD_FIRMWARE_HEADER = 1;
inline constexpr uint8_t CMD_UPDATE_DONE = 2;
inline constexpr uint8_t CMD_GET_VERSION = 4;

// Codes the device sends in MSG_UPDATE.
inline constexpr uint8_t EVT_VERSION = 4;
inline constexpr uint8_t SET_FIRMWARE_DATA = 0x14;
inline constexpr uint8_t EVT_UPDATE_FAILED = 0x15;
inline constexpr uint8_t EVT_UPDATE_FAILED_2 = 0x18;

inline constexpr size_t kFrameHeaderSize = 4;
inline constexpr size_t kChunkSize = 32;       // image bytes per data frame over USB
inline constexpr size_t kMaxReportPiece = 39;  // frame bytes per output report for data frames
inline constexpr size_t kFirmwareHeaderSize = 28;
inline constexpr size_t kDeviceInfoTypeOffset = 36;  // firmware type, LE32, in the info body
inline constexpr size_t kDeviceInfoBodySize = 40;

// Firmware types that take an update.
inline constexpr uint32_t kFirmwareTypeGamepad = 1;
inline constexpr uint32_t kFirmwareTypeGamepadAlt = 200;

// The version word of a gamepad that has no version to tell.
inline constexpr uint32_t kNoVersion = 0xFFFFFFFF;

inline uint16_t ReadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void WriteLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// The bare update loops' common part, which the real-stack bench sets zevrin-flash's turnaround
// against: the image as the updater reads it and the conversation as it answers it, over
// whatever sends and receives one report. No engine, no worker thread, no progress, no checks
// beyond what the loop needs to go on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/Wire.h"

namespace zevrin::baseline {

inline int Fail(const char* program, const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "%s: %s%s%s\n", program, what, detail.empty() ? "" : ": ", detail.c_str());
    return 1;
}

struct Image {
    uint8_t header[kFirmwareHeaderSize] = {};  // as the updater sends it: 12 bytes, then zeros
    std::vector<uint8_t> bytes;
    uint32_t length = 0;
    const uint8_t* data() const { return bytes.data() + kFirmwareHeaderSize; }
};

// False, having said why, when the file holds no whole image.
inline bool LoadImage(const char* program, const char* path, Image& image) {
    std::ifstream file(path, std::ios::binary);
    image.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (image.bytes.size() < kFirmwareHeaderSize) {
        Fail(program, "no image header in", path);
        return false;
    }
    image.length = ReadLe32(image.bytes.data() + 8);
    if (image.length == 0 || image.bytes.size() - kFirmwareHeaderSize < image.length) {
        Fail(program, "the image is shorter than its header says", path);
        return false;
    }
    std::memcpy(image.header, image.bytes.data(), 12);
    return true;
}

// One frame in one output report: the report id 0, the frame's length, the frame.
inline void FillReport(uint8_t (&report)[kReportSize], const uint8_t* frame, size_t length) {
    std::memset(report, 0, sizeof report);
    report[1] = static_cast<uint8_t>(length);
    std::memcpy(report + 2, frame, length);
}

// [0x00][MSG_UPDATE][body length][code][payload length][payload]
inline size_t UpdateFrame(uint8_t (&f)[kReportPayload], uint8_t code, const uint8_t* payload,
                          size_t length) {
    const size_t body = length + 3;
    f[0] = 0x00;
    f[1] = MSG_UPDATE;
    f[2] = static_cast<uint8_t>(body);
    f[3] = static_cast<uint8_t>(body >> 8);
    f[4] = code;
    f[5] = static_cast<uint8_t>(length);
    f[6] = static_cast<uint8_t>(length >> 8);
    std::memcpy(f + 7, payload, length);
    return kFrameHeaderSize + body;
}

// The update's conversation with the gamepad, answering each request as the updater does; 0 once
// the image went out and CMD_UPDATE_DONE was written. `send(report)` writes one whole output
// report; `receive(payload)` waits for one input report's bytes 1..64 and says whether it came
// (having told why not).
template <typename Send, typename Receive>
int Transfer(const char* program, const Image& image, Send send, Receive receive) {
    uint8_t report[kReportSize];
    uint8_t frame[kReportPayload];
    const auto sendFrame = [&](size_t length) {
        FillReport(report, frame, length);
        return send(report);
    };
    size_t sent = 0;
    const uint8_t enter[] = {0x00, MSG_ENTER_UPDATE, 0x01, 0x00, 0x00};
    std::memcpy(frame, enter, sizeof enter);
    bool written = sendFrame(sizeof enter);
    while (written) {
        uint8_t in[kReportPayload] = {};
        if (!receive(in)) {
            return 1;
        }
        const uint8_t* got = in + 1;  // after the frame length
        if (got[0] != 0x00) {
            continue;
        }
        if (got[1] == MSG_DEVICE_INFO) {
            written = sendFrame(
                UpdateFrame(frame, CMD_FIRMWARE_HEADER, image.header, sizeof image.header));
            continue;
        }
        if (got[1] != MSG_UPDATE) {
            continue;
        }
        const uint8_t code = got[kFrameHeaderSize];
        if (code == EVT_UPDATE_FAILED || code == EVT_UPDATE_FAILED_2) {
            return Fail(program, "the gamepad reported a failure", std::to_string(code));
        }
        if (code != SET_FIRMWARE_DATA) {
            continue;
        }
        if (sent < image.length) {
            const size_t chunk = std::min<size_t>(kChunkSize, image.length - sent);
            written = sendFrame(UpdateFrame(frame, CMD_FIRMWARE_DATA, image.data() + sent, chunk));
            sent += chunk;
            continue;
        }
        const uint8_t done[] = {0x00, MSG_UPDATE, 0x01, 0x00, CMD_UPDATE_DONE};
        std::memcpy(frame, done, sizeof done);
        written = sendFrame(sizeof done);
        if (written) {
            return 0;
        }
    }
    return Fail(program, "a report could not be written");
}

}  // namespace zevrin::baseline

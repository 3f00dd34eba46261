// zevrin-hidapi-baseline: the least a host can do to update the gamepad over hidraw, which the
// real-stack bench sets zevrin-flash's turnaround against. One loop over hidapi: no engine, no
// worker thread, no progress, no checks beyond what the loop needs to go on.
//
//   zevrin-hidapi-baseline /dev/hidrawN IMAGE.dat
//
// Exit 0 once the gamepad asked for CMD_UPDATE_DONE and it was written, 1 when the update did not
// get there, 2 for a wrong command line.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/Wire.h"

namespace {

constexpr int kSilenceMs = 5000;  // far above any answer; the bench bounds the whole run anyway

int Fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "zevrin-hidapi-baseline: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    return 1;
}

std::string HidError(hid_device* device) {
    const wchar_t* text = hid_error(device);
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return out;
}

// One frame in one output report: the report id 0, the frame's length, the frame.
bool Send(hid_device* device, const std::vector<uint8_t>& frame) {
    uint8_t report[zevrin::kReportSize] = {};
    report[1] = static_cast<uint8_t>(frame.size());
    std::memcpy(report + 2, frame.data(), frame.size());
    return hid_write(device, report, sizeof report) == static_cast<int>(sizeof report);
}

// [0x00][MSG_UPDATE][body length][code][payload length][payload]
std::vector<uint8_t> UpdateFrame(uint8_t code, const uint8_t* payload, size_t length) {
    const size_t body = length + 3;
    std::vector<uint8_t> f(kFrameHeaderSize + body);
    f[1] = MSG_UPDATE;
    f[2] = static_cast<uint8_t>(body);
    f[3] = static_cast<uint8_t>(body >> 8);
    f[4] = code;
    f[5] = static_cast<uint8_t>(length);
    f[6] = static_cast<uint8_t>(length >> 8);
    std::memcpy(f.data() + 7, payload, length);
    return f;
}

// The update's conversation with the gamepad, answering each request as the updater does; 0 once
// the image went out and CMD_UPDATE_DONE was written.
int Transfer(hid_device* device, const uint8_t (&header)[kFirmwareHeaderSize], const uint8_t* image,
             uint32_t length) {
    int result = 1;
    size_t sent = 0;
    bool written = Send(device, {0x00, MSG_ENTER_UPDATE, 0x01, 0x00, 0x00});
    while (written) {
        uint8_t in[zevrin::kReportPayload] = {};
        const int n = hid_read_timeout(device, in, sizeof in, kSilenceMs);
        if (n <= 0) {
            Fail(n == 0 ? "no answer from the gamepad" : "hid_read_timeout", HidError(device));
            break;
        }
        const uint8_t* frame = in + 1;  // after the frame length
        if (n < 6 || frame[0] != 0x00) {
            continue;
        }
        if (frame[1] == MSG_DEVICE_INFO) {
            written = Send(device, UpdateFrame(CMD_FIRMWARE_HEADER, header, sizeof header));
            continue;
        }
        if (frame[1] != MSG_UPDATE) {
            continue;
        }
        const uint8_t code = frame[kFrameHeaderSize];
        if (code == EVT_UPDATE_FAILED || code == EVT_UPDATE_FAILED_2) {
            Fail("the gamepad reported a failure", std::to_string(code));
            break;
        }
        if (code != SET_FIRMWARE_DATA) {
            continue;
        }
        if (sent < length) {
            const size_t chunk = std::min<size_t>(kChunkSize, length - sent);
            written = Send(device, UpdateFrame(CMD_FIRMWARE_DATA, image + sent, chunk));
            sent += chunk;
            continue;
        }
        written = Send(device, {0x00, MSG_UPDATE, 0x01, 0x00, CMD_UPDATE_DONE});
        result = written ? 0 : 1;
        break;
    }
    if (!written) {
        Fail("hid_write", HidError(device));
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: zevrin-hidapi-baseline /dev/hidrawN IMAGE.dat\n");
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() < kFirmwareHeaderSize) {
        return Fail("no image header in", argv[2]);
    }
    const uint32_t length = ReadLe32(bytes.data() + 8);
    if (length == 0 || bytes.size() - kFirmwareHeaderSize < length) {
        return Fail("the image is shorter than its header says", argv[2]);
    }
    // As the updater sends it: the first 12 header bytes, the rest zeros.
    uint8_t header[kFirmwareHeaderSize] = {};
    std::memcpy(header, bytes.data(), 12);
    const uint8_t* image = bytes.data() + kFirmwareHeaderSize;

    if (hid_init() != 0) {
        return Fail("hid_init", HidError(nullptr));
    }
    hid_device* device = hid_open_path(argv[1]);
    if (device == nullptr) {
        return Fail("hid_open_path", HidError(nullptr));
    }
    const int result = Transfer(device, header, image, length);
    hid_close(device);
    hid_exit();
    return result;
}

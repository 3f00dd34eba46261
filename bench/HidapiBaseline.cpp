// zevrin-hidapi-baseline: the least a host can do to update the gamepad over hidraw, which the
// real-stack bench sets zevrin-flash's turnaround against. One loop over hidapi.
//
//   zevrin-hidapi-baseline /dev/hidrawN IMAGE.dat
//
// Exit 0 once the gamepad asked for CMD_UPDATE_DONE and it was written, 1 when the update did not
// get there, 2 for a wrong command line.
#include <hidapi/hidapi.h>

#include <string>

#include "BaselineLoop.h"

namespace {

constexpr const char* kProgram = "zevrin-hidapi-baseline";
constexpr int kSilenceMs = 5000;  // far above any answer; the bench bounds the whole run anyway

std::string HidError(hid_device* device) {
    const wchar_t* text = hid_error(device);
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zevrin::baseline;
    if (argc != 3) {
        std::fprintf(stderr, "Usage: zevrin-hidapi-baseline /dev/hidrawN IMAGE.dat\n");
        return 2;
    }
    Image image;
    if (!LoadImage(kProgram, argv[2], image)) {
        return 1;
    }
    if (hid_init() != 0) {
        return Fail(kProgram, "hid_init", HidError(nullptr));
    }
    hid_device* device = hid_open_path(argv[1]);
    if (device == nullptr) {
        return Fail(kProgram, "hid_open_path", HidError(nullptr));
    }
    const auto send = [device](const uint8_t(&report)[zevrin::kReportSize]) {
        if (hid_write(device, report, sizeof report) == static_cast<int>(sizeof report)) {
            return true;
        }
        Fail(kProgram, "hid_write", HidError(device));
        return false;
    };
    const auto receive = [device](uint8_t(&payload)[zevrin::kReportPayload]) {
        // An unnumbered hidraw read carries no report-id byte: these are report bytes 1..64.
        const int n = hid_read_timeout(device, payload, sizeof payload, kSilenceMs);
        if (n > 0) {
            return true;
        }
        Fail(kProgram, n == 0 ? "no answer from the gamepad" : "hid_read_timeout",
             HidError(device));
        return false;
    };
    const int result = Transfer(kProgram, image, send, receive);
    hid_close(device);
    hid_exit();
    return result;
}

// zevrin-win32-baseline.exe: the least a Windows host can do to update the gamepad, which the
// real-stack bench sets zevrin-flash.exe's turnaround through Wine against. One file handle
// opened for overlapped I/O, one event per direction, ReadFile and WriteFile of whole reports.
//
//   zevrin-win32-baseline.exe DEVICE-INTERFACE-PATH IMAGE.dat
//
// Exit 0 once the gamepad asked for CMD_UPDATE_DONE and it was written, 1 when the update did not
// get there, 2 for a wrong command line.
#include <windows.h>

#include <string>

#include "BaselineLoop.h"

namespace {

constexpr const char* kProgram = "zevrin-win32-baseline";
constexpr DWORD kSilenceMs = 5000;  // far above any answer; the bench bounds the whole run anyway
constexpr DWORD kWriteMs = 1000;
// Wine's HID stack now and then keeps an input report back until the device is written to: the
// updater pokes a silent gamepad with MSG_POLL after 10 ms, and so does this loop, keeping its read
// pending (a read cancelled at that moment could lose the report).
constexpr DWORD kPollMs = 10;

std::string ErrorText(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

// One overlapped call of a whole report on `file`. After each kPollMs without its end,
// `keepWaiting(ms waited)` says whether to go on waiting; false gives the call up with `silence`
// as the reason. The bytes moved, or -1.
template <typename KeepWaiting>
long Overlapped(HANDLE file, HANDLE event, bool read, uint8_t (&report)[zevrin::kReportSize],
                const char* silence, KeepWaiting keepWaiting) {
    OVERLAPPED o{};
    o.hEvent = event;
    const BOOL done = read ? ReadFile(file, report, sizeof report, nullptr, &o)
                           : WriteFile(file, report, sizeof report, nullptr, &o);
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        zevrin::baseline::Fail(kProgram, read ? "ReadFile" : "WriteFile", ErrorText("the call"));
        return -1;
    }
    DWORD moved = 0;
    for (DWORD waited = kPollMs; WaitForSingleObject(event, kPollMs) != WAIT_OBJECT_0;
         waited += kPollMs) {
        if (!keepWaiting(waited)) {
            zevrin::baseline::Fail(kProgram, silence);
            CancelIo(file);
            GetOverlappedResult(file, &o, &moved, TRUE);  // the call must end before `o` goes
            return -1;
        }
    }
    if (!GetOverlappedResult(file, &o, &moved, FALSE)) {
        zevrin::baseline::Fail(kProgram, "GetOverlappedResult", ErrorText("the call"));
        return -1;
    }
    return static_cast<long>(moved);
}

long Write(HANDLE file, HANDLE event, uint8_t (&report)[zevrin::kReportSize]) {
    return Overlapped(file, event, false, report, "WriteFile",
                      [](DWORD waited) { return waited < kWriteMs; });
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zevrin::baseline;
    if (argc != 3) {
        std::fprintf(stderr, "Usage: zevrin-win32-baseline.exe DEVICE-INTERFACE-PATH IMAGE.dat\n");
        return 2;
    }
    Image image;
    if (!LoadImage(kProgram, argv[2], image)) {
        return 1;
    }
    // Device interface paths are ASCII.
    HANDLE file =
        CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(kProgram, "CreateFileA", ErrorText(argv[1]));
    }
    HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int result = 1;
    if (readEvent != nullptr && writeEvent != nullptr) {
        const auto send = [&](const uint8_t(&report)[zevrin::kReportSize]) {
            uint8_t copy[zevrin::kReportSize];
            std::memcpy(copy, report, sizeof copy);
            return Write(file, writeEvent, copy) == static_cast<long>(sizeof copy);
        };
        const auto poll = [&] {
            const uint8_t frame[] = {0x00, MSG_POLL, 0x01, 0x00, 0x00};
            uint8_t report[zevrin::kReportSize];
            FillReport(report, frame, sizeof frame);
            return Write(file, writeEvent, report) == static_cast<long>(sizeof report);
        };
        const auto receive = [&](uint8_t(&payload)[zevrin::kReportPayload]) {
            uint8_t report[zevrin::kReportSize];
            const auto keepWaiting = [&](DWORD waited) { return waited < kSilenceMs && poll(); };
            if (Overlapped(file, readEvent, true, report, "no answer from the gamepad",
                           keepWaiting) != static_cast<long>(sizeof report)) {
                return false;
            }
            std::memcpy(payload, report + 1, sizeof payload);  // after the report id
            return true;
        };
        result = Transfer(kProgram, image, send, receive);
    } else {
        Fail(kProgram, "CreateEventW", ErrorText("the call"));
    }
    if (readEvent != nullptr) {
        CloseHandle(readEvent);
    }
    if (writeEvent != nullptr) {
        CloseHandle(writeEvent);
    }
    CloseHandle(file);
    return result;
}

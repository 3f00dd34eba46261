// The simulated port's record of one interface and of one registration, shared by the files
// that manage the interfaces and the one that carries their reports.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "hid/sim/SimPort.h"

namespace zevrin::sim {

struct SimPort::Device {
    int id = 0;
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::optional<protocol::Gamepad> gamepad;  // absent: an interface that never answers
    Recording plain;                           // what an interface that is no gamepad was sent
    bool plugged = true;
    uint64_t session = 1;  // handles opened in an earlier session are dead
    OpenStatus openStatus = OpenStatus::Ok;
    bool writeFails = false;
    FaultKind writeFault = FaultKind::None;  // WriteFail or WriteStall while it lasts
    std::deque<std::pair<Clock::time_point, std::array<uint8_t, kReportPayload>>> input;
    size_t unplugAfterChunks = 0;
    int openHandles = 0;
    int readsInProgress = 0;
};

struct SimPort::Registration {
    std::mutex mutex;
    bool live = true;
    std::function<void(uint32_t)> post;
    std::function<void(const DeviceEvent&)> postEvent;
};

}  // namespace zevrin::sim

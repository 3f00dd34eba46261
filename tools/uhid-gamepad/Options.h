// zevrin-uhid-gamepad's command line, parsed without any I/O so it can be tested on its own. The
// real-stack bench scripts against it: names and meanings do not change lightly.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "protocol/Gamepad.h"

namespace zevrin::uhid {

struct Options {
    uint16_t vendorId = 0x0483;
    uint16_t productId = 0x5750;
    std::string name = "Zevrin gamepad (uhid)";
    protocol::GamepadBehaviour behaviour;
    std::string readyFile;       // the hidraw node's path, once the kernel has started the device
    std::string recordFile;      // key=value lines of what the gamepad was sent, at the end
    std::string imageOutFile;    // the image bytes received, in order, at the end
    std::string turnaroundFile;  // microseconds per data request answered, at the end
    bool help = false;
};

struct UsageError {
    std::string message;  // one line, without the program name
};

// `args` are the arguments after the program name.
std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args);

std::string UsageText();

}  // namespace zevrin::uhid

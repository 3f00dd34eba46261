// Diagnostic lines go to standard error, where a terminal or the journal picks them up.
#include <cerrno>
#include <cstdio>

#include "hid/Log.h"

namespace zevrin {

void DefaultLogSink(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

uint32_t LastSystemError() {
    return static_cast<uint32_t>(errno);
}

}  // namespace zevrin

#include "cli/ChildProcess.h"

namespace zevrin::cli {

std::optional<std::string> TakeLine(std::string& buffer, bool ended) {
    size_t end = buffer.find('\n');
    size_t next = end + 1;
    if (end == std::string::npos) {
        if (buffer.size() >= kMaxChildLine) {
            end = next = kMaxChildLine;
        } else if (ended && !buffer.empty()) {
            end = next = buffer.size();
        } else {
            return std::nullopt;
        }
    }
    std::string line = buffer.substr(0, end);
    buffer.erase(0, next);
    // A Windows console program's text-mode output ends its lines with CR LF.
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

}  // namespace zevrin::cli

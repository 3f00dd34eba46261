#include "cli/ChildProcess.h"

namespace zevrin::cli {

std::optional<std::string> PipeLines::Next(const Read& read) {
    for (;;) {
        size_t end = m_Buffer.find('\n');
        size_t next = end + 1;
        if (end == std::string::npos && m_Buffer.size() >= kMaxChildLine) {
            end = next = kMaxChildLine;
        } else if (end == std::string::npos && m_Ended && !m_Buffer.empty()) {
            end = next = m_Buffer.size();
        }
        if (end != std::string::npos) {
            std::string line = m_Buffer.substr(0, end);
            m_Buffer.erase(0, next);
            // A Windows console program's text-mode output ends its lines with CR LF.
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        if (m_Ended) {
            return std::nullopt;
        }
        char chunk[4096];
        const size_t got = read(chunk, sizeof chunk);
        m_Buffer.append(chunk, got);
        m_Ended = got == 0;
    }
}

}  // namespace zevrin::cli

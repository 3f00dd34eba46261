#include "cli/LineReader.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace zevrin::cli {

namespace {
constexpr int kCancelCheckMs = 50;
}  // namespace

#if !defined(_WIN32)

struct StdinLineReader::Shared {};

StdinLineReader::StdinLineReader() = default;
StdinLineReader::~StdinLineReader() = default;

std::optional<std::string> StdinLineReader::ReadLine(const std::atomic<bool>& cancel) {
    std::string line;
    for (;;) {
        if (cancel.load()) {
            return std::nullopt;
        }
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&fd, 1, kCancelCheckMs);
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (ready <= 0) {
            continue;  // time to look at the cancel flag again (or a signal arrived)
        }
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // End of input: a last line without its end still counts.
            return line.empty() ? std::nullopt : std::optional<std::string>(line);
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        line += c;
    }
}

#else

// Windows cannot wait on a console or a pipe alike without the Win32 API, so one detached thread
// reads lines and the prompt waits for it. The thread may stay blocked in _read at exit; it owns
// its share of the state, so nothing it touches goes away under it.
struct StdinLineReader::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    bool ended = false;
    bool started = false;
};

StdinLineReader::StdinLineReader() : m_Shared(std::make_shared<Shared>()) {}
StdinLineReader::~StdinLineReader() = default;

std::optional<std::string> StdinLineReader::ReadLine(const std::atomic<bool>& cancel) {
    std::unique_lock lock(m_Shared->mutex);
    if (!m_Shared->started) {
        m_Shared->started = true;
        std::thread([shared = m_Shared] {
            std::string line;
            for (;;) {
                char c = 0;
                const int n = _read(0, &c, 1);
                std::lock_guard inner(shared->mutex);
                if (n <= 0) {
                    if (!line.empty()) {
                        shared->lines.push_back(line);
                    }
                    shared->ended = true;
                    shared->changed.notify_all();
                    return;
                }
                if (c == '\n') {
                    if (!line.empty() && line.back() == '\r') {
                        line.pop_back();
                    }
                    shared->lines.push_back(line);
                    line.clear();
                    shared->changed.notify_all();
                } else {
                    line += c;
                }
            }
        }).detach();
    }
    for (;;) {
        if (cancel.load()) {
            return std::nullopt;
        }
        if (!m_Shared->lines.empty()) {
            std::string line = std::move(m_Shared->lines.front());
            m_Shared->lines.pop_front();
            return line;
        }
        if (m_Shared->ended) {
            return std::nullopt;
        }
        m_Shared->changed.wait_for(lock, std::chrono::milliseconds(kCancelCheckMs));
    }
}

#endif

}  // namespace zevrin::cli

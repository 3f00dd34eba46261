#include "cli/LineReader.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#if !defined(_WIN32)
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace zevrin::cli {

namespace {
constexpr int kCancelCheckMs = 50;
}  // namespace

ReadMeaning MeaningOf(const Win32Read& read) {
    if (read.ok && read.bytes > 0) {
        return ReadMeaning::Byte;
    }
    // The console reports the cut-short read as a success or a failure depending on the version.
    if (read.bytes == 0 && read.error == kWin32OperationAborted) {
        return ReadMeaning::Interrupted;
    }
    return ReadMeaning::End;  // end of a file, a closed pipe, or a handle that cannot be read
}

struct PumpedLineReader::Shared {
    explicit Shared(ByteSource s) : source(std::move(s)) {}
    const ByteSource source;
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> line;  // read and not yet taken
    bool ended = false;
    bool started = false;
};

PumpedLineReader::PumpedLineReader(ByteSource source)
    : m_Shared(std::make_shared<Shared>(std::move(source))) {}
PumpedLineReader::~PumpedLineReader() = default;

std::optional<std::string> PumpedLineReader::ReadLine(const std::atomic<bool>& cancel) {
    std::unique_lock lock(m_Shared->mutex);
    if (!m_Shared->started) {
        m_Shared->started = true;
        std::thread([shared = m_Shared] {
            for (;;) {
                std::string line;
                bool ended = false;
                for (;;) {
                    char c = 0;
                    const ReadMeaning meaning = shared->source(c);
                    if (meaning == ReadMeaning::Interrupted) {
                        line.clear();
                        continue;
                    }
                    if (meaning == ReadMeaning::End) {
                        ended = true;
                        break;
                    }
                    if (c == '\n') {
                        break;
                    }
                    line += c;
                    if (line.size() > kMaxLineBytes) {
                        ended = true;
                        break;
                    }
                }
                if (!ended && !line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                std::unique_lock inner(shared->mutex);
                if (!ended || !line.empty()) {
                    shared->line = std::move(line);
                }
                shared->ended = ended;
                shared->changed.notify_all();
                if (ended) {
                    return;
                }
                shared->changed.wait(inner, [&] { return !shared->line.has_value(); });
            }
        }).detach();
    }
    for (;;) {
        if (cancel.load()) {
            return std::nullopt;
        }
        if (m_Shared->line) {
            std::optional<std::string> line = std::exchange(m_Shared->line, std::nullopt);
            m_Shared->changed.notify_all();
            return line;
        }
        if (m_Shared->ended) {
            return std::nullopt;
        }
        m_Shared->changed.wait_for(lock, std::chrono::milliseconds(kCancelCheckMs));
    }
}

#if !defined(_WIN32)

struct StdinLineReader::Shared {
    bool ended = false;
};

StdinLineReader::StdinLineReader() : m_Shared(std::make_shared<Shared>()) {}
StdinLineReader::~StdinLineReader() = default;

std::optional<std::string> StdinLineReader::ReadLine(const std::atomic<bool>& cancel) {
    std::string line;
    for (;;) {
        if (cancel.load() || m_Shared->ended) {
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
            m_Shared->ended = true;
            return line.empty() ? std::nullopt : std::optional<std::string>(line);
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        line += c;
        if (line.size() > kMaxLineBytes) {
            m_Shared->ended = true;
            if (isatty(STDIN_FILENO) != 0) {
                // The rest of a pasted line would otherwise reach the shell as a command.
                (void)tcflush(STDIN_FILENO, TCIFLUSH);
            }
            return line;
        }
    }
}

#else

struct StdinLineReader::Shared {
    PumpedLineReader reader{ReadStdinByte};
};

StdinLineReader::StdinLineReader() : m_Shared(std::make_shared<Shared>()) {}
StdinLineReader::~StdinLineReader() = default;

std::optional<std::string> StdinLineReader::ReadLine(const std::atomic<bool>& cancel) {
    return m_Shared->reader.ReadLine(cancel);
}

#endif

}  // namespace zevrin::cli

// Where the answer to the y/N question comes from. A prompt must be able to give up while it
// waits (Ctrl-C stops the worker, which waits on the answer), so reads take a cancel flag.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace zevrin::cli {

// An answer is a word; whatever arrives, holding it must not take more than this.
inline constexpr size_t kMaxLineBytes = 256;

class LineReader {
  public:
    virtual ~LineReader() = default;
    // The next line without its end; nothing at the end of the input or once `cancel` is set
    // (noticed within about 50 ms).
    virtual std::optional<std::string> ReadLine(const std::atomic<bool>& cancel) = 0;
};

// Standard input. On POSIX it waits with poll() and reads bytes with read(), so nothing beyond
// the answer is taken from a pipe; on Windows a helper thread reads and the prompt waits for it.
// A line longer than kMaxLineBytes comes back cut to kMaxLineBytes + 1 bytes, so the caller can
// tell, and the input is read no further (/dev/zero has no line end).
class StdinLineReader final : public LineReader {
  public:
    StdinLineReader();
    ~StdinLineReader() override;
    StdinLineReader(const StdinLineReader&) = delete;
    StdinLineReader& operator=(const StdinLineReader&) = delete;

    std::optional<std::string> ReadLine(const std::atomic<bool>& cancel) override;

  private:
    struct Shared;
    std::shared_ptr<Shared> m_Shared;
};

}  // namespace zevrin::cli

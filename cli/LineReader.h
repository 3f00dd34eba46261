// Where the answer to the y/N question comes from. A prompt must be able to give up while it
// waits (Ctrl-C stops the worker, which waits on the answer), so reads take a cancel flag.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace zevrin::cli {

class LineReader {
  public:
    virtual ~LineReader() = default;
    // The next line without its end; nothing at the end of the input or once `cancel` is set
    // (noticed within about 50 ms).
    virtual std::optional<std::string> ReadLine(const std::atomic<bool>& cancel) = 0;
};

// Standard input. On POSIX it waits with poll() and reads bytes with read(), so nothing beyond
// the answer is taken from a pipe; on Windows a helper thread reads and the prompt waits for it.
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

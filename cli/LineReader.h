// Where the answer to the y/N question comes from. A prompt must be able to give up while it
// waits (Ctrl-C stops the worker, which waits on the answer), so reads take a cancel flag.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
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

// What one read of a byte of standard input on Windows gave, as ReadFile and GetLastError() tell
// it. A console read that Ctrl-C or Ctrl-Break cut short returns no byte and
// ERROR_OPERATION_ABORTED; only the console control handler, on a thread of its own and possibly
// later, makes it a stop request, so taking it for the end of the input would answer no first.
struct Win32Read {
    bool ok = false;
    unsigned long bytes = 0;
    unsigned long error = 0;  // GetLastError(), cleared before the read
};
inline constexpr unsigned long kWin32OperationAborted = 995;  // ERROR_OPERATION_ABORTED

enum class ReadMeaning { Byte, End, Interrupted };
ReadMeaning MeaningOf(const Win32Read& read);

// Lines from a source that can only block (a Windows console or pipe cannot be waited on
// together with a cancel flag without more of the Win32 API): one detached thread reads and the
// prompt waits for it. The thread may stay blocked in the source at exit; it owns its share of the
// state, so nothing it touches goes away under it. It reads one line ahead at most, so input
// nobody asks for does not pile up. An interrupted read drops the line begun (the console has
// dropped it too) and reads on: the stop request, not the input, ends the prompt.
class PumpedLineReader final : public LineReader {
  public:
    using ByteSource = std::function<ReadMeaning(char& byte)>;
    explicit PumpedLineReader(ByteSource source);
    ~PumpedLineReader() override;
    PumpedLineReader(const PumpedLineReader&) = delete;
    PumpedLineReader& operator=(const PumpedLineReader&) = delete;

    std::optional<std::string> ReadLine(const std::atomic<bool>& cancel) override;

  private:
    struct Shared;
    std::shared_ptr<Shared> m_Shared;
};

#if defined(_WIN32)
// One byte of the process's standard input (ReadFile on STD_INPUT_HANDLE).
ReadMeaning ReadStdinByte(char& byte);
#endif

// Standard input. On POSIX it waits with poll() and reads bytes with read(), so nothing beyond
// the answer is taken from a pipe; on Windows a PumpedLineReader reads it.
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

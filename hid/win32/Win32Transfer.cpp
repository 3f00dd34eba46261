#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "hid/Log.h"
#include "hid/win32/Win32Api.h"
#include "hid/win32/Win32Handle.h"
#include "hid/win32/Win32HidPort.h"

namespace zevrin {
namespace {

// One overlapped read or write. The system uses both fields until the call has ended, which after
// a cancel can be later than the wait that gave up on it. A write carries its own copy of the
// report: the caller's buffer is refilled for the next report while an abandoned write may still
// be reading this one.
struct PendingReport {
    OVERLAPPED overlapped{};
    uint8_t report[kReportSize]{};
};
static_assert(std::is_trivially_destructible_v<PendingReport>);

// The memory of a handle's calls, from the table's allocator, taken at the first call and used by
// each call after it: a call's memory is free again once the call has ended. It goes back with
// the handle; the memory of a call whose end could not be seen is kept for good (Abandon): the
// system may still write into it.
class CallMemory {
  public:
    explicit CallMemory(const Win32Api& api) : m_Api(api) {}
    CallMemory(const CallMemory&) = delete;
    CallMemory& operator=(const CallMemory&) = delete;
    ~CallMemory() {
        if (m_Block != nullptr) {
            m_Api.FreeIo(m_Block);
        }
    }

    // Null when out of memory. Each call starts from a clean OVERLAPPED.
    PendingReport* ForNextCall() {
        if (m_Block == nullptr) {
            m_Block = m_Api.AllocateIo(sizeof(PendingReport));
            if (m_Block == nullptr) {
                return nullptr;
            }
        }
        return new (m_Block) PendingReport();
    }
    void Abandon() { m_Block = nullptr; }

  private:
    const Win32Api& m_Api;
    void* m_Block = nullptr;
};

// How one overlapped call ended.
struct Ending {
    bool started = false;  // false: the call failed before anything was queued
    DWORD waited = WAIT_FAILED;
    bool whole = false;      // ended well, having moved the whole report
    bool cancelled = false;  // Cancel was asked for while the call ran
    bool abandoned = false;  // it did not end even once cancelled: its memory is kept for good
};

enum class Direction { Read, Write };

// A file opened for overlapped I/O that runs one call at a time, with a bound on each, and that
// another thread may cancel. The memory and the event of its calls are its own, made at the first
// call and used again by each after it: under Wine every event made and closed is two round trips
// to wineserver, which per report were a good part of the turnaround.
class OverlappedFile {
  public:
    // `cancelAhead`: a Cancel that arrives between two calls ends the next one. Reads want that,
    // or a window closing just as one read ended would wait out the whole time-out of the next.
    OverlappedFile(const Win32Api& api, Handle file, bool cancelAhead)
        : m_Api(api), m_File(std::move(file)), m_CancelAhead(cancelAhead), m_Io(api) {}

    // The memory of the next call, for the caller to fill; null when out of memory.
    PendingReport* NextCall() { return m_GivenUp ? nullptr : m_Io.ForNextCall(); }

    // Runs one call on `io` (from NextCall) and returns once it has really ended, or once it is
    // plain that it will not: then the memory and the event are abandoned on purpose, since the
    // system may still use them.
    Ending Transfer(Direction direction, PendingReport* io, DWORD timeoutMs) {
        Ending ending;
        if (m_GivenUp || io == nullptr) {
            // A call on this handle never ended: its driver does not finish what it is given,
            // and each new call would be given up the same way, keeping its memory too.
            return ending;
        }
        Begin();
        if (!m_Event || !*m_Event) {
            // Manual-reset: set by the end of a call, and reset by the system as the next begins.
            m_Event.emplace(m_Api, m_Api.CreateEventW(nullptr, TRUE, FALSE, nullptr));
        }
        if (!*m_Event) {
            ending.cancelled = Finish();
            return ending;
        }
        Handle& event = *m_Event;
        io->overlapped.hEvent = event.get();
        const BOOL done =
            direction == Direction::Read
                ? m_Api.ReadFile(m_File.get(), io->report, kReportSize, nullptr, &io->overlapped)
                : m_Api.WriteFile(m_File.get(), io->report, kReportSize, nullptr, &io->overlapped);
        if (!done && m_Api.GetLastError() != ERROR_IO_PENDING) {
            // Nothing was queued (the device is gone, typically): its event will never be set,
            // and waiting for the end of a call that never began would never return.
            ending.cancelled = Finish();
            return ending;
        }
        ending.started = true;
        Publish(&io->overlapped);
        ending.waited = m_Api.WaitForSingleObject(event.get(), timeoutMs);
        DWORD moved = 0;
        BOOL succeeded = FALSE;
        bool ended = false;
        if (ending.waited == WAIT_OBJECT_0) {
            // The call's own status, not the event, says whether it brought a report.
            succeeded = m_Api.GetOverlappedResult(m_File.get(), &io->overlapped, &moved, FALSE);
            ended = succeeded || m_Api.GetLastError() != ERROR_IO_INCOMPLETE;
        }
        if (!ended) {
            if (!EndCancelled(direction, io, event)) {
                ending.abandoned = true;
                ending.cancelled = Finish();
                return ending;
            }
            succeeded = m_Api.GetOverlappedResult(m_File.get(), &io->overlapped, &moved, FALSE);
        }
        ending.cancelled = Finish();
        // A call that completed while it was being cancelled still moved its report: a report
        // thrown away here would be a device answer the update never sees.
        ending.whole = succeeded && moved == kReportSize;
        return ending;
    }

    void Cancel() {
        std::lock_guard lock(m_Mutex);
        if (!m_Running && !m_CancelAhead) {
            return;
        }
        m_CancelRequested = true;
        if (m_Pending != nullptr) {
            // CancelIo only reaches I/O of the calling thread; the call runs on another one.
            m_Api.CancelIoEx(m_File.get(), m_Pending);
        }
    }

  private:
    // The wait did not see the call end: it is still pending, or about to end. The system may use
    // the report and the OVERLAPPED until the call has really ended, so wait for that before
    // releasing them. A cancelled call normally ends at once, but a driver may never end it, and
    // an unbounded wait (GetOverlappedResult with bWait) would then hold the transfer for ever.
    // False when it did not end.
    bool EndCancelled(Direction direction, const PendingReport* io, Handle& event) {
        m_Api.CancelIo(m_File.get());
        m_Api.WaitForSingleObject(event.get(), kCancelledCallBoundMs);
        if (HasOverlappedIoCompleted(&io->overlapped)) {
            return true;
        }
        // Keeping the call's memory and the event it will set, for good, is the only safe
        // choice; the handle takes no further call.
        m_Io.Abandon();
        event.Abandon();
        m_GivenUp = true;
        LogLine("%s: the cancelled call did not end within %u ms: the handle is given up\n",
                direction == Direction::Read ? "ReadFile" : "WriteFile", kCancelledCallBoundMs);
        return false;
    }

    void Begin() {
        std::lock_guard lock(m_Mutex);
        m_Running = true;
    }
    // Makes the call visible to Cancel. A Cancel that landed before the call was queued ends it
    // at once.
    void Publish(OVERLAPPED* overlapped) {
        std::lock_guard lock(m_Mutex);
        m_Pending = overlapped;
        if (m_CancelRequested) {
            m_Api.CancelIoEx(m_File.get(), overlapped);
        }
    }
    // Returns whether a Cancel was asked for, and consumes it.
    bool Finish() {
        std::lock_guard lock(m_Mutex);
        m_Pending = nullptr;
        m_Running = false;
        return std::exchange(m_CancelRequested, false);
    }

    const Win32Api& m_Api;
    Handle m_File;
    const bool m_CancelAhead;
    std::mutex m_Mutex;  // the three below, shared with Cancel
    OVERLAPPED* m_Pending = nullptr;
    bool m_Running = false;
    bool m_CancelRequested = false;
    bool m_GivenUp = false;         // the calling thread's only
    CallMemory m_Io;                // the calling thread's only
    std::optional<Handle> m_Event;  // the calling thread's only
};

class Win32WriteHandle final : public HidWriteHandle {
  public:
    Win32WriteHandle(const Win32Api& api, Handle file)
        : m_File(api, std::move(file), /*cancelAhead=*/false) {}

    bool Write(const uint8_t (&report)[kReportSize]) override {
        PendingReport* io = m_File.NextCall();
        if (io == nullptr) {
            return false;
        }
        std::memcpy(io->report, report, kReportSize);
        // A HID write is the whole report or nothing; a short count means the device did not
        // take it.
        return m_File.Transfer(Direction::Write, io, kWriteTimeoutMs).whole;
    }

    void Cancel() override { m_File.Cancel(); }

  private:
    OverlappedFile m_File;
};

class Win32ReadHandle final : public HidReadHandle {
  public:
    Win32ReadHandle(const Win32Api& api, Handle file)
        : m_File(api, std::move(file), /*cancelAhead=*/true) {}

    uint32_t Read(uint8_t (&payload)[kReportPayload], uint32_t timeoutMs) override {
        PendingReport* io = m_File.NextCall();
        if (io == nullptr) {
            return kReadFailed;
        }
        const Ending ending = m_File.Transfer(Direction::Read, io, timeoutMs);
        if (ending.whole) {
            std::memcpy(payload, io->report + 1, kReportPayload);
            return kReadOk;
        }
        if (!ending.started || ending.abandoned) {
            return kReadFailed;  // and so is every read after it: the engine sees a lost device
        }
        if (ending.cancelled) {
            return kReadTimeout;
        }
        // A read that ended without a report failed, whatever the wait said; one that did not
        // end in time passes on what the wait said.
        return ending.waited == WAIT_OBJECT_0 ? kReadFailed : ending.waited;
    }

    void Cancel() override { m_File.Cancel(); }

  private:
    OverlappedFile m_File;
};

}  // namespace

std::unique_ptr<HidWriteHandle> MakeWriteHandle(const Win32Api& api, Handle file) {
    return std::make_unique<Win32WriteHandle>(api, std::move(file));
}

std::unique_ptr<HidReadHandle> MakeReadHandle(const Win32Api& api, Handle file) {
    return std::make_unique<Win32ReadHandle>(api, std::move(file));
}

}  // namespace zevrin

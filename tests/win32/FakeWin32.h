// A fake Windows for the HID backend: a set of HID interfaces, handles that know whether they were
// closed, events, and overlapped reads and writes whose completion the test controls. It behaves
// like the system where the backend relies on it (size fields checked, an open that does not share
// reading and writing refused, CancelIo only reaching the
// calling thread's calls, a cancelled call ending only later, a call that fails at once leaving
// nothing to wait for, a call's memory written until the call has ended) and records every call.
// It stands in for the session hold's calls too (SessionApi).
#pragma once

#include <array>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidPort.h"
#include "hid/win32/Win32Api.h"
#include "session/win32/SessionApi.h"

namespace zevrin::test {

// The HID interface class, as the system reports it.
inline constexpr GUID kHidClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

inline constexpr int kNever = INT_MAX;

struct FakeInterface {
    std::wstring path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    DWORD refuseAccess = 0;  // CreateFileW asking any of these rights fails with openError
    DWORD openError = ERROR_ACCESS_DENIED;
    bool gone = false;       // listed, but unplugged before it is opened: every open fails
    int detailFailures = 0;  // detail queries that fail although the buffer is big enough
    bool attributesFail = false;
    // The collection's report lengths, report id included.
    USHORT inputReportBytes = kReportSize;
    USHORT outputReportBytes = kReportSize;
    bool preparsedDataFails = false;
    bool capsFail = false;
};

struct CreateFileCall {
    std::wstring path;
    DWORD access;
    HANDLE result;
};

// One read or write from the call that started it to its end.
struct IoCall {
    HANDLE file;
    OVERLAPPED* overlapped;  // null for a synchronous call
    HANDLE event;
    std::thread::id thread;
    bool started = false;  // false: failed at once, nothing queued, its event never set
    bool cancelRequested = false;
    bool ended = false;
    bool endedWithEventOpen = false;
};

struct WriteCall : IoCall {
    const void* buffer;
    std::vector<uint8_t> bytes;  // as they were when the write began
};

struct ReadCall : IoCall {
    void* buffer;
    DWORD size;
};

// How a write the device takes ends.
enum class WriteEnd {
    InTheCall,  // inside WriteFile
    Pending,    // after WriteFile returned ERROR_IO_PENDING, before anyone waits
    Never,      // a device that stopped taking reports: only a cancel or ReleaseWrites ends it
};

// Statuses a call ends with (ntstatus.h), and the errors GetOverlappedResult turns them into.
inline constexpr ULONG_PTR kStatusCancelled = 0xC0000120;           // ERROR_OPERATION_ABORTED
inline constexpr ULONG_PTR kStatusDeviceNotConnected = 0xC000009D;  // ERROR_DEVICE_NOT_CONNECTED
inline constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;        // ERROR_GEN_FAILURE

struct WaitCall {
    HANDLE object;
    DWORD milliseconds;
};

struct CancelCall {
    HANDLE file;
    OVERLAPPED* overlapped;  // null for CancelIo
    std::thread::id thread;
};

struct OverlappedResultCall {
    HANDLE file;
    OVERLAPPED* overlapped;
    bool wait;
};

// A call of the session hold, with the thread it came from.
struct SessionCall {
    enum class Kind { BlockReason, UnblockReason, ExecutionState } kind;
    HWND window;
    std::wstring reason;
    EXECUTION_STATE state;
    DWORD thread;
};

struct RegisterCall {
    HANDLE recipient;
    HDEVNOTIFY result;
};

class FakeWin32 {
  public:
    FakeWin32();  // becomes the system that Api() talks to
    ~FakeWin32();
    FakeWin32(const FakeWin32&) = delete;
    FakeWin32& operator=(const FakeWin32&) = delete;

    static const Win32Api& Api();
    static const SessionApi& Session();

    // --- the system as the test sets it up (under Lock() once other threads run) ---
    std::vector<FakeInterface> interfaces;
    bool classDevsFail = false;
    int failAllocation = -1;  // the allocation (0 = first) that returns null
    bool registrationFails = false;
    bool eventCreationFails = false;
    std::optional<DWORD> forcedWait;  // WaitForSingleObject returns this at once
    // A driver that never ends a cancelled call: CancelIo and CancelIoEx only ask. Otherwise a
    // cancelled call ends by the time anyone waits for it.
    bool cancelIgnored = false;
    std::deque<std::array<uint8_t, kReportSize>> input;  // reports a read completes with at once
    DWORD readError = 0;       // ReadFile fails at once with this error (the device is gone)
    ULONG_PTR readStatus = 0;  // with no input queued, a read goes pending, then ends with this
    bool reportRacesCancel = false;  // a read being cancelled ends with a report all the same
    DWORD writeError = 0;            // WriteFile fails at once with this error
    WriteEnd writeEnd = WriteEnd::InTheCall;
    ULONG_PTR writeStatus = 0;           // the status a write the device takes ends with
    DWORD writeTransfers = kReportSize;  // and the count it reports

    // Completes the oldest pending read with `report` (a report arriving while the host waits).
    bool Deliver(const std::array<uint8_t, kReportSize>& report);
    // Ends every pending write as taken whole: a stalled device that recovers.
    bool ReleaseWrites();
    // Blocks until some thread waits on an event.
    bool WaitUntilAnyoneWaits();

    // --- what the backend did ---
    int setsCreated = 0;
    std::map<HDEVINFO, int> setsDestroyed;
    std::vector<DWORD> enumIndices;
    int allocations = 0;
    std::vector<HANDLE> preparsedRequests;
    std::vector<CreateFileCall> opens;
    std::vector<WriteCall> writes;
    int eventsCreated = 0;
    std::vector<ReadCall> reads;
    std::vector<WaitCall> waits;
    std::vector<CancelCall> cancels;
    std::vector<OverlappedResultCall> overlappedResults;
    std::vector<RegisterCall> registrations;
    std::vector<HDEVNOTIFY> unregistered;
    std::vector<std::wstring> mutexNames;  // every CreateMutexW, in order
    std::vector<SessionCall> sessionCalls;
    std::vector<std::string> faults;  // misuse the system would punish

    int OpensOf(const std::wstring& path) const;
    int Closes(HANDLE handle) const;
    bool IsOpen(HANDLE handle) const;
    int OpenFiles() const;
    size_t LiveDetailBuffers() const { return m_Detail.size(); }
    size_t LivePreparsedData() const { return m_Preparsed.size(); }
    // Call memory not given back: the calls the backend gave up on keep theirs.
    size_t LiveCallMemory() const;
    // The execution state a thread last set (0 before it set any).
    EXECUTION_STATE ExecutionStateOf(DWORD thread) const;
    std::unique_lock<std::mutex> Lock() { return std::unique_lock(m_Mutex); }

  private:
    struct Object {
        bool event = false;
        int iface = -1;  // files: the interface opened
        int closes = 0;
        bool signalled = false;
        bool overlapped = false;  // files: opened with FILE_FLAG_OVERLAPPED
        DWORD access = 0;         // files: the rights asked for
        std::wstring name{};      // named objects: the name it was made with
    };
    friend struct FakeCalls;

    HANDLE NewHandle(Object object);
    Object* Find(HANDLE handle);
    void Complete(ReadCall& read, const std::array<uint8_t, kReportSize>& report);
    void End(IoCall& call, ULONG_PTR status, ULONG_PTR transferred);
    void EndCancelled(ReadCall& read);
    void EndCancelled(WriteCall& write);
    // Whether the system may still write at `p`: it lies in call memory not given back.
    bool IsLiveCallMemory(const void* p) const;
    void Fault(std::string what) { faults.push_back(std::move(what)); }

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::map<HANDLE, Object> m_Objects;
    std::map<void*, size_t> m_Detail;
    std::map<void*, size_t> m_CallMemory;
    std::map<DWORD, EXECUTION_STATE> m_ExecutionStates;
    std::map<PHIDP_PREPARSED_DATA, int> m_Preparsed;  // live preparsed data: its interface
    uintptr_t m_NextPreparsed = 0x9000;
    uintptr_t m_NextHandle = 0x1000;
    int m_Waiting = 0;
};

}  // namespace zevrin::test

// A fake Windows for the HID backend: a set of HID interfaces, handles that know whether they were
// closed, events, and overlapped reads whose completion the test controls. It behaves like the
// system where the backend relies on it (size fields checked, CancelIo only reaching the calling
// thread's reads, a cancelled read ending only later) and records every call.
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
    int detailFailures = 0;  // detail queries that fail although the buffer is big enough
    bool attributesFail = false;
};

struct CreateFileCall {
    std::wstring path;
    DWORD access, share, disposition, flags;
    bool security, templateFile;
    HANDLE result;
};

struct DetailCall {
    DWORD index;
    bool withBuffer;
    DWORD size;
};

struct WriteCall {
    HANDLE file;
    std::vector<uint8_t> bytes;
    bool overlapped;
};

struct EventCall {
    bool security, manualReset, initialState, named;
};

struct ReadCall {
    HANDLE file;
    void* buffer;
    DWORD size;
    OVERLAPPED* overlapped;
    HANDLE event;
    DWORD offset, offsetHigh;
    std::thread::id thread;
    bool cancelRequested = false;
    bool ended = false;
    bool endedWithEventOpen = false;
};

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

struct RegisterCall {
    HANDLE recipient;
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    DWORD flags;
    HDEVNOTIFY result;
};

class FakeWin32 {
  public:
    FakeWin32();  // becomes the system that Api() talks to
    ~FakeWin32();
    FakeWin32(const FakeWin32&) = delete;
    FakeWin32& operator=(const FakeWin32&) = delete;

    static const Win32Api& Api();

    // --- the system as the test sets it up (under Lock() once other threads run) ---
    std::vector<FakeInterface> interfaces;
    bool classDevsFail = false;
    int failAllocation = -1;  // the allocation (0 = first) that returns null
    bool registrationFails = false;
    BOOL writeResult = TRUE;
    bool eventCreationFails = false;
    std::optional<DWORD> forcedWait;   // WaitForSingleObject returns this at once
    bool overlappedWaitFails = false;  // GetOverlappedResult(TRUE) fails, the read still pending
    std::deque<std::array<uint8_t, kReportSize>> input;  // reports a read completes with at once

    // Completes the oldest pending read with `report` (a report arriving while the host waits).
    bool Deliver(const std::array<uint8_t, kReportSize>& report);
    // Blocks until some thread waits on a read's event.
    bool WaitUntilReaderWaits();

    // --- what the backend did ---
    std::vector<GUID> classDevsGuids;
    std::vector<DWORD> classDevsFlags;
    int classDevsOddArgs = 0;  // enumerator or window passed
    int setsCreated = 0;
    std::map<HDEVINFO, int> setsDestroyed;
    std::vector<DWORD> enumIndices;
    std::vector<DetailCall> detailCalls;
    int allocations = 0;
    std::vector<DWORD> attributeSizes;
    std::vector<CreateFileCall> opens;
    std::vector<WriteCall> writes;
    std::vector<EventCall> events;
    std::vector<ReadCall> reads;
    std::vector<WaitCall> waits;
    std::vector<CancelCall> cancels;
    std::vector<OverlappedResultCall> overlappedResults;
    std::vector<RegisterCall> registrations;
    std::vector<HDEVNOTIFY> unregistered;
    std::vector<std::string> faults;  // misuse the system would punish

    int OpensOf(const std::wstring& path) const;
    int Closes(HANDLE handle) const;
    bool IsOpen(HANDLE handle) const;
    int OpenFiles() const;
    size_t LiveDetailBuffers() const { return m_Detail.size(); }
    std::unique_lock<std::mutex> Lock() { return std::unique_lock(m_Mutex); }

  private:
    struct Object {
        bool event = false;
        int iface = -1;  // files: the interface opened
        int closes = 0;
        bool signalled = false;
    };
    friend struct FakeCalls;

    HANDLE NewHandle(Object object);
    Object* Find(HANDLE handle);
    void Complete(ReadCall& read, const std::array<uint8_t, kReportSize>* report);
    void Fault(std::string what) { faults.push_back(std::move(what)); }

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::map<HANDLE, Object> m_Objects;
    std::map<void*, size_t> m_Detail;
    uintptr_t m_NextHandle = 0x1000;
    int m_Waiting = 0;
};

}  // namespace zevrin::test

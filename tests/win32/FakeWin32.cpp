#include "tests/win32/FakeWin32.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace zevrin::test {
namespace {

FakeWin32* g_Fake = nullptr;
thread_local DWORD t_LastError = 0;

BOOL Fail(DWORD error) {
    t_LastError = error;
    return FALSE;
}

DWORD PathBytes(const FakeInterface& iface) {
    return static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                              (iface.path.size() + 1) * sizeof(WCHAR));
}

HDEVINFO SetHandle(int n) {
    return reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(0x5E70 + n));
}

DWORD ErrorOf(ULONG_PTR status) {
    switch (status) {
        case 0:
            return ERROR_SUCCESS;
        case kStatusCancelled:
            return ERROR_OPERATION_ABORTED;
        case kStatusDeviceNotConnected:
            return ERROR_DEVICE_NOT_CONNECTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// What GetOverlappedResult reports for a call that has ended, read from its OVERLAPPED.
BOOL ResultOf(const OVERLAPPED& overlapped, LPDWORD transferred) {
    if (overlapped.Internal == STATUS_PENDING) {
        return Fail(ERROR_IO_INCOMPLETE);
    }
    *transferred = static_cast<DWORD>(overlapped.InternalHigh);
    return overlapped.Internal == 0 ? TRUE : Fail(ErrorOf(overlapped.Internal));
}

// The latest call on `file` with this OVERLAPPED: the backend's memory is reused from call to call.
template <class Call>
Call* Latest(std::vector<Call>& calls, HANDLE file, const OVERLAPPED* overlapped) {
    const auto it = std::find_if(calls.rbegin(), calls.rend(), [&](const Call& call) {
        return call.overlapped == overlapped && call.file == file;
    });
    return it == calls.rend() ? nullptr : &*it;
}

bool Pending(const IoCall& call) {
    return call.started && !call.ended;
}

}  // namespace

// The table's entries: each takes the lock and acts on the current fake.
struct FakeCalls {
    static FakeWin32& F() { return *g_Fake; }

    static void WINAPI HidGuid(LPGUID guid) { *guid = kHidClass; }

    static BOOLEAN WINAPI Attributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
        std::lock_guard lock(F().m_Mutex);
        const auto* object = F().Find(device);
        if (object == nullptr || object->closes > 0 || object->iface < 0) {
            F().Fault("HidD_GetAttributes on a handle that is not an open interface");
            return Fail(ERROR_INVALID_HANDLE);
        }
        const FakeInterface& iface = F().interfaces[static_cast<size_t>(object->iface)];
        if (attributes->Size != sizeof(HIDD_ATTRIBUTES) || iface.attributesFail) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        attributes->VendorID = iface.vendorId;
        attributes->ProductID = iface.productId;
        attributes->VersionNumber = 0x0100;
        return TRUE;
    }

    // The system's copy of the collection's descriptor, tied to nothing but its own free.
    static BOOLEAN WINAPI GetPreparsed(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        f.preparsedRequests.push_back(device);
        const auto* object = f.Find(device);
        if (object == nullptr || object->closes > 0 || object->iface < 0) {
            f.Fault("HidD_GetPreparsedData on a handle that is not an open interface");
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (f.interfaces[static_cast<size_t>(object->iface)].preparsedDataFails) {
            return Fail(ERROR_GEN_FAILURE);
        }
        f.m_NextPreparsed += 16;
        *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(f.m_NextPreparsed);
        f.m_Preparsed[*preparsed] = object->iface;
        return TRUE;
    }

    static NTSTATUS WINAPI Caps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        const auto it = f.m_Preparsed.find(preparsed);
        if (it == f.m_Preparsed.end()) {
            f.Fault("HidP_GetCaps on preparsed data that is not live");
            return HIDP_STATUS_INVALID_PREPARSED_DATA;
        }
        const FakeInterface& iface = f.interfaces[static_cast<size_t>(it->second)];
        if (iface.capsFail) {
            return HIDP_STATUS_INVALID_PREPARSED_DATA;
        }
        *caps = HIDP_CAPS{};
        caps->UsagePage = 0x01;
        caps->Usage = 0x05;  // game pad
        caps->InputReportByteLength = iface.inputReportBytes;
        caps->OutputReportByteLength = iface.outputReportBytes;
        return HIDP_STATUS_SUCCESS;
    }

    static BOOLEAN WINAPI FreePreparsed(PHIDP_PREPARSED_DATA preparsed) {
        std::lock_guard lock(F().m_Mutex);
        if (F().m_Preparsed.erase(preparsed) == 0) {
            F().Fault("preparsed data freed that is not live");
            return FALSE;
        }
        return TRUE;
    }

    static HDEVINFO WINAPI ClassDevs(const GUID* guid, PCWSTR enumerator, HWND parent,
                                     DWORD flags) {
        std::lock_guard lock(F().m_Mutex);
        // Anything else is a set of other devices, or of devices rather than their interfaces.
        if (!IsEqualGUID(*guid, kHidClass) || enumerator != nullptr || parent != nullptr ||
            flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
            F().Fault("SetupDiGetClassDevsW not asking for the present HID interfaces");
        }
        if (F().classDevsFail) {
            t_LastError = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
        return SetHandle(++F().setsCreated);
    }

    static bool IsLiveSet(HDEVINFO set) {
        for (int n = 1; n <= F().setsCreated; ++n) {
            if (set == SetHandle(n)) {
                return F().setsDestroyed[set] == 0;
            }
        }
        return false;
    }

    static BOOL WINAPI Enum(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* guid, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA data) {
        std::lock_guard lock(F().m_Mutex);
        F().enumIndices.push_back(index);
        if (F().enumIndices.size() > 10000) {
            F().Fault("the walk does not end");
            return Fail(ERROR_NO_MORE_ITEMS);
        }
        if (!IsLiveSet(set) || device != nullptr || !IsEqualGUID(*guid, kHidClass)) {
            F().Fault("SetupDiEnumDeviceInterfaces with a wrong set, device or class");
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        if (index >= F().interfaces.size()) {
            return Fail(ERROR_NO_MORE_ITEMS);
        }
        data->InterfaceClassGuid = kHidClass;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = index + 1;
        return TRUE;
    }

    static BOOL WINAPI Detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                              PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                              PDWORD required, PSP_DEVINFO_DATA device) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        const DWORD index = static_cast<DWORD>(data->Reserved - 1);
        if (!IsLiveSet(set) || device != nullptr || index >= f.interfaces.size()) {
            f.Fault("SetupDiGetDeviceInterfaceDetailW with a wrong set or interface record");
            return Fail(ERROR_INVALID_PARAMETER);
        }
        FakeInterface& iface = f.interfaces[index];
        const DWORD needed = PathBytes(iface);
        if (detail == nullptr) {
            if (size != 0) {
                return Fail(ERROR_INVALID_USER_BUFFER);
            }
            if (required != nullptr) {
                *required = needed;
            }
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        const auto block = f.m_Detail.find(detail);
        if (block == f.m_Detail.end() || block->second < size) {
            f.Fault("detail query into memory that is not a live buffer of that size");
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        if (size < needed) {
            if (required != nullptr) {
                *required = needed;
            }
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (iface.detailFailures > 0) {
            if (iface.detailFailures != kNever) {
                --iface.detailFailures;
            }
            return Fail(ERROR_GEN_FAILURE);
        }
        std::memcpy(detail->DevicePath, iface.path.c_str(), (iface.path.size() + 1) * 2);
        return TRUE;
    }

    static BOOL WINAPI Destroy(HDEVINFO set) {
        std::lock_guard lock(F().m_Mutex);
        ++F().setsDestroyed[set];
        return TRUE;
    }

    static HANDLE WINAPI OpenPath(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE templateFile) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        CreateFileCall call{path, access, INVALID_HANDLE_VALUE};
        if (disposition != OPEN_EXISTING || security != nullptr || templateFile != nullptr) {
            f.Fault("CreateFileW on a device with more than a path, rights, sharing and flags");
        }
        const auto it = std::find_if(f.interfaces.begin(), f.interfaces.end(),
                                     [&](const FakeInterface& i) { return i.path == path; });
        if (it == f.interfaces.end() || it->gone) {
            t_LastError = ERROR_FILE_NOT_FOUND;
        } else if ((share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) !=
                   (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
            // The system's own handles on every HID collection read and write it.
            t_LastError = ERROR_SHARING_VIOLATION;
        } else if ((access & it->refuseAccess) != 0) {
            t_LastError = it->openError;
        } else {
            call.result = f.NewHandle({.iface = static_cast<int>(it - f.interfaces.begin()),
                                       .overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0,
                                       .access = access});
        }
        f.opens.push_back(call);
        return call.result;
    }

    static BOOL WINAPI Write(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        const auto* bytes = static_cast<const uint8_t*>(data);
        f.writes.push_back({{file, overlapped, overlapped != nullptr ? overlapped->hEvent : nullptr,
                             std::this_thread::get_id()},
                            data,
                            {bytes, bytes + size}});
        WriteCall& write = f.writes.back();
        const auto* object = f.Find(file);
        if (object == nullptr || object->closes > 0 || object->event) {
            f.Fault("WriteFile on a handle that is not an open file");
            return Fail(ERROR_INVALID_HANDLE);
        }
        if ((object->access & GENERIC_WRITE) == 0) {
            f.Fault("WriteFile on a handle opened without write access");
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (overlapped == nullptr) {
            return WriteAndWait(f, write, *object, written);
        }
        auto* event = f.Find(overlapped->hEvent);
        if (event == nullptr || !event->event || event->closes > 0) {
            f.Fault("overlapped WriteFile without an open event");
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (!object->overlapped) {
            f.Fault("overlapped WriteFile on a synchronous handle: it returns only once written");
        }
        event->signalled = false;  // as the system does when a call begins
        if (f.writeError != 0) {
            return Fail(f.writeError);
        }
        write.started = true;
        overlapped->Internal = STATUS_PENDING;
        const DWORD moved = f.writeStatus == 0 ? f.writeTransfers : 0;
        switch (f.writeEnd) {
            case WriteEnd::InTheCall:
                f.End(write, f.writeStatus, moved);
                if (written != nullptr) {
                    *written = moved;
                }
                return f.writeStatus == 0 ? TRUE : Fail(ErrorOf(f.writeStatus));
            case WriteEnd::Pending:
                f.End(write, f.writeStatus, moved);
                break;
            case WriteEnd::Never:
                break;
        }
        return Fail(ERROR_IO_PENDING);
    }

    // A write without an OVERLAPPED returns only once the device has taken the report.
    static BOOL WriteAndWait(FakeWin32& f, WriteCall& write, const FakeWin32::Object& file,
                             LPDWORD written) {
        if (file.overlapped) {
            f.Fault("synchronous WriteFile on a handle opened for overlapped I/O");
        }
        if (written == nullptr) {
            f.Fault("synchronous WriteFile without a count");
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (f.writeError != 0) {
            return Fail(f.writeError);
        }
        if (f.writeEnd == WriteEnd::Never) {
            f.Fault("synchronous WriteFile to a device that takes no reports: it never returns");
            return Fail(ERROR_GEN_FAILURE);
        }
        write.started = true;
        write.ended = true;
        *written = f.writeStatus == 0 ? f.writeTransfers : 0;
        return f.writeStatus == 0 ? TRUE : Fail(ErrorOf(f.writeStatus));
    }

    static BOOL WINAPI Read(HANDLE file, LPVOID data, DWORD size, LPDWORD /*read*/,
                            LPOVERLAPPED overlapped) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        auto* event = overlapped != nullptr ? f.Find(overlapped->hEvent) : nullptr;
        const auto* object = f.Find(file);
        if (object == nullptr || object->closes > 0 || event == nullptr || !event->event ||
            event->closes > 0) {
            f.Fault("ReadFile without an open file, an OVERLAPPED and an open event");
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (!object->overlapped) {
            f.Fault("overlapped ReadFile on a synchronous handle: it returns only once read");
        }
        if ((object->access & GENERIC_READ) == 0) {
            f.Fault("ReadFile on a handle opened without read access");
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (size < kReportSize || overlapped->Offset != 0 || overlapped->OffsetHigh != 0) {
            f.Fault("ReadFile with room for less than a report, or from an offset");
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        f.reads.push_back(
            {{file, overlapped, overlapped->hEvent, std::this_thread::get_id()}, data, size});
        ReadCall& read = f.reads.back();
        event->signalled = false;  // as the system does when a call begins
        if (f.readError != 0) {
            return Fail(f.readError);
        }
        read.started = true;
        overlapped->Internal = STATUS_PENDING;
        if (!f.input.empty()) {
            const auto report = f.input.front();
            f.input.pop_front();
            f.Complete(read, report);
            return TRUE;
        }
        if (f.readStatus != 0) {
            f.End(read, f.readStatus, 0);
        }
        return Fail(ERROR_IO_PENDING);
    }

    static HANDLE WINAPI NewEvent(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                  BOOL initialState, LPCWSTR name) {
        std::lock_guard lock(F().m_Mutex);
        ++F().eventsCreated;
        // A name could meet another process's event; a wait would reset an automatic one before
        // the call's result is looked at.
        if (security != nullptr || name != nullptr || manualReset == FALSE) {
            F().Fault("CreateEventW for overlapped I/O that is not a private manual-reset event");
        }
        if (F().eventCreationFails) {
            t_LastError = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        return F().NewHandle({.event = true, .signalled = initialState != FALSE});
    }

    static DWORD WINAPI Wait(HANDLE object, DWORD milliseconds) {
        std::unique_lock lock(F().m_Mutex);
        FakeWin32& f = F();
        f.waits.push_back({object, milliseconds});
        if (milliseconds == INFINITE) {
            f.Fault(
                "a wait without a bound: a call that never ends would hold the caller for ever");
        }
        if (!f.cancelIgnored) {
            // The driver ends a cancelled call by the time anyone waits for it.
            const auto end = [&](auto& call) {
                if (call.event == object && Pending(call) && call.cancelRequested) {
                    f.EndCancelled(call);
                }
            };
            std::for_each(f.reads.begin(), f.reads.end(), end);
            std::for_each(f.writes.begin(), f.writes.end(), end);
        }
        if (f.forcedWait) {
            return *f.forcedWait;
        }
        if (f.Find(object) == nullptr || f.Find(object)->closes > 0) {
            t_LastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        ++f.m_Waiting;
        f.m_Changed.notify_all();
        const bool signalled = f.m_Changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                                    [&] { return f.Find(object)->signalled; });
        --f.m_Waiting;
        return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }

    // Asks for the end of the calling thread's calls on `file`; they end later (when someone waits
    // for them), as a driver may take its time, or never (cancelIgnored).
    static BOOL WINAPI CancelIo(HANDLE file) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        f.cancels.push_back({file, nullptr, std::this_thread::get_id()});
        const auto request = [&](IoCall& call) {
            if (call.file == file && Pending(call) && call.thread == std::this_thread::get_id()) {
                call.cancelRequested = true;
            }
        };
        std::for_each(f.reads.begin(), f.reads.end(), request);
        std::for_each(f.writes.begin(), f.writes.end(), request);
        return TRUE;
    }

    // Ends the call at once, from whichever thread asks (unless cancelIgnored).
    static BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        f.cancels.push_back({file, overlapped, std::this_thread::get_id()});
        const auto cancel = [&](auto* call) {
            if (call == nullptr || !Pending(*call)) {
                return false;
            }
            if (f.cancelIgnored) {
                call->cancelRequested = true;
            } else {
                f.EndCancelled(*call);
            }
            return true;
        };
        if (cancel(Latest(f.reads, file, overlapped)) ||
            cancel(Latest(f.writes, file, overlapped))) {
            return TRUE;
        }
        return Fail(ERROR_NOT_FOUND);
    }

    static BOOL WINAPI OverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                                        BOOL wait) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        f.overlappedResults.push_back({file, overlapped, wait != FALSE});
        const auto result = [&](auto& call) {
            if (!call.started) {
                if (wait) {
                    f.Fault("waited for the end of a call that failed at once: it never returns");
                }
                return ResultOf(*overlapped, transferred);
            }
            if (!call.ended) {
                if (!wait) {
                    return Fail(ERROR_IO_INCOMPLETE);
                }
                f.Fault("GetOverlappedResult waits without a bound for a call that may never end");
                if (!call.cancelRequested || f.cancelIgnored) {
                    return Fail(ERROR_IO_INCOMPLETE);  // where the system would never return
                }
                f.EndCancelled(call);
            }
            return ResultOf(*overlapped, transferred);
        };
        if (auto* read = Latest(f.reads, file, overlapped)) {
            return result(*read);
        }
        if (auto* write = Latest(f.writes, file, overlapped)) {
            return result(*write);
        }
        f.Fault("GetOverlappedResult for no call on that file");
        return Fail(ERROR_INVALID_PARAMETER);
    }

    static BOOL WINAPI Close(HANDLE handle) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        auto* object = f.Find(handle);
        if (object == nullptr) {
            f.Fault("CloseHandle on a handle never handed out");
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (++object->closes > 1) {
            f.Fault("handle closed twice");
            return Fail(ERROR_INVALID_HANDLE);
        }
        const auto check = [&](const IoCall& call) {
            if (call.event == handle && Pending(call)) {
                f.Fault("event closed while its call was still pending");
            }
        };
        std::for_each(f.reads.begin(), f.reads.end(), check);
        std::for_each(f.writes.begin(), f.writes.end(), check);
        return TRUE;
    }

    // Named objects as the system keeps them: one per name while any handle to it is open.
    static HANDLE WINAPI NewMutex(LPSECURITY_ATTRIBUTES /*security*/, BOOL /*owner*/,
                                  LPCWSTR name) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        f.mutexNames.emplace_back(name != nullptr ? name : L"");
        const bool exists =
            name != nullptr && std::any_of(f.m_Objects.begin(), f.m_Objects.end(), [&](auto& o) {
                return o.second.closes == 0 && o.second.name == name;
            });
        FakeWin32::Object object;
        object.name = f.mutexNames.back();
        HANDLE handle = f.NewHandle(object);
        t_LastError = exists ? ERROR_ALREADY_EXISTS : 0;
        return handle;
    }

    static DWORD WINAPI LastError() { return t_LastError; }

    static void* AllocateIo(size_t bytes) {
        std::lock_guard lock(F().m_Mutex);
        void* block = std::malloc(bytes);
        F().m_CallMemory[block] = bytes;
        return block;
    }

    static void FreeIo(void* block) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        const auto it = f.m_CallMemory.find(block);
        if (it == f.m_CallMemory.end()) {
            f.Fault("call memory given back that is not live");
            return;
        }
        const auto* begin = static_cast<const uint8_t*>(block);
        const auto inBlock = [&](const IoCall& call) {
            const auto* p = reinterpret_cast<const uint8_t*>(call.overlapped);
            return Pending(call) && p >= begin && p < begin + it->second;
        };
        if (std::any_of(f.reads.begin(), f.reads.end(), inBlock) ||
            std::any_of(f.writes.begin(), f.writes.end(), inBlock)) {
            f.Fault("call memory given back while its call was pending: the system writes on");
        }
        f.m_CallMemory.erase(it);
        std::free(block);
    }

    // The session hold's calls. The block reason is refused to any thread but the window's own.
    static BOOL WINAPI BlockReason(HWND window, LPCWSTR reason) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        f.sessionCalls.push_back(
            {SessionCall::Kind::BlockReason, window, reason, 0, GetCurrentThreadId()});
        if (GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId()) {
            f.Fault("ShutdownBlockReasonCreate from a thread that does not own the window");
            return Fail(ERROR_ACCESS_DENIED);
        }
        return TRUE;
    }

    static BOOL WINAPI UnblockReason(HWND window) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        f.sessionCalls.push_back(
            {SessionCall::Kind::UnblockReason, window, {}, 0, GetCurrentThreadId()});
        if (GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId()) {
            f.Fault("ShutdownBlockReasonDestroy from a thread that does not own the window");
            return Fail(ERROR_ACCESS_DENIED);
        }
        return TRUE;
    }

    // Each thread has its own state; without ES_CONTINUOUS a call sets nothing lasting.
    static EXECUTION_STATE WINAPI ExecutionState(EXECUTION_STATE state) {
        std::lock_guard lock(F().m_Mutex);
        FakeWin32& f = F();
        const DWORD thread = GetCurrentThreadId();
        f.sessionCalls.push_back({SessionCall::Kind::ExecutionState, nullptr, {}, state, thread});
        EXECUTION_STATE& current = f.m_ExecutionStates[thread];
        const EXECUTION_STATE previous = current == 0 ? ES_CONTINUOUS : current;
        if ((state & ES_CONTINUOUS) != 0) {
            current = state;
        }
        return previous;
    }

    static HDEVNOTIFY WINAPI Register(HANDLE recipient, LPVOID filter, DWORD flags) {
        std::lock_guard lock(F().m_Mutex);
        RegisterCall call{recipient, nullptr};
        const auto* wanted = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
        // Anything else brings no HID arrival or removal to a window.
        if (flags != DEVICE_NOTIFY_WINDOW_HANDLE ||
            wanted->dbcc_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ||
            wanted->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
            !IsEqualGUID(wanted->dbcc_classguid, kHidClass)) {
            F().Fault("RegisterDeviceNotificationW not for HID interface events at a window");
        }
        if (F().registrationFails) {
            t_LastError = ERROR_INVALID_PARAMETER;
        } else {
            call.result = reinterpret_cast<HDEVNOTIFY>(0xD0 + F().registrations.size());
        }
        F().registrations.push_back(call);
        return call.result;
    }

    static BOOL WINAPI Unregister(HDEVNOTIFY notification) {
        std::lock_guard lock(F().m_Mutex);
        F().unregistered.push_back(notification);
        return TRUE;
    }

    static void* Allocate(size_t bytes) {
        std::lock_guard lock(F().m_Mutex);
        if (F().allocations++ == F().failAllocation) {
            return nullptr;
        }
        void* block = std::malloc(bytes);
        F().m_Detail[block] = bytes;
        return block;
    }

    static void Free(void* block) {
        std::lock_guard lock(F().m_Mutex);
        if (F().m_Detail.erase(block) == 0) {
            F().Fault("detail buffer freed that is not live");
            return;
        }
        std::free(block);
    }
};

FakeWin32::FakeWin32() {
    g_Fake = this;
}

FakeWin32::~FakeWin32() {
    for (auto& [block, size] : m_Detail) {
        std::free(block);
    }
    for (auto& [block, size] : m_CallMemory) {
        std::free(block);
    }
    g_Fake = nullptr;
}

const Win32Api& FakeWin32::Api() {
    static const Win32Api api{
        .HidD_GetHidGuid = FakeCalls::HidGuid,
        .HidD_GetAttributes = FakeCalls::Attributes,
        .HidD_GetPreparsedData = FakeCalls::GetPreparsed,
        .HidD_FreePreparsedData = FakeCalls::FreePreparsed,
        .HidP_GetCaps = FakeCalls::Caps,
        .SetupDiGetClassDevsW = FakeCalls::ClassDevs,
        .SetupDiEnumDeviceInterfaces = FakeCalls::Enum,
        .SetupDiGetDeviceInterfaceDetailW = FakeCalls::Detail,
        .SetupDiDestroyDeviceInfoList = FakeCalls::Destroy,
        .CreateFileW = FakeCalls::OpenPath,
        .WriteFile = FakeCalls::Write,
        .ReadFile = FakeCalls::Read,
        .CreateEventW = FakeCalls::NewEvent,
        .WaitForSingleObject = FakeCalls::Wait,
        .CancelIo = FakeCalls::CancelIo,
        .CancelIoEx = FakeCalls::CancelIoEx,
        .GetOverlappedResult = FakeCalls::OverlappedResult,
        .CloseHandle = FakeCalls::Close,
        .CreateMutexW = FakeCalls::NewMutex,
        .GetLastError = FakeCalls::LastError,
        .AllocateIo = FakeCalls::AllocateIo,
        .FreeIo = FakeCalls::FreeIo,
        .RegisterDeviceNotificationW = FakeCalls::Register,
        .UnregisterDeviceNotification = FakeCalls::Unregister,
        .AllocateDetail = FakeCalls::Allocate,
        .FreeDetail = FakeCalls::Free,
    };
    return api;
}

const SessionApi& FakeWin32::Session() {
    static const SessionApi api{
        .ShutdownBlockReasonCreate = FakeCalls::BlockReason,
        .ShutdownBlockReasonDestroy = FakeCalls::UnblockReason,
        .SetThreadExecutionState = FakeCalls::ExecutionState,
    };
    return api;
}

bool FakeWin32::Deliver(const std::array<uint8_t, kReportSize>& report) {
    std::lock_guard lock(m_Mutex);
    for (auto& read : reads) {
        if (Pending(read)) {
            Complete(read, report);
            return true;
        }
    }
    return false;
}

bool FakeWin32::ReleaseWrites() {
    std::lock_guard lock(m_Mutex);
    bool released = false;
    for (auto& write : writes) {
        if (Pending(write)) {
            // The system reads the report until the write ends: the memory it was given must
            // still hold it.
            if (!IsLiveCallMemory(write.buffer)) {
                Fault("a pending write's report was given back");
            } else if (std::memcmp(write.buffer, write.bytes.data(), write.bytes.size()) != 0) {
                Fault("the report changed under its pending write");
            }
            End(write, 0, write.bytes.size());
            released = true;
        }
    }
    return released;
}

bool FakeWin32::WaitUntilAnyoneWaits() {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_Waiting > 0; });
}

int FakeWin32::OpensOf(const std::wstring& path) const {
    std::lock_guard lock(m_Mutex);
    return static_cast<int>(std::count_if(opens.begin(), opens.end(), [&](const auto& call) {
        return call.path == path && call.result != INVALID_HANDLE_VALUE;
    }));
}

int FakeWin32::Closes(HANDLE handle) const {
    std::lock_guard lock(m_Mutex);
    const auto it = m_Objects.find(handle);
    return it == m_Objects.end() ? 0 : it->second.closes;
}

bool FakeWin32::IsOpen(HANDLE handle) const {
    std::lock_guard lock(m_Mutex);
    const auto it = m_Objects.find(handle);
    return it != m_Objects.end() && it->second.closes == 0;
}

int FakeWin32::OpenFiles() const {
    std::lock_guard lock(m_Mutex);
    return static_cast<int>(std::count_if(m_Objects.begin(), m_Objects.end(), [](const auto& o) {
        return !o.second.event && o.second.name.empty() && o.second.closes == 0;
    }));
}

size_t FakeWin32::LiveCallMemory() const {
    std::lock_guard lock(m_Mutex);
    return m_CallMemory.size();
}

EXECUTION_STATE FakeWin32::ExecutionStateOf(DWORD thread) const {
    std::lock_guard lock(m_Mutex);
    const auto it = m_ExecutionStates.find(thread);
    return it == m_ExecutionStates.end() ? 0 : it->second;
}

bool FakeWin32::IsLiveCallMemory(const void* p) const {
    const auto* at = static_cast<const uint8_t*>(p);
    const auto it = m_CallMemory.upper_bound(const_cast<void*>(p));
    if (it == m_CallMemory.begin()) {
        return false;
    }
    const auto& [block, size] = *std::prev(it);
    const auto* begin = static_cast<const uint8_t*>(block);
    return at >= begin && at < begin + size;
}

HANDLE FakeWin32::NewHandle(Object object) {
    m_NextHandle += 4;
    const auto handle = reinterpret_cast<HANDLE>(m_NextHandle);
    m_Objects[handle] = object;
    return handle;
}

FakeWin32::Object* FakeWin32::Find(HANDLE handle) {
    const auto it = m_Objects.find(handle);
    return it == m_Objects.end() ? nullptr : &it->second;
}

// Ends a read with a report, the way the system does: data into the caller's buffer first.
void FakeWin32::Complete(ReadCall& read, const std::array<uint8_t, kReportSize>& report) {
    if (IsLiveCallMemory(read.buffer)) {
        std::memcpy(read.buffer, report.data(), std::min<size_t>(read.size, kReportSize));
    }
    End(read, 0, kReportSize);
}

// The OVERLAPPED updated, then the event set.
void FakeWin32::End(IoCall& call, ULONG_PTR status, ULONG_PTR transferred) {
    auto* event = Find(call.event);
    call.endedWithEventOpen = event != nullptr && event->closes == 0;
    if (IsLiveCallMemory(call.overlapped)) {
        call.overlapped->Internal = status;
        call.overlapped->InternalHigh = transferred;
    } else {
        Fault("a call ended after its memory was given back: the system wrote into freed memory");
    }
    call.ended = true;
    if (call.endedWithEventOpen) {
        event->signalled = true;
    }
    m_Changed.notify_all();
}

void FakeWin32::EndCancelled(ReadCall& read) {
    read.cancelRequested = true;
    if (reportRacesCancel) {
        // The report came just as the read was being cancelled: it ends with data, written into
        // the buffer the backend gave.
        std::array<uint8_t, kReportSize> late{};
        late.fill(0xAB);
        Complete(read, late);
    } else {
        End(read, kStatusCancelled, 0);
    }
}

void FakeWin32::EndCancelled(WriteCall& write) {
    write.cancelRequested = true;
    End(write, kStatusCancelled, 0);
}

}  // namespace zevrin::test

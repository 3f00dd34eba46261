// Every Win32 call the HID backend makes goes through this table, so tests can stand a fake set
// of interfaces, handles and reads in place of the system.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <dbt.h>
#include <setupapi.h>

#include <cstddef>

// hidsdi.h declares C functions without extern "C"; unwrapped, the link looks for C++ names.
extern "C" {
#include <hidsdi.h>
}

namespace zevrin {

struct Win32Api {
    // HID class services
    void(WINAPI* HidD_GetHidGuid)(LPGUID guid);
    BOOLEAN(WINAPI* HidD_GetAttributes)(HANDLE device, PHIDD_ATTRIBUTES attributes);
    BOOLEAN(WINAPI* HidD_GetPreparsedData)(HANDLE device, PHIDP_PREPARSED_DATA* preparsed);
    BOOLEAN(WINAPI* HidD_FreePreparsedData)(PHIDP_PREPARSED_DATA preparsed);
    NTSTATUS(WINAPI* HidP_GetCaps)(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps);

    // Device set-up services
    HDEVINFO(WINAPI* SetupDiGetClassDevsW)
    (const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)
    (HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* classGuid, DWORD index,
     PSP_DEVICE_INTERFACE_DATA data);
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailW)
    (HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
     DWORD detailSize, PDWORD requiredSize, PSP_DEVINFO_DATA device);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO set);

    // Files, events and overlapped I/O
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
     DWORD flags, HANDLE templateFile);
    BOOL(WINAPI* WriteFile)
    (HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI* ReadFile)
    (HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);
    HANDLE(WINAPI* CreateEventW)
    (LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name);
    DWORD(WINAPI* WaitForSingleObject)(HANDLE object, DWORD milliseconds);
    BOOL(WINAPI* CancelIo)(HANDLE file);
    BOOL(WINAPI* CancelIoEx)(HANDLE file, LPOVERLAPPED overlapped);
    BOOL(WINAPI* GetOverlappedResult)
    (HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
    BOOL(WINAPI* CloseHandle)(HANDLE object);
    HANDLE(WINAPI* CreateMutexW)(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name);
    DWORD(WINAPI* GetLastError)();
    // The memory of one overlapped call (its OVERLAPPED and report), which the system may write
    // until the call has ended; null from AllocateIo means out of memory.
    void* (*AllocateIo)(size_t bytes);
    void (*FreeIo)(void* block);

    // Device-change notification
    HDEVNOTIFY(WINAPI* RegisterDeviceNotificationW)(HANDLE recipient, LPVOID filter, DWORD flags);
    BOOL(WINAPI* UnregisterDeviceNotification)(HDEVNOTIFY notification);

    // The interface-detail buffer of a scan; null from AllocateDetail means out of memory.
    void* (*AllocateDetail)(size_t bytes);
    void (*FreeDetail)(void* buffer);
};

// The system's own functions.
const Win32Api& RealWin32Api();

}  // namespace zevrin

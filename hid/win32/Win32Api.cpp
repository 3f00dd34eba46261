#include "hid/win32/Win32Api.h"

#include <cstdlib>

namespace zevrin {

const Win32Api& RealWin32Api() {
    static const Win32Api api{
        .HidD_GetHidGuid = ::HidD_GetHidGuid,
        .HidD_GetAttributes = ::HidD_GetAttributes,
        .HidD_GetPreparsedData = ::HidD_GetPreparsedData,
        .HidD_FreePreparsedData = ::HidD_FreePreparsedData,
        .HidP_GetCaps = ::HidP_GetCaps,
        .SetupDiGetClassDevsW = ::SetupDiGetClassDevsW,
        .SetupDiEnumDeviceInterfaces = ::SetupDiEnumDeviceInterfaces,
        .SetupDiGetDeviceInterfaceDetailW = ::SetupDiGetDeviceInterfaceDetailW,
        .SetupDiDestroyDeviceInfoList = ::SetupDiDestroyDeviceInfoList,
        .CreateFileW = ::CreateFileW,
        .WriteFile = ::WriteFile,
        .ReadFile = ::ReadFile,
        .CreateEventW = ::CreateEventW,
        .WaitForSingleObject = ::WaitForSingleObject,
        .CancelIo = ::CancelIo,
        .CancelIoEx = ::CancelIoEx,
        .GetOverlappedResult = ::GetOverlappedResult,
        .CloseHandle = ::CloseHandle,
        .CreateMutexW = ::CreateMutexW,
        .GetLastError = ::GetLastError,
        .AllocateIo = [](size_t bytes) { return std::malloc(bytes); },
        .FreeIo = [](void* block) { std::free(block); },
        .RegisterDeviceNotificationW = ::RegisterDeviceNotificationW,
        .UnregisterDeviceNotification = ::UnregisterDeviceNotification,
        .AllocateDetail = [](size_t bytes) { return std::malloc(bytes); },
        .FreeDetail = [](void* buffer) { std::free(buffer); },
    };
    return api;
}

}  // namespace zevrin

// Every Win32 call the session hold makes goes through this table, so tests can watch the calls and
// the threads they come from (the block reason belongs to its window's thread, the execution state
// to the calling thread).
#pragma once

#include <windows.h>

namespace zevrin {

struct SessionApi {
    BOOL(WINAPI* ShutdownBlockReasonCreate)(HWND window, LPCWSTR reason);
    BOOL(WINAPI* ShutdownBlockReasonDestroy)(HWND window);
    EXECUTION_STATE(WINAPI* SetThreadExecutionState)(EXECUTION_STATE state);
};

}  // namespace zevrin

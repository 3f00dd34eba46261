// Standard input on Windows through ReadFile rather than the C runtime's _read: _read turns the
// console's ERROR_OPERATION_ABORTED (Ctrl-C while a line is being typed) into the end of the
// input, and the y/N prompt would take it for a no.
#include <windows.h>

#include "cli/LineReader.h"

namespace zevrin::cli {

static_assert(kWin32OperationAborted == ERROR_OPERATION_ABORTED);

ReadMeaning ReadStdinByte(char& byte) {
    DWORD got = 0;
    // A successful read leaves the last error as it was: an old abort must not be read again.
    SetLastError(ERROR_SUCCESS);
    const BOOL ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
    return MeaningOf({ok != FALSE, got, GetLastError()});
}

}  // namespace zevrin::cli

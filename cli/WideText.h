// Text that reaches zevrin-flash from Windows as UTF-16 (wmain's arguments, the device paths of
// device-change broadcasts), for the rest of the program, which takes UTF-8.
#pragma once

#if defined(_WIN32)

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Args.h"

namespace zevrin::cli {

// Nothing when `text` is not valid UTF-16: an unpaired surrogate (which an NTFS file name may
// hold) has no UTF-8 form.
std::optional<std::string> Utf8FromUtf16(std::wstring_view text);

// wmain's arguments after the program's name. The first that is not valid text is a usage error
// naming its position (1 for the first after the name); it stands as an empty argument among the
// others, which can still be read for --json.
struct Utf8Arguments {
    std::vector<std::string> args;
    std::optional<UsageError> error;
};
Utf8Arguments ArgumentsAsUtf8(int argc, const wchar_t* const* argv);

}  // namespace zevrin::cli

#endif

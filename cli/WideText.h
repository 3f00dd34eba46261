// wmain's arguments, which reach zevrin-flash as UTF-16, for the rest of the program, which takes
// UTF-8.
#pragma once

#if defined(_WIN32)

#include <optional>
#include <string>
#include <vector>

#include "cli/Args.h"

namespace zevrin::cli {

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

#include "cli/WideText.h"

#include "hid/win32/Utf16.h"
#include "update/Texts.h"

namespace zevrin::cli {

Utf8Arguments ArgumentsAsUtf8(int argc, const wchar_t* const* argv) {
    Utf8Arguments result;
    for (int i = 1; i < argc; ++i) {
        // Refused, not replaced: an argument that changed would name another file than the one
        // given.
        std::optional<std::string> arg = Utf8(argv[i]);
        if (!arg && !result.error) {
            result.error = UsageError{LoadCliText(CliText::ArgumentNotText, {std::to_string(i)})};
        }
        result.args.push_back(arg.value_or(std::string()));
    }
    return result;
}

}  // namespace zevrin::cli

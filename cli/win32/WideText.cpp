#include "cli/WideText.h"

#include "hid/win32/Utf16.h"

namespace zevrin::cli {

Utf8Arguments ArgumentsAsUtf8(int argc, const wchar_t* const* argv) {
    Utf8Arguments result;
    for (int i = 1; i < argc; ++i) {
        // Refused, not replaced: an argument that changed would name another file than the one
        // given.
        std::optional<std::string> arg = Utf8(argv[i]);
        if (!arg && !result.error) {
            result.error = UsageError{
                "argument " + std::to_string(i) +
                " is not valid text: it holds an unpaired UTF-16 surrogate, as a file name "
                "can on NTFS; rename the file or folder it names"};
        }
        result.args.push_back(arg.value_or(std::string()));
    }
    return result;
}

}  // namespace zevrin::cli

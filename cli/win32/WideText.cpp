#include "cli/WideText.h"

#include <windows.h>

namespace zevrin::cli {

std::optional<std::string> Utf8FromUtf16(std::wstring_view text) {
    if (text.empty()) {
        return std::string();
    }
    // WC_ERR_INVALID_CHARS: an unpaired surrogate fails the call instead of becoming U+FFFD, which
    // would name another file than the one given.
    const int length = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr,
                                      0, nullptr, nullptr);
    if (n <= 0) {
        return std::nullopt;
    }
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, out.data(), n,
                            nullptr, nullptr) != n) {
        return std::nullopt;
    }
    return out;
}

Utf8Arguments ArgumentsAsUtf8(int argc, const wchar_t* const* argv) {
    Utf8Arguments result;
    for (int i = 1; i < argc; ++i) {
        std::optional<std::string> arg = Utf8FromUtf16(argv[i]);
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

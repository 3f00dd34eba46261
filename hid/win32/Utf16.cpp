#include "hid/win32/Utf16.h"

#include <windows.h>

namespace zevrin {

std::wstring Utf16(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), n);
    }
    return out;
}

std::optional<std::string> Utf8(std::wstring_view utf16, BadUtf16 bad) {
    if (utf16.empty()) {
        return std::string();
    }
    // WC_ERR_INVALID_CHARS makes an unpaired surrogate fail the call instead of becoming U+FFFD.
    const DWORD flags = bad == BadUtf16::Refuse ? WC_ERR_INVALID_CHARS : 0;
    const int size = static_cast<int>(utf16.size());
    const int n =
        WideCharToMultiByte(CP_UTF8, flags, utf16.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return bad == BadUtf16::Refuse ? std::nullopt : std::optional<std::string>(std::string());
    }
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, flags, utf16.data(), size, out.data(), n, nullptr, nullptr) !=
        n) {
        return bad == BadUtf16::Refuse ? std::nullopt : std::optional<std::string>(std::string());
    }
    return out;
}

}  // namespace zevrin

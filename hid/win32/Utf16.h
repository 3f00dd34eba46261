// UTF-8 inside the program, UTF-16 at the Win32 boundary: the one conversion every Windows part
// uses (the windows, the CLI, the session hold, the HID backend, the debug log).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zevrin {

// Bytes that are not UTF-8 become U+FFFD, as the system shows them.
std::wstring Utf16(std::string_view utf8);

// What an unpaired surrogate (which an NTFS file name may hold) turns into: it has no UTF-8 form.
enum class BadUtf16 {
    Refuse,   // nothing at all: a name that changed would name another file than the one given
    Replace,  // U+FFFD, for text that is only shown or logged
};
// Nothing only with BadUtf16::Refuse and invalid input.
std::optional<std::string> Utf8(std::wstring_view utf16, BadUtf16 bad = BadUtf16::Refuse);

}  // namespace zevrin

// How much of a terminal line a UTF-8 text takes, and the text made to fit a number of columns.
// Chinese characters take two columns each; a byte count or a character count would misplace
// every column after them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zevrin::cli {

// Terminal columns `text` takes: two for East Asian wide and full-width characters, none for
// combining marks, one for anything else (a byte that is no UTF-8 shows as one replacement mark).
size_t Columns(std::string_view text);

// `text` in at most `columns`: kept whole when it fits, else cut at the end with an ellipsis.
std::string FitEnd(std::string_view text, size_t columns);
// The same, the cut made in the middle: a device path keeps its start and its end, which tell
// two gamepads apart.
std::string FitMiddle(std::string_view text, size_t columns);

}  // namespace zevrin::cli

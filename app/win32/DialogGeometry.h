// The small computations of the window, kept apart from the Win32 calls so that tests reach them.
#pragma once

#include <string>
#include <string_view>

namespace zevrin::win32 {

struct Point {
    int x = 0;
    int y = 0;
};

// Where the minimised window draws its icon: centred, rounding up half a pixel, with C++'s
// division truncating toward zero, so a client area smaller than the icon gives 0 and not -1.
constexpr Point MinimizedIconOrigin(int clientWidth, int clientHeight, int iconWidth,
                                    int iconHeight) {
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

struct Box {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// Top-left corner that centres a window of the given size in `area` (the owner, or the work area
// of the screen), kept inside `area` where the window fits, so its caption stays reachable.
constexpr Point CenteredOrigin(const Box& area, int width, int height) {
    int x = area.left + (area.right - area.left - width) / 2;
    int y = area.top + (area.bottom - area.top - height) / 2;
    if (x < area.left) {
        x = area.left;
    }
    if (y < area.top) {
        y = area.top;
    }
    return {x, y};
}

// GetOpenFileNameW wants "description\0pattern\0...\0\0"; the dialog's logic writes the same
// list with '|' ("File type(*.dat)|*.dat||"). Each '|' becomes a NUL; the closing "||" gives the
// two NULs that end the list.
std::wstring FileDialogFilter(std::wstring_view barSeparated);

}  // namespace zevrin::win32

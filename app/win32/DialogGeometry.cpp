#include "app/win32/DialogGeometry.h"

namespace zevrin::win32 {

std::wstring FileDialogFilter(std::wstring_view barSeparated) {
    std::wstring filter(barSeparated);
    for (wchar_t& c : filter) {
        if (c == L'|') {
            c = L'\0';
        }
    }
    // A list that does not end in "||" would leave the dialog reading past the string's end.
    while (filter.size() < 2 || filter[filter.size() - 1] != L'\0' ||
           filter[filter.size() - 2] != L'\0') {
        filter.push_back(L'\0');
    }
    return filter;
}

}  // namespace zevrin::win32

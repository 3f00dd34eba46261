#include "app/win32/ResourceTexts.h"

#include <string_view>

#include "hid/win32/Utf16.h"
#include "update/Texts.h"

namespace zevrin::win32 {

std::string ResourceString(HINSTANCE module, int id) {
    // With a size of 0, LoadStringW hands out a pointer into the resource itself and its length:
    // string-table entries carry no terminator, and a copy into a fixed buffer would cut long
    // texts.
    const wchar_t* text = nullptr;
    const int length =
        LoadStringW(module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        return {};
    }
    return Utf8(std::wstring_view(text, static_cast<size_t>(length)), BadUtf16::Replace)
        .value_or(std::string());
}

void InstallResourceTexts(HINSTANCE module) {
    SetTextSource({[] { return static_cast<uint16_t>(GetUserDefaultUILanguage()); },
                   [module](int id) { return ResourceString(module, id); }});
}

}  // namespace zevrin::win32

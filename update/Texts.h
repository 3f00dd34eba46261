// Localized texts by number: the Chinese set for interface language 2052 only, English otherwise.
// Both sets, and the extra texts, come from the one source res/texts.def.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

inline constexpr uint16_t kLangChinesePrc = 2052;
inline constexpr int kChineseBaseId = 129;  // text n: 129 + n
inline constexpr int kEnglishBaseId = 238;  // text n: 238 + n
inline constexpr int kTextCount = 17;
inline constexpr int kExtraChineseBaseId = 300;  // extra text k: 300 + k / 400 + k
inline constexpr int kExtraEnglishBaseId = 400;
inline constexpr int kCliChineseBaseId = 1000;  // command-line text c: 1000 + c / 2000 + c
inline constexpr int kCliEnglishBaseId = 2000;

// texts.def speaks of TEXT, which <windows.h> defines too: borrowed here and given back.
#pragma push_macro("TEXT")
#undef TEXT

// The numbered texts by name (text n is TextId with value n).
enum class TextId : int {
#define TEXT(n, name, zh, en) name = (n),
#define EXTRA(k, name, zh, en)
#define CLI(c, name, zh, en)
#include "res/texts.def"
#undef TEXT
#undef EXTRA
#undef CLI
};

// The extra texts: reasons shown with text 7, and what to do about permissions.
enum class ExtraText : int {
#define TEXT(n, name, zh, en)
#define EXTRA(k, name, zh, en) name = (k),
#define CLI(c, name, zh, en)
#include "res/texts.def"
#undef TEXT
#undef EXTRA
#undef CLI
};

// The command line's texts: its messages, questions, outcome lines and tables. "{1}", "{2}", ...
// stand for the values the program puts in.
enum class CliText : int {
#define TEXT(n, name, zh, en)
#define EXTRA(k, name, zh, en)
#define CLI(c, name, zh, en) name = (c),
#include "res/texts.def"
#undef TEXT
#undef EXTRA
#undef CLI
};

#pragma pop_macro("TEXT")

// Where the language and the strings come from. The defaults: the locale (LC_ALL > LC_MESSAGES >
// LANG, "zh_CN" is 2052) and the table compiled from res/texts.def. The Windows and Qt programs
// install their platform's own.
struct TextSource {
    std::function<uint16_t()> language;
    std::function<std::string(int id)> lookup;  // empty when the id holds no text
};
void SetTextSource(TextSource source);

// 2052 when LC_ALL, LC_MESSAGES or LANG (the first one set) names zh_CN, else 1033.
uint16_t LocaleInterfaceLanguage();
// The compiled-in table: the string with this id, or empty.
std::string CompiledText(int id);

// Text n (0..16) in the current interface language; empty for any other n. Asked anew each call.
std::string LoadLocalizedText(int n);
inline std::string LoadLocalizedText(TextId id) {
    return LoadLocalizedText(static_cast<int>(id));
}
std::string LoadExtraText(ExtraText k);
// A command-line text in the current interface language, its placeholders {1}, {2}, ... replaced
// by `values` in that order.
std::string LoadCliText(CliText c, std::initializer_list<std::string_view> values = {});

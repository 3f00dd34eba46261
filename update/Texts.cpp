#include "update/Texts.h"

#include <cstddef>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

namespace {

const std::map<int, std::string_view>& Table() {
    static const std::map<int, std::string_view> table = [] {
        std::map<int, std::string_view> t;
#define TEXT(n, name, zh, en)            \
    t.emplace(kChineseBaseId + (n), zh); \
    t.emplace(kEnglishBaseId + (n), en);
#define EXTRA(k, name, zh, en)                \
    t.emplace(kExtraChineseBaseId + (k), zh); \
    t.emplace(kExtraEnglishBaseId + (k), en);
#define CLI(c, name, zh, en)                \
    t.emplace(kCliChineseBaseId + (c), zh); \
    t.emplace(kCliEnglishBaseId + (c), en);
#include "res/texts.def"
#undef TEXT
#undef EXTRA
#undef CLI
        return t;
    }();
    return table;
}

std::mutex& SourceMutex() {
    static std::mutex m;
    return m;
}

TextSource& Source() {
    static TextSource source{LocaleInterfaceLanguage, CompiledText};
    return source;
}

TextSource CurrentSource() {
    std::lock_guard lock(SourceMutex());
    return Source();
}

std::string Lookup(int chineseId, int englishId) {
    const TextSource source = CurrentSource();
    const uint16_t language = source.language ? source.language() : 0;
    const int id = language == kLangChinesePrc ? chineseId : englishId;
    return source.lookup ? source.lookup(id) : std::string();
}

}  // namespace

void SetTextSource(TextSource source) {
    std::lock_guard lock(SourceMutex());
    if (!source.language) {
        source.language = LocaleInterfaceLanguage;
    }
    if (!source.lookup) {
        source.lookup = CompiledText;
    }
    Source() = std::move(source);
}

uint16_t LocaleInterfaceLanguage() {
    // The first of these that is set and not empty decides, as in setlocale's LC_MESSAGES.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read only
        if (value != nullptr && *value != '\0') {
            const std::string_view v(value);
            // zh_CN, zh_CN.UTF-8, zh_CN@variant: only the language-territory pair counts.
            const bool prc =
                v.substr(0, 5) == "zh_CN" && (v.size() == 5 || v[5] == '.' || v[5] == '@');
            return prc ? kLangChinesePrc : 1033;
        }
    }
    return 1033;
}

std::string CompiledText(int id) {
    const auto& table = Table();
    const auto it = table.find(id);
    return it == table.end() ? std::string() : std::string(it->second);
}

std::string LoadLocalizedText(int n) {
    if (n < 0 || n >= kTextCount) {
        return {};
    }
    return Lookup(kChineseBaseId + n, kEnglishBaseId + n);
}

std::string LoadExtraText(ExtraText k) {
    const int i = static_cast<int>(k);
    return Lookup(kExtraChineseBaseId + i, kExtraEnglishBaseId + i);
}

std::string LoadCliText(CliText c, std::initializer_list<std::string_view> values) {
    const int i = static_cast<int>(c);
    const std::string text = Lookup(kCliChineseBaseId + i, kCliEnglishBaseId + i);
    // One pass, so a value that itself reads like a placeholder (a file name) stays as it is.
    std::string filled;
    for (size_t at = 0; at < text.size();) {
        const size_t close = text.find('}', at);
        const bool mark = text[at] == '{' && close != std::string::npos && close - at == 2 &&
                          text[at + 1] >= '1' && text[at + 1] <= '9';
        const size_t n = mark ? static_cast<size_t>(text[at + 1] - '1') : values.size();
        if (n < values.size()) {
            filled += *(values.begin() + n);
            at = close + 1;
        } else {
            filled += text[at++];
        }
    }
    return filled;
}

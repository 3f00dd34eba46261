// reasonCode: a failure's text traced back to the texts.def row it was made from, so a program
// reads the same name whatever the language, and a text that changes keeps its name.
#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "cli/JsonEvents.h"
#include "update/Texts.h"

namespace zevrin::cli::json {

namespace {

constexpr const char* kProgramName = "zevrin-flash: ";

enum class Kind { Text, Extra, Cli };
struct Row {
    Kind kind;
    int number;
    const char* name;
};

// In the order ties are settled: the engine's texts before the command line's own (both say
// "无法写入手柄。", the command line's with its name in front).
constexpr Row kRows[] = {
#define TEXT(n, name, zh, en) {Kind::Text, n, #name},
#define EXTRA(k, name, zh, en) {Kind::Extra, k, #name},
#define CLI(c, name, zh, en) {Kind::Cli, c, #name},
#include "res/texts.def"
#undef TEXT
#undef EXTRA
#undef CLI
};

std::string Trimmed(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

// A text's lines, trimmed, the empty ones gone.
std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        line = Trimmed(line);
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : " ") + line;
    }
    return text;
}

// A row's text in the current language, on one line as a reason is, its {1}, {2}, ... kept.
std::string RowText(const Row& row) {
    switch (row.kind) {
        case Kind::Text:
            return Joined(LinesOf(LoadLocalizedText(row.number)));
        case Kind::Extra:
            return Joined(LinesOf(LoadExtraText(static_cast<ExtraText>(row.number))));
        case Kind::Cli:
            break;
    }
    return Joined(LinesOf(LoadCliText(static_cast<CliText>(row.number))));
}

// How many of the row's own characters `reason` begins with, the values in place of its {1}, {2},
// ... taken as anything; 0 when it does not begin with the row.
size_t Matched(const std::string& row, const std::string& reason) {
    size_t at = 0;  // in reason
    size_t literal = 0;
    bool first = true;
    for (size_t from = 0; from <= row.size();) {
        size_t mark = row.find('{', from);
        while (mark != std::string::npos && !(mark + 2 < row.size() && row[mark + 2] == '}' &&
                                              row[mark + 1] >= '1' && row[mark + 1] <= '9')) {
            mark = row.find('{', mark + 1);
        }
        const std::string piece = row.substr(from, mark == std::string::npos ? mark : mark - from);
        const size_t found = first ? (reason.compare(0, piece.size(), piece) == 0 ? 0 : reason.npos)
                                   : reason.find(piece, at);
        if (found == std::string::npos) {
            return 0;
        }
        at = found + piece.size();
        literal += piece.size();
        first = false;
        if (mark == std::string::npos) {
            break;
        }
        from = mark + 3;
    }
    return literal;
}

// The row `reason` was made from: the one whose own text it matches furthest. The program's name
// in front marks a text of the command line's own.
std::string CodeOf(const std::string& reason, bool cliOnly) {
    const Row* best = nullptr;
    size_t bestLength = 0;
    for (const Row& row : kRows) {
        if (cliOnly && row.kind != Kind::Cli) {
            continue;
        }
        const size_t length = Matched(RowText(row), reason);
        // Text 13 repeats the English of text 14, the one the windows show, word for word.
        const bool laterWindowText =
            best != nullptr && best->kind == Kind::Text && row.kind == Kind::Text;
        if (length > bestLength || (length > 0 && length == bestLength && laterWindowText)) {
            best = &row;
            bestLength = length;
        }
    }
    if (best != nullptr && best->kind == Kind::Cli &&
        best->number == static_cast<int>(CliText::FileRefused)) {
        // "'FILE': WHY; nothing was sent" is named after its WHY, a row of the same name as the
        // window's text for that refusal, so info's image line and the result agree.
        const std::string frame = RowText(*best);
        const size_t file = frame.find("{1}");
        const size_t what = frame.find("{2}");
        const std::string before = frame.substr(file + 3, what - file - 3);
        const std::string after = frame.substr(what + 3);
        const Row* why = nullptr;
        for (const Row& row : kRows) {
            const std::string text = RowText(row);
            if (row.kind == Kind::Cli && &row != best && !text.empty() &&
                reason.find(before + text + after) != std::string::npos) {
                why = &row;
            }
        }
        best = why != nullptr ? why : best;
    }
    return best != nullptr ? KebabCase(best->name) : std::string();
}

}  // namespace

std::string KebabCase(const std::string& name) {
    std::string code;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool upper = std::isupper(c) != 0;
        const bool afterWord = i > 0 && std::islower(static_cast<unsigned char>(name[i - 1])) != 0;
        const bool afterDigit = i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1])) != 0;
        if (std::isalnum(c) == 0) {
            if (!code.empty() && code.back() != '-') {
                code += '-';
            }
            continue;
        }
        if (upper && (afterWord || afterDigit) && !code.empty() && code.back() != '-') {
            code += '-';
        }
        code += static_cast<char>(std::tolower(c));
    }
    while (!code.empty() && code.back() == '-') {
        code.pop_back();
    }
    return code;
}

Reason ReasonOf(const std::string& text) {
    std::vector<std::string> lines = LinesOf(text);
    bool ours = false;  // the first line of the reason is the command line's own
    if (lines.size() > 1 && lines.front() == Trimmed(LoadLocalizedText(TextId::UpdateFailure))) {
        lines.erase(lines.begin());
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(kProgramName, 0) == 0) {
            lines[i].erase(0, std::string(kProgramName).size());
            ours = ours || i == 0;
        }
    }
    Reason reason;
    reason.text = Joined(lines);
    reason.code = CodeOf(reason.text, ours);
    return reason;
}

}  // namespace zevrin::cli::json

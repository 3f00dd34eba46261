#include "cli/TextWidth.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zevrin::cli {

namespace {

constexpr std::string_view kEllipsis = "\xe2\x80\xa6";  // U+2026, one column

struct Range {
    char32_t first;
    char32_t last;
};

// East Asian Width W and F (Unicode's EastAsianWidth.txt), merged into the blocks that matter for
// a terminal: Hangul Jamo, CJK punctuation, kana, the CJK ideographs, Hangul syllables, the
// full-width forms, and the emoji a file name may hold.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

// Marks drawn onto the character before them, and the invisible joiners and selectors.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

bool In(const Range* begin, const Range* end, char32_t c) {
    return std::any_of(begin, end, [c](const Range& r) { return c >= r.first && c <= r.last; });
}

// One character of `text` from `at`: its bytes and its columns.
struct Glyph {
    size_t bytes;
    size_t columns;
};

Glyph GlyphAt(std::string_view text, size_t at) {
    const auto lead = static_cast<uint8_t>(text[at]);
    if (lead < 0x80) {
        return {1, lead >= 0x20 && lead != 0x7F ? 1u : 0u};
    }
    const size_t length = lead >= 0xF8   ? 0
                          : lead >= 0xF0 ? 4
                          : lead >= 0xE0 ? 3
                          : lead >= 0xC2 ? 2
                                         : 0;
    if (length == 0 || at + length > text.size()) {
        return {1, 1};
    }
    char32_t c = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<uint8_t>(text[at + k]);
        if ((next & 0xC0) != 0x80) {
            return {1, 1};
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (In(std::begin(kZero), std::end(kZero), c)) {
        return {length, 0};
    }
    return {length, In(std::begin(kWide), std::end(kWide), c) ? 2u : 1u};
}

std::vector<Glyph> Glyphs(std::string_view text) {
    std::vector<Glyph> glyphs;
    for (size_t at = 0; at < text.size();) {
        glyphs.push_back(GlyphAt(text, at));
        at += glyphs.back().bytes;
    }
    return glyphs;
}

}  // namespace

size_t Columns(std::string_view text) {
    size_t columns = 0;
    for (const Glyph& g : Glyphs(text)) {
        columns += g.columns;
    }
    return columns;
}

std::string FitEnd(std::string_view text, size_t columns) {
    if (Columns(text) <= columns) {
        return std::string(text);
    }
    if (columns == 0) {
        return {};
    }
    size_t used = 0;
    size_t bytes = 0;
    for (const Glyph& g : Glyphs(text)) {
        if (used + g.columns > columns - 1) {
            break;
        }
        used += g.columns;
        bytes += g.bytes;
    }
    return std::string(text.substr(0, bytes)) + std::string(kEllipsis);
}

std::string FitMiddle(std::string_view text, size_t columns) {
    if (Columns(text) <= columns) {
        return std::string(text);
    }
    if (columns == 0) {
        return {};
    }
    const std::vector<Glyph> glyphs = Glyphs(text);
    const size_t room = columns - 1;
    // The start gets the odd column: it names the kind of device.
    size_t headColumns = 0;
    size_t headBytes = 0;
    for (const Glyph& g : glyphs) {
        if (headColumns + g.columns > (room + 1) / 2) {
            break;
        }
        headColumns += g.columns;
        headBytes += g.bytes;
    }
    size_t tailColumns = 0;
    size_t tailBytes = 0;
    for (auto g = glyphs.rbegin(); g != glyphs.rend(); ++g) {
        if (headColumns + tailColumns + g->columns > room) {
            break;
        }
        tailColumns += g->columns;
        tailBytes += g->bytes;
    }
    return std::string(text.substr(0, headBytes)) + std::string(kEllipsis) +
           std::string(text.substr(text.size() - tailBytes));
}

}  // namespace zevrin::cli

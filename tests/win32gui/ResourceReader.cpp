#include "tests/win32gui/ResourceReader.h"

#include <cstring>

namespace zevrin::test {
namespace {

// A cursor over resource bytes that refuses to read past their end.
class Reader {
  public:
    explicit Reader(const std::vector<uint8_t>& bytes) : m_Bytes(bytes) {}
    bool Ok() const { return m_Ok; }
    size_t Offset() const { return m_Offset; }

    template <typename T>
    T Get() {
        T value{};
        if (m_Offset + sizeof(T) > m_Bytes.size()) {
            m_Ok = false;
            return value;
        }
        std::memcpy(&value, m_Bytes.data() + m_Offset, sizeof(T));
        m_Offset += sizeof(T);
        return value;
    }
    std::wstring String() {
        std::wstring s;
        for (;;) {
            const auto c = Get<uint16_t>();
            if (!m_Ok || c == 0) {
                return s;
            }
            s.push_back(static_cast<wchar_t>(c));
        }
    }
    // sz_Or_Ord: 0 (none), 0xFFFF and an ordinal, or a string.
    std::wstring NameOrOrdinal(uint16_t& ordinal) {
        ordinal = 0;
        const auto first = Get<uint16_t>();
        if (first == 0) {
            return {};
        }
        if (first == 0xFFFF) {
            ordinal = Get<uint16_t>();
            return {};
        }
        std::wstring s(1, static_cast<wchar_t>(first));
        return s + String();
    }
    void AlignTo4() { m_Offset = (m_Offset + 3) & ~size_t{3}; }
    void Skip(size_t n) {
        m_Offset += n;
        m_Ok = m_Ok && m_Offset <= m_Bytes.size();
    }

  private:
    const std::vector<uint8_t>& m_Bytes;
    size_t m_Offset = 0;
    bool m_Ok = true;
};

}  // namespace

std::optional<DialogTemplate> ParseDialogEx(const std::vector<uint8_t>& bytes) {
    Reader r(bytes);
    DialogTemplate t;
    t.version = r.Get<uint16_t>();
    t.signature = r.Get<uint16_t>();
    if (t.version != 1 || t.signature != 0xFFFF) {
        return std::nullopt;
    }
    t.helpId = r.Get<uint32_t>();
    t.exStyle = r.Get<uint32_t>();
    t.style = r.Get<uint32_t>();
    const auto count = r.Get<uint16_t>();
    t.x = r.Get<int16_t>();
    t.y = r.Get<int16_t>();
    t.cx = r.Get<int16_t>();
    t.cy = r.Get<int16_t>();
    uint16_t ordinal = 0;
    t.menu = r.NameOrOrdinal(ordinal);
    t.windowClass = r.NameOrOrdinal(ordinal);
    t.title = r.String();
    if ((t.style & DS_SETFONT) != 0) {
        t.pointSize = r.Get<uint16_t>();
        t.weight = r.Get<uint16_t>();
        t.italic = r.Get<uint8_t>();
        t.charset = r.Get<uint8_t>();
        t.face = r.String();
    }
    for (uint16_t i = 0; i < count && r.Ok(); ++i) {
        r.AlignTo4();
        DialogItem item;
        item.helpId = r.Get<uint32_t>();
        item.exStyle = r.Get<uint32_t>();
        item.style = r.Get<uint32_t>();
        item.x = r.Get<int16_t>();
        item.y = r.Get<int16_t>();
        item.cx = r.Get<int16_t>();
        item.cy = r.Get<int16_t>();
        item.id = r.Get<uint32_t>();
        item.className = r.NameOrOrdinal(item.classAtom);
        uint16_t titleOrdinal = 0;
        item.title = r.NameOrOrdinal(titleOrdinal);
        item.extraBytes = r.Get<uint16_t>();
        r.Skip(item.extraBytes);
        t.items.push_back(std::move(item));
    }
    if (!r.Ok()) {
        return std::nullopt;
    }
    return t;
}

std::vector<GroupIconEntry> ParseGroupIcon(const std::vector<uint8_t>& bytes) {
    Reader r(bytes);
    r.Get<uint16_t>();  // reserved
    const auto type = r.Get<uint16_t>();
    const auto count = r.Get<uint16_t>();
    std::vector<GroupIconEntry> entries;
    if (!r.Ok() || type != 1) {
        return entries;
    }
    for (uint16_t i = 0; i < count; ++i) {
        GroupIconEntry e;
        e.width = r.Get<uint8_t>();
        e.height = r.Get<uint8_t>();
        e.colorCount = r.Get<uint8_t>();
        r.Get<uint8_t>();
        e.planes = r.Get<uint16_t>();
        e.bitCount = r.Get<uint16_t>();
        e.bytes = r.Get<uint32_t>();
        e.iconId = r.Get<uint16_t>();
        if (!r.Ok()) {
            return {};
        }
        entries.push_back(e);
    }
    return entries;
}

std::vector<std::wstring> ParseStringBlock(const std::vector<uint8_t>& bytes) {
    Reader r(bytes);
    std::vector<std::wstring> strings;
    for (int i = 0; i < 16; ++i) {
        const auto length = r.Get<uint16_t>();
        std::wstring s;
        for (uint16_t c = 0; c < length; ++c) {
            s.push_back(static_cast<wchar_t>(r.Get<uint16_t>()));
        }
        if (!r.Ok()) {
            return {};
        }
        strings.push_back(std::move(s));
    }
    return strings;
}

ResourceFile::ResourceFile(const std::wstring& path)
    : m_Module(LoadLibraryExW(path.c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}

ResourceFile::~ResourceFile() {
    if (m_Module != nullptr) {
        FreeLibrary(m_Module);
    }
}

std::vector<uint16_t> ResourceFile::Languages(const wchar_t* type, const wchar_t* name) const {
    std::vector<uint16_t> languages;
    EnumResourceLanguagesW(
        m_Module, type, name,
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR data) -> BOOL {
            reinterpret_cast<std::vector<uint16_t>*>(data)->push_back(language);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

std::optional<std::vector<uint8_t>> ResourceFile::Bytes(const wchar_t* type, const wchar_t* name,
                                                        uint16_t language) const {
    HRSRC found = FindResourceExW(m_Module, type, name, language);
    if (found == nullptr) {
        return std::nullopt;
    }
    HGLOBAL loaded = LoadResource(m_Module, found);
    const auto* data = static_cast<const uint8_t*>(LockResource(loaded));
    const DWORD size = SizeofResource(m_Module, found);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(data, data + size);
}

}  // namespace zevrin::test

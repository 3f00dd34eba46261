// Reads a built program's resources back (dialog template, icon group, string table, version)
// by loading it as a data file, so a test sees what a user's system would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zevrin::test {

struct DialogItem {
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t id = 0;
    uint16_t classAtom = 0;  // 0x0080 button, 0x0082 static, ... when the class is an ordinal
    std::wstring className;  // when the class is a name
    std::wstring title;
    uint16_t extraBytes = 0;
};

struct DialogTemplate {
    uint16_t version = 0;
    uint16_t signature = 0;
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu;
    std::wstring windowClass;
    std::wstring title;
    uint16_t pointSize = 0;
    uint16_t weight = 0;
    uint8_t italic = 0;
    uint8_t charset = 0;
    std::wstring face;
    std::vector<DialogItem> items;
};

// Parses a DLGTEMPLATEEX; nothing when the bytes are not one or are cut short.
std::optional<DialogTemplate> ParseDialogEx(const std::vector<uint8_t>& bytes);

struct GroupIconEntry {
    uint8_t width = 0, height = 0, colorCount = 0;
    uint16_t planes = 0, bitCount = 0;
    uint32_t bytes = 0;
    uint16_t iconId = 0;
};
std::vector<GroupIconEntry> ParseGroupIcon(const std::vector<uint8_t>& bytes);

// The sixteen strings of one string-table block, as stored (no terminator added).
std::vector<std::wstring> ParseStringBlock(const std::vector<uint8_t>& bytes);

class ResourceFile {
  public:
    explicit ResourceFile(const std::wstring& path);
    ~ResourceFile();
    ResourceFile(const ResourceFile&) = delete;
    ResourceFile& operator=(const ResourceFile&) = delete;

    bool Loaded() const { return m_Module != nullptr; }
    // The languages a resource is present in.
    std::vector<uint16_t> Languages(const wchar_t* type, const wchar_t* name) const;
    std::optional<std::vector<uint8_t>> Bytes(const wchar_t* type, const wchar_t* name,
                                              uint16_t language) const;

  private:
    HMODULE m_Module = nullptr;
};

}  // namespace zevrin::test

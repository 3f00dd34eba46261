// The resources of the built programs, read back from the .exe files: the dialog template as
// the system will build it, the icon, the string table of both languages and the version record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "hid/win32/Utf16.h"
#include "res/DialogLayout.h"
#include "tests/win32gui/GuiTestSupport.h"
#include "tests/win32gui/ResourceReader.h"
#include "update/Texts.h"

using zevrin::Utf8;
using zevrin::res::kDialog;
using zevrin::test::DialogTemplate;
using zevrin::test::ProgramFiles;
using zevrin::test::ResourceFile;
using zevrin::test::WindowsPath;

namespace {

constexpr uint16_t kChinesePrc = 2052;
constexpr uint16_t kButtonAtom = 0x0080;
constexpr uint16_t kStaticAtom = 0x0082;

// Resource types by number (RT_DIALOG and friends are narrow strings outside UNICODE builds).
const wchar_t* Type(int number) {
    return MAKEINTRESOURCEW(number);
}

class BuiltProgramTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        const auto& files = ProgramFiles();
        if (files.empty()) {
            GTEST_SKIP() << "no program given: run with --exe=PATH for each built .exe";
        }
        if (static_cast<size_t>(GetParam()) >= files.size()) {
            GTEST_SKIP() << "only " << files.size() << " program(s) given";
        }
        m_Name = files[static_cast<size_t>(GetParam())];
        m_File = std::make_unique<ResourceFile>(WindowsPath(m_Name));
        ASSERT_TRUE(m_File->Loaded()) << m_Name;
    }

    const ResourceFile& File() const { return *m_File; }

    std::string m_Name;
    std::unique_ptr<ResourceFile> m_File;
};

TEST_P(BuiltProgramTest, DialogTemplate102IsStoredAsDesigned) {
    EXPECT_THAT(File().Languages(Type(5), MAKEINTRESOURCEW(102)),
                ::testing::ElementsAre(kChinesePrc));
    const auto bytes = File().Bytes(Type(5), MAKEINTRESOURCEW(102), kChinesePrc);
    ASSERT_TRUE(bytes.has_value()) << "no dialog 102 (a named IDD_UPDATE_DIALOG instead?)";
    const auto dialog = zevrin::test::ParseDialogEx(*bytes);
    ASSERT_TRUE(dialog.has_value()) << "not an extended dialog template";

    EXPECT_EQ(dialog->style, 0x90C800C0u);
    EXPECT_EQ(dialog->exStyle, static_cast<uint32_t>(WS_EX_APPWINDOW));
    EXPECT_EQ(std::make_tuple(dialog->x, dialog->y, dialog->cx, dialog->cy),
              std::make_tuple(kDialog.x, kDialog.y, kDialog.width, kDialog.height));
    EXPECT_EQ(dialog->menu, L"");
    EXPECT_EQ(dialog->windowClass, L"");
    EXPECT_EQ(dialog->title, L"s");
    EXPECT_EQ(dialog->pointSize, 9);
    EXPECT_EQ(dialog->weight, 0);
    EXPECT_EQ(dialog->italic, 0);
    EXPECT_EQ(dialog->charset, 1);
    EXPECT_EQ(dialog->face, L"\u5B8B\u4F53") << "宋体, not mojibake";

    // Ids and places as the Qt window reads them from the .rc; here, what windres made of them.
    const struct {
        uint16_t classAtom;  // 0 for the progress bar, whose class goes by name
        const wchar_t* title;
        DWORD style;
    } kItems[] = {
        {0, L"", WS_BORDER},
        {kButtonAtom, L"USB_Update", WS_TABSTOP | BS_PUSHBUTTON},
        {kStaticAtom, L"Firmware upgraded!", WS_GROUP | SS_CENTER},
        {kStaticAtom, L"\u9759\u6001", WS_GROUP | SS_LEFT},  // 静态
    };
    static_assert(std::size(kItems) == std::size(zevrin::res::kControls));
    ASSERT_EQ(dialog->items.size(), std::size(kItems));
    for (size_t i = 0; i < std::size(kItems); ++i) {
        const auto& item = dialog->items[i];
        const zevrin::res::DialogControl& control = zevrin::res::kControls[i];
        EXPECT_EQ(static_cast<int>(item.id), control.id) << i;
        EXPECT_EQ(std::make_tuple(item.x, item.y, item.cx, item.cy),
                  std::make_tuple(control.rect.x, control.rect.y, control.rect.width,
                                  control.rect.height))
            << i;
        EXPECT_EQ(item.classAtom, kItems[i].classAtom) << i;
        EXPECT_EQ(item.title, kItems[i].title) << i;
        EXPECT_EQ(item.style, WS_CHILD | WS_VISIBLE | kItems[i].style) << i;
        EXPECT_EQ(item.exStyle, 0u) << i;
    }
    // Class names are compared caseless.
    EXPECT_EQ(dialog->items[0].className, L"MSCTLS_PROGRESS32");
}

TEST_P(BuiltProgramTest, IconGroup152HoldsEverySizeFrom16To256WithAlpha) {
    EXPECT_THAT(File().Languages(Type(14), MAKEINTRESOURCEW(152)),
                ::testing::ElementsAre(kChinesePrc));
    const auto group = File().Bytes(Type(14), MAKEINTRESOURCEW(152), kChinesePrc);
    ASSERT_TRUE(group.has_value());
    const auto entries = zevrin::test::ParseGroupIcon(*group);
    std::vector<int> sizes;
    const zevrin::test::GroupIconEntry* entry32 = nullptr;
    for (const auto& entry : entries) {
        // 256 is stored as 0, and its image as PNG.
        const int size = entry.width == 0 ? 256 : entry.width;
        sizes.push_back(size);
        EXPECT_EQ(entry.height, entry.width) << size;
        EXPECT_EQ(entry.bitCount, 32) << size;
        EXPECT_EQ(entry.planes, 1) << size;
        const auto image = File().Bytes(Type(3), MAKEINTRESOURCEW(entry.iconId), kChinesePrc);
        ASSERT_TRUE(image.has_value()) << size;
        EXPECT_EQ(image->size(), entry.bytes) << size;
        if (size == 256) {
            ASSERT_GE(image->size(), 8u);
            EXPECT_EQ(std::string(image->begin(), image->begin() + 8), "\x89PNG\r\n\x1a\n");
        }
        if (size == 32) {
            entry32 = &entry;
        }
    }
    EXPECT_THAT(sizes, ::testing::ElementsAre(16, 20, 24, 32, 40, 48, 64, 256));
    ASSERT_NE(entry32, nullptr);

    const auto image = File().Bytes(Type(3), MAKEINTRESOURCEW(entry32->iconId), kChinesePrc);
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(image->size(), entry32->bytes);
    BITMAPINFOHEADER header{};
    ASSERT_GE(image->size(), sizeof(header) + 32 * 32 * 4);
    std::memcpy(&header, image->data(), sizeof(header));
    EXPECT_EQ(header.biWidth, 32);
    EXPECT_EQ(header.biHeight, 64);  // colour and mask
    EXPECT_EQ(header.biBitCount, 32);
    // A real alpha channel: transparent corners, an opaque body and soft edges between.
    int transparent = 0;
    int opaque = 0;
    int partial = 0;
    for (size_t i = 0; i < 32 * 32; ++i) {
        const uint8_t alpha = (*image)[sizeof(header) + i * 4 + 3];
        (alpha == 0 ? transparent : alpha == 255 ? opaque : partial)++;
    }
    EXPECT_GT(transparent, 0);
    EXPECT_GT(opaque, 0);
    EXPECT_GT(partial, 0);
}

TEST_P(BuiltProgramTest, StringTableHoldsBothSetsExactlyAsTheTextsSource) {
    // Block b holds ids 16 (b - 1) .. 16 (b - 1) + 15.
    for (int id = kChineseBaseId; id <= 407 + 16; ++id) {
        const int block = id / 16 + 1;
        const auto bytes = File().Bytes(Type(6), MAKEINTRESOURCEW(block), kChinesePrc);
        const auto strings =
            bytes ? zevrin::test::ParseStringBlock(*bytes) : std::vector<std::wstring>(16);
        ASSERT_EQ(strings.size(), 16u) << "block " << block;
        const std::string stored = Utf8(strings[static_cast<size_t>(id % 16)]).value();
        EXPECT_EQ(stored, CompiledText(id)) << "string " << id;
    }
    EXPECT_THAT(File().Languages(Type(6), MAKEINTRESOURCEW(kChineseBaseId / 16 + 1)),
                ::testing::ElementsAre(kChinesePrc));
    EXPECT_THAT(File().Languages(Type(6), MAKEINTRESOURCEW(kEnglishBaseId / 16 + 1)),
                ::testing::ElementsAre(kChinesePrc));
}

TEST_P(BuiltProgramTest, VersionRecordSaysOnePointTwenty) {
    const std::wstring path = WindowsPath(m_Name);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, (1u << 16) | 20u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 20u);
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\080404b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::wstring(text), L"1.20.0");
}

TEST_P(BuiltProgramTest, ManifestAsksForCommonControlsSixPerMonitorScalingAndLongPaths) {
    const auto manifest = File().Bytes(Type(24), MAKEINTRESOURCEW(1), kChinesePrc);
    ASSERT_TRUE(manifest.has_value());
    const std::string xml(manifest->begin(), manifest->end());
    EXPECT_THAT(xml, ::testing::HasSubstr("Microsoft.Windows.Common-Controls"));
    EXPECT_THAT(xml, ::testing::HasSubstr("version=\"6.0.0.0\""));
    EXPECT_THAT(xml, ::testing::HasSubstr(">PerMonitorV2, PerMonitor</dpiAwareness>"));
    EXPECT_THAT(xml, ::testing::HasSubstr(">true/pm</dpiAware>"));
    EXPECT_THAT(xml, ::testing::HasSubstr(">true</longPathAware>"));
}

INSTANTIATE_TEST_SUITE_P(Programs, BuiltProgramTest, ::testing::Values(0, 1));

}  // namespace

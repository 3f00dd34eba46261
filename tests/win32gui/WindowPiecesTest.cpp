// The small pieces of the Windows program: where the minimised window draws its icon, the file
// dialog's filter, UTF-8 at the Win32 boundary, image paths past the classic length limit, texts
// from the string table, and the application object running its dialog to the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/win32/DialogGeometry.h"
#include "app/win32/ResourceTexts.h"
#include "app/win32/UpdateApp.h"
#include "hid/sim/SimPort.h"
#include "hid/win32/Utf16.h"
#include "tests/TestSupport.h"
#include "tests/win32gui/GuiTestSupport.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"

using namespace std::chrono_literals;
using zevrin::Utf16;
using zevrin::Utf8;
using zevrin::win32::Box;
using zevrin::win32::CenteredOrigin;
using zevrin::win32::FileDialogFilter;
using zevrin::win32::MinimizedIconOrigin;

namespace {

struct IconCase {
    int client;
    int expected;
};

TEST(MinimizedIcon, IsCentredWithTheDivisionTruncatingTowardZero) {
    for (const IconCase c : {IconCase{36, 2}, IconCase{35, 2}, IconCase{30, 0}, IconCase{32, 0},
                             IconCase{33, 1}, IconCase{29, -1}, IconCase{64, 16}}) {
        const auto origin = MinimizedIconOrigin(c.client, c.client, 32, 32);
        EXPECT_EQ(origin.x, c.expected) << c.client;
        EXPECT_EQ(origin.y, c.expected) << c.client;
    }
    // Width and height are independent.
    const auto wide = MinimizedIconOrigin(40, 33, 32, 32);
    EXPECT_EQ(wide.x, 4);
    EXPECT_EQ(wide.y, 1);
}

TEST(DialogPosition, IsCentredInTheAreaAndKeptInsideIt) {
    const auto centred = CenteredOrigin(Box{0, 0, 1024, 768}, 400, 300);
    EXPECT_EQ(centred.x, 312);
    EXPECT_EQ(centred.y, 234);
    const auto offset = CenteredOrigin(Box{100, 50, 500, 450}, 200, 100);
    EXPECT_EQ(offset.x, 200);
    EXPECT_EQ(offset.y, 200);
    // Larger than the area: the caption stays on screen.
    const auto large = CenteredOrigin(Box{10, 20, 310, 220}, 800, 600);
    EXPECT_EQ(large.x, 10);
    EXPECT_EQ(large.y, 20);
}

TEST(FileDialogFilter, BarsBecomeNulsAndTheListEndsWithTwo) {
    EXPECT_EQ(FileDialogFilter(L"File type(*.dat)|*.dat||"),
              std::wstring(L"File type(*.dat)\0*.dat\0\0", 24));
    // A list that forgot its closing bars still ends properly.
    EXPECT_EQ(FileDialogFilter(L"Images|*.dat"), std::wstring(L"Images\0*.dat\0\0", 14));
    EXPECT_EQ(FileDialogFilter(L""), std::wstring(L"\0\0", 2));
    const std::wstring chinese = Utf16("文件类型中显示的内容(*.dat)|*.dat||");
    const std::wstring filter = FileDialogFilter(chinese);
    EXPECT_EQ(filter.size(), chinese.size());
    EXPECT_EQ(filter.substr(0, 10), chinese.substr(0, 10));
}

TEST(Utf16, Utf8AndUtf16RoundTripAndAnUnpairedSurrogate) {
    const std::string text = "USB 升级 \"quoted\"\r\n𝄞";
    const std::wstring wide = Utf16(text);
    EXPECT_EQ(wide.substr(0, 6), L"USB \u5347\u7EA7");
    EXPECT_EQ(wide.size(), 19u) << "the last character takes a surrogate pair";
    EXPECT_EQ(Utf8(wide), text);
    EXPECT_EQ(Utf16(""), L"");
    EXPECT_EQ(Utf8(L""), "");
    // Embedded NULs survive: lengths are passed, not found.
    EXPECT_EQ(Utf16(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    // An NTFS name may hold what has no UTF-8 form: refused where it names a file, shown as
    // U+FFFD where it is only shown.
    const std::wstring unpaired =
        L"a\xD800"
        L"b";
    EXPECT_EQ(Utf8(unpaired), std::nullopt);
    EXPECT_EQ(Utf8(unpaired, zevrin::BadUtf16::Replace),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(LongImagePath, IsHandedToTheSystemInTheFormWithoutALengthLimit) {
    const std::wstring deep = L"\\" + std::wstring(120, L'd') + L"\\" + std::wstring(150, L'e');
    struct Case {
        const char* what;
        std::wstring given;
        std::wstring expected;
    };
    const Case cases[] = {
        {"short: as it came", L"C:/fw/a.dat", L"C:/fw/a.dat"},
        {"259 characters still fit", L"C:\\" + std::wstring(252, L'f') + L".dat",
         L"C:\\" + std::wstring(252, L'f') + L".dat"},
        {"260 characters", L"C:\\" + std::wstring(253, L'f') + L".dat",
         L"\\\\?\\C:\\" + std::wstring(253, L'f') + L".dat"},
        {"a drive path", L"C:\\fw" + deep + L"\\a.dat", L"\\\\?\\C:\\fw" + deep + L"\\a.dat"},
        {"slashes and dots tidied first", L"C:/fw/./x/.." + deep + L"/a.dat",
         L"\\\\?\\C:\\fw" + deep + L"\\a.dat"},
        {"a share", L"\\\\server\\share" + deep + L"\\a.dat",
         L"\\\\?\\UNC\\server\\share" + deep + L"\\a.dat"},
        {"already long", L"\\\\?\\C:\\fw" + deep + L"\\a.dat",
         L"\\\\?\\C:\\fw" + deep + L"\\a.dat"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OpenablePath(c.given), c.expected) << c.what;
    }
    // Relative to the current folder.
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    std::wstring folder = current;
    if (folder.back() == L'\\') {
        folder.pop_back();
    }
    EXPECT_EQ(OpenablePath(L"fw" + deep + L"\\a.dat"),
              L"\\\\?\\" + folder + L"\\fw" + deep + L"\\a.dat");
}

TEST(LongImagePath, ImageDeepInFoldersIsCheckedAndKeptOpen) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::filesystem::path top =
        std::filesystem::path(temp) / (L"zevrin-long-" + std::to_wstring(GetCurrentProcessId()));
    const std::filesystem::path folder = top / std::wstring(120, L'd') / std::wstring(120, L'e');
    const std::filesystem::path file = folder / L"image.dat";
    ASSERT_GE(file.native().size(), static_cast<size_t>(MAX_PATH));
    // Made through the long form itself, as a system with the classic limit needs.
    std::error_code error;
    std::filesystem::create_directories(L"\\\\?\\" + folder.native(), error);
    ASSERT_FALSE(error) << error.message();
    const std::vector<uint8_t> image = zevrin::test::ImageBytes(120, zevrin::test::Pattern(100));
    {
        std::ofstream out(std::filesystem::path(L"\\\\?\\" + file.native()), std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
    }

    ImageFile kept;
    const ImageCheck check = InspectImage(Utf8(file.native()).value(), kept);
    EXPECT_EQ(check.problem, ImageProblem::None);
    EXPECT_EQ(check.header.imageLength, 100u);
    EXPECT_TRUE(kept.IsOpen());
    kept.Close();
    std::filesystem::remove_all(L"\\\\?\\" + top.native(), error);
}

class ResourceTextsTest : public ::testing::Test {
  protected:
    ~ResourceTextsTest() override {
        zevrin::win32::InstallResourceTexts(GetModuleHandleW(nullptr));
    }
};

TEST_F(ResourceTextsTest, EveryTextOfTheTableIsReadFromTheProgram) {
    HINSTANCE self = GetModuleHandleW(nullptr);
    for (int n = 0; n < kTextCount; ++n) {
        EXPECT_EQ(zevrin::win32::ResourceString(self, kChineseBaseId + n),
                  CompiledText(kChineseBaseId + n))
            << n;
        EXPECT_EQ(zevrin::win32::ResourceString(self, kEnglishBaseId + n),
                  CompiledText(kEnglishBaseId + n))
            << n;
    }
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(zevrin::win32::ResourceString(self, kExtraChineseBaseId + k),
                  CompiledText(kExtraChineseBaseId + k));
        EXPECT_EQ(zevrin::win32::ResourceString(self, kExtraEnglishBaseId + k),
                  CompiledText(kExtraEnglishBaseId + k));
    }
    // Long texts come back whole, not cut at the size of some small buffer.
    EXPECT_GT(zevrin::win32::ResourceString(self, kEnglishBaseId + 14).size(), 128u);
    for (int id : {146, 200, 237, 255, 256}) {
        EXPECT_EQ(zevrin::win32::ResourceString(self, id), "") << id;
    }
}

TEST_F(ResourceTextsTest, TextsComeFromTheInstalledModulesStringTable) {
    // A module without these strings: every text is empty, nothing falls back to a copy
    // compiled into the program.
    HMODULE other = LoadLibraryW(L"version.dll");
    ASSERT_NE(other, nullptr);
    zevrin::win32::InstallResourceTexts(other);
    EXPECT_EQ(LoadLocalizedText(6), "");
    EXPECT_EQ(LoadExtraText(ExtraText::ImageTruncated), "");
    zevrin::win32::InstallResourceTexts(GetModuleHandleW(nullptr));
    EXPECT_EQ(LoadLocalizedText(6), "Zevrin Update v1.20");
    EXPECT_EQ(LoadLocalizedText(17), "");
    EXPECT_EQ(LoadLocalizedText(-1), "");
}

TEST_F(ResourceTextsTest, SetIsChosenByTheUserInterfaceLanguage) {
    const uint16_t expected = zevrin::test::ExpectedUiLanguage();
    if (expected == 0) {
        GTEST_SKIP() << "ZEVRIN_EXPECT_UI_LANGUAGE is not set: the language of this run is unknown";
    }
    EXPECT_EQ(GetUserDefaultUILanguage(), expected);
    if (expected == kLangChinesePrc) {
        EXPECT_EQ(LoadLocalizedText(12), "USB 升级");
        EXPECT_EQ(LoadLocalizedText(4), "升级成功。");
    } else {
        EXPECT_EQ(LoadLocalizedText(12), "USB Update");
        EXPECT_EQ(LoadLocalizedText(4), "Firmware upgraded!");
    }
}

TEST(UpdateApp, RunsTheDialogModallyAndReturnsZeroWhenItIsClosed) {
    zevrin::sim::SimPort port;
    port.AddInterface("mouse", 0x046D, 0xC077);
    zevrin::win32::CUpdateApp app(port, GetModuleHandleW(nullptr));

    // Plays the user: waits for the window, then presses the close box.
    std::atomic<HWND> seen{nullptr};
    std::atomic<bool> hadOwner{true};
    std::thread user([&] {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            struct Search {
                HWND found = nullptr;
            } search;
            EnumWindows(
                [](HWND window, LPARAM data) -> BOOL {
                    DWORD process = 0;
                    GetWindowThreadProcessId(window, &process);
                    if (process == GetCurrentProcessId() && IsWindowVisible(window) != FALSE &&
                        zevrin::test::TextOf(window) == "Zevrin Update v1.20") {
                        reinterpret_cast<Search*>(data)->found = window;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&search));
            if (search.found != nullptr) {
                hadOwner = GetWindow(search.found, GW_OWNER) != nullptr;
                seen = search.found;
                PostMessageW(search.found, WM_CLOSE, 0, 0);
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
    });
    const int result = app.InitInstance();
    user.join();
    EXPECT_EQ(result, 0);
    ASSERT_NE(seen.load(), nullptr) << "no dialog window appeared";
    EXPECT_FALSE(hadOwner.load()) << "the dialog has no parent";
    EXPECT_FALSE(IsWindow(seen.load())) << "the dialog is destroyed when InitInstance returns";
    EXPECT_EQ(app.m_pMainWnd, nullptr);
}

}  // namespace

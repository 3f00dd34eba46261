// The two text sets, the language rule, and the string table generated for Windows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "update/Texts.h"

namespace {

// Pins the interface language for one test.
class LanguageScope {
  public:
    explicit LanguageScope(uint16_t language) {
        SetTextSource({[language] { return language; }, {}});
    }
    ~LanguageScope() { SetTextSource({}); }
};

TEST(TextsTest, ChinesePrcOnlyPicksTheChineseSet) {
    {
        LanguageScope zh(2052);
        EXPECT_EQ(LoadLocalizedText(6), "Zevrin Update v1.20");
        EXPECT_EQ(LoadLocalizedText(12), "USB 升级");
        EXPECT_EQ(LoadLocalizedText(4), "升级成功。");
        EXPECT_EQ(LoadLocalizedText(16),  // English in both sets
                  "* If anything wrong. Hold START 8 seconds can reset controller. You can try to "
                  "update firmware again");
    }
    for (uint16_t language : {1033, 1028, 3076, 0}) {
        LanguageScope other(language);
        EXPECT_EQ(LoadLocalizedText(12), "USB Update") << language;
        EXPECT_EQ(LoadLocalizedText(4), "Firmware upgraded!") << language;
    }
}

TEST(TextsTest, NumbersWithoutATextGiveNothing) {
    for (uint16_t language : {2052, 1033}) {
        LanguageScope scope(language);
        EXPECT_EQ(LoadLocalizedText(17), "");
        EXPECT_EQ(LoadLocalizedText(-1), "");
        EXPECT_EQ(LoadLocalizedText(100), "");
        EXPECT_NE(LoadLocalizedText(0), "");
    }
}

TEST(TextsTest, InstructionsKeepTheirQuotesLineEndsAndBlanks) {
    LanguageScope en(1033);
    const std::string t14 = LoadLocalizedText(14);
    EXPECT_NE(t14.find("Click \"USB Update\" button"), std::string::npos);
    EXPECT_NE(t14.find("controller,       LED"), std::string::npos);  // seven blanks
    EXPECT_NE(t14.find("yellow.\r\n\r\n2. Connect"), std::string::npos);
    EXPECT_EQ(LoadLocalizedText(13), t14);
    LanguageScope zh(2052);
    EXPECT_NE(LoadLocalizedText(14).find("闪烁。\r\n\r\n2. 插入USB线。"), std::string::npos);
}

TEST(TextsTest, ExtraAndCommandLineTextsFollowTheSameRule) {
    LanguageScope en(1033);
    const std::string english = LoadExtraText(ExtraText::PermissionDenied);
    EXPECT_NE(english.find("70-zevrin-gamepad.rules"), std::string::npos);
    EXPECT_NE(english.find("udevadm"), std::string::npos);
    // Windows has no udev: there a refused open means another program holds the gamepad.
    const std::string inUse = LoadExtraText(ExtraText::DeviceInUse);
    EXPECT_NE(inUse.find("another program"), std::string::npos);
    EXPECT_EQ(inUse.find("udev"), std::string::npos);
    // Values go in once, in order; a value that reads like a placeholder (a file name) stays.
    EXPECT_EQ(LoadCliText(CliText::DigestMismatch, {"{2}.dat", "ab", "cd"}),
              "'{2}.dat' is not the image asked for: its SHA-256 is ab, not cd. No image data was "
              "sent.");
    EXPECT_EQ(LoadCliText(CliText::CountUpdated, {"1"}), "1 of {2} updated.");
    LanguageScope zh(2052);
    const std::string chinese = LoadExtraText(ExtraText::PermissionDenied);
    EXPECT_NE(chinese, english);
    EXPECT_NE(chinese.find("70-zevrin-gamepad.rules"), std::string::npos);
    EXPECT_EQ(LoadCliText(CliText::CountUpdated, {"1", "2"}), "2 个中 1 个已更新。");
    // Chinese sentences take full-width punctuation: a half-width mark beside a Chinese character
    // is a slip.
    for (int id = 0; id < 400; ++id) {
        const std::string text = LoadCliText(static_cast<CliText>(id));
        for (size_t i = 0; i < text.size(); ++i) {
            const bool mark = std::string_view(",:;?()").find(text[i]) != std::string_view::npos;
            const bool besideChinese =
                (i > 0 && static_cast<uint8_t>(text[i - 1]) >= 0x80) ||
                (i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80);
            EXPECT_FALSE(mark && besideChinese) << id << ": " << text;
        }
    }
}

#if !defined(_WIN32)
// setenv is POSIX; the Windows build reads the language from the system instead.
class LocaleEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* n : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* v = std::getenv(n);  // NOLINT(concurrency-mt-unsafe)
            m_Saved.emplace_back(n, v != nullptr ? std::optional<std::string>(v) : std::nullopt);
            unsetenv(n);  // NOLINT(concurrency-mt-unsafe)
        }
    }
    void TearDown() override {
        for (const auto& [n, v] : m_Saved) {
            if (v) {
                setenv(n.c_str(), v->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
            } else {
                unsetenv(n.c_str());  // NOLINT(concurrency-mt-unsafe)
            }
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> m_Saved;
};

TEST_F(LocaleEnv, OnlyZhCnIsChinesePrcAndLcAllWins) {
    EXPECT_EQ(LocaleInterfaceLanguage(), 1033);
    setenv("LANG", "zh_CN.UTF-8", 1);  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(LocaleInterfaceLanguage(), 2052);
    setenv("LANG", "zh_TW.UTF-8", 1);  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(LocaleInterfaceLanguage(), 1033);
    setenv("LANG", "zh_CNX", 1);  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(LocaleInterfaceLanguage(), 1033);
    setenv("LANG", "zh_CN", 1);          // NOLINT(concurrency-mt-unsafe)
    setenv("LC_ALL", "en_US.UTF-8", 1);  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(LocaleInterfaceLanguage(), 1033);
    setenv("LC_ALL", "zh_CN.GB2312", 1);  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(LocaleInterfaceLanguage(), 2052);
    SetTextSource({});
    EXPECT_EQ(LoadLocalizedText(12), "USB 升级");  // the default source follows the locale
}
#endif

#ifdef ZEVRIN_STRINGS_RC_PATH
TEST(StringTableTest, GeneratedFromTheSameTexts) {
    std::ifstream in(ZEVRIN_STRINGS_RC_PATH, std::ios::binary);
    ASSERT_TRUE(in) << "string table not generated: " << ZEVRIN_STRINGS_RC_PATH;
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string rc = ss.str();
    EXPECT_NE(rc.find("#pragma code_page(65001)"), std::string::npos);
    EXPECT_NE(rc.find("LANGUAGE 4, 2"), std::string::npos);
    EXPECT_NE(rc.find("  141, \"USB 升级\"\n"), std::string::npos);
    EXPECT_NE(rc.find("  250, \"USB Update\"\n"), std::string::npos);
    // The resource compiler doubles a quote where C escapes it.
    EXPECT_NE(rc.find("Click \"\"USB Update\"\" button"), std::string::npos);
    EXPECT_EQ(rc.find("\\\""), std::string::npos);
    for (int n = 0; n < 17; ++n) {
        EXPECT_NE(rc.find("  " + std::to_string(129 + n) + ", \""), std::string::npos) << n;
        EXPECT_NE(rc.find("  " + std::to_string(238 + n) + ", \""), std::string::npos) << n;
    }
    // A semicolon is a CMake list separator: the generator must keep it inside the text.
    EXPECT_NE(rc.find("  2021, \"this build cannot reach HID devices; try --simulate\"\n"),
              std::string::npos);
    EXPECT_NE(rc.find("  1000, \"按住 L+R+START"), std::string::npos);
    EXPECT_EQ(rc.find("  146, "), std::string::npos);
    EXPECT_EQ(rc.find("  255, "), std::string::npos);
}
#endif

}  // namespace

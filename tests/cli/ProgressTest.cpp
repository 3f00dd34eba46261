// The figures on the progress line are what the user plans around: the bar must match the
// percentage, the time left must follow from the rate, and nothing may be invented before there
// is enough data for it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliView.h"
#include "cli/ConsoleOutput.h"
#include "cli/Progress.h"

using zevrin::cli::BoxTextForTerminal;
using zevrin::cli::ConsoleOutputBuf;
using zevrin::cli::FormatDuration;
using zevrin::cli::FormatProgressBar;
using zevrin::cli::FormatProgressLine;
using zevrin::cli::FormatRate;
using zevrin::cli::ProgressSample;
using zevrin::cli::Rate;

namespace {

ProgressSample Sample(uint64_t sent, uint64_t total, uint32_t percent, double seconds) {
    ProgressSample s;
    s.sent = sent;
    s.total = total;
    s.percent = percent;
    s.seconds = seconds;
    return s;
}

TEST(ProgressTest, BarFillsInProportionToThePercentage) {
    EXPECT_EQ(FormatProgressBar(Sample(0, 100, 0, 0), 10).substr(0, 12), "[..........]");
    EXPECT_EQ(FormatProgressBar(Sample(50, 100, 50, 1), 10).substr(0, 12), "[#####.....]");
    EXPECT_EQ(FormatProgressBar(Sample(99, 100, 99, 1), 10).substr(0, 12), "[#########.]");
    EXPECT_EQ(FormatProgressBar(Sample(100, 100, 100, 1), 10).substr(0, 12), "[##########]");
}

// The engine's position goes past 100 when a file holds bytes after imageLength.
TEST(ProgressTest, PositionsPastTheEndShowAsFull) {
    const std::string bar = FormatProgressBar(Sample(128, 100, 128, 1), 10);
    EXPECT_EQ(bar.substr(0, 12), "[##########]");
    EXPECT_NE(bar.find("100%"), std::string::npos);
    EXPECT_NE(bar.find("0:00 left"), std::string::npos);  // not a negative time
    EXPECT_EQ(FormatProgressLine(Sample(128, 100, 128, 1)), "Progress: 100% (128 of 100 bytes)");
}

TEST(ProgressTest, RateAndTimeLeftFollowFromBytesAndTime) {
    // 32 KiB of 64 KiB in 2 s: 16 KiB/s, 2 s left.
    const std::string bar = FormatProgressBar(Sample(32768, 65536, 50, 2.0), 20);
    EXPECT_EQ(bar, "[##########..........]  50%  32768/65536 bytes  16.0 KiB/s  0:02 left");
    ASSERT_TRUE(Rate(Sample(1000, 4000, 25, 0.5)).has_value());
    EXPECT_DOUBLE_EQ(*Rate(Sample(1000, 4000, 25, 0.5)), 2000.0);
}

TEST(ProgressTest, NoRateOrTimeLeftBeforeThereIsData) {
    EXPECT_FALSE(Rate(Sample(0, 100, 0, 5.0)).has_value());     // nothing sent yet
    EXPECT_FALSE(Rate(Sample(64, 100, 64, 0.01)).has_value());  // too early to say
    const std::string bar = FormatProgressBar(Sample(64, 100, 64, 0.01), 10);
    EXPECT_NE(bar.find("--:-- left"), std::string::npos);
}

TEST(ProgressTest, DurationsAndRatesReadNaturally) {
    EXPECT_EQ(FormatDuration(0), "0:00");
    EXPECT_EQ(FormatDuration(0.2), "0:01");  // rounded up: never "0:00" while time is left
    EXPECT_EQ(FormatDuration(61), "1:01");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatDuration(-4), "0:00");
    EXPECT_EQ(FormatRate(850), "850 B/s");
    EXPECT_EQ(FormatRate(12.5 * 1024), "12.5 KiB/s");
    EXPECT_EQ(FormatRate(1.5 * 1024 * 1024), "1.5 MiB/s");
}

TEST(ProgressTest, BoxTextsBecomeTerminalLines) {
    EXPECT_EQ(BoxTextForTerminal("\n Firmware upgraded! \n"), "Firmware upgraded!");
    EXPECT_EQ(BoxTextForTerminal("1. a\r\n\r\n2. b"), "1. a\n\n2. b");
    EXPECT_EQ(BoxTextForTerminal("a\rb\n"), "a\nb");
    EXPECT_EQ(BoxTextForTerminal("keep  inner   spaces"), "keep  inner   spaces");
    EXPECT_EQ(BoxTextForTerminal(" \r\n "), "");
}

// On Windows a console gets the text as UTF-16 (its code page left alone) and a file or a pipe the
// UTF-8 bytes, whole characters only, however the writes cut them.
TEST(ProgressTest, TextReachesAConsoleAsUtf16AndAnythingElseAsUtf8) {
    struct Case {
        const char* name;
        bool console;                     // GetConsoleMode succeeded
        std::vector<std::string> pieces;  // each written and flushed on its own
        std::u16string wide;              // what WriteConsoleW got
        std::string bytes;                // what WriteFile got
    };
    const std::string upgraded = "\xe5\x9b\xba\xe4\xbb\xb6\xe5\x8d\x87\xe7\xba\xa7";  // 固件升级
    const std::vector<Case> cases = {
        {"console, ASCII", true, {"Proceed? [y/N] "}, u"Proceed? [y/N] ", ""},
        {"console, Chinese", true, {upgraded + "\n"}, u"\u56fa\u4ef6\u5347\u7ea7\n", ""},
        {"console, a character cut between writes", true, {"a\xe5\x9b", "\xba!"}, u"a\u56fa!", ""},
        {"console, beyond the BMP", true, {"\xf0\x9f\x8e\xae"}, u"\U0001F3AE", ""},
        {"console, bytes that are no UTF-8",
         true,
         {"\xff-\xc0\xaf-\xed\xa0\x80-\xe5\x9bx"},
         u"\uFFFD-\uFFFD\uFFFD-\uFFFD\uFFFD\uFFFD-\uFFFDx",
         ""},
        {"file or pipe, Chinese", false, {upgraded, "\n"}, u"", upgraded + "\n"},
        {"file or pipe, a character cut between writes",
         false,
         {"\xe5\x9b", "\xba"},
         u"",
         "\xe5\x9b\xba"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        std::u16string wide;
        std::string bytes;
        ConsoleOutputBuf buffer({row.console,
                                 [&](std::u16string_view text) {
                                     wide += text;
                                     return true;
                                 },
                                 [&](std::string_view text) {
                                     bytes += text;
                                     return true;
                                 }});
        std::ostream stream(&buffer);
        for (const std::string& piece : row.pieces) {
            stream << piece << std::flush;
        }
        EXPECT_TRUE(wide == row.wide) << wide.size() << " units";
        EXPECT_EQ(bytes, row.bytes);
    }

    // A console that refuses the text (closed): the stream goes bad and drops the rest.
    int calls = 0;
    ConsoleOutputBuf refusing({true,
                               [&](std::u16string_view) {
                                   ++calls;
                                   return false;
                               },
                               [](std::string_view) { return true; }});
    std::ostream stream(&refusing);
    stream << "a" << std::flush;
    EXPECT_TRUE(stream.bad());
    stream << "b" << std::flush;
    EXPECT_EQ(calls, 1);
}

}  // namespace

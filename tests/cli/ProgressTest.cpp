// The figures on the progress line are what the user plans around: the bar must match the
// percentage, the time left must follow from the rate, and nothing may be invented before there
// is enough data for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "CliTestSupport.h"
#include "TestSupport.h"
#include "cli/CliView.h"
#include "cli/ConsoleOutput.h"
#include "cli/Progress.h"
#include "cli/TextWidth.h"
#include "cli/WorkbenchLines.h"

using zevrin::cli::BoxTextForTerminal;
using zevrin::cli::Columns;
using zevrin::cli::ConsoleOutputBuf;
using zevrin::cli::FitEnd;
using zevrin::cli::FitMiddle;
using zevrin::cli::FitProgressBar;
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

// A line wider than the terminal wraps, and '\r' or the cursor going up no longer reach its start:
// every line must fit, counted in columns, a Chinese character taking two.
TEST(ProgressTest, LinesFitTheTerminalsColumns) {
    const zevrin::test::EnglishTexts english;
    const std::string pad = "\xe6\x89\x8b\xe6\x9f\x84";  // 手柄
    EXPECT_EQ(Columns("sim:gamepad"), 11u);
    EXPECT_EQ(Columns(pad + "1"), 5u);
    EXPECT_EQ(Columns("e\xcc\x81"), 1u);             // e and a combining accent
    EXPECT_EQ(Columns("\xf0\x9f\x8e\xae\xff"), 3u);  // an emoji, and a byte that is no UTF-8
    EXPECT_EQ(FitEnd(pad + pad, 5), pad + "\xe2\x80\xa6");
    EXPECT_EQ(FitEnd(pad + pad, 4), "\xe6\x89\x8b\xe2\x80\xa6");  // no half character
    const std::string windows =
        "\\\\?\\hid#vid_0483&pid_5750#7&2a5b1f3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_EQ(FitMiddle(windows, 30), "\\\\?\\hid#vid_048\xe2\x80\xa6-001111000030}");
    EXPECT_EQ(FitMiddle("/dev/hidraw12", 13), "/dev/hidraw12");

    // A 2 MiB image half-way: at 80 columns the whole line, the bar narrowed to leave the last
    // column free; at 60 the bytes give way; narrower, the rest, the percentage last.
    const ProgressSample half = Sample(1048576, 2097152, 50, 2.0);
    const std::string figures = "  50%  1048576/2097152 bytes  512.0 KiB/s  0:02 left";
    EXPECT_EQ(FitProgressBar(half, 79),
              "[" + std::string(12, '#') + std::string(13, '.') + "]" + figures);
    EXPECT_EQ(FitProgressBar(half, 59),
              "[" + std::string(14, '#') + std::string(14, '.') + "]  50%  512.0 KiB/s  0:02 left");
    EXPECT_EQ(FitProgressBar(half, 200), FormatProgressBar(half));
    EXPECT_EQ(FitProgressBar(half, 20), "[######.......]  50%");
    EXPECT_EQ(FitProgressBar(half, 4), " 50%");
    SetTextSource({[] { return uint16_t{2052}; }, {}});  // until `english` puts the default back
    const std::string chinese = FitProgressBar(half, 59);
    EXPECT_EQ(Columns(chinese), 59u) << chinese;
}

// --all's live line of each gamepad: what became of it is never cut for the path, which gives way
// in the middle; the bar narrows, then goes, before the percentage does.
TEST(ProgressTest, LiveLinesPutTheStateFirstAndShortenThePath) {
    const zevrin::test::EnglishTexts english;
    zevrin::cli::Report running;
    running.path =
        "\\\\?\\hid#vid_0483&pid_5750#7&2a5b1f3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    running.started = true;
    running.oldVersion = "1.10";
    running.newVersion = "1.20";
    running.sent = 50;
    running.total = 100;
    zevrin::cli::Report failed = running;
    failed.ended = true;
    failed.exitCode = 1;
    failed.reason = "The gamepad was unplugged.";
    zevrin::cli::Report shortPath = running;
    shortPath.path = "sim:gamepad2";
    const std::string bar = "1.10 -> 1.20  [##########..........]  50%";
    const struct {
        const zevrin::cli::Report& report;
        size_t columns;
        std::string starts;
        std::string ends;
    } rows[] = {
        {running, 79, "\\\\?\\hid#vid_0483&p\xe2\x80\xa6", "  " + bar},
        {running, 59, "\\\\?\\hid#\xe2\x80\xa6", "  " + bar},
        {failed, 59, "\\\\?\\hid#vid\xe2\x80\xa6", "  failed: The gamepad was unplugged."},
        {shortPath, 59, "sim:gamepad2  ", bar},
        {shortPath, 39, "sim:gamepad2  ", "1.10 -> 1.20  50%"},
        {shortPath, 26, "sim:gamepad2  ", "  50%"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.columns);
        const std::string line = zevrin::cli::ProgressText(row.report, true, row.columns);
        EXPECT_LE(Columns(line), row.columns) << line;
        EXPECT_EQ(line.rfind(row.starts, 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - std::min(line.size(), row.ends.size())), row.ends);
    }

    // Redrawn, a line is cut to the width; the line --repeat keeps of a finished gamepad is whole.
    zevrin::cli::test::CapturedConsole c;
    c.console.columns = [] { return size_t{20}; };
    zevrin::cli::CliView view(c.console, {});
    zevrin::cli::LiveLines lines(view, c.out, c.console);
    lines.Show({"#1 " + running.path});
    lines.KeepWhole("#1 " + running.path + " 1.10 -> 1.20 ok 2.4 s");
    lines.Show({"Waiting"});
    EXPECT_EQ(c.out.str(), "\x1b[2K#1 \\\\?\\hid#vid_048\xe2\x80\xa6\n\x1b[1A\r\x1b[2K#1 " +
                               running.path + " 1.10 -> 1.20 ok 2.4 s\n\x1b[2KWaiting\n");
}

// The table after --all lines up in Chinese too: a column starts at the same terminal column in
// every row, however many bytes or characters the cells before it hold.
TEST(ProgressTest, SummaryTableLinesUpInColumns) {
    SetTextSource({[] { return uint16_t{2052}; }, {}});
    zevrin::cli::Report ok;
    ok.path = "sim:gamepad";
    ok.oldVersion = "1.10";
    ok.newVersion = "1.20";
    ok.ended = true;
    ok.exitCode = 0;
    ok.seconds = 2.4;
    zevrin::cli::Report unplugged = ok;
    unplugged.path = "sim:gamepad2";
    unplugged.exitCode = 1;
    unplugged.reason = LoadExtraText(ExtraText::DeviceUnplugged);
    std::istringstream table(zevrin::cli::SummaryTable({ok, unplugged}, true));
    SetTextSource({});
    std::vector<size_t> timeColumn;
    for (std::string line; std::getline(table, line) && timeColumn.size() < 3;) {
        timeColumn.push_back(Columns(line.substr(0, line.rfind("  ") + 2)));
    }
    ASSERT_EQ(timeColumn.size(), 3u);
    EXPECT_EQ(timeColumn[0], timeColumn[1]);
    EXPECT_EQ(timeColumn[1], timeColumn[2]);
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

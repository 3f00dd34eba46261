// The figures on the progress line are what the user plans around: the bar must match the
// percentage, the time left must follow from the rate, and nothing may be invented before there
// is enough data for it.
#include <gtest/gtest.h>

#include <string>

#include "cli/CliView.h"
#include "cli/Progress.h"

using zevrin::cli::BoxTextForTerminal;
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

}  // namespace

// Choosing and checking the image, the confirmation text, and the header that opens a transfer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "EngineRig.h"
#include "update/FirmwareImage.h"
#include "update/Texts.h"
#include "update/UpdateEngine.h"

using ::testing::ElementsAre;
using zevrin::sim::SimPort;
using zevrin::test::FakeView;
using zevrin::test::ImageBytes;
using zevrin::test::LogCapture;
using zevrin::test::TempDir;

namespace {

class EnglishTexts : public ::testing::Test {
    zevrin::test::EnglishTexts m_Texts;
};

using VersionDisplayTest = EnglishTexts;

TEST_F(VersionDisplayTest, FourFormatsByTheTwoBetaNumbers) {
    EXPECT_EQ(ConfirmationText(120, 110), "New firmware 1.20 and current is 1.10\n");
    EXPECT_EQ(ConfirmationText(120 | (2u << 16), 110),
              "New firmware 1.20 beta2 and current is 1.10\n");
    EXPECT_EQ(ConfirmationText(120, 110 | (3u << 16)),
              "New firmware 1.20 and current is 1.10 beta3\n");
    EXPECT_EQ(ConfirmationText(120 | (2u << 16), 110 | (3u << 16)),
              "New firmware 1.20 beta2 and current is 1.10 beta3\n");
    // No answer yet, or no firmware: the sentinels are no version to show as a number.
    EXPECT_EQ(ConfirmationText(5, kVersionPending), "New firmware 0.05 and current is unknown\n");
    EXPECT_EQ(ConfirmationText(1000 | (4u << 16), kNoVersion),
              "New firmware 10.00 beta4 and current is unknown\n");
}

TEST_F(VersionDisplayTest, ProgressOfLargeImagesNeverRunsBackwards) {
    EXPECT_EQ(ProgressPercent(0, 0), 0u);
    EXPECT_EQ(ProgressPercent(50, 100), 50u);
    EXPECT_EQ(ProgressPercent(128, 100), 128u);  // extra bytes after imageLength
    // 32-bit arithmetic wrapped here (sent * 100 past 2^32) and the bar fell back to 0.
    EXPECT_EQ(ProgressPercent(43'000'000, 86'000'000), 50u);
    EXPECT_EQ(ProgressPercent(0xFFFFFFFFu, 0xFFFFFFFFu), 100u);
}

TEST_F(VersionDisplayTest, VersionWordsShowExactlyTwoDecimals) {
    EXPECT_EQ(FormatVersion(120), "1.20");
    EXPECT_EQ(FormatVersion(5), "0.05");
    EXPECT_EQ(FormatVersion(65535), "655.35");
    EXPECT_EQ(FormatVersion(0x00030078), "1.20 beta3");
    for (uint32_t v = 0; v < 65536; v += 7) {  // binary floating point never shows through
        const std::string s = FormatVersion(v);
        EXPECT_EQ(
            s, std::to_string(v / 100) + "." + (v % 100 < 10 ? "0" : "") + std::to_string(v % 100));
    }
}

TEST(FirmwareHeaderTest, LittleEndianFieldsAtTheirOffsets) {
    uint8_t bytes[28] = {0x78, 0x00, 0x02, 0x00, 0x11, 0x22, 0x33, 0x44, 0x40, 0x00, 0x00, 0x00};
    bytes[27] = 0xEE;
    const FirmwareHeader h = ParseFirmwareHeader(bytes);
    EXPECT_EQ(h.desVersion, 0x00020078u);
    EXPECT_EQ(h.imageParam, 0x44332211u);
    EXPECT_EQ(h.imageLength, 64u);
    EXPECT_EQ(h.headerTail[15], 0xEE);
}

TEST(InspectImageTest, RefusesFilesThatCannotBeSent) {
    TempDir dir;
    EXPECT_EQ(InspectImage(dir.File("ok.dat", ImageBytes(120, 0, 64, 64))).problem,
              ImageProblem::None);
    EXPECT_EQ(InspectImage(dir.File("extra.dat", ImageBytes(120, 0, 64, 100))).problem,
              ImageProblem::None);
    EXPECT_EQ(InspectImage(dir.File("short.dat", std::vector<uint8_t>(27, 1))).problem,
              ImageProblem::TooShort);
    EXPECT_EQ(InspectImage(dir.File("empty.dat", {})).problem, ImageProblem::TooShort);
    EXPECT_EQ(InspectImage(dir.File("zero.dat", ImageBytes(120, 0, 0, 10))).problem,
              ImageProblem::LengthZero);
    EXPECT_EQ(InspectImage(dir.File("cut.dat", ImageBytes(120, 0, 64, 63))).problem,
              ImageProblem::Truncated);
    EXPECT_EQ(InspectImage(dir.File("huge.dat", ImageBytes(120, 0, 0xFFFFFFFF, 32))).problem,
              ImageProblem::Truncated);
    EXPECT_EQ(InspectImage("/no/such/file.dat").problem, ImageProblem::OpenFailed);
#if !defined(_WIN32)
    // Never an image, and each would block the open or never reach its end.
    const std::string fifo = (dir.Path() / "fifo.dat").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& special : {std::string("/dev/zero"), fifo, dir.Path().string()}) {
        EXPECT_EQ(InspectImage(special).problem, ImageProblem::NotRegular) << special;
    }
#endif
    const ImageCheck check = InspectImage(dir.File("n.dat", ImageBytes(7, 8, 9, 9)));
    EXPECT_EQ(check.dataBytes, 9u);
    EXPECT_EQ(check.header.imageParam, 8u);
}

// SelectFirmwareFile as the device-information handler runs it, against an open gamepad.
class SelectFileTest : public EnglishTexts {
  protected:
    void SetUp() override {
        m_Pad = m_Port.AddGamepad("pad");
        ASSERT_EQ(m_Engine.Hid().FindDevice(), 1);
        ASSERT_EQ(m_Engine.Hid().OpenDevice(), 1);
        m_Port.ClearRecording(m_Pad);
        cur_devVersion = 110;
        g_UpdateStage = STAGE_COMPLETE;
    }
    zevrin::sim::Recording Rec() { return m_Port.RecordingOf(m_Pad); }

    SimPort m_Port;
    FakeView m_View;
    CUpdateEngine m_Engine{m_Port, m_View};
    TempDir m_Dir;
    int m_Pad = 0;
};

TEST_F(SelectFileTest, ConfirmedFileSendsItsHeaderAndShortensTheReadTimeout) {
    std::vector<uint8_t> bytes = ImageBytes(0x00020078, 0x44332211, 64, 64);
    for (size_t i = 12; i < 28; ++i) {
        bytes[i] = 0xEE;  // the header's tail must not reach the device
    }
    const std::string path = m_Dir.File("fw.dat", bytes);
    m_View.SetFile(path);
    LogCapture log;

    EXPECT_EQ(m_Engine.SelectFirmwareFile(), 1);

    const auto view = m_View.Snapshot();
    ASSERT_EQ(view.fileDialogs.size(), 1u);
    EXPECT_EQ(view.fileDialogs[0].filter, "File type(*.dat)|*.dat||");
    EXPECT_EQ(view.fileDialogs[0].defaultExtension, "*.*");
    EXPECT_EQ(view.fileDialogs[0].flags, 6u);
    const std::u8string cwd = std::filesystem::current_path().u8string();
    EXPECT_EQ(view.fileDialogs[0].initialDirectory, std::string(cwd.begin(), cwd.end()));
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, "New firmware 1.20 beta2 and current is 1.10\n");
    EXPECT_EQ(view.boxes[0].caption, "Zevrin Update v1.20");
    EXPECT_EQ(view.boxes[0].buttons, BoxButtons::OkCancel);

    EXPECT_EQ(g_UpdateStage.load(), STAGE_HEADER_SENT);
    EXPECT_EQ(m_Engine.Hid().ReadTimeout(), 10u);
    EXPECT_EQ(m_Engine.TotalLength(), 64u);
    EXPECT_EQ(m_Engine.ImagePath(), path);
    const auto rec = Rec();
    ASSERT_EQ(rec.reports.size(), 1u);
    std::vector<uint8_t> expected = {0x00, 0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00};
    expected.insert(expected.end(), bytes.begin(), bytes.begin() + 12);
    expected.insert(expected.end(), 16, 0x00);
    EXPECT_EQ(std::vector<uint8_t>(rec.reports[0].begin(), rec.reports[0].begin() + 37), expected);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"SendFirmwarePacket cmd 1\n", "desVersion is 131192\n"}));
}

TEST_F(SelectFileTest, HighBetaLogsANegativeDesVersion) {
    m_View.SetFile(m_Dir.File("fw.dat", ImageBytes(0x80000078, 0, 32, 32)));
    LogCapture log;
    EXPECT_EQ(m_Engine.SelectFirmwareFile(), 1);
    EXPECT_TRUE(log.Contains("desVersion is -2147483528\n"));
}

TEST_F(SelectFileTest, CancelledDialogOrBoxSendsNothing) {
    LogCapture log;
    m_View.SetFile(std::nullopt);
    EXPECT_EQ(m_Engine.SelectFirmwareFile(), 0);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(m_View.Snapshot().boxes.empty());

    m_View.SetFile(m_Dir.File("fw.dat", ImageBytes(120, 0, 64, 64)));
    m_View.QueueBoxAnswer(BoxResult::Cancel);
    EXPECT_EQ(m_Engine.SelectFirmwareFile(), 0);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"MessageBox == IDCANCEL\n"});
    EXPECT_EQ(m_Engine.TotalLength(), 64u);  // read before the box, as the record shows

    m_View.SetFile(m_Dir.File("not-a-dir", {}) + "/nope.dat");
    EXPECT_EQ(m_Engine.SelectFirmwareFile(), 0);
    EXPECT_EQ(m_View.Snapshot().boxes.size(), 1u);  // no box for a file that will not open

    EXPECT_TRUE(Rec().reports.empty());
    EXPECT_EQ(g_UpdateStage.load(), STAGE_COMPLETE);
}

TEST_F(SelectFileTest, UnsendableFilesAreRefusedWithTheReason) {
    const struct {
        std::vector<uint8_t> bytes;
        std::string reason;
    } cases[] = {
        {std::vector<uint8_t>(20, 0x78), "shorter than its 28-byte header"},
        {ImageBytes(120, 0, 0, 64), "image length of 0"},
        {ImageBytes(120, 0, 64, 40), "fewer image bytes than its header declares"},
    };
    int i = 0;
    for (const auto& c : cases) {
        m_View.SetFile(m_Dir.File("bad" + std::to_string(i++) + ".dat", c.bytes));
        EXPECT_EQ(m_Engine.SelectFirmwareFile(), 0);
        const auto boxes = m_View.Snapshot().boxes;
        ASSERT_FALSE(boxes.empty());
        EXPECT_EQ(boxes.back().text.rfind("Firmware update failure\n", 0), 0u) << boxes.back().text;
        EXPECT_NE(boxes.back().text.find(c.reason), std::string::npos) << boxes.back().text;
        EXPECT_EQ(boxes.back().buttons, BoxButtons::Ok);
        EXPECT_EQ(m_Engine.Outcome(), UpdateOutcome::ImageRefused);
    }
    EXPECT_TRUE(Rec().reports.empty());  // the device never heard of them
    EXPECT_EQ(g_UpdateStage.load(), STAGE_COMPLETE);
}

}  // namespace

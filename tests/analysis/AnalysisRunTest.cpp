#include "analysis/AnalysisRun.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/ReportWriter.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "tests/support/FrontEndRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

constexpr const char* kOldReport = "an earlier report\r\n";

// A 40 x 40 image of 1000 with one pixel of 680, 1 mm spacing: a box of
// 1 cm is 10 pixels.
class AnalysisRunTest : public ::testing::Test {
public:
    void SetUp() override
    {
        Settings = AnalysisSettings{};
        Image = test::FlatImage(40, 40, 1000, {{3, 2, 680}});
        Fields.FirstRow = "0";
        Fields.FirstColumn = "0";
        Fields.LastColumn = "39";
        Fields.LastRow = "39";
        Fields.BoxCm = "1";
        Fields.RoiDeviation = "5";
        Fields.PixelDeviation = "20";
        Settings.OutputFileName = (Folder / "report.txt").string();
        test::WriteWholeFile(Settings.OutputFileName, kOldReport);
    }

    // Writes Image and opens it as the current image.
    void Open()
    {
        test::WriteDicomFile(Folder / "image.dcm", Image);
        Current = std::make_unique<TDicomBeeld>(Folder.Path().string() + "/", "image.dcm");
        Settings.DicomFileName = (Folder / "image.dcm").string();
    }

    bool Run()
    {
        Outcome.reset();
        return test::RunLikeAFrontEnd(Fields, Current.get(), Settings, Host, &Outcome);
    }
    std::string ReportText() const { return test::ReadWholeFile(Settings.OutputFileName); }

    test::TempFolder Folder;
    test::TestImage Image;
    SettingsFields Fields;
    AnalysisSettings Settings;
    std::unique_ptr<TDicomBeeld> Current;
    test::MessageLog Host;
    std::optional<AnalysisOutcome> Outcome;
};

TEST_F(AnalysisRunTest, RefusedBeforeTheNotice)
{
    struct Case {
        const char* name;
        std::function<void(AnalysisRunTest&)> change;
        const char* message;
    };
    const Case cases[] = {
        {"no file names",
         [](AnalysisRunTest& t) { t.Settings.DicomFileName.clear(), t.Settings.OutputFileName.clear(); },
         "Select a Dicomfile first"},
        {"no current image", [](AnalysisRunTest& t) { t.Current.reset(); }, "Select a Dicomfile first"},
        {"image but no file name", [](AnalysisRunTest& t) { t.Settings.DicomFileName.clear(); },
         "Select a Dicomfile first"},
        {"no output file", [](AnalysisRunTest& t) { t.Settings.OutputFileName.clear(); }, "Select a export file first"},
        {"output file is the image through a hard link",
         [](AnalysisRunTest& t) {
             std::filesystem::create_hard_link(t.Folder / "image.dcm", t.Folder / "linked.txt");
             t.Settings.OutputFileName = (t.Folder / "linked.txt").string();
         },
         kOutputIsImage},
        {"rows reversed", [](AnalysisRunTest& t) { t.Fields.FirstRow = "5", t.Fields.LastRow = "4"; },
         "Area not correct"},
        {"columns reversed", [](AnalysisRunTest& t) { t.Fields.FirstColumn = "20", t.Fields.LastColumn = "19"; },
         "Area not correct"},
        {"last row = Rows", [](AnalysisRunTest& t) { t.Fields.LastRow = "40"; }, "Area outside the image"},
        {"last column = Columns", [](AnalysisRunTest& t) { t.Fields.LastColumn = "40"; }, "Area outside the image"},
        {"too small and outside: the size message first",
         [](AnalysisRunTest& t) { t.Fields.FirstRow = "39", t.Fields.LastRow = "40"; },
         "Area smaller than box dimension"},
        {"low 32 bits of 2^32 + 40", [](AnalysisRunTest& t) { t.Fields.LastRow = "4294967336"; },
         "Area outside the image"},
        {"no pixel spacing", [](AnalysisRunTest& t) { t.Image.PixelSpacing.clear(), t.Open(); },
         "Pixel spacing not found in DICOM file, cannot convert box dimension"},
        {"one row", [](AnalysisRunTest& t) { t.Fields.FirstRow = t.Fields.LastRow = "7"; },
         "Area smaller than box dimension"},
        {"empty area fields",
         [](AnalysisRunTest& t) {
             t.Fields.FirstRow = t.Fields.LastRow = t.Fields.FirstColumn = t.Fields.LastColumn = "";
         },
         "Area smaller than box dimension"},
        {"box larger than the area", [](AnalysisRunTest& t) { t.Fields.BoxCm = "3.95"; },
         "Area smaller than box dimension"},
        {"box of 0 cm", [](AnalysisRunTest& t) { t.Fields.BoxCm = "0"; },
         "Box dimension too small, the analysing box must be at least 2 pixels wide"},
        {"empty box field", [](AnalysisRunTest& t) { t.Fields.BoxCm = ""; },
         "Box dimension too small, the analysing box must be at least 2 pixels wide"},
        {"negative box", [](AnalysisRunTest& t) { t.Fields.BoxCm = "-1"; },
         "Box dimension too small, the analysing box must be at least 2 pixels wide"},
        {"box of 1.5 pixels", [](AnalysisRunTest& t) { t.Fields.BoxCm = "0.15"; },
         "Box dimension too small, the analysing box must be at least 2 pixels wide"},
        {"area field not a number", [](AnalysisRunTest& t) { t.Fields.LastColumn = "3x"; },
         "A positive integer is expected"},
        {"box field not a number", [](AnalysisRunTest& t) { t.Fields.BoxCm = "1,5"; }, "A number is expected"},
    };
    for (const auto& c : cases) {
        SetUp();
        Host.Messages.clear();
        Open();
        c.change(*this);
        EXPECT_FALSE(Run()) << c.name;
        EXPECT_EQ(Host.Messages, std::vector<std::string>{std::string(c.message)}) << c.name;
        EXPECT_EQ(test::ReadWholeFile(Folder / "report.txt"), kOldReport) << c.name;
    }
}

TEST_F(AnalysisRunTest, SettingsStayStoredAfterARefusedRun)
{
    Open();
    Fields = {"5", "4", "1", "30", "2.5", "7", "9", false, true, true};
    Fields.LastRow = "4294967300";  // low 32 bits: 4
    EXPECT_FALSE(Run());
    EXPECT_EQ(Host.Messages, std::vector<std::string>{"Area not correct"});
    EXPECT_EQ(Settings.FirstRow, 5u);
    EXPECT_EQ(Settings.LastRow, 4u);
    EXPECT_EQ(Settings.FirstColumn, 1u);
    EXPECT_EQ(Settings.LastColumn, 30u);
    EXPECT_EQ(Settings.BoxDimension, 2.5);
    EXPECT_EQ(Settings.RoiDeviationPercent, 7.0);
    EXPECT_EQ(Settings.PixelDeviationPercent, 9.0);
    EXPECT_FALSE(Settings.DetectDeviatingPixels);
    EXPECT_TRUE(Settings.Logarithmic);
    EXPECT_TRUE(Settings.Inverted);
}

TEST_F(AnalysisRunTest, ExtentEqualToTheBoxSidePasses)
{
    // 10 mm spacing makes the box side exact: 99 cm is 99.0 pixels, 99.5 cm 99.5.
    Image = test::FlatImage(100, 100, 500);
    Image.PixelSpacing = "10";
    Open();
    Fields.LastColumn = Fields.LastRow = "99";
    Fields.BoxCm = "99";
    EXPECT_TRUE(Run());
    EXPECT_EQ(Host.Messages, std::vector<std::string>{kResultsWritten});
    Host.Messages.clear();
    Fields.BoxCm = "99.5";
    EXPECT_FALSE(Run());
    EXPECT_EQ(Host.Messages, std::vector<std::string>{"Area smaller than box dimension"});
}

TEST_F(AnalysisRunTest, SuccessfulRunWritesTheReport)
{
    Open();
    EXPECT_TRUE(Run());
    EXPECT_EQ(Host.Messages, std::vector<std::string>{kResultsWritten});
    EXPECT_EQ(Outcome->Result.Rois.size(), 49u);  // 7 x 7 positions, no far edge
    const std::string report = ReportText();
    EXPECT_TRUE(report.starts_with("Results evenor test:\r\n")) << report;
    EXPECT_NE(report.find("         3         2       680        996.80\r\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("inverted"), std::string::npos);
}

TEST_F(AnalysisRunTest, InversionWithoutBitsStoredGoesOnUninverted)
{
    Image.BitsStored.reset();
    Open();
    Fields.Inverted = true;
    EXPECT_TRUE(Run());
    EXPECT_EQ(Host.Messages,
              (std::vector<std::string>{"Can't find Bits Stored (tag 0028,0101), Pixel values NOT inverted",
                                        kResultsWritten}));
    EXPECT_FALSE(Outcome->Preparation.Inverted);
    EXPECT_EQ(ReportText().find("inverted"), std::string::npos);
}

TEST_F(AnalysisRunTest, PreparationNotesFollowTheRun)
{
    struct Case {
        bool inverted;
        std::uint16_t offset;
        bool clipped;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::string inverted = "subtract pixel value from 4095\r\n";
    const std::string offset = "add 500 to pixel values\r\n";
    const std::string clipped = "have been set to 0\r\n";
    const Case cases[] = {
        {false, 0, false, {}, {inverted, "pixeloffset", clipped}},
        {false, 500, false, {offset}, {inverted, clipped}},
        {false, 700, true, {"add 700 to pixel values\r\n", clipped}, {inverted}},
        {true, 500, false, {inverted, offset}, {clipped}},  // 4095 - 1000 and 4095 - 680 stay above 500
    };
    Image.BitsStored = 12;
    Open();
    for (const auto& c : cases) {
        Fields.Inverted = c.inverted;
        Settings.PixelOffset = c.offset;
        ASSERT_TRUE(Run());
        EXPECT_EQ(Outcome->Preparation.ClippedBelowOffset, c.clipped) << c.offset;
        EXPECT_EQ(Outcome->Preparation.Inverted, c.inverted) << c.offset;
        EXPECT_EQ(Outcome->Preparation.InversionMaximum, c.inverted ? 4095 : 0) << c.offset;
        const std::string report = ReportText();
        for (const auto& text : c.present) EXPECT_NE(report.find(text), std::string::npos) << text << report;
        for (const auto& text : c.absent) EXPECT_EQ(report.find(text), std::string::npos) << text << report;
    }
}

TEST_F(AnalysisRunTest, TwoRunsGiveTheSameReport)
{
    Image.BitsStored = 12;
    Open();
    Fields.Inverted = true;
    Settings.PixelOffset = 100;
    ASSERT_TRUE(Run());
    const std::string first = ReportText();
    ASSERT_TRUE(Run());
    EXPECT_EQ(ReportText(), first);
    // ROI (0,0): 4095 - 1000 - 100 and 4095 - 680 - 100, prepared once.
    EXPECT_NE(first.find("      3315      2995\r\n"), std::string::npos) << first;
    // The prepared values leave the image with the outcome.
    EXPECT_TRUE(Current->Pixels().empty());
    ASSERT_EQ(Outcome->Pixels.size(), 40u * 40u);
    EXPECT_EQ(Outcome->Columns, 40u);
    EXPECT_EQ(Outcome->Pixels[0], 2995);
    EXPECT_EQ(Outcome->Pixels[2 * 40 + 3], 3315);
}

TEST_F(AnalysisRunTest, TruncatedPixelDataEndsTheRun)
{
    Image.MissingPixelBytes = 1;
    Open();
    EXPECT_FALSE(Run());
    EXPECT_EQ(Host.Messages, std::vector<std::string>{kPixelDataIncomplete});
    EXPECT_EQ(ReportText(), kOldReport);
}

TEST_F(AnalysisRunTest, ErrorsLeaveTheReport)
{
    Open();
    std::filesystem::remove(Folder / "image.dcm");
    EXPECT_THROW(Run(), EvenorError);
    EXPECT_EQ(ReportText(), kOldReport);

    Open();
    Host.Messages.clear();
    Settings.OutputFileName = (Folder / "missing" / "report.txt").string();
    try {
        Run();
        ADD_FAILURE() << "no error";
    } catch (const InOutError& e) {
        EXPECT_STREQ(e.what(), "File not found");
    }
    EXPECT_TRUE(Host.Messages.empty());
}

}  // namespace
}  // namespace evenor::test

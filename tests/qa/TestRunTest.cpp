#include "qa/TestRun.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dicom/DicomLib.h"
#include "tests/support/FrontEndRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {
namespace {

constexpr const char* kOldReport = "an earlier report\r\n";

// Opens image, written into folder, as the current image (decoded when it is
// compressed).
std::unique_ptr<TDicomBeeld> Opened(const test::TempFolder& folder, const test::TestImage& image)
{
    test::WriteDicomFile(folder / "image.dcm", image);
    return std::make_unique<TDicomBeeld>(folder.Path().string() + "/", "image.dcm", CompressedImages::Decode);
}

// Every front end's test: the closing message after the report, the
// inspection when asked for, and a report written once or not at all.
TEST(TestRunTest, EachFrontEndsStepsWriteTheReportOnceAndCloseAsAsked)
{
    struct Case {
        const char* name;
        std::size_t missingBytes;  // the file ends this many bytes early
        bool inspect, showClosing, present;
        bool complete;
        std::vector<std::string> messages;
    };
    const std::vector<std::string> written{kResultsWritten}, incomplete{kPixelDataIncomplete}, none;
    const Case cases[] = {
        {"command line", 0, true, true, false, true, written},
        {"tests", 0, false, true, false, true, written},
        {"window", 0, true, false, true, true, none},
        {"truncated, command line", 64, true, true, false, false, incomplete},
        {"truncated, window", 64, true, false, true, false, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TempFolder folder;
        test::TestImage image = test::FlatImage(40, 40, 1000, {{3, 2, 680}});
        image.MissingPixelBytes = c.missingBytes;
        const auto current = Opened(folder, image);
        AnalysisSettings settings;
        settings.DicomFileName = (folder / "image.dcm").string();
        settings.OutputFileName = (folder / "report.txt").string();
        settings.LastColumn = settings.LastRow = 39;
        settings.BoxDimension = 1.0;
        settings.RoiDeviationPercent = 5.0;
        settings.PixelDeviationPercent = 20.0;
        settings.DetectDeviatingPixels = true;
        test::WriteWholeFile(settings.OutputFileName, kOldReport);

        test::MessageLog host;
        TestSteps steps;
        steps.Inspect = c.inspect;
        steps.ShowClosing = c.showClosing;
        int presented = 0;
        std::string reportWhilePresenting;
        if (c.present) {
            steps.Present = [&](const AnalysisOutcome&, const std::function<void()>& writeReport) {
                ++presented;
                writeReport();
                reportWhilePresenting = test::ReadWholeFile(settings.OutputFileName);
            };
        }
        ASSERT_TRUE(CheckSettings(settings, current.get(), host));
        const TestRun run = RunTest(settings, *current, host, steps);

        EXPECT_EQ(run.Complete, c.complete);
        EXPECT_EQ(host.Messages, c.messages);
        EXPECT_EQ(std::string(run.Closing()), c.complete ? kResultsWritten : kPixelDataIncomplete);
        const std::string report = test::ReadWholeFile(settings.OutputFileName);
        EXPECT_EQ(report == kOldReport, !c.complete);
        EXPECT_EQ(presented, c.present && c.complete ? 1 : 0);
        if (presented == 1) EXPECT_EQ(reportWhilePresenting, report);
        // The inspection is the run's own only when no front end takes over.
        EXPECT_EQ(run.Insight.has_value(), c.complete && c.inspect && !c.present);
        EXPECT_EQ(run.Analysis.has_value(), c.complete);
        EXPECT_EQ(run.AnalysedAt.empty(), !c.complete);
    }
}

// What every front end shows and reports of the image: the same warnings in
// the same order, the lossy compression of the image itself included.
TEST(TestRunTest, ImageFactsCarryEveryWarningInTheShownOrder)
{
    using Change = std::function<void(test::TestImage&)>;
    struct Case {
        const char* name;
        Change change;
        bool lossy;
        std::vector<std::string> warnings;
    };
    const std::string processed(ProcessedImageWarning), lossy(LossyImageWarning);
    const auto base = test::FlatImage(16, 16, 1000);
    const test::NotJudgedImage notJudged = test::NotJudgedImages(base).back();
    const Case cases[] = {
        {"plain", [](test::TestImage&) {}, false, {}},
        {"lossy",
         [](test::TestImage& i) {
             i.RleCompressed = true;
             i.LossyImageCompression = "01";
         },
         true,
         {lossy}},
        {"processed", [](test::TestImage& i) { i.PresentationIntentType = "FOR PRESENTATION"; }, false, {processed}},
        {"everything",
         [&](test::TestImage& i) {
             i = notJudged.Image;
             i.IntensitySign.reset();
             i.PresentationIntentType = "FOR PRESENTATION";
             i.RleCompressed = true;
             i.LossyImageCompression = "01";
         },
         true,
         {kWarningSignMissing, processed, lossy, notJudged.Warning}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TempFolder folder;
        test::TestImage image = base;
        c.change(image);
        const auto current = Opened(folder, image);
        const ImageFacts facts = ReadImageFacts(*current, DefaultsFromTags(current->TagList()));
        EXPECT_EQ(facts.Image.LossyCompressed, c.lossy);
        EXPECT_EQ(facts.Warnings, c.warnings);
        EXPECT_EQ(facts.PixelSpacing, 1.0);

        AnalysisSettings settings;
        AnalysisResult result;
        ResultContext context;
        const TestReportData data = TestReportDataOf(settings, result, context, facts);
        EXPECT_EQ(data.Warnings, c.warnings);
        EXPECT_EQ(data.Context, &context);
    }
}

}  // namespace
}  // namespace evenor::test

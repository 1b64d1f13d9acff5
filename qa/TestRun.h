#pragma once
// One uniformity test as every front end runs it: the checked settings, the
// analysis, the results report, the detector inspection and the closing
// message; and what the test's PDF report shows of the image, read once for
// every front end.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/AnalysisRun.h"
#include "insight/DetectorInsight.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"
#include "qa/ReportData.h"

namespace evenor {

class TDicomBeeld;

// How a test goes on after its analysis. By default the report is written,
// the closing message shown and the detector inspected, in that order.
struct TestSteps {
    bool Inspect = true;  // inspect the detector (TestRun::Insight)
    // Shows the closing message (kResultsWritten, or kPixelDataIncomplete
    // when the analysis found too few pixels) on the host. A front end that
    // shows it later, after its own notice is gone, turns it off and shows
    // TestRun::Closing() itself.
    bool ShowClosing = true;
    // When given, it takes over after the analysis: it receives the outcome
    // and the writing of the report, which it calls once, when it sees fit
    // (the window inspects and draws its pictures meanwhile). Inspect is then
    // left to it.
    std::function<void(const AnalysisOutcome& outcome, const std::function<void()>& writeReport)> Present;
};

struct TestRun {
    // False when the pixel data ended too early: nothing was written.
    bool Complete = false;
    std::optional<AnalysisOutcome> Analysis;
    std::optional<DetectorInsight> Insight;  // with TestSteps::Inspect and no Present
    std::string AnalysedAt;                  // when the analysis finished (AnalysisTimeNow)

    // The run's last message.
    std::string_view Closing() const { return Complete ? kResultsWritten : kPixelDataIncomplete; }
};

// Runs the test of settings, which CheckSettings (or ReadSettings) has
// accepted, on image. The analysis's messages go to host. Throws
// EvenorError when the image cannot be read or the report not written.
TestRun RunTest(const AnalysisSettings& settings, TDicomBeeld& image, RunHost& host, const TestSteps& steps = {});

// Reads the fields as the window's Calculate does (ReadSettings, whose
// messages go to host) and runs the test of what they give. None when the
// fields were refused (or no image is open); settings then holds what
// ReadSettings left in it.
std::optional<TestRun> RunTestOfFields(const SettingsFields& fields, TDicomBeeld* image, AnalysisSettings& settings,
                                       RunHost& host, const TestSteps& steps = {});

// The warnings a test of the image carries, in the order they are shown:
// those of its tags (DefaultsFromTags), the processed image's, the lossy
// compressed image's, then why Evenor does not judge it.
std::vector<std::string> ImageWarnings(const TagDefaults& tagDefaults, const ImageInfo& image);

// What a test's reports show of the analysed image beyond its pixels.
struct ImageFacts {
    ImageInfo Image;            // ReadImageInfo of the image, its lossy compression included
    double PixelSpacing = 0.0;  // mm; 0 when unknown
    std::string DeviceSerialNumber, SoftwareVersions, AcquisitionTime;  // tags as read, padding removed
    std::vector<std::string> Warnings;                                  // ImageWarnings
};
ImageFacts ReadImageFacts(const TDicomBeeld& image, const TagDefaults& tagDefaults);

// The PDF report's data of a test: settings, result and context (which must
// outlive it) and the image's facts. The caller adds what only it knows: the
// file's SHA-256, why the pixels were (not) inverted, when and by whom, the
// paper and the history part.
TestReportData TestReportDataOf(const AnalysisSettings& settings, const AnalysisResult& result,
                                const ResultContext& context, const ImageFacts& facts);

}  // namespace evenor

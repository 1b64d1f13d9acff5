#include "qa/TestRun.h"

#include <utility>

#include "analysis/ReportWriter.h"
#include "dicom/DicomLib.h"
#include "dicom/DicomTags.h"

namespace evenor {

TestRun RunTest(const AnalysisSettings& settings, TDicomBeeld& image, RunHost& host, const TestSteps& steps)
{
    TestRun run;
    run.Analysis = Analyse(settings, image, host);
    if (run.Analysis) {
        run.AnalysedAt = AnalysisTimeNow();
        const AnalysisOutcome& outcome = *run.Analysis;
        const auto writeReport = [&] { WriteResultsReport(settings, outcome.Result, outcome.Preparation); };
        if (steps.Present) {
            steps.Present(outcome, writeReport);
        } else {
            writeReport();
        }
        run.Complete = true;
    }
    if (steps.ShowClosing) host.ShowMessage(std::string(run.Closing()));
    if (run.Complete && steps.Inspect && !steps.Present) run.Insight = InspectDetector(settings, *run.Analysis);
    return run;
}

std::optional<TestRun> RunTestOfFields(const SettingsFields& fields, TDicomBeeld* image, AnalysisSettings& settings,
                                       RunHost& host, const TestSteps& steps)
{
    // The checks refuse a run without an image.
    if (!ReadSettings(fields, image, settings, host) || image == nullptr) return std::nullopt;
    return RunTest(settings, *image, host, steps);
}

std::vector<std::string> ImageWarnings(const TagDefaults& tagDefaults, const ImageInfo& image)
{
    std::vector<std::string> warnings = tagDefaults.Warnings;
    if (image.IsProcessed()) warnings.emplace_back(ProcessedImageWarning);
    if (image.LossyCompressed) warnings.emplace_back(LossyImageWarning);
    for (const auto& reason : image.NotJudged) warnings.push_back(reason);
    return warnings;
}

ImageFacts ReadImageFacts(const TDicomBeeld& image, const TagDefaults& tagDefaults)
{
    ImageFacts facts;
    facts.Image = ReadImageInfo(image);
    facts.PixelSpacing = image.PixelSpacing();
    const auto& tagTable = image.TagTable();
    facts.DeviceSerialNumber = TagTableValue(tagTable, tags::DeviceSerialNumber.Key);
    facts.SoftwareVersions = TagTableValue(tagTable, tags::SoftwareVersions.Key);
    facts.AcquisitionTime = TagTableValue(tagTable, tags::AcquisitionTime.Key);
    facts.Warnings = ImageWarnings(tagDefaults, facts.Image);
    return facts;
}

TestReportData TestReportDataOf(const AnalysisSettings& settings, const AnalysisResult& result,
                                const ResultContext& context, const ImageFacts& facts)
{
    TestReportData data;
    data.Settings = &settings;
    data.Result = &result;
    data.Context = &context;
    data.DeviceSerialNumber = facts.DeviceSerialNumber;
    data.SoftwareVersions = facts.SoftwareVersions;
    data.AcquisitionTime = facts.AcquisitionTime;
    data.Warnings = facts.Warnings;
    return data;
}

}  // namespace evenor

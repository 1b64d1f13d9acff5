#include "qa/ImageJob.h"

#include <cmath>
#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "analysis/AnalysisRun.h"
#include "analysis/AreaBorder.h"
#include "analysis/FieldSyntax.h"
#include "analysis/RoiGrid.h"
#include "base/EvenorError.h"
#include "dicom/DicomLib.h"
#include "dicom/FilePath.h"
#include "dicom/SharedFile.h"
#include "dicom/TerminalText.h"
#include "history/Sha256.h"
#include "insight/DetectorInsight.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"
#include "insight/SpectrumExport.h"
#include "qa/TestRun.h"

namespace evenor {

namespace {

// The settings an open of this image gives the window, with the options
// (already checked) typed over them.
AnalysisSettings SettingsFor(const ImageJob& job, const TDicomBeeld& image, const TagDefaults& tagDefaults)
{
    const AnalyseOptions& options = *job.Options;
    AnalysisSettings settings;
    settings.DicomFileName = job.File;
    settings.OutputFileName = job.Outputs.Report;
    ParsePixelOffset(options.Offset, settings.PixelOffset);
    if (options.Area.empty()) {
        const ImageArea area = WholeImageArea(image.Rows(), image.Columns());
        settings.FirstRow = area.FirstRow;
        settings.FirstColumn = area.FirstColumn;
        settings.LastColumn = area.LastColumn;
        settings.LastRow = area.LastRow;
    } else {
        const auto parts = SplitAtCommas(options.Area);
        ReadAreaField(parts[0], settings.FirstColumn);
        ReadAreaField(parts[1], settings.FirstRow);
        ReadAreaField(parts[2], settings.LastColumn);
        ReadAreaField(parts[3], settings.LastRow);
    }
    ReadRealField(options.BoxCm, settings.BoxDimension);
    ReadRealField(options.RoiDev, settings.RoiDeviationPercent);
    ReadRealField(options.PixelDev, settings.PixelDeviationPercent);
    settings.DetectDeviatingPixels = !options.NoDetect;
    settings.Logarithmic = tagDefaults.Logarithmic.value_or(false);
    if (options.Inverted)
        settings.Inverted = true;
    else if (options.NotInverted)
        settings.Inverted = false;
    else
        settings.Inverted = tagDefaults.Inverted.value_or(false);
    return settings;
}

// The run's messages go to the sink; the last one is kept for the summary.
class JobHost : public RunHost {
public:
    explicit JobHost(const MessageSink& sink) : sink_(sink) {}
    void ShowMessage(const std::string& text) override
    {
        lastMessage_ = text;
        sink_(text);
    }
    const std::string& LastMessage() const { return lastMessage_; }

private:
    const MessageSink& sink_;
    std::string lastMessage_;
};

DetectorFindings Findings(const DetectorInsight& insight)
{
    DetectorFindings findings;
    findings.Metrics = insight.Metrics;
    findings.PixelsSearched = insight.PixelsSearched;
    findings.Clusters = insight.Clusters.Clusters.size();
    findings.Singles = insight.Clusters.Singles;
    findings.Pairs = insight.Clusters.Pairs;
    findings.Larger = insight.Clusters.Larger;
    if (!insight.Clusters.Clusters.empty()) findings.Largest = insight.Clusters.Clusters.front();
    findings.GapColumns = insight.Gaps.Columns;
    findings.GapRows = insight.Gaps.Rows;
    findings.GapPixels = insight.Gaps.Pixels.size();
    findings.LinesSearched = insight.LinesSearched;
    findings.LinesNotSearched = LinesNotSearchedReason(insight);
    findings.Lines = insight.Lines;
    findings.Rims = insight.Rims;
    findings.Noise = insight.Noise;
    return findings;
}

SpectrumFindings SpectrumFindingsOf(const SpectrumAnalysis& analysis)
{
    SpectrumFindings findings;
    findings.NotComputed = analysis.Run.NotComputed;
    if (const auto& spectrum = analysis.Run.Spectrum) {
        findings.Linearised = spectrum->Linearised;
        findings.Rois = spectrum->Rois;
        findings.Metrics = spectrum->Metrics;
    }
    findings.Peaks = analysis.Peaks;
    return findings;
}

// Every file the outputs name.
std::vector<std::string> OutputFiles(const ImageOutputs& outputs, bool spectrum)
{
    std::vector<std::string> files{outputs.Report, outputs.Json, outputs.Csv, outputs.Pdf};
    if (!outputs.MapFolder.empty()) {
        for (const char* map : {kAreaMapName, kMeanHeatMapName, kSnrHeatMapName, kNoiseHeatMapName})
            files.push_back(outputs.MapFolder + "/" + outputs.MapPrefix + map);
        if (spectrum)
            for (const char* plot : {kSpectrumPlotName, kSpectrumPictureName})
                files.push_back(outputs.MapFolder + "/" + outputs.MapPrefix + plot);
    }
    std::erase_if(files, [](const std::string& file) { return file.empty(); });
    return files;
}

constexpr const char* kOutputTwice = "The file is named for two outputs; choose another file for one of them";

// Why the pixel values were inverted or not, for the PDF report.
std::string InversionReason(const AnalyseOptions& options, const TagDefaults& tagDefaults)
{
    if (options.Inverted) return "--inverted given";
    if (options.NotInverted) return "--no-inverted given";
    if (tagDefaults.Inverted)
        return std::string("tag 0028,1041 (Pixel Intensity Relationship Sign) is ") +
               (*tagDefaults.Inverted ? "-1" : "1");
    return "tag 0028,1041 (Pixel Intensity Relationship Sign) is missing or not 1 or -1";
}

// The job's pictures; when it has none, its outputs ask for what this
// program cannot draw.
const ImagePictures& Pictures(const ImageJob& job)
{
    if (!job.Pictures.Maps || !job.Pictures.Pdf) throw EvenorError("This program draws no maps or PDF reports");
    return job.Pictures;
}

// Runs write; a failure names the file it was writing.
template <typename Write> void WriteOutput(const std::string& path, Write write)
{
    try {
        write();
    } catch (const EvenorError& e) {
        throw EvenorError(path + ": " + e.what());
    }
}

}  // namespace

std::string NotRecordedText(const ImageInfo& image) { return "Not recorded: " + image.NotJudgedText(); }

ImageOutcome AnalyseImage(const ImageJob& job, const MessageSink& message)
{
    ImageOutcome outcome;
    const auto fail = [&](const std::string& error) {
        outcome.Ok = false;
        outcome.Error = error;
        if (job.WantSummaryRow) outcome.SummaryRow = SummaryCsvErrorRow(job.File, error);
        return outcome;
    };

    // No output may be written over the image it describes, nor over another
    // output: the later one would replace the earlier without a word.
    const std::vector<std::string> outputs = OutputFiles(job.Outputs, job.WantSpectrum);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const std::string& output = outputs[i];
        if (IsSameFile(output, job.File)) {
            message(output + ": " + kOutputIsImage);
            return fail(kOutputIsImage);
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (CanonicalPath(output) == CanonicalPath(outputs[j]) || IsSameFile(output, outputs[j])) {
                message(output + ": " + kOutputTwice);
                return fail(kOutputTwice);
            }
        }
    }

    try {
        const auto image = std::make_unique<TDicomBeeld>(DirectoryPart(job.File), FileNamePart(job.File),
                                                         job.Options->Decompress ? CompressedImages::Decode
                                                                                 : CompressedImages::Refuse);

        // The defaults an open gives the window, with its warnings.
        const TagDefaults tagDefaults = DefaultsFromTags(image->TagList());
        AnalysisSettings settings = SettingsFor(job, *image, tagDefaults);
        const ImageFacts facts = ReadImageFacts(*image, tagDefaults);
        for (const auto& warning : facts.Warnings) message("Warning: " + warning);
        std::vector<std::string> warnings = facts.Warnings;

        ResultContext context;
        context.PixelSpacing = facts.PixelSpacing;
        context.Image = facts.Image;
        context.Preset = job.Preset;
        ReadRealField(job.Options->BorderMm, context.BorderMm);
        // The border is taken off an area that lies inside the image; an area
        // that does not is left for the checks and their own message.
        const bool areaInImage = settings.FirstColumn <= settings.LastColumn && settings.FirstRow <= settings.LastRow &&
                                 settings.LastColumn < image->Columns() && settings.LastRow < image->Rows();
        if (context.BorderMm > 0.0 && areaInImage) {
            const BorderedArea bordered = ReduceArea(settings, context.PixelSpacing, context.BorderMm);
            if (!bordered.Accepted) {
                message(bordered.Refusal);
                return fail(bordered.Refusal);
            }
            settings = bordered.Settings;
            context.BorderPixels = bordered.BorderPixels;
        }

        JobHost host(message);
        if (!CheckSettings(settings, image.get(), host)) return fail(host.LastMessage());
        // With a response the inspection judges the kerma-linear values below.
        TestSteps steps;
        steps.Inspect = !job.Response;
        const TestRun run = RunTest(settings, *image, host, steps);
        if (!run.Complete) return fail(kPixelDataIncomplete);
        const AnalysisOutcome& result = *run.Analysis;
        context.Preparation = result.Preparation;
        outcome.Analysed = true;
        outcome.AreaMean = result.Result.AreaMean;
        outcome.AreaSD = result.Result.AreaSD;
        outcome.AreaSNR = result.Result.AreaSNR;
        outcome.MeanRoiSNR = result.Result.MeanRoiSNR;
        outcome.RoiSNRSD = result.Result.RoiSNRSD;
        outcome.PixelSpacing = context.PixelSpacing;
        outcome.BorderMm = context.BorderMm;
        outcome.BorderPixels = context.BorderPixels;
        outcome.FirstColumn = settings.FirstColumn;
        outcome.FirstRow = settings.FirstRow;
        outcome.LastColumn = settings.LastColumn;
        outcome.LastRow = settings.LastRow;

        // With a response, Evenor's own metrics and verdicts are those of the
        // kerma-linear values; the report above stays on the stored values.
        std::optional<AnalysisOutcome> linear;
        if (job.Response) {
            image->LoadPixels();
            linear = LinearisedOutcome(settings, *image, *job.Response, context.ValueBasis);
            context.Preparation = linear->Preparation;
            if (!job.Response->Detector.empty() && job.Response->Detector != DetectorText(*image)) {
                const std::string warning =
                    "The response was measured on another detector (" + job.Response->Detector + ")";
                message("Warning: " + warning);
                warnings.push_back(warning);
                context.Warnings.push_back(warning);
            }
        }
        const AnalysisOutcome& judged = linear ? *linear : result;

        // The detector inspection, once; the summaries and the JSON judge it.
        std::optional<DetectorInsight> linearInsight;
        if (linear) linearInsight = InspectDetector(settings, judged);
        const DetectorInsight& insight = linear ? *linearInsight : *run.Insight;
        context.Insight = &insight;
        outcome.Metrics = insight.Metrics.EveryPixel;
        outcome.Detector = Findings(insight);
        outcome.Verdict = Judge(insight, settings, *job.Preset, context.Image);
        // The noise power spectrum of the area, from the prepared values; with
        // a response, of the kerma its inverse gives for the stored values.
        std::optional<SpectrumAnalysis> spectrum;
        if (job.WantSpectrum) {
            const SpectrumRegion region{settings.FirstColumn, settings.FirstRow, settings.LastColumn, settings.LastRow};
            const ResponseFit* fit = job.Response ? &job.Response->Fit : nullptr;
            spectrum = fit ? AnalyseNoiseSpectrum(image->Pixels(), result.Columns, region, context.PixelSpacing,
                                                  [fit](double value) { return fit->Kerma(value); })
                           : AnalyseNoiseSpectrum(result.Pixels, result.Columns, region, context.PixelSpacing);
            context.Spectrum = &*spectrum;
            outcome.Spectrum = SpectrumFindingsOf(*spectrum);
        }
        if (job.WantSummaryRow)
            outcome.SummaryRow = SummaryCsvRow(settings.DicomFileName, settings, result.Result, context);

        // The report is written; the extras follow.
        const ImageOutputs& outputs = job.Outputs;
        if (!outputs.Json.empty())
            WriteOutput(outputs.Json, [&] { WriteResultJson(outputs.Json, settings, judged.Result, context); });
        if (!outputs.Csv.empty()) WriteOutput(outputs.Csv, [&] { WriteRoiCsv(outputs.Csv, result.Result); });
        if (!outputs.MapFolder.empty())
            Pictures(job).Maps(outputs.MapFolder, outputs.MapPrefix, result.Pixels, result.Columns, settings,
                               result.Result, &insight);
        if (!outputs.MapFolder.empty() && spectrum && spectrum->Run.Spectrum)
            if (job.Pictures.Spectrum)
                job.Pictures.Spectrum(outputs.MapFolder, outputs.MapPrefix, *spectrum->Run.Spectrum, spectrum->Peaks);
        const std::string sha256 = !job.FileSha256.empty()                  ? job.FileSha256
                                   : job.WantRecord || !outputs.Pdf.empty() ? Sha256OfFile(job.File)
                                                                            : std::string();
        // What Evenor does not judge is no test of the detector.
        if (job.WantRecord && !context.Image.Judged())
            outcome.RecordError = NotRecordedText(context.Image);
        else if (job.WantRecord) {
            outcome.Record =
                MakeQaRecord(settings, result.Result, insight, *job.Preset, image->TagTable(), sha256, warnings);
            // The spectrum's metrics and peaks go into the record's details.
            if (spectrum) {
                auto details = nlohmann::ordered_json::parse(outcome.Record->Details);
                details["nps"] = NoiseSpectrumRecordJson(*spectrum);
                outcome.Record->Details =
                    details.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
            }
        }
        if (!outputs.Pdf.empty()) {
            TestReportData report = TestReportDataOf(settings, result.Result, context, facts);
            report.Warnings = warnings;
            report.FileSha256 = sha256;
            report.InversionReason = InversionReason(*job.Options, tagDefaults);
            report.AnalysedAt = run.AnalysedAt;
            report.AnalysedBy = job.AnalysedBy.empty() ? OperatingSystemUser() : job.AnalysedBy;
            report.Paper = outputs.Paper;
            if (outcome.Record && job.RecordForReport) {
                try {
                    report.History = job.RecordForReport(std::move(*outcome.Record));
                    std::string said = Printable(report.History->Recorded);
                    for (const auto& note : report.History->Notes) said += "\n" + Printable(note);
                    outcome.Recorded = std::move(said);
                } catch (const std::exception& e) {
                    outcome.RecordError = e.what();
                }
                outcome.Record.reset();
            }
            Pictures(job).Pdf(outputs.Pdf, report, result.Pixels, result.Columns);
        }
        outcome.Ok = true;
        return outcome;
    } catch (const std::exception& e) {
        message(e.what());
        return fail(e.what());
    }
}

}  // namespace evenor

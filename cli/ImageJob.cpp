#include "ImageJob.h"

#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "AnalysisRun.h"
#include "DicomLib.h"
#include "EvenorError.h"
#include "FieldSyntax.h"
#include "ImageInfo.h"
#include "MapExport.h"
#include "ResultExport.h"
#include "RoiGrid.h"
#include "SharedFile.h"

namespace evenor {

namespace {

// Splits a path at its last separator into the directory part (ending with
// the separator) and the file-name part.
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
    const auto pos = path.find_last_of("/\\");
    if (pos == std::string::npos) return {"", path};
    return {path.substr(0, pos + 1), path.substr(pos + 1)};
}

std::vector<std::string> SplitAtCommas(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

// The window's fields as an open of this image leaves them, with the options
// typed over them.
SettingsFields FieldsFor(const AnalyseOptions& options, const TDicomBeeld& image, const TagDefaults& tagDefaults)
{
    SettingsFields fields;
    if (options.Area.empty()) {
        const AreaDefaults area = DefaultArea(image.Rows(), image.Columns());
        fields.Boven = area.Boven;
        fields.Links = area.Links;
        fields.Rechts = area.Rechts;
        fields.Onder = area.Onder;
    } else {
        const auto parts = SplitAtCommas(options.Area);
        fields.Links = parts[0];
        fields.Boven = parts[1];
        fields.Rechts = parts[2];
        fields.Onder = parts[3];
    }
    fields.Dim = options.BoxCm;
    fields.ROIDev = options.RoiDev;
    fields.DevPerc = options.PixelDev;
    fields.DetectDeviatingPixels = !options.NoDetect;
    fields.Logarithmic = tagDefaults.Logarithmic.value_or(false);
    if (options.Inverted)
        fields.Inverted = true;
    else if (options.NotInverted)
        fields.Inverted = false;
    else
        fields.Inverted = tagDefaults.Inverted.value_or(false);
    return fields;
}

// The run's messages go to the sink; the result is judged as soon as it is
// ready, and kept when extra outputs are to be written after the report.
class JobHost : public RunHost {
public:
    JobHost(const MessageSink& sink, ResultContext context, bool keepResult, bool wantSummaryRow,
            ImageOutcome& outcome)
        : sink_(sink), context_(std::move(context)), keepResult_(keepResult), wantSummaryRow_(wantSummaryRow),
          outcome_(outcome)
    {
    }

    void ShowMessage(const std::string& text) override
    {
        lastMessage_ = text;
        sink_(text);
    }
    void ShowNotice() override {}
    void HideNotice() override {}

    void ResultReady(const AnalysisSettings& settings, const AnalysisResult& result) override
    {
        // Every run starts from fresh settings, so InversionMaximum is set
        // only when this run inverted the pixel values.
        context_.PixelsInverted = settings.Inverted && settings.InversionMaximum != 0;
        outcome_.AreaMean = result.AreaMean;
        outcome_.AreaSD = result.AreaSD;
        outcome_.AreaSNR = result.AreaSNR;
        outcome_.MeanRoiSNR = result.MeanRoiSNR;
        outcome_.RoiSNRSD = result.RoiSNRSD;
        outcome_.Metrics = ComputeMetrics(result);
        outcome_.Verdict = Judge(outcome_.Metrics, settings, *context_.Preset);
        if (wantSummaryRow_) summaryRow_ = SummaryCsvRow(settings.DicomFileName, settings, result, context_);
        if (keepResult_) result_ = result;
    }

    const std::string& LastMessage() const { return lastMessage_; }
    const ResultContext& Context() const { return context_; }
    const std::optional<AnalysisResult>& Result() const { return result_; }
    std::string& SummaryRow() { return summaryRow_; }

private:
    const MessageSink& sink_;
    ResultContext context_;
    bool keepResult_;
    bool wantSummaryRow_;
    ImageOutcome& outcome_;
    std::string lastMessage_;
    std::string summaryRow_;
    std::optional<AnalysisResult> result_;
};

// Every file the outputs name.
std::vector<std::string> OutputFiles(const ImageOutputs& outputs)
{
    std::vector<std::string> files{outputs.Report, outputs.Json, outputs.Csv};
    if (!outputs.MapFolder.empty())
        for (const char* map : {kAreaMapName, kMeanHeatMapName, kSnrHeatMapName})
            files.push_back(outputs.MapFolder + "/" + outputs.MapPrefix + map);
    std::erase_if(files, [](const std::string& file) { return file.empty(); });
    return files;
}

// Runs write; a failure names the file it was writing.
template <typename Write>
void WriteOutput(const std::string& path, Write write)
{
    try {
        write();
    } catch (const EvenorError& e) {
        throw EvenorError(path + ": " + e.what());
    }
}

}  // namespace

bool CheckAnalyseOptions(const AnalyseOptions& options, std::uint16_t& pixelOffset, std::ostream& err)
{
    if (!options.Area.empty()) {
        const auto parts = SplitAtCommas(options.Area);
        if (parts.size() != 4) {
            err << "--area: four values are expected: FIRSTCOL,FIRSTROW,LASTCOL,LASTROW\n";
            return false;
        }
        for (const auto& part : parts) {
            if (!IsPositiveInteger(part)) {
                err << "--area: A positive integer is expected\n";
                return false;
            }
        }
    }
    const std::pair<const char*, const std::string*> reals[] = {
        {"--box-cm", &options.BoxCm}, {"--roi-dev", &options.RoiDev}, {"--pixel-dev", &options.PixelDev}};
    for (const auto& [name, text] : reals) {
        if (!IsNumber(*text)) {
            err << name << ": A number is expected\n";
            return false;
        }
    }
    if (!ParsePixelOffset(options.Offset, pixelOffset)) {
        err << "--offset: A positive integer under 16384 is expected\n";
        return false;
    }
    return true;
}

ImageOutcome AnalyseImage(const ImageJob& job, const MessageSink& message)
{
    ImageOutcome outcome;
    const auto fail = [&](const std::string& error) {
        outcome.Ok = false;
        outcome.Error = error;
        if (job.WantSummaryRow) outcome.SummaryRow = SummaryCsvErrorRow(job.File, error);
        return outcome;
    };

    AnalysisSettings settings;
    if (!ParsePixelOffset(job.Options->Offset, settings.PixelOffset)) return fail("invalid pixel offset");
    // No output may be written over the image it describes.
    for (const std::string& output : OutputFiles(job.Outputs)) {
        if (IsSameFile(output, job.File)) {
            message(output + ": " + kOutputIsImage);
            return fail(kOutputIsImage);
        }
    }

    try {
        std::unique_ptr<TDicomBeeld> image;
        {
            const auto [directory, name] = SplitPath(job.File);
            std::unique_lock<std::mutex> lock;
            if (job.HeaderLock) lock = std::unique_lock<std::mutex>(*job.HeaderLock);
            image = std::make_unique<TDicomBeeld>(directory, name);
        }

        // The defaults an open gives the window, with its warnings.
        const TagDefaults tagDefaults = DefaultsFromTags(image->TagList());
        for (const auto& warning : tagDefaults.Warnings) message("Warning: " + warning);
        const SettingsFields fields = FieldsFor(*job.Options, *image, tagDefaults);

        ResultContext context;
        context.PixelSpacing = image->PixelSpacing();
        context.Image = ReadImageInfo(image->TagTable());
        context.Preset = job.Preset;
        if (context.Image.IsProcessed()) message("Warning: " + std::string(ProcessedImageWarning));

        settings.DicomFileName = job.File;
        settings.OutputFileName = job.Outputs.Report;
        const ImageOutputs& outputs = job.Outputs;
        const bool extras = !outputs.Json.empty() || !outputs.Csv.empty() || !outputs.MapFolder.empty();
        JobHost host(message, context, extras, job.WantSummaryRow, outcome);
        if (!RunAnalysis(fields, image.get(), settings, host)) return fail(host.LastMessage());
        outcome.Analysed = true;

        // The report is written; the extras follow from the kept result.
        if (extras) {
            const AnalysisResult& result = *host.Result();
            if (!outputs.Json.empty())
                WriteOutput(outputs.Json, [&] { WriteResultJson(outputs.Json, settings, result, host.Context()); });
            if (!outputs.Csv.empty()) WriteOutput(outputs.Csv, [&] { WriteRoiCsv(outputs.Csv, result); });
            if (!outputs.MapFolder.empty())
                WriteMapPngs(outputs.MapFolder, outputs.MapPrefix, image->Pixels(),
                             static_cast<std::uint32_t>(image->Columns()), settings, result);
        }
        outcome.SummaryRow = std::move(host.SummaryRow());
        outcome.Ok = true;
        return outcome;
    } catch (const std::exception& e) {
        message(e.what());
        return fail(e.what());
    }
}

}  // namespace evenor

// The result of one image as the files the program writes: the JSON
// document, the ROI CSV and the summary CSV row, with the number and text
// formats they share. It stays one file so that the three formats write every
// value the same way (shortest round-trip numbers, empty for non-finite,
// the same field quoting).

#include "insight/ResultExport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <ostream>
#include <vector>

#include "analysis/FieldSyntax.h"
#include "analysis/ReportWriter.h"
#include "base/EvenorError.h"
#include "insight/DetectorInsight.h"
#include "insight/SpectrumExport.h"
#include "stats/SignalToNoise.h"

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;

// The report's codes and texts for input/output errors.
[[noreturn]] void ThrowIoError(int error) { throw InOutErrorFromErrno(error != 0 ? error : EIO); }

Json Real(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

Json Optional(const std::optional<double>& value) { return value ? Real(*value) : Json(nullptr); }

Json Text(const std::string& value) { return value.empty() ? Json(nullptr) : Json(value); }

std::uint64_t PositionKey(std::uint32_t x, std::uint32_t y) { return (std::uint64_t{x} << 32) | y; }

// Sorted positions of the deviating ROIs, for membership tests.
std::vector<std::uint64_t> DeviatingPositions(const AnalysisResult& result)
{
    std::vector<std::uint64_t> keys;
    keys.reserve(result.BadROIMap.size());
    for (const auto& bad : result.BadROIMap) keys.push_back(PositionKey(bad.X, bad.Y));
    std::sort(keys.begin(), keys.end());
    return keys;
}

std::string OptionalReal(const std::optional<double>& value) { return value ? FormatReal(*value) : std::string(); }

// A CSV field for text: quoted when it holds a separator, quote, line break or
// outer blank; an apostrophe in front of what a spreadsheet would evaluate.
std::string CsvText(std::string_view text)
{
    std::string value;
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) value = "'";
    value += text;
    const bool quote = value.find_first_of(",\"\r\n") != std::string::npos ||
                       (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!quote) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string Join(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        line += fields[i];
    }
    return line;
}

bool MetricHasPosition(MetricId id) { return id != MetricId::GlobalUniformity; }

Json LimitsJson(const Limits& limits)
{
    Json json = Json::object();
    json["warning"] = Optional(limits.Warning);
    json["action"] = Optional(limits.Action);
    return json;
}

std::string_view BasisKey(PixelBasis basis)
{
    switch (basis) {
    case PixelBasis::WithoutDeviatingPixels:
        return "without_deviating_pixels";
    case PixelBasis::EveryPixelNotSearched:
        return "every_pixel_not_searched";
    case PixelBasis::EveryPixel:
        break;
    }
    return "every_pixel";
}

std::string_view RimKindName(RimKind kind)
{
    switch (kind) {
    case RimKind::Dark:
        return "dark";
    case RimKind::Bright:
        return "bright";
    case RimKind::None:
        break;
    }
    return "none";
}

Json PositionJson(const std::optional<RoiPosition>& where)
{
    return where ? Json{{"x", where->X}, {"y", where->Y}} : Json(nullptr);
}

Json RectJson(const PixelRect& rect)
{
    if (rect.Empty()) return nullptr;
    Json json = Json::object();
    json["first_column"] = rect.Left;
    json["last_column"] = rect.Right();
    json["first_row"] = rect.Top;
    json["last_row"] = rect.Bottom();
    return json;
}

// The entries of the lists that may be long (ListLimit): built one at a
// time, so that a writer can stream them.
Json ClusterEntry(const DefectCluster& cluster)
{
    Json entry = Json::object();
    entry["size"] = cluster.Size;
    entry["x"] = Real(cluster.CentreX);
    entry["y"] = Real(cluster.CentreY);
    entry["left"] = cluster.Left;
    entry["top"] = cluster.Top;
    entry["right"] = cluster.Right;
    entry["bottom"] = cluster.Bottom;
    entry["hot"] = cluster.Hot;
    entry["dead"] = cluster.Size - cluster.Hot;
    return entry;
}

Json RoiEntry(std::size_t index, const RoiResult& roi)
{
    Json entry = Json::object();
    entry["index"] = index;
    entry["x"] = roi.X;
    entry["y"] = roi.Y;
    entry["max"] = roi.Maximum;
    entry["min"] = roi.Minimum;
    entry["mean"] = Real(roi.Mean);
    entry["sd"] = Real(roi.SD);
    entry["snr"] = Real(roi.SNR);
    return entry;
}

Json DeviatingRoiEntry(const BadROI& bad)
{
    Json entry = Json::object();
    entry["x"] = bad.X;
    entry["y"] = bad.Y;
    entry["mean"] = Real(bad.Mean);
    entry["sd"] = Real(bad.SD);
    entry["snr"] = Real(SignalToNoise(bad.Mean, bad.SD));
    return entry;
}

Json DeviatingPixelEntry(const BadPixel& bad)
{
    Json entry = Json::object();
    entry["x"] = bad.X;
    entry["y"] = bad.Y;
    entry["value"] = bad.Value;
    entry["roi_mean"] = Real(bad.RoiMean);
    return entry;
}

// withLists false leaves the long lists empty (StreamResultJson fills them).
Json DefectsJson(const DetectorInsight& insight, std::size_t listLimit, bool withLists)
{
    const ClusterSummary& found = insight.Clusters;
    Json defects = Json::object();
    defects["pixels_searched"] = insight.PixelsSearched;
    defects["cluster_count"] = found.Clusters.size();
    defects["single_pixels"] = found.Singles;
    defects["pairs"] = found.Pairs;
    defects["larger_clusters"] = found.Larger;
    defects["largest_cluster"] = found.Clusters.empty() ? 0u : found.Clusters.front().Size;
    Json clusters = Json::array();
    if (withLists)
        for (std::size_t i = 0; i < found.Clusters.size() && i < listLimit; ++i)
            clusters.push_back(ClusterEntry(found.Clusters[i]));
    defects["clusters"] = std::move(clusters);
    const auto ranges = [](const std::vector<LineRange>& lines) {
        Json json = Json::array();
        for (const LineRange& range : lines) json.push_back(Json{{"first", range.First}, {"last", range.Last}});
        return json;
    };
    defects["outside_grid"] = Json{{"columns", ranges(insight.Gaps.Columns)},
                                   {"rows", ranges(insight.Gaps.Rows)},
                                   {"deviating_pixels", insight.Gaps.Pixels.size()}};
    defects["lines_searched"] = insight.LinesSearched;
    Json lines = Json::array();
    for (const LineDefect& line : insight.Lines) {
        Json entry = Json::object();
        entry["orientation"] = OrientationName(line.Orientation);
        entry["index"] = line.Index;
        entry["mean"] = Real(line.Mean);
        entry["reference"] = Real(line.Reference);
        entry["deviation_percent"] = Real(line.DeviationPercent);
        entry["sigmas"] = Real(line.Sigmas);
        entry["mostly_deviating_pixels"] = line.DeviatingPixels;
        lines.push_back(std::move(entry));
    }
    defects["lines"] = std::move(lines);
    return defects;
}

Json RimsJson(const RimReport& rims, double pixelSpacing)
{
    Json json = Json::object();
    json["found"] = rims.Found();
    const std::pair<const char*, const RimSide*> sides[] = {
        {"top", &rims.Top}, {"bottom", &rims.Bottom}, {"left", &rims.Left}, {"right", &rims.Right}};
    for (const auto& [name, side] : sides) json[name] = {{"lines", side->Lines}, {"kind", RimKindName(side->Kind)}};
    json["interior"] = RectJson(rims.Interior);
    json["description"] = DescribeRims(rims, pixelSpacing);
    const double border = RimBorderMm(rims, pixelSpacing);
    json["border_mm"] = rims.Found() && border == 0.0 ? Json(nullptr) : Real(border);
    return json;
}

Json LineNoiseJson(const LineNoise& noise)
{
    Json json = Json::object();
    json["line_sd"] = Optional(noise.LineSD);
    json["white_sd"] = Optional(noise.WhiteSD);
    json["ratio"] = Optional(noise.Ratio);
    json["correlated_percent"] = Optional(noise.CorrelatedPercent);
    json["lines"] = noise.Lines;
    return json;
}

Json NoiseMetricJson(const StructuredNoiseInfo& info, const std::optional<double>& value)
{
    Json entry = Json::object();
    entry["name"] = info.Name;
    entry["value"] = Optional(value);
    entry["unit"] = info.Unit;
    entry["description"] = info.Description;
    return entry;
}

}  // namespace

std::string FormatReal(double value) { return std::isfinite(value) ? ShortestText(value) : std::string(); }

void CheckStream(const std::ostream& out)
{
    if (!out) ThrowIoError(errno);
}

void WriteFile(const std::string& path, const std::function<void(std::ostream&)>& write)
{
    errno = 0;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) ThrowIoError(errno);
    errno = 0;
    write(file);
    file.flush();
    if (!file) ThrowIoError(errno);
    errno = 0;
    file.close();
    if (!file) ThrowIoError(errno);
}

namespace {

Json BuildResultJson(const AnalysisSettings& settings, const AnalysisResult& result, const ResultContext& context,
                     bool withLists)
{
    Json json = Json::object();
    json["schema_version"] = ResultSchemaVersion;
    json["tool"] = {{"name", ToolName}, {"version", ToolVersion}};
    json["input_file"] = settings.DicomFileName;
    if (context.ValueBasis) json["values"] = *context.ValueBasis;

    Json area = Json::object();
    area["first_column"] = settings.FirstColumn;
    area["last_column"] = settings.LastColumn;
    area["first_row"] = settings.FirstRow;
    area["last_row"] = settings.LastRow;
    Json jsonSettings = Json::object();
    jsonSettings["area"] = std::move(area);
    jsonSettings["box_cm"] = Real(settings.BoxDimension);
    jsonSettings["pixel_spacing_mm"] = context.PixelSpacing > 0.0 ? Real(context.PixelSpacing) : Json(nullptr);
    jsonSettings["box_pixels"] = result.BoxPixels;
    jsonSettings["roi_deviation_percent"] = Real(settings.RoiDeviationPercent);
    jsonSettings["pixel_deviation_percent"] = Real(settings.PixelDeviationPercent);
    jsonSettings["detect_deviating_pixels"] = settings.DetectDeviatingPixels;
    jsonSettings["inverted"] = settings.Inverted;
    const PixelPreparation& preparation = context.Preparation;
    jsonSettings["pixels_inverted"] = preparation.Inverted;
    jsonSettings["inversion_maximum"] = preparation.Inverted ? Json(preparation.InversionMaximum) : Json(nullptr);
    jsonSettings["pixel_offset"] = settings.PixelOffset;
    jsonSettings["clipped_below_offset"] = settings.PixelOffset > 0 && preparation.ClippedBelowOffset;
    jsonSettings["border_mm"] = Real(context.BorderMm);
    jsonSettings["border_pixels"] = context.BorderPixels;
    json["settings"] = std::move(jsonSettings);

    const ImageInfo& info = context.Image;
    Json image = Json::object();
    image["manufacturer"] = Text(info.Manufacturer);
    image["model"] = Text(info.Model);
    image["station"] = Text(info.Station);
    image["detector_id"] = Text(info.DetectorId);
    image["acquisition_date"] = Text(info.AcquisitionDate);
    image["kvp"] = Text(info.KVp);
    image["exposure"] = Text(info.Exposure);
    image["exposure_unit"] = Text(info.ExposureUnit);
    image["presentation_intent_type"] = Text(info.PresentationIntentType);
    image["processed"] = info.IsProcessed();
    json["image"] = std::move(image);
    json["warnings"] = Json::array();
    for (const auto& warning : info.TagWarnings) json["warnings"].push_back(warning);
    if (info.IsProcessed()) json["warnings"].push_back(ProcessedImageWarning);
    if (info.LossyCompressed) json["warnings"].push_back(LossyImageWarning);
    for (const auto& reason : info.NotJudged) json["warnings"].push_back(reason);
    for (const auto& warning : context.Warnings) json["warnings"].push_back(warning);

    json["area"] = {{"mean", Real(result.AreaMean)}, {"sd", Real(result.AreaSD)}, {"snr", Real(result.AreaSNR)}};
    json["roi_snr"] = {{"mean", Real(result.MeanRoiSNR)}, {"sd", Real(result.RoiSNRSD)}};

    Json rois = Json::array();
    Json badRois = Json::array();
    Json badPixels = Json::array();
    if (withLists) {
        for (std::size_t i = 0; i < result.Rois.size() && i < context.ListLimit; ++i)
            rois.push_back(RoiEntry(i, result.Rois[i]));
        for (std::size_t i = 0; i < result.BadROIMap.size() && i < context.ListLimit; ++i)
            badRois.push_back(DeviatingRoiEntry(result.BadROIMap[i]));
        for (std::size_t i = 0; i < result.BadPixelMap.size() && i < context.ListLimit; ++i)
            badPixels.push_back(DeviatingPixelEntry(result.BadPixelMap[i]));
    }
    json["rois"] = std::move(rois);
    json["deviating_rois"] = std::move(badRois);
    json["deviating_pixels"] = std::move(badPixels);

    const DetectorInsight* insight = context.Insight;
    const UniformityMetrics everyPixel = insight ? insight->Metrics.EveryPixel : ComputeMetrics(result);
    const UniformityMetrics& metrics = insight ? insight->Metrics.Robust : everyPixel;
    const PixelBasis basis = insight ? insight->Metrics.Basis : PixelBasis::EveryPixel;
    json["counts"] = {{"rois", metrics.RoiCount},
                      {"deviating_rois", metrics.DeviatingRoiCount},
                      {"deviating_pixels", metrics.DeviatingPixelCount}};
    json["metrics_basis"] = BasisKey(basis);
    Json jsonMetrics = Json::object();
    for (const auto& metricInfo : AllMetricInfos()) {
        const MetricValue& value = metrics[metricInfo.Id];
        const MetricValue& every = everyPixel[metricInfo.Id];
        Json entry = Json::object();
        entry["name"] = metricInfo.Name;
        entry["value"] = Optional(value.Value);
        entry["every_pixel_value"] = Optional(every.Value);
        entry["unit"] = metricInfo.Unit;
        entry["position"] = PositionJson(value.Where);
        entry["every_pixel_position"] = PositionJson(every.Where);
        entry["description"] = MetricDescription(metricInfo.Id, basis);
        jsonMetrics[std::string(metricInfo.Key)] = std::move(entry);
    }
    const StructuredNoise noise = insight ? insight->Noise : StructuredNoise{};
    jsonMetrics[std::string(kRowNoiseInfo.Key)] = NoiseMetricJson(kRowNoiseInfo, noise.Rows.CorrelatedPercent);
    jsonMetrics[std::string(kColumnNoiseInfo.Key)] = NoiseMetricJson(kColumnNoiseInfo, noise.Columns.CorrelatedPercent);
    json["metrics"] = std::move(jsonMetrics);

    if (insight) {
        const RobustRoiStatistics& robust = insight->RobustRois;
        json["robust_statistics"] = {{"area_mean", Real(robust.AreaMean)},
                                     {"roi_snr_mean", Real(robust.MeanRoiSNR)},
                                     {"roi_snr_sd", Real(robust.RoiSNRSD)},
                                     {"recomputed_rois", robust.RecomputedRois},
                                     {"kept_whole_rois", robust.KeptWholeRois}};
        json["defects"] = DefectsJson(*insight, context.ListLimit, withLists);
        json["rims"] = RimsJson(insight->Rims, context.PixelSpacing);
        Json structured = Json::object();
        structured["pixel_noise"] = Optional(noise.PixelNoise);
        structured["rows"] = LineNoiseJson(noise.Rows);
        structured["columns"] = LineNoiseJson(noise.Columns);
        json["structured_noise"] = std::move(structured);
    } else {
        json["robust_statistics"] = nullptr;
        json["defects"] = nullptr;
        json["rims"] = nullptr;
        json["structured_noise"] = nullptr;
    }

    if (context.Preset) {
        GuidelineVerdict verdict =
            insight ? Judge(*insight, settings, *context.Preset) : Judge(metrics, settings, *context.Preset);
        WithholdJudgement(verdict, info);
        Json guideline = Json::object();
        guideline["preset"] = context.Preset->Name;
        guideline["description"] = context.Preset->Description;
        guideline["detector_description"] = context.Preset->DetectorDescription;
        guideline["roi_deviation_percent"] = Real(context.Preset->RoiDeviationPercent);
        guideline["pixel_deviation_percent"] = Real(context.Preset->PixelDeviationPercent);
        guideline["line_floor_percent"] = Real(context.Preset->LineFloorPercent);
        guideline["overall"] = VerdictName(verdict.Overall);
        Json checks = Json::array();
        for (const auto& check : verdict.Checks) {
            Json entry = Json::object();
            entry["key"] = check.Key;
            entry["name"] = check.Name;
            entry["value"] = Optional(check.Value);
            entry["limits"] = LimitsJson(check.Limit);
            entry["verdict"] = VerdictName(check.Result);
            entry["note"] = Text(check.Note);
            entry["sampling_allowance"] = Real(check.SamplingAllowance);
            checks.push_back(std::move(entry));
        }
        guideline["checks"] = std::move(checks);
        json["guideline"] = std::move(guideline);
    } else {
        json["guideline"] = nullptr;
    }
    if (context.Spectrum) json["nps"] = NoiseSpectrumJson(*context.Spectrum);
    return json;
}

// Writes a document as dump(2) does, byte for byte, except that the arrays
// named in lists are written from their generators, one entry at a time: a
// result may list millions of deviating pixels, and a document holding them
// all takes hundreds of bytes per entry. A line break in the dump of a value
// is always layout (JSON escapes one inside a string), so an entry's dump is
// indented by inserting the indent after each one.
class JsonStreamer {
public:
    // Calls emit with each entry of one list, in order.
    using Generator = std::function<void(const std::function<void(const Json&)>& emit)>;

    JsonStreamer(std::ostream& out, std::map<const Json*, Generator> lists) : out_(out), lists_(std::move(lists)) {}

    void Write(const Json& value, std::size_t depth)
    {
        if (const auto list = lists_.find(&value); list != lists_.end()) {
            bool empty = true;
            const std::string indent = Indent(depth + 1);
            std::string text;
            list->second([&](const Json& entry) {
                text.assign(empty ? "[\n" : ",\n").append(indent);
                for (const char c : entry.dump(2, ' ', false, Json::error_handler_t::replace)) {
                    text += c;
                    if (c == '\n') text += indent;
                }
                out_.write(text.data(), static_cast<std::streamsize>(text.size()));
                empty = false;
            });
            out_ << (empty ? "[]" : "\n" + Indent(depth) + "]");
            return;
        }
        if (value.is_object() && !value.empty()) {
            out_ << "{\n";
            for (auto item = value.begin(); item != value.end(); ++item) {
                if (item != value.begin()) out_ << ",\n";
                out_ << Indent(depth + 1) << Json(item.key()).dump() << ": ";
                Write(*item, depth + 1);
            }
            out_ << '\n' << Indent(depth) << '}';
        } else if (value.is_array() && !value.empty()) {
            out_ << "[\n";
            for (auto item = value.begin(); item != value.end(); ++item) {
                if (item != value.begin()) out_ << ",\n";
                out_ << Indent(depth + 1);
                Write(*item, depth + 1);
            }
            out_ << '\n' << Indent(depth) << ']';
        } else {
            out_ << value.dump(2, ' ', false, Json::error_handler_t::replace);
        }
    }

private:
    static std::string Indent(std::size_t depth) { return std::string(2 * depth, ' '); }

    std::ostream& out_;
    std::map<const Json*, Generator> lists_;
};

// Writes the document of ResultToJson, its long lists streamed.
void StreamResultJson(std::ostream& out, const Json& json, const AnalysisResult& result, const ResultContext& context)
{
    const std::size_t limit = context.ListLimit;
    std::map<const Json*, JsonStreamer::Generator> lists;
    lists[&json["rois"]] = [&](const auto& emit) {
        for (std::size_t i = 0; i < result.Rois.size() && i < limit; ++i) emit(RoiEntry(i, result.Rois[i]));
    };
    lists[&json["deviating_rois"]] = [&](const auto& emit) {
        for (std::size_t i = 0; i < result.BadROIMap.size() && i < limit; ++i)
            emit(DeviatingRoiEntry(result.BadROIMap[i]));
    };
    lists[&json["deviating_pixels"]] = [&](const auto& emit) {
        for (std::size_t i = 0; i < result.BadPixelMap.size() && i < limit; ++i)
            emit(DeviatingPixelEntry(result.BadPixelMap[i]));
    };
    if (context.Insight != nullptr) {
        const auto& clusters = context.Insight->Clusters.Clusters;
        lists[&json["defects"]["clusters"]] = [&](const auto& emit) {
            for (std::size_t i = 0; i < clusters.size() && i < limit; ++i) emit(ClusterEntry(clusters[i]));
        };
    }
    JsonStreamer(out, std::move(lists)).Write(json, 0);
    out << '\n';
}

}  // namespace

nlohmann::ordered_json ResultToJson(const AnalysisSettings& settings, const AnalysisResult& result,
                                    const ResultContext& context)
{
    return BuildResultJson(settings, result, context, true);
}

void WriteResultJson(std::ostream& out, const AnalysisSettings& settings, const AnalysisResult& result,
                     const ResultContext& context)
{
    const Json json = BuildResultJson(settings, result, context, false);
    errno = 0;
    StreamResultJson(out, json, result, context);
    CheckStream(out);
}

void WriteResultJson(const std::string& path, const AnalysisSettings& settings, const AnalysisResult& result,
                     const ResultContext& context)
{
    // Everything but the long lists is built before the file is opened, so an
    // existing file stays as it was when building fails.
    const Json json = BuildResultJson(settings, result, context, false);
    WriteFile(path, [&](std::ostream& out) { StreamResultJson(out, json, result, context); });
}

std::string RoiCsvHeader() { return "index,x,y,max,min,mean,sd,snr,mean_dev_pct,snr_dev_pct,deviating"; }

void WriteRoiCsv(std::ostream& out, const AnalysisResult& result)
{
    const std::vector<std::uint64_t> deviating = DeviatingPositions(result);
    errno = 0;
    out << RoiCsvHeader() << '\n';
    std::string line;
    for (std::size_t i = 0; i < result.Rois.size() && out; ++i) {
        const RoiResult& roi = result.Rois[i];
        const bool bad = std::binary_search(deviating.begin(), deviating.end(), PositionKey(roi.X, roi.Y));
        line = Join({std::to_string(i), std::to_string(roi.X), std::to_string(roi.Y), std::to_string(roi.Maximum),
                     std::to_string(roi.Minimum), FormatReal(roi.Mean), FormatReal(roi.SD), FormatReal(roi.SNR),
                     OptionalReal(DeviationPercent(roi.Mean, result.AreaMean)),
                     OptionalReal(DeviationPercent(roi.SNR, result.MeanRoiSNR)), bad ? "1" : "0"});
        out << line << '\n';
    }
    CheckStream(out);
}

void WriteRoiCsv(const std::string& path, const AnalysisResult& result)
{
    WriteFile(path, [&](std::ostream& out) { WriteRoiCsv(out, result); });
}

std::string SummaryCsvHeader()
{
    std::vector<std::string> columns{"file",
                                     "status",
                                     "error",
                                     "manufacturer",
                                     "model",
                                     "station",
                                     "detector_id",
                                     "acquisition_date",
                                     "kvp",
                                     "exposure",
                                     "exposure_unit",
                                     "presentation_intent_type",
                                     "processed",
                                     "box_cm",
                                     "box_pixels",
                                     "roi_deviation_percent",
                                     "pixel_deviation_percent",
                                     "rois",
                                     "deviating_rois",
                                     "deviating_pixels",
                                     "area_mean",
                                     "area_sd",
                                     "area_snr",
                                     "mean_roi_snr",
                                     "roi_snr_sd"};
    for (const auto& info : AllMetricInfos()) {
        columns.push_back(std::string(info.Key) + "_pct");
        if (MetricHasPosition(info.Id)) {
            columns.push_back(std::string(info.Key) + "_x");
            columns.push_back(std::string(info.Key) + "_y");
        }
    }
    columns.push_back("preset");
    columns.push_back("verdict");
    // The detector's columns, after every earlier one.
    columns.push_back("metrics_basis");
    for (const auto& info : AllMetricInfos()) columns.push_back("robust_" + std::string(info.Key) + "_pct");
    for (const char* name : {"defect_clusters", "single_pixels", "pixel_pairs", "larger_clusters", "largest_cluster",
                             "line_defects", "rim", "rim_border_mm", "row_correlated_noise_pct",
                             "column_correlated_noise_pct", "detector_verdict", "border_mm"})
        columns.push_back(name);
    return Join(columns);
}

std::string SummaryCsvRow(std::string_view file, const AnalysisSettings& settings, const AnalysisResult& result,
                          const ResultContext& context)
{
    const ImageInfo& info = context.Image;
    UniformityMetrics metrics = ComputeMetrics(result);
    // The verdict column judges the defect pixels, as the JSON's verdict does,
    // where the inspection counted them.
    if (context.Insight && context.Insight->DefectPixels.Counted)
        metrics.DefectPixelCount = context.Insight->DefectPixels.Count;
    std::vector<std::string> fields{CsvText(file),
                                    "ok",
                                    "",
                                    CsvText(info.Manufacturer),
                                    CsvText(info.Model),
                                    CsvText(info.Station),
                                    CsvText(info.DetectorId),
                                    CsvText(info.AcquisitionDate),
                                    CsvText(info.KVp),
                                    CsvText(info.Exposure),
                                    CsvText(info.ExposureUnit),
                                    CsvText(info.PresentationIntentType),
                                    info.IsProcessed() ? "1" : "0",
                                    FormatReal(settings.BoxDimension),
                                    std::to_string(result.BoxPixels),
                                    FormatReal(settings.RoiDeviationPercent),
                                    FormatReal(settings.PixelDeviationPercent),
                                    std::to_string(metrics.RoiCount),
                                    std::to_string(metrics.DeviatingRoiCount),
                                    std::to_string(metrics.DeviatingPixelCount),
                                    FormatReal(result.AreaMean),
                                    FormatReal(result.AreaSD),
                                    FormatReal(result.AreaSNR),
                                    FormatReal(result.MeanRoiSNR),
                                    FormatReal(result.RoiSNRSD)};
    for (const auto& metricInfo : AllMetricInfos()) {
        const MetricValue& value = metrics[metricInfo.Id];
        fields.push_back(OptionalReal(value.Value));
        if (MetricHasPosition(metricInfo.Id)) {
            fields.push_back(value.Where ? std::to_string(value.Where->X) : std::string());
            fields.push_back(value.Where ? std::to_string(value.Where->Y) : std::string());
        }
    }
    if (context.Preset) {
        fields.push_back(CsvText(context.Preset->Name));
        GuidelineVerdict verdict = Judge(metrics, settings, *context.Preset);
        WithholdJudgement(verdict, info);
        fields.push_back(std::string(VerdictName(verdict.Overall)));
    } else {
        fields.push_back("");
        fields.push_back("");
    }

    const DetectorInsight* insight = context.Insight;
    if (!insight) {
        fields.resize(fields.size() + 1 + MetricCount + 11);
        fields.push_back(FormatReal(context.BorderMm));
        return Join(fields);
    }
    fields.push_back(std::string(BasisKey(insight->Metrics.Basis)));
    for (const auto& metricInfo : AllMetricInfos())
        fields.push_back(OptionalReal(insight->Metrics.Robust[metricInfo.Id].Value));
    const ClusterSummary& clusters = insight->Clusters;
    const bool searched = insight->PixelsSearched;
    fields.push_back(searched ? std::to_string(clusters.Clusters.size()) : "");
    fields.push_back(searched ? std::to_string(clusters.Singles) : "");
    fields.push_back(searched ? std::to_string(clusters.Pairs) : "");
    fields.push_back(searched ? std::to_string(clusters.Larger) : "");
    fields.push_back(!searched ? "" : clusters.Clusters.empty() ? "0" : std::to_string(clusters.Clusters.front().Size));
    fields.push_back(insight->LinesSearched ? std::to_string(insight->Lines.size()) : "");
    fields.push_back(insight->Rims.Found() ? "1" : "0");
    const double rimBorder = RimBorderMm(insight->Rims, context.PixelSpacing);
    fields.push_back(rimBorder > 0.0 ? FormatReal(rimBorder) : "");
    fields.push_back(OptionalReal(insight->Noise.Rows.CorrelatedPercent));
    fields.push_back(OptionalReal(insight->Noise.Columns.CorrelatedPercent));
    fields.push_back(context.Preset ? std::string(VerdictName(Judge(*insight, settings, *context.Preset, info).Overall))
                                    : "");
    fields.push_back(FormatReal(context.BorderMm));
    return Join(fields);
}

std::string SummaryCsvErrorRow(std::string_view file, std::string_view message)
{
    // As many fields as the header, all empty but the first three.
    const std::string header = SummaryCsvHeader();
    const std::size_t columns = static_cast<std::size_t>(std::count(header.begin(), header.end(), ',')) + 1;
    std::vector<std::string> fields(columns);
    fields[0] = CsvText(file);
    fields[1] = "error";
    fields[2] = CsvText(message);
    return Join(fields);
}

}  // namespace evenor

#include "history/QaRecord.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>
#include <pwd.h>
#include <unistd.h>

#include "cmake/EvenorVersion.h"
#include "insight/ImageInfo.h"

namespace evenor {

namespace {

std::string TagValue(const std::vector<TagEntry>& tagTable, std::string_view tag)
{
    for (const auto& entry : tagTable)
        if (entry.Tag == tag) return TrimPadding(entry.Value);
    return {};
}

nlohmann::ordered_json Number(std::optional<double> value)
{
    if (!value || !std::isfinite(*value)) return nullptr;
    return *value;
}

nlohmann::ordered_json MetricsJson(const UniformityMetrics& metrics)
{
    auto list = nlohmann::ordered_json::array();
    for (const auto& info : AllMetricInfos()) {
        const MetricValue& value = metrics[info.Id];
        nlohmann::ordered_json item{{"key", info.Key}, {"value", Number(value.Value)}};
        if (value.Where) {
            item["x"] = value.Where->X;
            item["y"] = value.Where->Y;
        }
        list.push_back(std::move(item));
    }
    return list;
}

// Every setting that changes a result, in a fixed order and spelling.
std::string SettingsLine(const AnalysisSettings& settings, const GuidelinePreset& preset)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::setprecision(17) << "area=" << settings.FirstColumn << ',' << settings.FirstRow << ','
         << settings.LastColumn << ',' << settings.LastRow << ";box_cm=" << settings.BoxDimension
         << ";roi_dev=" << settings.RoiDeviationPercent << ";pixel_dev=" << settings.PixelDeviationPercent
         << ";detect=" << settings.DetectDeviatingPixels << ";inverted=" << settings.Inverted
         << ";offset=" << settings.PixelOffset << ";preset=" << preset.Name;
    return text.str();
}

bool AllDigits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string DetectorIdentity::Key() const
{
    switch (KeyKind()) {
    case DetectorKeyKind::DetectorId:
        return DetectorId;
    case DetectorKeyKind::SerialNumber:
        return Serial;
    case DetectorKeyKind::Composite:
        break;
    }
    return Manufacturer + " / " + Model + " / " + Station;
}

DetectorKeyKind DetectorIdentity::KeyKind() const
{
    if (!DetectorId.empty()) return DetectorKeyKind::DetectorId;
    if (!Serial.empty()) return DetectorKeyKind::SerialNumber;
    return DetectorKeyKind::Composite;
}

const char* KeyKindName(DetectorKeyKind kind)
{
    switch (kind) {
    case DetectorKeyKind::DetectorId:
        return "detector id";
    case DetectorKeyKind::SerialNumber:
        return "serial number";
    case DetectorKeyKind::Composite:
        break;
    }
    return "manufacturer / model / station";
}

std::string TestedAtText(const std::string& date, const std::string& time)
{
    if (date.size() != 8 || !AllDigits(date)) return {};
    std::string text = date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + " ";
    std::string clock = time.substr(0, time.find('.'));
    if (!AllDigits(clock)) clock.clear();
    clock.resize(6, '0');
    return text + clock.substr(0, 2) + ":" + clock.substr(2, 2) + ":" + clock.substr(4, 2);
}

std::string OperatingSystemUser()
{
    for (const char* name : {"USER", "LOGNAME"})
        if (const char* value = std::getenv(name); value && *value) return value;
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_name) return entry->pw_name;
    return "uid " + std::to_string(::geteuid());
}

DetectorIdentity DetectorFromTags(const std::vector<TagEntry>& tagTable)
{
    const ImageInfo info = ReadImageInfo(tagTable);
    DetectorIdentity detector;
    detector.Manufacturer = info.Manufacturer;
    detector.Model = info.Model;
    detector.Serial = TagValue(tagTable, "00181000");
    detector.DetectorId = info.DetectorId;
    detector.Station = info.Station;
    return detector;
}

QaRecord MakeQaRecord(const AnalysisSettings& settings, const AnalysisResult& result, const DetectorInsight& insight,
                      const GuidelinePreset& preset, const std::vector<TagEntry>& tagTable, std::string fileSha256,
                      const std::vector<std::string>& warnings)
{
    const ImageInfo info = ReadImageInfo(tagTable);
    QaRecord record;
    record.Detector = DetectorFromTags(tagTable);
    record.SoftwareVersions = TagValue(tagTable, "00181020");
    record.SopInstanceUid = TagValue(tagTable, "00080018");
    record.AcquisitionDate = info.AcquisitionDate;
    record.AcquisitionTime = TagValue(tagTable, "00080032");
    record.KVp = info.KVp;
    record.Exposure = info.Exposure;
    record.ExposureUnit = info.ExposureUnit;
    record.PresentationIntentType = info.PresentationIntentType;
    record.FileName = settings.DicomFileName;
    record.FileSha256 = std::move(fileSha256);
    record.Settings = SettingsLine(settings, preset);
    record.Preset = std::string(preset.Name);

    RecordNumbers& numbers = record.Numbers;
    numbers.AreaMean = result.AreaMean;
    numbers.AreaSD = result.AreaSD;
    numbers.AreaSNR = result.AreaSNR;
    numbers.MeanRoiSNR = result.MeanRoiSNR;
    numbers.RoiSNRSD = result.RoiSNRSD;
    numbers.RoiCount = static_cast<std::int64_t>(result.Rois.size());
    numbers.DeviatingRoiCount = static_cast<std::int64_t>(result.BadROIMap.size());
    numbers.DeviatingPixelCount = static_cast<std::int64_t>(result.BadPixelMap.size());
    for (const auto& metric : AllMetricInfos())
        numbers.Metrics[static_cast<std::size_t>(metric.Id)] = insight.Metrics.Robust[metric.Id].Value;

    const GuidelineVerdict verdict = Judge(insight, settings, preset);
    record.Overall = verdict.Overall;

    nlohmann::ordered_json details;
    details["metrics"] = MetricsJson(insight.Metrics.Robust);
    details["every_pixel_metrics"] = MetricsJson(insight.Metrics.EveryPixel);
    details["robust_area_mean"] = Number(insight.RobustRois.AreaMean);
    details["robust_mean_roi_snr"] = Number(insight.RobustRois.MeanRoiSNR);
    auto clusters = nlohmann::ordered_json::array();
    for (const auto& cluster : insight.Clusters.Clusters) {
        clusters.push_back({{"size", cluster.Size},
                            {"left", cluster.Left},
                            {"top", cluster.Top},
                            {"right", cluster.Right},
                            {"bottom", cluster.Bottom},
                            {"centre_x", Number(cluster.CentreX)},
                            {"centre_y", Number(cluster.CentreY)},
                            {"hot", cluster.Hot}});
        record.Clusters.push_back(ClusterBox{cluster.Left, cluster.Top, cluster.Right, cluster.Bottom});
    }
    details["clusters"] = {{"searched", insight.PixelsSearched},
                           {"singles", insight.Clusters.Singles},
                           {"pairs", insight.Clusters.Pairs},
                           {"larger", insight.Clusters.Larger},
                           {"list", std::move(clusters)}};
    auto lines = nlohmann::ordered_json::array();
    for (const auto& line : insight.Lines) {
        lines.push_back({{"orientation", OrientationName(line.Orientation)},
                         {"index", line.Index},
                         {"mean", Number(line.Mean)},
                         {"reference", Number(line.Reference)},
                         {"deviation_pct", Number(line.DeviationPercent)},
                         {"sigmas", Number(line.Sigmas)},
                         {"deviating_pixels", line.DeviatingPixels}});
        record.Lines.push_back(LinePosition{line.Orientation, line.Index});
    }
    std::sort(record.Lines.begin(), record.Lines.end());
    details["lines"] = std::move(lines);
    auto checks = nlohmann::ordered_json::array();
    for (const auto& check : verdict.Checks) {
        checks.push_back({{"key", check.Key},
                          {"value", Number(check.Value)},
                          {"warning", Number(check.Limit.Warning)},
                          {"action", Number(check.Limit.Action)},
                          {"verdict", VerdictName(check.Result)},
                          {"note", check.Note},
                          {"sampling_allowance", check.SamplingAllowance}});
    }
    details["verdicts"] = {{"preset", verdict.Preset}, {"overall", VerdictName(verdict.Overall)}, {"checks", checks}};
    if (!warnings.empty()) details["warnings"] = warnings;
    record.Details = details.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);

    record.DeviatingPixels.reserve(result.BadPixelMap.size());
    for (const auto& pixel : result.BadPixelMap) record.DeviatingPixels.push_back(PixelPosition{pixel.X, pixel.Y});
    std::sort(record.DeviatingPixels.begin(), record.DeviatingPixels.end(),
              [](const PixelPosition& a, const PixelPosition& b) { return std::tie(a.Y, a.X) < std::tie(b.Y, b.X); });
    record.ProgramVersion = EvenorVersion;
    return record;
}

}  // namespace evenor

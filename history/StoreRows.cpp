#include "history/StoreRows.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include "base/Dates.h"

namespace evenor::store {

Columns::Columns(std::string list) : list_(std::move(list))
{
    // The items are split at the commas outside parentheses.
    std::size_t start = 0, index = 0;
    int depth = 0;
    for (std::size_t at = 0; at <= list_.size(); ++at) {
        const char c = at < list_.size() ? list_[at] : ',';
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c != ',' || depth != 0) continue;
        std::string_view item = std::string_view(list_).substr(start, at - start);
        start = at + 1;
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (const std::size_t as = item.rfind(" AS "); as != std::string_view::npos)
            item.remove_prefix(as + 4);
        else if (const std::size_t dot = item.rfind('.'); dot != std::string_view::npos)
            item.remove_prefix(dot + 1);
        if (item.empty() || item.find_first_of(" ()") != std::string_view::npos)
            throw std::logic_error("a column without a name in " + list_);
        byName_.emplace_back(std::string(item), index++);
    }
    std::sort(byName_.begin(), byName_.end());
}

std::size_t Columns::Index(std::string_view name) const
{
    const auto found = std::lower_bound(byName_.begin(), byName_.end(), name,
                                        [](const auto& entry, std::string_view n) { return entry.first < n; });
    if (found == byName_.end() || found->first != name)
        throw std::logic_error("no column " + std::string(name) + " in " + list_);
    return found->second;
}

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

SqlValue Real(std::optional<double> value)
{
    if (!value || !std::isfinite(*value)) return std::monostate{};
    return *value;
}

SqlValue Bytes(std::string text) { return SqlValue(std::move(text)); }

void AppendNumbers(std::vector<SqlValue>& values, const RecordNumbers& n)
{
    values.insert(values.end(), {n.AreaMean, n.AreaSD, n.AreaSNR, n.MeanRoiSNR, n.RoiSNRSD, n.RoiCount,
                                 n.DeviatingRoiCount, n.DeviatingPixelCount});
    for (const auto& metric : n.Metrics) values.push_back(Real(metric));
}

NumberPositions::NumberPositions(const Columns& columns)
    : AreaMean(columns.Index("area_mean")), AreaSD(columns.Index("area_sd")), AreaSNR(columns.Index("area_snr")),
      MeanRoiSNR(columns.Index("mean_roi_snr")), RoiSNRSD(columns.Index("roi_snr_sd")),
      RoiCount(columns.Index("roi_count")), DeviatingRoiCount(columns.Index("deviating_roi_count")),
      DeviatingPixelCount(columns.Index("deviating_pixel_count"))
{
    // The metrics' columns in MetricId order.
    static constexpr std::array<std::string_view, MetricCount> kMetricColumns = {
        "global_uniformity", "local_uniformity", "noise_uniformity", "roi_mean_deviation", "roi_snr_deviation"};
    for (std::size_t m = 0; m < MetricCount; ++m) Metrics[m] = columns.Index(kMetricColumns[m]);
}

RecordNumbers NumbersFrom(const SqlRow& row, const NumberPositions& at)
{
    RecordNumbers n;
    n.AreaMean = AsReal(row.at(at.AreaMean));
    n.AreaSD = AsReal(row.at(at.AreaSD));
    n.AreaSNR = AsReal(row.at(at.AreaSNR));
    n.MeanRoiSNR = AsReal(row.at(at.MeanRoiSNR));
    n.RoiSNRSD = AsReal(row.at(at.RoiSNRSD));
    n.RoiCount = AsInt(row.at(at.RoiCount));
    n.DeviatingRoiCount = AsInt(row.at(at.DeviatingRoiCount));
    n.DeviatingPixelCount = AsInt(row.at(at.DeviatingPixelCount));
    for (std::size_t m = 0; m < MetricCount; ++m) n.Metrics[m] = AsOptionalReal(row.at(at.Metrics[m]));
    return n;
}

RecordNumbers NumbersFrom(const NamedRow& row) { return NumbersFrom(row.Values(), NumberPositions(row.Names())); }

std::string QuestionMarks(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += i ? ", ?" : "?";
    return text;
}

const Columns kDetectorColumns(
    "d.id, d.key, d.key_kind, d.display_name, d.manufacturer, d.model, d.serial, d.detector_id, d.station, "
    "d.test_interval_days, (SELECT count(*) FROM records r WHERE r.detector = d.id) AS record_count, "
    "(SELECT r.tested_at FROM records r WHERE r.detector = d.id AND r.excluded_at IS NULL "
    "ORDER BY r.tested_at DESC LIMIT 1) AS last_tested_at");

DetectorRow DetectorFrom(const NamedRow& row)
{
    DetectorRow d;
    d.Id = AsInt(row["id"]);
    d.Key = AsText(row["key"]);
    d.KeyKind = AsText(row["key_kind"]);
    d.DisplayName = AsText(row["display_name"]);
    d.Manufacturer = AsText(row["manufacturer"]);
    d.Model = AsText(row["model"]);
    d.Serial = AsText(row["serial"]);
    d.DetectorId = AsText(row["detector_id"]);
    d.Station = AsText(row["station"]);
    if (!IsNull(row["test_interval_days"])) d.TestIntervalDays = AsInt(row["test_interval_days"]);
    d.RecordCount = AsInt(row["record_count"]);
    d.LastTestedAt = AsText(row["last_tested_at"]);
    return d;
}

const Columns kBaselineColumns(
    std::string("id, version, set_at, set_by, reason, source, exposure, exposure_unit, kvp, ") + kNumberColumns);
const Columns kBaselineColumnsWithPositions(kBaselineColumns.List() + ", deviating_pixels, line_defects");

Baseline BaselineFrom(const NamedRow& row)
{
    Baseline b;
    b.Id = AsInt(row["id"]);
    b.Version = AsInt(row["version"]);
    b.SetAt = UtcTimeText(AsInt(row["set_at"]));
    b.SetBy = AsText(row["set_by"]);
    b.Reason = AsText(row["reason"]);
    b.Source = AsText(row["source"]);
    b.Exposure = AsText(row["exposure"]);
    b.ExposureUnit = AsText(row["exposure_unit"]);
    b.KVp = AsText(row["kvp"]);
    b.Numbers = NumbersFrom(row);
    return b;
}

const Columns kLimitsColumns("id, version, set_at, set_by, reason, limits");

LimitsVersion LimitsFrom(const NamedRow& row)
{
    LimitsVersion v;
    v.Id = AsInt(row["id"]);
    v.Version = AsInt(row["version"]);
    if (!IsNull(row["set_at"])) v.SetAt = UtcTimeText(AsInt(row["set_at"]));
    v.SetBy = AsText(row["set_by"]);
    v.Reason = AsText(row["reason"]);
    v.Values = UnpackLimits(AsText(row["limits"]));
    return v;
}

}  // namespace evenor::store

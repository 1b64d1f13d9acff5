#include "history/StoreRows.h"

#include <cmath>
#include <ctime>

#include "dicom/UtcTime.h"

namespace evenor::store {

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

RecordNumbers NumbersFrom(const SqlRow& row, std::size_t at)
{
    RecordNumbers n;
    n.AreaMean = AsReal(row[at]);
    n.AreaSD = AsReal(row[at + 1]);
    n.AreaSNR = AsReal(row[at + 2]);
    n.MeanRoiSNR = AsReal(row[at + 3]);
    n.RoiSNRSD = AsReal(row[at + 4]);
    n.RoiCount = AsInt(row[at + 5]);
    n.DeviatingRoiCount = AsInt(row[at + 6]);
    n.DeviatingPixelCount = AsInt(row[at + 7]);
    for (std::size_t m = 0; m < MetricCount; ++m) n.Metrics[m] = AsOptionalReal(row[at + 8 + m]);
    return n;
}

std::string QuestionMarks(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += i ? ", ?" : "?";
    return text;
}

Verdict VerdictFromName(const std::string& name)
{
    for (const Verdict v : {Verdict::Pass, Verdict::Warning, Verdict::Fail})
        if (VerdictName(v) == name) return v;
    return Verdict::NotEvaluated;
}

const char* const kDetectorColumns =
    "d.id, d.key, d.key_kind, d.display_name, d.manufacturer, d.model, d.serial, d.detector_id, d.station, "
    "d.test_interval_days, (SELECT count(*) FROM records r WHERE r.detector = d.id), "
    "(SELECT r.tested_at FROM records r WHERE r.detector = d.id AND r.excluded_at IS NULL "
    "ORDER BY r.tested_at DESC LIMIT 1)";

DetectorRow DetectorFrom(const SqlRow& row)
{
    DetectorRow d;
    d.Id = AsInt(row[0]);
    d.Key = AsText(row[1]);
    d.KeyKind = AsText(row[2]);
    d.DisplayName = AsText(row[3]);
    d.Manufacturer = AsText(row[4]);
    d.Model = AsText(row[5]);
    d.Serial = AsText(row[6]);
    d.DetectorId = AsText(row[7]);
    d.Station = AsText(row[8]);
    if (!IsNull(row[9])) d.TestIntervalDays = AsInt(row[9]);
    d.RecordCount = AsInt(row[10]);
    d.LastTestedAt = AsText(row[11]);
    return d;
}

const char* const kBaselineColumns = "id, version, set_at, set_by, reason, source, exposure, exposure_unit, kvp";

Baseline BaselineFromRow(const SqlRow& row)
{
    Baseline b;
    b.Id = AsInt(row[0]);
    b.Version = AsInt(row[1]);
    b.SetAt = UtcTimeText(AsInt(row[2]));
    b.SetBy = AsText(row[3]);
    b.Reason = AsText(row[4]);
    b.Source = AsText(row[5]);
    b.Exposure = AsText(row[6]);
    b.ExposureUnit = AsText(row[7]);
    b.KVp = AsText(row[8]);
    b.Numbers = NumbersFrom(row, 9);
    return b;
}

const char* const kLimitsColumns = "id, version, set_at, set_by, reason, limits";

LimitsVersion LimitsFromRow(const SqlRow& row)
{
    LimitsVersion v;
    v.Id = AsInt(row[0]);
    v.Version = AsInt(row[1]);
    if (!IsNull(row[2])) v.SetAt = UtcTimeText(AsInt(row[2]));
    v.SetBy = AsText(row[3]);
    v.Reason = AsText(row[4]);
    v.Values = UnpackLimits(AsText(row[5]));
    return v;
}

}  // namespace evenor::store

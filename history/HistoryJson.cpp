#include "history/HistoryJson.h"

#include <cmath>
#include <string>
#include <utility>

#include "insight/Defects.h"
#include "insight/Guidelines.h"
#include "insight/Metrics.h"

namespace evenor {

using Json = nlohmann::ordered_json;

Json JsonNumber(std::optional<double> value)
{
    if (!value || !std::isfinite(*value)) return nullptr;
    return *value;
}

Json NumbersJson(const RecordNumbers& n)
{
    Json metrics = Json::object();
    for (const auto& info : AllMetricInfos())
        metrics[std::string(info.Key)] = JsonNumber(n.Metrics[std::size_t(info.Id)]);
    return {{"area_mean", JsonNumber(n.AreaMean)},
            {"area_sd", JsonNumber(n.AreaSD)},
            {"area_snr", JsonNumber(n.AreaSNR)},
            {"mean_roi_snr", JsonNumber(n.MeanRoiSNR)},
            {"roi_snr_sd", JsonNumber(n.RoiSNRSD)},
            {"roi_count", n.RoiCount},
            {"deviating_roi_count", n.DeviatingRoiCount},
            {"deviating_pixel_count", n.DeviatingPixelCount},
            {"metrics", std::move(metrics)}};
}

Json RecordJson(const StoredRecord& s)
{
    const QaRecord& r = s.Record;
    Json checks = Json::array();
    for (const auto& c : s.Checks)
        checks.push_back({{"key", c.Key},
                          {"value", JsonNumber(c.Value)},
                          {"baseline", JsonNumber(c.Reference)},
                          {"deviation_pct", JsonNumber(c.DeviationPercent)},
                          {"warning", JsonNumber(c.Limit.Warning)},
                          {"action", JsonNumber(c.Limit.Action)},
                          {"verdict", VerdictName(c.Result)},
                          {"note", c.Note}});
    // Details that are not JSON are shown as null.
    const Json details = Json::accept(r.Details) ? Json(kDetailsPlaceholder) : Json(nullptr);
    Json out = {{"id", s.Id},
                {"detector", s.DetectorKey},
                {"detector_name", s.DetectorName},
                {"tested_at", s.TestedAt},
                {"recorded_at", s.RecordedAt},
                {"recorded_by", s.RecordedBy},
                {"manufacturer", r.Detector.Manufacturer},
                {"model", r.Detector.Model},
                {"device_serial_number", r.Detector.Serial},
                {"detector_id", r.Detector.DetectorId},
                {"station_name", r.Detector.Station},
                {"software_versions", r.SoftwareVersions},
                {"sop_instance_uid", r.SopInstanceUid},
                {"acquisition_date", r.AcquisitionDate},
                {"acquisition_time", r.AcquisitionTime},
                {"kvp", r.KVp},
                {"exposure", r.Exposure},
                {"exposure_unit", r.ExposureUnit},
                {"presentation_intent_type", r.PresentationIntentType},
                {"file", r.FileName},
                {"file_sha256", r.FileSha256},
                {"settings", r.Settings},
                {"preset", r.Preset},
                {"program_version", r.ProgramVersion},
                {"overall", VerdictName(r.Overall)},
                {"numbers", NumbersJson(r.Numbers)},
                {"details", details},
                {"baseline_version", s.BaselineVersion ? Json(*s.BaselineVersion) : Json(nullptr)},
                {"baseline_overall", s.BaselineVersion ? Json(VerdictName(s.BaselineOverall)) : Json(nullptr)},
                {"baseline_checks", std::move(checks)},
                {"limits_version", s.LimitsVersion ? Json(*s.LimitsVersion) : Json(nullptr)},
                {"new_since_baseline",
                 {{"pixels", s.NewSinceBaseline.Pixels},
                  {"clusters", s.NewSinceBaseline.Clusters},
                  {"lines", s.NewSinceBaseline.Lines}}},
                {"notes", s.Notes},
                {"excluded", s.Excluded}};
    if (s.Excluded) out["exclusion"] = {{"at", s.ExcludedAt}, {"by", s.ExcludedBy}, {"reason", s.ExcludedReason}};
    return out;
}

Json DetectorJson(const DetectorRow& d)
{
    return {{"key", d.Key},
            {"key_kind", d.KeyKind},
            {"name", d.DisplayName},
            {"manufacturer", d.Manufacturer},
            {"model", d.Model},
            {"device_serial_number", d.Serial},
            {"detector_id", d.DetectorId},
            {"station_name", d.Station},
            {"test_interval_days", d.TestIntervalDays},
            {"records", d.RecordCount},
            {"last_tested_at", d.LastTestedAt}};
}

Json BaselineJson(const Baseline& b)
{
    Json lines = Json::array();
    for (const auto& l : b.Lines)
        lines.push_back({{"orientation", OrientationName(l.Orientation)}, {"index", l.Index}});
    return {{"version", b.Version},
            {"set_at", b.SetAt},
            {"set_by", b.SetBy},
            {"reason", b.Reason},
            {"source", b.Source},
            {"exposure", b.Exposure},
            {"exposure_unit", b.ExposureUnit},
            {"kvp", b.KVp},
            {"numbers", NumbersJson(b.Numbers)},
            {"deviating_pixels", b.DeviatingPixels.size()},
            {"line_defects", std::move(lines)}};
}

Json LimitsJson(const BaselineLimits& values)
{
    Json limits = Json::object();
    for (std::size_t i = 0; i < BaselineCheckCount; ++i) {
        const BaselineCheckInfo& check = AllBaselineChecks()[i];
        limits[std::string(check.Key)] = {
            {"warning", JsonNumber(values[i].Warning)},
            {"action", JsonNumber(values[i].Action)},
            {"default", values[i].Warning == check.Default.Warning && values[i].Action == check.Default.Action}};
    }
    return limits;
}

Json LimitsVersionJson(const LimitsVersion& v)
{
    return {{"version", v.Version},
            {"set_at", v.SetAt.empty() ? Json(nullptr) : Json(v.SetAt)},
            {"set_by", v.SetBy},
            {"reason", v.Reason},
            {"limits", LimitsJson(v.Values)}};
}

}  // namespace evenor

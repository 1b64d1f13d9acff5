#include "qa/ReportSources.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string_view>

namespace evenor {

namespace {

std::string BaselineText(const Baseline& b)
{
    return "Baseline " + std::to_string(b.Version) + ", set " + b.SetAt + " UTC by " + b.SetBy + " (" + b.Reason +
           "), from " + b.Source;
}

// "1 day", "30 days".
std::string Days(std::int64_t count) { return std::to_string(count) + (count == 1 ? " day" : " days"); }

// The numbers a record's row and a baseline's row both show.
template <typename Row> void CopyShownNumbers(Row& row, const RecordNumbers& n)
{
    const auto metric = [&](MetricId id) { return n.Metrics[static_cast<std::size_t>(id)]; };
    row.AreaSnr = n.AreaSNR;
    row.MeanRoiSnr = n.MeanRoiSNR;
    row.GlobalUniformity = metric(MetricId::GlobalUniformity);
    row.LocalUniformity = metric(MetricId::LocalUniformity);
    row.NoiseUniformity = metric(MetricId::NoiseUniformity);
    row.DeviatingRois = n.DeviatingRoiCount;
}

ReportBaselineVersion BaselineRow(const Baseline& b)
{
    ReportBaselineVersion row;
    row.Version = b.Version;
    row.SetAt = b.SetAt;
    row.SetBy = b.SetBy;
    row.Reason = b.Reason;
    row.Source = b.Source;
    row.Exposure = b.Exposure.empty() ? std::string() : b.Exposure + " " + b.ExposureUnit;
    row.AreaMean = b.Numbers.AreaMean;
    CopyShownNumbers(row, b.Numbers);
    return row;
}

}  // namespace

std::string Shown(const DetectorRow& d) { return d.DisplayName.empty() ? d.Key : d.DisplayName + " (" + d.Key + ")"; }

// The trend of baseline check i over the records of one detector (key), each
// record against the baseline in force when it was recorded.
TrendSeries TrendSeriesFor(std::size_t i, const std::string& title, const std::string& key,
                           const std::vector<StoredRecord>& records, const std::vector<Baseline>& baselines,
                           const std::array<Limits, BaselineCheckCount>& limits)
{
    const BaselineCheckInfo& check = AllBaselineChecks()[i];
    TrendSeries series;
    series.Title = title;
    series.ValueName = BaselineAxisLabel(check);
    series.WarningPercent = limits[i].Warning;
    series.ActionPercent = limits[i].Action;
    series.MinimumReference = check.MinimumReference;
    for (const auto& r : records) {
        if (r.DetectorKey != key) continue;
        const std::optional<double> value = check.Of(r.Record.Numbers);
        const std::optional<double> day = DayOf(r.TestedAt);
        if (!value || !std::isfinite(*value) || !day) continue;
        TrendPoint point{.Day = *day, .Value = *value, .Excluded = r.Excluded, .NoBaseline = !r.BaselineVersion};
        if (i < r.Checks.size()) {
            // The limits the record was judged with.
            point.OwnLimits = true;
            point.WarningPercent = r.Checks[i].Limit.Warning;
            point.ActionPercent = r.Checks[i].Limit.Action;
        }
        const auto baseline = std::find_if(baselines.begin(), baselines.end(), [&](const Baseline& b) {
            return r.BaselineVersion && b.Version == *r.BaselineVersion;
        });
        // A check that concerns the exposure is compared only at the baseline's.
        const bool comparable =
            !check.ConcernsExposure ||
            (baseline != baselines.end() && !baseline->Exposure.empty() && r.Record.Exposure == baseline->Exposure &&
             r.Record.ExposureUnit == baseline->ExposureUnit);
        if (baseline != baselines.end() && comparable) point.Reference = check.Of(baseline->Numbers);
        series.Points.push_back(point);
    }
    // Each version from when it was set, or from its first record's test if
    // that was earlier (a test's date is when the image was taken, which can
    // lie before it was recorded), or from the first of the records it was
    // made from that were judged with no baseline: a baseline set from a
    // series recorded after the fact is drawn over that series. Not over a
    // record judged against an earlier version, nor before the version it
    // replaced.
    for (const Baseline& b : baselines) {
        std::optional<double> from = DayOf(b.SetAt);
        const auto take = [&](const std::optional<double>& day) {
            if (day && (!from || *day < *from)) from = day;
        };
        std::optional<double> lastEarlier;  // the newest test judged against an earlier version
        for (const auto& r : records)
            if (r.DetectorKey == key && r.BaselineVersion && *r.BaselineVersion < b.Version)
                if (const std::optional<double> day = DayOf(r.TestedAt); day && (!lastEarlier || *day > *lastEarlier))
                    lastEarlier = day;
        const std::vector<std::int64_t> sources = BaselineSourceRecords(b.Source);
        for (const auto& r : records) {
            if (r.DetectorKey != key) continue;
            const std::optional<double> day = DayOf(r.TestedAt);
            if (r.BaselineVersion == b.Version) take(day);
            if (!r.BaselineVersion && std::find(sources.begin(), sources.end(), r.Id) != sources.end() && day &&
                (!lastEarlier || *day > *lastEarlier))
                take(day);
        }
        if (!from) continue;
        if (!series.Baselines.empty()) from = std::max(*from, series.Baselines.back().FromDay);
        TrendBaseline version{.FromDay = *from};
        // A check that concerns the exposure only at one: a baseline of records at several has none.
        if (!check.ConcernsExposure || !b.Exposure.empty()) version.Reference = check.Of(b.Numbers);
        series.Baselines.push_back(version);
    }
    return series;
}

ReportBaseline ReportBaselineFor(HistoryStore& store, const RecordOutcome& outcome)
{
    ReportBaseline report;
    report.Recorded = outcome.AlreadyRecorded
                          ? "Already recorded as record " + std::to_string(outcome.Id)
                          : "Recorded as record " + std::to_string(outcome.Id) + " for detector " + outcome.DetectorKey;
    report.Notes = outcome.Notes;
    const auto records = store.Records(RecordFilter{outcome.DetectorKey, "", false});
    const auto self =
        std::find_if(records.begin(), records.end(), [&](const StoredRecord& r) { return r.Id == outcome.Id; });
    if (self == records.end()) return report;
    const auto baselines = store.Baselines(outcome.DetectorKey);
    if (self->BaselineVersion) {
        const auto baseline = std::find_if(baselines.begin(), baselines.end(),
                                           [&](const Baseline& b) { return b.Version == *self->BaselineVersion; });
        if (baseline != baselines.end()) report.Baseline = BaselineText(*baseline);
        for (const BaselineCheck& c : self->Checks) {
            const BaselineCheckInfo* info = FindBaselineCheck(c.Key);
            report.Checks.push_back({std::string(info ? info->Name : c.Key), c.Value, c.Reference, c.DeviationPercent,
                                     c.Limit, c.Result, std::string(c.Note), info && info->Counts});
        }
        report.Overall = self->BaselineOverall;
        report.NewPixels = self->NewSinceBaseline.Pixels;
        report.NewClusters = self->NewSinceBaseline.Clusters;
        report.NewLines = self->NewSinceBaseline.Lines;
    }
    // The last records up to this one.
    constexpr std::ptrdiff_t kLastRecords = 12;
    const auto end = self + 1;
    const std::vector<StoredRecord> last(end - std::min(kLastRecords, end - records.begin()), end);
    const auto limits = store.LimitsOf(store.FindDetector(outcome.DetectorKey).Id);
    if (last.size() >= 2)
        for (std::size_t i = 0; i < BaselineCheckCount; ++i)
            report.Trends.push_back(TrendSeriesFor(i, std::string(AllBaselineChecks()[i].Name), outcome.DetectorKey,
                                                   last, baselines, limits));
    return report;
}

HistoryReportData HistoryReportFor(HistoryStore& store, const std::string& detectorName, const std::string& since,
                                   const std::string& today, PaperSize paper)
{
    const DetectorRow detector = store.FindDetector(detectorName);
    const auto records = store.Records(RecordFilter{detector.Key, since, false});
    const auto baselines = store.Baselines(detector.Key);
    const auto limits = store.LimitsOf(detector.Id);
    HistoryReportData data;
    data.Title = Shown(detector);
    data.Key = detector.Key;
    data.KeyKind = detector.KeyKind;
    data.Manufacturer = detector.Manufacturer;
    data.Model = detector.Model;
    data.Serial = detector.Serial;
    data.DetectorId = detector.DetectorId;
    data.Station = detector.Station;
    data.TestIntervalDays = detector.TestIntervalDays;
    data.LastTestedAt = detector.LastTestedAt;
    data.Since = since;
    data.Database = store.Location();
    data.Paper = paper;
    const auto overdue = store.Overdue(today);
    const auto late = std::find_if(overdue.begin(), overdue.end(),
                                   [&](const OverdueDetector& o) { return o.Detector.Id == detector.Id; });
    if (late != overdue.end() && late->NeverTested)
        data.Overdue = "Overdue: never tested";
    else if (late != overdue.end())
        data.Overdue = "Overdue: last tested " + detector.LastTestedAt + ", " + Days(late->DaysSinceTest) +
                       " ago (interval " + Days(detector.TestIntervalDays) + ")";
    else
        data.Overdue =
            "Not overdue: last tested " + detector.LastTestedAt + " (interval " + Days(detector.TestIntervalDays) + ")";
    for (const auto& s : records) {
        ReportRecordRow row;
        const RecordNumbers& n = s.Record.Numbers;
        row.Id = s.Id;
        row.TestedAt = s.TestedAt;
        row.File = std::filesystem::path(s.Record.FileName).filename().string();
        row.Exposure = s.Record.Exposure.empty() ? "exposure unknown"
                                                 : "exposure " + s.Record.Exposure + " " + s.Record.ExposureUnit;
        row.Overall = s.Record.Overall;
        row.BaselineVersion = s.BaselineVersion;
        row.BaselineOverall = s.BaselineOverall;
        CopyShownNumbers(row, n);
        row.DeviatingPixels = n.DeviatingPixelCount;
        row.NewPixels = s.NewSinceBaseline.Pixels;
        row.Excluded = s.Excluded;
        for (const auto& note : s.Notes) row.Notes += (row.Notes.empty() ? "" : "; ") + note;
        if (s.Excluded)
            row.Notes += std::string(row.Notes.empty() ? "" : "; ") + "excluded " + s.ExcludedAt + " by " +
                         s.ExcludedBy + ": " + s.ExcludedReason;
        data.Records.push_back(std::move(row));
    }
    for (const auto& b : baselines) data.Baselines.push_back(BaselineRow(b));
    for (std::size_t i = 0; i < BaselineCheckCount; ++i) {
        data.Limits.push_back({std::string(AllBaselineChecks()[i].Name), limits[i]});
        data.Trends.push_back(
            TrendSeriesFor(i, std::string(AllBaselineChecks()[i].Name), detector.Key, records, baselines, limits));
    }
    return data;
}

}  // namespace evenor

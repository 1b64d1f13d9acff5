#pragma once
// What the printed reports show (ReportPdf.h draws them): one test's report
// and one detector's history. Plain data without Qt, so that the command line
// can fill it without loading the renderer; the history's own types stay out
// too (the renderer does not depend on the history library), the front ends
// copy what the reports show.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/Dates.h"
#include "insight/Guidelines.h"
#include "qa/TrendSeries.h"

namespace evenor {

struct AnalysisSettings;
struct AnalysisResult;
struct ResultContext;

enum class PaperSize : std::uint8_t { A4, Letter };

// "a4", "letter".
inline const char* PaperName(PaperSize paper) { return paper == PaperSize::Letter ? "letter" : "a4"; }

// One check of a test against the baseline in force.
struct ReportBaselineCheck {
    std::string Name;
    std::optional<double> Value, Reference, DeviationPercent;
    Limits Limit;  // % of the baseline value
    Verdict Result = Verdict::NotEvaluated;
    std::string Note;    // why not evaluated
    bool Count = false;  // Value and Reference count things (deviating ROIs): not rounded
};

// The history part of a test's report, when the test is recorded.
struct ReportBaseline {
    std::string Recorded;  // "Recorded as record 12 for detector DET-0042"
    std::string Baseline;  // which baseline version, set when, by whom, why; empty: none yet
    std::vector<ReportBaselineCheck> Checks;
    Verdict Overall = Verdict::NotEvaluated;
    std::int64_t NewPixels = 0, NewClusters = 0, NewLines = 0;  // deviating now, not at baseline
    std::vector<std::string> Notes;                             // software or model changed, ...
    std::vector<TrendSeries> Trends;                            // the last records, small charts
};

// One test. Settings, Result and Context (with its Insight) are the run's;
// not owned, kept alive by the caller while the report is drawn. The numbers
// come from ResultToJson of them, so the report shows the JSON's values.
struct TestReportData {
    const AnalysisSettings* Settings = nullptr;
    const AnalysisResult* Result = nullptr;
    const ResultContext* Context = nullptr;  // Context->Insight and Context->Preset must be set
    // Identity beyond ImageInfo (tags as read, padding removed).
    std::string DeviceSerialNumber;  // 0018,1000
    std::string SoftwareVersions;    // 0018,1020
    std::string AcquisitionTime;     // 0008,0032
    std::string FileSha256;          // of the input file's bytes
    std::string InversionReason;     // why the pixels were (not) inverted
    // When the analysis was made (AnalysisTimeNow when it finished, UTC) and
    // by whom (the front end's --by or preference, else the user's login).
    std::string AnalysedAt, AnalysedBy;
    // Every warning of the run, in the order the front end showed them.
    std::vector<std::string> Warnings;
    std::optional<ReportBaseline> History;
    PaperSize Paper = PaperSize::A4;
};

// One record of a detector's history report.
struct ReportRecordRow {
    std::int64_t Id = 0;
    std::string TestedAt;  // "YYYY-MM-DD HH:MM:SS"
    std::string File;
    std::string Exposure;  // value and unit
    Verdict Overall = Verdict::NotEvaluated;
    std::optional<std::int64_t> BaselineVersion;
    Verdict BaselineOverall = Verdict::NotEvaluated;
    std::optional<double> AreaSnr, MeanRoiSnr, GlobalUniformity, LocalUniformity, NoiseUniformity;
    std::int64_t DeviatingRois = 0, DeviatingPixels = 0;
    std::int64_t NewPixels = 0;
    bool Excluded = false;
    std::string Notes;  // software or model changes, the exclusion's reason
};

struct ReportBaselineVersion {
    std::int64_t Version = 0;
    std::string SetAt, SetBy, Reason, Source, Exposure;
    std::optional<double> AreaSnr, MeanRoiSnr, GlobalUniformity, LocalUniformity, NoiseUniformity, AreaMean;
    std::int64_t DeviatingRois = 0;
};

struct ReportLimit {
    std::string Name;
    Limits Limit;
};

// One detector's history.
struct HistoryReportData {
    std::string Title;  // the detector as shown: display name and key
    std::string Key, KeyKind, Manufacturer, Model, Serial, DetectorId, Station;
    std::int64_t TestIntervalDays = 0;
    std::string LastTestedAt;                      // empty without a test
    std::string Overdue;                           // "overdue: last tested 45 days ago ..." or "not overdue ..."
    std::string Since;                             // the records from this date ("YYYY-MM-DD"); empty: all
    std::string Database;                          // where the history is kept, as shown
    std::vector<ReportRecordRow> Records;          // oldest first
    std::vector<ReportBaselineVersion> Baselines;  // oldest first; the last one is in force
    std::vector<ReportLimit> Limits;               // the baseline checks' limits in force
    std::vector<TrendSeries> Trends;               // one per baseline check
    PaperSize Paper = PaperSize::A4;
};

}  // namespace evenor

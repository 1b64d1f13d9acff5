#pragma once
// What the PDF reports (ReportData.h) show of the QA history, read from the
// store: the history part of a recorded test's report and a detector's
// report, and the trend of each baseline check. Plain C++ on the history
// library, no Qt, so that the command line builds the data and leaves the
// drawing to the map module.
//
// Failure contract: the store's (EvenorError naming the database).
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/Dates.h"
#include "history/HistoryStore.h"
#include "qa/ReportData.h"
#include "qa/TrendSeries.h"

namespace evenor {

// A detector as the history shows it: "NAME (KEY)", or KEY without a name.
std::string Shown(const DetectorRow& detector);

// The trend of baseline check (index into AllBaselineChecks) over the records
// of the detector key, each record against the baseline in force when it was
// recorded (the area mean only at the baseline's exposure), and the baseline
// versions over time (TrendSeries::Baselines): each from when it was set, or
// from the test of the first record judged against it if that is earlier, or
// from that of the first record it was made from that was judged with no
// baseline (a baseline set from a series recorded after the fact is drawn
// over it), never over a record judged against an earlier version.
TrendSeries TrendSeriesFor(std::size_t check, const std::string& title, const std::string& key,
                           const std::vector<StoredRecord>& records, const std::vector<Baseline>& baselines,
                           const std::array<Limits, BaselineCheckCount>& limits);

// The history part of the report of the test just recorded (outcome of
// HistoryStore::Record): what the store said, the checks against the baseline
// in force, the defects new since it, trend charts of the detector's last
// records up to this one.
ReportBaseline ReportBaselineFor(HistoryStore& store, const RecordOutcome& outcome);

// The report of one detector (key or display name): its records tested on or
// after since ("YYYY-MM-DD"; empty: all), its baselines, the limits in force,
// a trend per baseline check, and whether a test is overdue on today
// ("YYYY-MM-DD").
HistoryReportData HistoryReportFor(HistoryStore& store, const std::string& detector, const std::string& since,
                                   const std::string& today, PaperSize paper);

}  // namespace evenor

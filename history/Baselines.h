#pragma once
// Baselines and tolerances: each record of a detector is compared with the
// baseline in force when it was recorded, check by check, as a deviation in
// percent of the baseline's value, judged on its magnitude against a warning
// and an action limit (strictly above a limit exceeds it, as the guideline
// verdicts do).
//
// Default limits (warning / action, % of the baseline value); each detector
// may have its own (HistoryStore::ChangeLimits), and every record keeps the
// limits that were in force when it was made:
//   area_snr                10 / 20
//   mean_roi_snr            10 / 20
//   global_uniformity       50 / 100
//   local_uniformity        50 / 100
//   noise_uniformity        50 / 100
//   deviating_roi_count     50 / 100  (a baseline of 0 counts as 1)
//   area_mean               10 / 20   (only when the exposure equals the baseline's)
// The uniformity metrics are small percentages themselves, so their limits
// are wider: 0.8 % against a baseline of 0.5 % is +60 %.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/QaRecord.h"
#include "insight/Guidelines.h"

namespace evenor {

// One baseline check: everything the history, its charts, the PDF and the
// window know of it. Adding a check is one entry in the table (Baselines.cpp);
// stored limits are keyed by Key, so the order is free but for what is shown.
struct BaselineCheckInfo {
    std::string_view Key;   // stored, and the name the command line takes
    std::string_view Name;  // as shown: "Area SNR"
    Limits Default;         // warning / action, % of the baseline value
    // The record's number the check compares; none when it was not measured.
    std::optional<double> (*Of)(const RecordNumbers&);
    std::string_view Unit;  // of the number, "" for a ratio or a count
    // A baseline value below this counts as this one when the deviation is
    // taken (a count's baseline of 0 counts as 1); 0: the value as it is,
    // whatever its sign.
    double MinimumReference = 0.0;
    // Compared only when the test's exposure equals the baseline's.
    bool ConcernsExposure = false;
    // The number counts things (shown unrounded).
    bool Counts = false;
};
inline constexpr std::size_t BaselineCheckCount = 7;
std::span<const BaselineCheckInfo> AllBaselineChecks();
const BaselineCheckInfo* FindBaselineCheck(std::string_view key);
// The label of the check's chart axis: its name, with its unit when it has one.
std::string BaselineAxisLabel(const BaselineCheckInfo& check);

// A baseline version of one detector.
struct Baseline {
    std::int64_t Id = 0;
    std::int64_t Version = 0;  // 1, 2, ... per detector
    std::string SetAt;         // "YYYY-MM-DD HH:MM:SS" UTC
    std::string SetBy;
    std::string Reason;
    std::string Source;                          // "record 12" or "median of records 3, 4, 7"
    std::string Exposure, ExposureUnit, KVp;     // empty Exposure: the records' exposures differed
    RecordNumbers Numbers;                       // the record's, or the medians
    std::vector<PixelPosition> DeviatingPixels;  // deviating at baseline (in any of its records), sorted by row
    std::vector<LinePosition> Lines;             // line defects at baseline (in any of its records), sorted
};

struct BaselineCheck {
    std::string_view Key;
    std::optional<double> Value, Reference, DeviationPercent;
    Limits Limit;
    Verdict Result = Verdict::NotEvaluated;
    std::string_view Note;  // why not evaluated (a text of the program's own)
};

using BaselineLimits = std::array<Limits, BaselineCheckCount>;  // in AllBaselineChecks order
BaselineLimits DefaultBaselineLimits();

// The limits as stored: one line "KEY WARNING ACTION" per check, "-" for no
// limit, numbers in their shortest exact form. Unpack takes the default for a
// check it does not find and ignores lines it does not know.
std::string PackLimits(const BaselineLimits& limits);
BaselineLimits UnpackLimits(std::string_view text);

// The checks of numbers (with their exposure) against a baseline. limits:
// per check key in AllBaselineChecks order.
std::vector<BaselineCheck> CheckAgainstBaseline(const RecordNumbers& numbers, const std::string& exposure,
                                                const std::string& exposureUnit, const Baseline& baseline,
                                                const BaselineLimits& limits);

// Deviating now but not at baseline.
struct NewDefects {
    std::int64_t Pixels = 0;
    std::int64_t Clusters = 0;  // clusters with no baseline deviating pixel in or next to their box
    std::int64_t Lines = 0;
};
NewDefects NewSinceBaseline(const QaRecord& record, const Baseline& baseline);

// The baseline of one record, or the median (per number) of several. The
// exposure is kept when every record has the same one.
Baseline BaselineFrom(const std::vector<const QaRecord*>& records);

// The record numbers a baseline's Source names ("record 12", "median of
// records 3, 4, 7"), in its order; empty for a text of any other shape.
std::vector<std::int64_t> BaselineSourceRecords(std::string_view source);

// Packs pixel positions as little-endian 32-bit X, Y pairs, and back. Unpack
// ignores a trailing partial pair.
std::string PackPixels(const std::vector<PixelPosition>& pixels);
std::vector<PixelPosition> UnpackPixels(std::string_view bytes);
// Line positions as one byte (0 row, 1 column) and a little-endian 32-bit index each.
std::string PackLines(const std::vector<LinePosition>& lines);
std::vector<LinePosition> UnpackLines(std::string_view bytes);

}  // namespace evenor

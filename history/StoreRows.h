#pragma once
// What the parts of the history store share (internal to the history
// library): the clock, the values bound to statements, and the columns and
// readers of the rows that more than one part reads (detectors, baselines,
// limits versions, the numbers of a record or a baseline).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/HistoryStore.h"
#include "history/SqlSession.h"

namespace evenor::store {

// Seconds since 1970, UTC.
std::int64_t Now();

// A real as stored: NULL for none or for a value that is not finite.
SqlValue Real(std::optional<double> value);
// Text as stored: bytes (BLOB / BYTEA), whatever their encoding.
SqlValue Bytes(std::string text);

// "?, ?, ?" for count parameters.
std::string QuestionMarks(std::size_t count);

// A stored verdict name back; NotEvaluated for any other text.
Verdict VerdictFromName(const std::string& name);

// The columns of the numbers, in the order NumbersFrom reads them.
inline constexpr const char* kNumberColumns =
    "area_mean, area_sd, area_snr, mean_roi_snr, roi_snr_sd, roi_count, "
    "deviating_roi_count, deviating_pixel_count, global_uniformity, "
    "local_uniformity, noise_uniformity, roi_mean_deviation, roi_snr_deviation";
inline constexpr std::size_t kNumberColumnCount = 13;

// The numbers as bound to kNumberColumns, appended to values.
void AppendNumbers(std::vector<SqlValue>& values, const RecordNumbers& n);
// The numbers of kNumberColumns read from row, starting at column at.
RecordNumbers NumbersFrom(const SqlRow& row, std::size_t at);

// A detector's row: its columns (of detectors d) and the reader.
extern const char* const kDetectorColumns;
DetectorRow DetectorFrom(const SqlRow& row);

// A baseline's row: kBaselineColumns, then kNumberColumns.
extern const char* const kBaselineColumns;
Baseline BaselineFromRow(const SqlRow& row);

// A limits version's row.
extern const char* const kLimitsColumns;
LimitsVersion LimitsFromRow(const SqlRow& row);

}  // namespace evenor::store

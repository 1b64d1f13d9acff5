#pragma once
// What the parts of the history store share (internal to the history
// library): the clock, the values bound to statements, and the columns and
// readers of the rows that more than one part reads (detectors, baselines,
// limits versions, the numbers of a record or a baseline).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "history/HistoryStore.h"
#include "history/SqlSession.h"
#include "insight/Guidelines.h"

namespace evenor::store {

// Seconds since 1970, UTC.
std::int64_t Now();

// A real as stored: NULL for none or for a value that is not finite.
SqlValue Real(std::optional<double> value);
// Text as stored: bytes (BLOB / BYTEA), whatever their encoding.
SqlValue Bytes(std::string text);

// "?, ?, ?" for count parameters.
std::string QuestionMarks(std::size_t count);

// The columns of a SELECT by name: a row is read as row["tested_at"], not by
// its position, so that adding or reordering a column cannot read another
// one. A column is named by its own name (after a table's alias: "d.id" is
// "id") or by the name "AS" gives an expression. Naming a column the list
// does not hold throws std::logic_error (the store's calls report it as
// theirs).
class Columns {
public:
    explicit Columns(std::string list);
    // The list as written, for the SELECT.
    const std::string& List() const { return list_; }
    std::size_t Index(std::string_view name) const;

private:
    std::string list_;
    std::vector<std::pair<std::string, std::size_t>> byName_;  // sorted by name
};

// One row of a SELECT of columns.
class NamedRow {
public:
    NamedRow(const Columns& columns, const SqlRow& row) : columns_(columns), row_(row) {}
    const SqlValue& operator[](std::string_view name) const { return row_.at(columns_.Index(name)); }
    const Columns& Names() const { return columns_; }
    const SqlRow& Values() const { return row_; }

private:
    const Columns& columns_;
    const SqlRow& row_;
};

// The columns of the numbers, in the order AppendNumbers binds them.
inline constexpr const char* kNumberColumns =
    "area_mean, area_sd, area_snr, mean_roi_snr, roi_snr_sd, roi_count, "
    "deviating_roi_count, deviating_pixel_count, global_uniformity, "
    "local_uniformity, noise_uniformity, roi_mean_deviation, roi_snr_deviation";

// The numbers as bound to kNumberColumns, appended to values.
void AppendNumbers(std::vector<SqlValue>& values, const RecordNumbers& n);
// The numbers of a row that holds kNumberColumns.
RecordNumbers NumbersFrom(const NamedRow& row);
// The same for many rows of one list: the positions found by name once.
struct NumberPositions {
    explicit NumberPositions(const Columns& columns);
    std::size_t AreaMean, AreaSD, AreaSNR, MeanRoiSNR, RoiSNRSD, RoiCount, DeviatingRoiCount, DeviatingPixelCount;
    std::array<std::size_t, MetricCount> Metrics;
};
RecordNumbers NumbersFrom(const SqlRow& row, const NumberPositions& at);

// A detector's row (of detectors d, with its record count and last test).
extern const Columns kDetectorColumns;
DetectorRow DetectorFrom(const NamedRow& row);

// A baseline's row: its own columns and the numbers; with its positions
// (deviating pixels and lines) or without.
extern const Columns kBaselineColumns;
extern const Columns kBaselineColumnsWithPositions;
Baseline BaselineFrom(const NamedRow& row);  // without the positions

// A limits version's row.
extern const Columns kLimitsColumns;
LimitsVersion LimitsFrom(const NamedRow& row);

}  // namespace evenor::store

#include <span>

#include "base/Dates.h"
#include "base/EvenorError.h"
#include "dicom/TerminalText.h"
#include "history/HistoryStore.h"
#include "history/StoreRows.h"

// Baselines: the one in force, setting a new version, the versions.
namespace evenor {

using namespace store;

std::optional<Baseline> HistoryStore::LatestBaseline(std::int64_t detectorId, bool withPositions)
{
    const SqlValue id = detectorId;
    const Columns& columns = withPositions ? kBaselineColumnsWithPositions : kBaselineColumns;
    const auto rows = session_->Run(
        "SELECT " + columns.List() + " FROM baselines WHERE detector = ? ORDER BY version DESC LIMIT 1", {&id, 1});
    if (rows.empty()) return std::nullopt;
    const NamedRow row(columns, rows.front());
    Baseline baseline = BaselineFrom(row);
    if (withPositions) {
        baseline.DeviatingPixels = UnpackPixels(AsText(row["deviating_pixels"]));
        baseline.Lines = UnpackLines(AsText(row["line_defects"]));
    }
    return baseline;
}

Baseline HistoryStore::StoreBaseline(const DetectorRow& detector, Baseline baseline, const std::string& reason,
                                     const std::string& by)
{
    SqlSession& s = *session_;
    baseline.Reason = reason;
    baseline.SetBy = by.empty() ? OperatingSystemUser() : by;
    const std::int64_t now = Now();
    baseline.SetAt = UtcTimeText(now);
    const SqlValue id = detector.Id;
    baseline.Version =
        AsInt(s.Run("SELECT coalesce(max(version), 0) + 1 FROM baselines WHERE detector = ?", {&id, 1})[0][0]);
    std::vector<SqlValue> values{detector.Id,
                                 baseline.Version,
                                 now,
                                 Bytes(baseline.SetBy),
                                 Bytes(baseline.Reason),
                                 Bytes(baseline.Source),
                                 Bytes(baseline.Exposure),
                                 Bytes(baseline.ExposureUnit),
                                 Bytes(baseline.KVp)};
    AppendNumbers(values, baseline.Numbers);
    values.push_back(Bytes(PackPixels(baseline.DeviatingPixels)));
    values.push_back(Bytes(PackLines(baseline.Lines)));
    const auto inserted = s.Run(std::string("INSERT INTO baselines (detector, version, set_at, set_by, reason, "
                                            "source, exposure, exposure_unit, kvp, ") +
                                    kNumberColumns + ", deviating_pixels, line_defects) VALUES (" +
                                    QuestionMarks(values.size()) + ") RETURNING id",
                                values);
    baseline.Id = AsInt(inserted.front().front());
    return baseline;
}

namespace {

// The records of one detector as the baseline needs them: numbers, exposure,
// positions. sqlTail selects and orders them.
std::vector<QaRecord> BaselineRecords(SqlSession& s, const std::string& where, std::span<const SqlValue> params,
                                      std::vector<std::int64_t>& ids)
{
    static const Columns columns(std::string("id, exposure, exposure_unit, kvp, "
                                             "(SELECT deviating_pixels FROM record_data WHERE record = records.id) "
                                             "AS deviating_pixels, "
                                             "(SELECT line_defects FROM record_data WHERE record = records.id) "
                                             "AS line_defects, ") +
                                 kNumberColumns);
    const auto rows = s.Run("SELECT " + columns.List() + " FROM records WHERE " + where, params);
    std::vector<QaRecord> records;
    for (const auto& values : rows) {
        const NamedRow row(columns, values);
        ids.push_back(AsInt(row["id"]));
        QaRecord r;
        r.Exposure = AsText(row["exposure"]);
        r.ExposureUnit = AsText(row["exposure_unit"]);
        r.KVp = AsText(row["kvp"]);
        r.DeviatingPixels = UnpackPixels(AsText(row["deviating_pixels"]));
        r.Lines = UnpackLines(AsText(row["line_defects"]));
        r.Numbers = NumbersFrom(row);
        records.push_back(std::move(r));
    }
    return records;
}

}  // namespace

Baseline HistoryStore::SetBaselineFromRecord(const std::string& keyOrName, std::int64_t recordId,
                                             const std::string& reason, const std::string& by)
{
    RequireReason(reason, "a new baseline");
    const DetectorRow detector = FindDetector(keyOrName);
    std::vector<std::int64_t> ids;
    std::vector<QaRecord> records;
    try {
        session_->Begin();
        LockVersions(detector.Id);
        const std::vector<SqlValue> params{recordId, detector.Id};
        records = BaselineRecords(*session_, "id = ? AND detector = ?", params, ids);
        if (records.empty()) {
            session_->Rollback();
        } else {
            Baseline baseline = BaselineFrom({&records.front()});
            baseline.Source = "record " + std::to_string(recordId);
            baseline = StoreBaseline(detector, std::move(baseline), reason, by);
            session_->Commit();
            return baseline;
        }
    } catch (const std::exception& e) {
        Fail(e);
    }
    throw EvenorError("History database " + shown_ + ": detector \"" + Printable(detector.Key) + "\" has no record " +
                      std::to_string(recordId));
}

Baseline HistoryStore::SetBaselineFromFirst(const std::string& keyOrName, std::int64_t count, const std::string& reason,
                                            const std::string& by)
{
    RequireReason(reason, "a new baseline");
    const DetectorRow detector = FindDetector(keyOrName);
    if (count < 1) throw EvenorError("History database " + shown_ + ": --first needs at least 1 record");
    std::vector<std::int64_t> ids;
    std::vector<QaRecord> records;
    try {
        session_->Begin();
        LockVersions(detector.Id);
        const std::vector<SqlValue> params{detector.Id, count};
        records = BaselineRecords(*session_, "detector = ? AND excluded_at IS NULL ORDER BY tested_at, id LIMIT ?",
                                  params, ids);
        if (static_cast<std::int64_t>(records.size()) == count) {
            std::vector<const QaRecord*> pointers;
            for (const auto& r : records) pointers.push_back(&r);
            Baseline baseline = BaselineFrom(pointers);
            baseline.Source = "median of records";
            for (std::size_t i = 0; i < ids.size(); ++i) baseline.Source += (i ? ", " : " ") + std::to_string(ids[i]);
            baseline = StoreBaseline(detector, std::move(baseline), reason, by);
            session_->Commit();
            return baseline;
        }
        session_->Rollback();
    } catch (const std::exception& e) {
        Fail(e);
    }
    throw EvenorError("History database " + shown_ + ": detector \"" + Printable(detector.Key) + "\" has " +
                      std::to_string(records.size()) + " records that are not excluded, fewer than " +
                      std::to_string(count));
}

std::vector<Baseline> HistoryStore::Baselines(const std::string& keyOrName)
{
    const DetectorRow detector = FindDetector(keyOrName);
    try {
        const SqlValue id = detector.Id;
        std::vector<Baseline> baselines;
        for (const auto& values : session_->Run("SELECT " + kBaselineColumnsWithPositions.List() +
                                                    " FROM baselines WHERE detector = ? ORDER BY version",
                                                {&id, 1})) {
            const NamedRow row(kBaselineColumnsWithPositions, values);
            Baseline b = BaselineFrom(row);
            b.DeviatingPixels = UnpackPixels(AsText(row["deviating_pixels"]));
            b.Lines = UnpackLines(AsText(row["line_defects"]));
            baselines.push_back(std::move(b));
        }
        return baselines;
    } catch (const std::exception& e) {
        Fail(e);
    }
}

}  // namespace evenor

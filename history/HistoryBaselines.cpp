#include <span>

#include "dicom/EvenorError.h"
#include "dicom/TerminalText.h"
#include "dicom/UtcTime.h"
#include "history/HistoryStore.h"
#include "history/StoreRows.h"

// Baselines: the one in force, setting a new version, the versions.
namespace evenor {

using namespace store;

std::optional<Baseline> HistoryStore::LatestBaseline(std::int64_t detectorId, bool withPositions)
{
    const SqlValue id = detectorId;
    const auto rows = session_->Run(std::string("SELECT ") + kBaselineColumns + ", " + kNumberColumns +
                                        ", deviating_pixels, line_defects FROM baselines WHERE detector = ? "
                                        "ORDER BY version DESC LIMIT 1",
                                    {&id, 1});
    if (rows.empty()) return std::nullopt;
    Baseline baseline = BaselineFromRow(rows.front());
    if (withPositions) {
        baseline.DeviatingPixels = UnpackPixels(AsText(rows.front()[9 + kNumberColumnCount]));
        baseline.Lines = UnpackLines(AsText(rows.front()[10 + kNumberColumnCount]));
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
    const auto rows = s.Run(std::string("SELECT id, exposure, exposure_unit, kvp, "
                                        "(SELECT deviating_pixels FROM record_data WHERE record = records.id), "
                                        "(SELECT line_defects FROM record_data WHERE record = records.id), ") +
                                kNumberColumns + " FROM records WHERE " + where,
                            params);
    std::vector<QaRecord> records;
    for (const auto& row : rows) {
        ids.push_back(AsInt(row[0]));
        QaRecord r;
        r.Exposure = AsText(row[1]);
        r.ExposureUnit = AsText(row[2]);
        r.KVp = AsText(row[3]);
        r.DeviatingPixels = UnpackPixels(AsText(row[4]));
        r.Lines = UnpackLines(AsText(row[5]));
        r.Numbers = NumbersFrom(row, 6);
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
        for (const auto& row : session_->Run(std::string("SELECT ") + kBaselineColumns + ", " + kNumberColumns +
                                                 ", deviating_pixels, line_defects FROM baselines WHERE detector = ? "
                                                 "ORDER BY version",
                                             {&id, 1})) {
            Baseline b = BaselineFromRow(row);
            b.DeviatingPixels = UnpackPixels(AsText(row[9 + kNumberColumnCount]));
            b.Lines = UnpackLines(AsText(row[10 + kNumberColumnCount]));
            baselines.push_back(std::move(b));
        }
        return baselines;
    } catch (const std::exception& e) {
        Fail(e);
    }
}

}  // namespace evenor

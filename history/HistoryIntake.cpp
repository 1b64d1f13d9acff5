#include "base/Dates.h"
#include "base/EvenorError.h"
#include "history/HistoryStore.h"
#include "history/StoreRows.h"

// The intake store: every image that arrived by "serve" or "watch", once by content.
namespace evenor {

using namespace store;

namespace {

const Columns kIntakeColumns(
    "id, sha256, path, source, state, rule, message, record, verdict, detector_key, first_seen, updated_at");

IntakeEntry IntakeFromRow(const SqlRow& values)
{
    const NamedRow row(kIntakeColumns, values);
    IntakeEntry entry;
    entry.Id = AsInt(row["id"]);
    entry.Sha256 = AsText(row["sha256"]);
    entry.Path = AsText(row["path"]);
    entry.Source = AsText(row["source"]);
    entry.State = AsText(row["state"]);
    entry.Rule = AsText(row["rule"]);
    entry.Message = AsText(row["message"]);
    if (!IsNull(row["record"])) entry.RecordId = AsInt(row["record"]);
    entry.Verdict = AsText(row["verdict"]);
    entry.DetectorKey = AsText(row["detector_key"]);
    entry.FirstSeen = UtcTimeText(AsInt(row["first_seen"]));
    entry.UpdatedAt = UtcTimeText(AsInt(row["updated_at"]));
    return entry;
}

}  // namespace

IntakeEntry HistoryStore::ClaimIntake(const std::string& sha256, const std::string& path, const std::string& source,
                                      bool& isNew)
{
    SqlSession& s = *session_;
    try {
        const SqlValue now = Now();
        const SqlValue params[] = {sha256, path, source, std::string(IntakeWaiting), now, now};
        s.Begin();
        // Two receivers of the same content at once: one inserts, the other finds it.
        const auto inserted =
            s.Run("INSERT INTO intake (sha256, path, source, state, first_seen, updated_at) VALUES (?, ?, ?, ?, ?, ?) "
                  "ON CONFLICT (sha256) DO NOTHING RETURNING id",
                  params);
        isNew = !inserted.empty();
        const SqlValue key = sha256;
        const auto rows = s.Run("SELECT " + kIntakeColumns.List() + " FROM intake WHERE sha256 = ?", {&key, 1});
        s.Commit();
        if (rows.empty()) throw EvenorError("the intake entry vanished");
        return IntakeFromRow(rows.front());
    } catch (const std::exception& e) {
        Fail(e);
    }
}

std::optional<IntakeEntry> HistoryStore::FindIntake(const std::string& sha256)
{
    try {
        const SqlValue key = sha256;
        const auto rows = session_->Run("SELECT " + kIntakeColumns.List() + " FROM intake WHERE sha256 = ?", {&key, 1});
        if (rows.empty()) return std::nullopt;
        return IntakeFromRow(rows.front());
    } catch (const std::exception& e) {
        Fail(e);
    }
}

void HistoryStore::DropWaitingIntake(std::int64_t id)
{
    SqlSession& s = *session_;
    try {
        const SqlValue params[] = {id, std::string(IntakeWaiting)};
        s.Begin();
        s.Run("DELETE FROM intake WHERE id = ? AND state = ?", params);
        s.Commit();
    } catch (const std::exception& e) {
        Fail(e);
    }
}

bool HistoryStore::ReopenIntake(std::int64_t id)
{
    SqlSession& s = *session_;
    try {
        const SqlValue params[] = {std::string(IntakeWaiting), Now(), id, std::string(IntakeRefused),
                                   std::string(IntakeUnmatched)};
        s.Begin();
        const auto reopened =
            s.Run("UPDATE intake SET state = ?, rule = NULL, message = NULL, record = NULL, verdict = NULL, "
                  "detector_key = NULL, updated_at = ? WHERE id = ? AND state IN (?, ?) RETURNING id",
                  params);
        s.Commit();
        return !reopened.empty();
    } catch (const std::exception& e) {
        Fail(e);
    }
}

void HistoryStore::FinishIntake(const IntakeEntry& entry)
{
    SqlSession& s = *session_;
    try {
        const SqlValue params[] = {
            entry.State,   entry.Rule,        entry.Message, entry.RecordId ? SqlValue(*entry.RecordId) : SqlValue(),
            entry.Verdict, entry.DetectorKey, Now(),         entry.Id};
        s.Begin();
        s.Run("UPDATE intake SET state = ?, rule = ?, message = ?, record = ?, verdict = ?, detector_key = ?, "
              "updated_at = ? WHERE id = ?",
              params);
        s.Commit();
    } catch (const std::exception& e) {
        Fail(e);
    }
}

std::vector<IntakeEntry> HistoryStore::Intake(const std::string& detector, const std::string& state)
{
    // A detector with records by key or name; else the key itself (a
    // detector whose images were received but not recorded: unmatched,
    // refused, or a rule that does not record).
    std::string key = detector;
    if (!detector.empty()) {
        try {
            key = FindDetector(detector).Key;
        } catch (const EvenorError&) {}
    }
    SqlSession& s = *session_;
    try {
        std::string sql = "SELECT " + kIntakeColumns.List() + " FROM intake WHERE 1 = 1";
        std::vector<SqlValue> params;
        if (!detector.empty()) {
            sql += " AND detector_key = ?";
            params.emplace_back(key);
        }
        if (!state.empty()) {
            sql += " AND state = ?";
            params.emplace_back(state);
        }
        sql += " ORDER BY id DESC";
        std::vector<IntakeEntry> entries;
        for (const auto& row : s.Run(sql, params)) entries.push_back(IntakeFromRow(row));
        return entries;
    } catch (const std::exception& e) {
        Fail(e);
    }
}

std::vector<std::string> HistoryStore::IntakeOnlyDetectors()
{
    try {
        std::vector<std::string> keys;
        for (const auto& row : session_->Run("SELECT DISTINCT detector_key FROM intake WHERE detector_key IS NOT NULL "
                                             "AND detector_key NOT IN (SELECT key FROM detectors) ORDER BY 1",
                                             {})) {
            const std::string key = AsText(row.front());
            if (!key.empty()) keys.push_back(key);
        }
        return keys;
    } catch (const std::exception& e) {
        Fail(e);
    }
}

}  // namespace evenor

#include "base/Dates.h"
#include "base/EvenorError.h"
#include "dicom/TerminalText.h"
#include "history/HistoryStore.h"
#include "history/StoreRows.h"

// Limits: the versions of a detector's warning and action limits.
namespace evenor {

using namespace store;

namespace {

bool SameLimits(const BaselineLimits& a, const BaselineLimits& b)
{
    for (std::size_t i = 0; i < BaselineCheckCount; ++i)
        if (a[i].Warning != b[i].Warning || a[i].Action != b[i].Action) return false;
    return true;
}

}  // namespace

std::optional<LimitsVersion> HistoryStore::LatestLimits(std::int64_t detectorId)
{
    const SqlValue id = detectorId;
    const auto rows = session_->Run("SELECT " + kLimitsColumns.List() +
                                        " FROM limit_versions WHERE detector = ? ORDER BY version DESC LIMIT 1",
                                    {&id, 1});
    if (rows.empty()) return std::nullopt;
    return LimitsFrom(NamedRow(kLimitsColumns, rows.front()));
}

LimitsVersion HistoryStore::ChangeLimits(const std::string& keyOrName, const std::vector<LimitsChange>& changes,
                                         const std::string& reason, const std::string& by)
{
    RequireReason(reason, "a change of limits");
    for (const auto& change : changes)
        if (!FindBaselineCheck(change.Check))
            throw EvenorError("History database " + shown_ + ": no baseline check \"" + Printable(change.Check) + "\"");
    const DetectorRow detector = FindDetector(keyOrName);
    SqlSession& s = *session_;
    try {
        s.Begin();
        LockVersions(detector.Id);
        const std::optional<LimitsVersion> current = LatestLimits(detector.Id);
        LimitsVersion next;
        next.Values = current ? current->Values : DefaultBaselineLimits();
        const auto checks = AllBaselineChecks();
        for (const auto& change : changes)
            for (std::size_t i = 0; i < BaselineCheckCount; ++i)
                if (checks[i].Key == change.Check) next.Values[i] = change.Value.value_or(checks[i].Default);
        if (SameLimits(next.Values, current ? current->Values : DefaultBaselineLimits())) {
            s.Commit();
            return current.value_or(LimitsVersion{});
        }
        const std::int64_t now = Now();
        next.Version = current ? current->Version + 1 : 1;
        next.SetAt = UtcTimeText(now);
        next.SetBy = by.empty() ? OperatingSystemUser() : by;
        next.Reason = reason;
        const std::vector<SqlValue> values{detector.Id,       next.Version,       now,
                                           Bytes(next.SetBy), Bytes(next.Reason), Bytes(PackLimits(next.Values))};
        next.Id = AsInt(s.Run("INSERT INTO limit_versions (detector, version, set_at, set_by, reason, limits) "
                              "VALUES (?, ?, ?, ?, ?, ?) RETURNING id",
                              values)
                            .front()
                            .front());
        s.Commit();
        return next;
    } catch (const std::exception& e) {
        Fail(e);
    }
}

std::vector<LimitsVersion> HistoryStore::LimitsHistory(const std::string& keyOrName)
{
    const DetectorRow detector = FindDetector(keyOrName);
    try {
        const SqlValue id = detector.Id;
        std::vector<LimitsVersion> versions;
        for (const auto& row : session_->Run("SELECT " + kLimitsColumns.List() +
                                                 " FROM limit_versions WHERE detector = ? ORDER BY version",
                                             {&id, 1}))
            versions.push_back(LimitsFrom(NamedRow(kLimitsColumns, row)));
        return versions;
    } catch (const std::exception& e) {
        Fail(e);
    }
}

BaselineLimits HistoryStore::LimitsOf(std::int64_t detectorId)
{
    try {
        const std::optional<LimitsVersion> latest = LatestLimits(detectorId);
        return latest ? latest->Values : DefaultBaselineLimits();
    } catch (const std::exception& e) {
        Fail(e);
    }
}

}  // namespace evenor

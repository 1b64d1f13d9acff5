#pragma once
// The QA history: every recorded test per detector, the detectors with their
// display names and test intervals, versioned baselines and tolerances. One
// interface over two engines (SqlSession.h): an SQLite file by default,
// PostgreSQL when a department shares one database.
//
// Rules the store keeps:
//  - every record is written in one transaction: a crash leaves the record
//    whole or absent;
//  - records are appended and never changed, except that one may be
//    excluded, which keeps it with the reason, who and when;
//  - the same image (by checksum) with the same settings is recorded once;
//  - the schema carries a version and is migrated forward when opened; a
//    database of a newer version is refused.
//
// Failure contract: every call throws EvenorError whose text starts with
// "History database LOCATION: " (a PostgreSQL password is never shown).
// Messages the user acts on ("no detector ...") use the same type. A new
// baseline, an exclusion and a change of limits need a reason that is not
// blank: every front end gets the same refusal.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/Baselines.h"
#include "history/QaRecord.h"
#include "history/SqlSession.h"

namespace evenor {

// The schema this build writes; databases of lower versions are migrated.
inline constexpr std::int64_t HistorySchemaVersion = 3;
// Days between tests of a detector that has no interval of its own.
inline constexpr std::int64_t DefaultTestIntervalDays = 30;

struct DetectorRow {
    std::int64_t Id = 0;
    std::string Key;
    std::string KeyKind;  // KeyKindName
    std::string DisplayName;
    std::string Manufacturer, Model, Serial, DetectorId, Station;  // as first recorded
    std::int64_t TestIntervalDays = DefaultTestIntervalDays;
    std::int64_t RecordCount = 0;
    std::string LastTestedAt;  // of the newest record not excluded; empty without one
};

struct StoredRecord {
    std::int64_t Id = 0;
    std::string DetectorKey, DetectorName;
    std::string TestedAt;    // "YYYY-MM-DD HH:MM:SS": acquisition, else when recorded (UTC)
    std::string RecordedAt;  // "YYYY-MM-DD HH:MM:SS" UTC
    std::string RecordedBy;
    QaRecord Record;                              // without pixels, clusters and lines (see Details)
    std::optional<std::int64_t> BaselineVersion;  // in force when recorded
    NewDefects NewSinceBaseline;
    // The limits version in force when recorded; none: the defaults
    // (DefaultBaselineLimits), which a detector has until its limits change.
    std::optional<std::int64_t> LimitsVersion;
    std::vector<BaselineCheck> Checks;  // against that baseline, with those limits; empty without a baseline
    Verdict BaselineOverall = Verdict::NotEvaluated;
    std::vector<std::string> Notes;  // software or model changed since the previous record
    bool Excluded = false;
    std::string ExcludedAt, ExcludedBy, ExcludedReason;
};

struct RecordFilter {
    std::string Detector;     // key or display name; empty: all
    std::string Since;        // "YYYY-MM-DD": tested on or after; empty: all
    bool WithDetails = true;  // read QaRecord::Details (the JSON of each record)
    // Read the identity of each test: RecordedAt, RecordedBy, the detector's
    // tags but its Model, SOP Instance UID, acquisition date and time, kVp,
    // Presentation Intent Type, file name and checksum, settings, preset,
    // program version. Without it they stay empty (for a listing that does
    // not show them).
    bool WithIdentity = true;
};

struct RecordOutcome {
    std::int64_t Id = 0;
    std::string DetectorKey;
    bool AlreadyRecorded = false;
    std::vector<std::string> Notes;  // "software version changed ...": a natural point to re-baseline
};

// A version of one detector's limits: the whole set in force from SetAt on.
struct LimitsVersion {
    std::int64_t Id = 0;
    std::int64_t Version = 0;  // 1, 2, ... per detector
    std::string SetAt;         // "YYYY-MM-DD HH:MM:SS" UTC; empty when set before changes were recorded
    std::string SetBy, Reason;
    BaselineLimits Values = DefaultBaselineLimits();
};

// One check's new limits; none: back to its default.
struct LimitsChange {
    std::string Check;  // a BaselineCheckInfo key
    std::optional<Limits> Value;
};

struct OverdueDetector {
    DetectorRow Detector;
    std::int64_t DaysSinceTest = 0;  // 0 when never tested
    bool NeverTested = false;        // every record of it is excluded: overdue whatever the interval
};

// An image that arrived by "serve" or "watch", known by its content.
struct IntakeEntry {
    std::int64_t Id = 0;
    std::string Sha256;   // of the file's bytes
    std::string Path;     // where it was found or stored (the first time)
    std::string Source;   // "watch", or "serve from AE"
    std::string State;    // IntakeState* below
    std::string Rule;     // the rule that matched ("rule 2 (\"name\")"); empty when none
    std::string Message;  // why refused, or what the analysis said last
    std::optional<std::int64_t> RecordId;
    std::string Verdict;               // the overall verdict of an analysed image
    std::string DetectorKey;           // of an analysed image
    std::string FirstSeen, UpdatedAt;  // "YYYY-MM-DD HH:MM:SS" UTC
};
inline constexpr const char* IntakeWaiting = "waiting";  // found, not yet analysed
inline constexpr const char* IntakeAnalysed = "analysed";
inline constexpr const char* IntakeUnmatched = "unmatched";  // no rule took it
inline constexpr const char* IntakeRefused = "refused";      // not an image Evenor analyses, or the run failed

class HistoryStore {
public:
    // location: a file path, an SQLite "file:" URI, or a "postgresql://" (or
    // "postgres://") URI. create: make a missing SQLite file (commands that
    // only read pass false, and then nothing is made, not even a folder). The
    // folder of an SQLite file must exist, but for DefaultFile(). An SQLite
    // file holding other tables and no Evenor history is refused.
    static std::unique_ptr<HistoryStore> Open(const std::string& location, bool create = true,
                                              const SqliteOptions& options = {});
    // Opens (creating) the database migrated no further than version: tests
    // write databases of older versions with it. The store's other calls need
    // the current version.
    static std::unique_ptr<HistoryStore> OpenAtSchemaVersion(const std::string& location, std::int64_t version);
    // EVENOR_DB when set and not empty, else DefaultFile().
    static std::string DefaultLocation();
    // UserDataFolder()/evenor/history.sqlite (~/.local/share/evenor/...).
    // Open makes its folder when it may create the file; every other
    // SQLite file's folder must exist.
    static std::string DefaultFile();
    // The location as messages show it: a PostgreSQL password replaced by
    // "***", also one typed with "/", "@", ":" or "?" unencoded.
    static std::string Displayed(const std::string& location);

    ~HistoryStore();

    RecordOutcome Record(const QaRecord& record);

    std::vector<DetectorRow> Detectors();
    // By key, else by display name; throws when none or several match.
    DetectorRow FindDetector(const std::string& keyOrName);
    void RenameDetector(const std::string& keyOrName, const std::string& name);
    void SetTestInterval(const std::string& keyOrName, std::int64_t days);
    // A new limits version of the detector: the limits in force with the
    // changes applied in order. Changes that leave the limits as they are
    // write nothing and return the version in force (Version 0: the
    // defaults). Throws for a check that does not exist.
    LimitsVersion ChangeLimits(const std::string& keyOrName, const std::vector<LimitsChange>& changes,
                               const std::string& reason, const std::string& by);
    // Oldest version first; empty while the detector has the defaults.
    std::vector<LimitsVersion> LimitsHistory(const std::string& keyOrName);
    // The limits in force now.
    BaselineLimits LimitsOf(std::int64_t detectorId);

    // Oldest first (tested, then record number).
    std::vector<StoredRecord> Records(const RecordFilter& filter = {});
    // The same records handed to each one at a time, none kept (a long
    // listing then holds one record at a time; each may take it). each must
    // not use the store.
    void ForEachRecord(const RecordFilter& filter, const std::function<void(StoredRecord&)>& each);

    // A new baseline version from one record of the detector, or the median of
    // its first count records that are not excluded.
    Baseline SetBaselineFromRecord(const std::string& keyOrName, std::int64_t recordId, const std::string& reason,
                                   const std::string& by);
    Baseline SetBaselineFromFirst(const std::string& keyOrName, std::int64_t count, const std::string& reason,
                                  const std::string& by);
    // Oldest version first.
    std::vector<Baseline> Baselines(const std::string& keyOrName);

    void ExcludeRecord(std::int64_t recordId, const std::string& reason, const std::string& by);

    // Detectors whose newest test that is not excluded is more than their
    // interval before today ("YYYY-MM-DD"), or that have none (NeverTested,
    // listed first); then the most overdue first. The one rule of "overdue"
    // for every listing and report.
    std::vector<OverdueDetector> Overdue(const std::string& today);

    // Registers an incoming file by its content. isNew is true when the
    // content was not known; otherwise the entry is the one stored first
    // (its state tells whether it still waits), whatever path it had.
    IntakeEntry ClaimIntake(const std::string& sha256, const std::string& path, const std::string& source, bool& isNew);
    // The entry of that content, if any.
    std::optional<IntakeEntry> FindIntake(const std::string& sha256);
    // The final state of an entry.
    void FinishIntake(const IntakeEntry& entry);
    // Forgets an entry that still waits (an image found while it was still
    // being written); finished entries stay.
    void DropWaitingIntake(std::int64_t id);
    // Sets a refused or unmatched entry back to waiting, its rule, message,
    // verdict and detector cleared, so that it is taken again; false (and
    // nothing changed) when the entry is in another state or gone.
    bool ReopenIntake(std::int64_t id);
    // Newest first; detector (key or display name) and state narrow it when
    // not empty. An entry without a detector (unmatched, refused, waiting) is
    // listed only when no detector is asked for.
    std::vector<IntakeEntry> Intake(const std::string& detector = {}, const std::string& state = {});
    // The detector keys of received images that have no record (no
    // detector row yet), in order.
    std::vector<std::string> IntakeOnlyDetectors();

    SqlSession& Session() { return *session_; }
    const std::string& Location() const { return shown_; }

private:
    HistoryStore(std::unique_ptr<SqlSession> session, std::string shown, std::vector<std::string> secrets);
    static std::unique_ptr<HistoryStore> Connect(const std::string& location, bool create,
                                                 const SqliteOptions& options);
    [[noreturn]] void Fail(const std::exception& e);
    // Throws unless reason holds more than blanks.
    void RequireReason(const std::string& reason, const char* what) const;
    // Holds the detector's next baseline and limits version numbers until the
    // transaction ends.
    void LockVersions(std::int64_t detectorId);
    void Migrate(std::int64_t target);
    Baseline StoreBaseline(const DetectorRow& detector, Baseline baseline, const std::string& reason,
                           const std::string& by);
    std::optional<Baseline> LatestBaseline(std::int64_t detectorId, bool withPositions);
    std::optional<LimitsVersion> LatestLimits(std::int64_t detectorId);

    std::unique_ptr<SqlSession> session_;
    std::string shown_;
    std::vector<std::string> secrets_;  // pieces of the location's passwords, never shown
};

// SQLite's "file:" name of a file, for opening it with URI parameters: its
// absolute path with "%", "?" and "#" escaped.
std::string SqliteFileUri(const std::string& path);

}  // namespace evenor

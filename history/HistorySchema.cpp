#include <iterator>
#include <map>

#include "base/EvenorError.h"
#include "history/HistoryStore.h"
#include "history/StoreRows.h"

// The schema and its migrations.
namespace evenor {

using namespace store;

namespace {

// The schema of version 1, written once for both engines: ID, BYTES, INT and
// REAL are replaced by each engine's types.
constexpr const char* kSchemaV1[] = {
    "CREATE TABLE detectors (id ID, key BYTES NOT NULL UNIQUE, key_kind BYTES NOT NULL, display_name BYTES, "
    "manufacturer BYTES, model BYTES, serial BYTES, detector_id BYTES, station BYTES, test_interval_days INT, "
    "created_at INT NOT NULL)",
    "CREATE TABLE detector_limits (detector INT NOT NULL REFERENCES detectors(id), check_key BYTES NOT NULL, "
    "warning REAL, action REAL, PRIMARY KEY (detector, check_key))",
    "CREATE TABLE baselines (id ID, detector INT NOT NULL REFERENCES detectors(id), version INT NOT NULL, "
    "set_at INT NOT NULL, set_by BYTES, reason BYTES, source BYTES, exposure BYTES, exposure_unit BYTES, kvp BYTES, "
    "area_mean REAL, area_sd REAL, area_snr REAL, mean_roi_snr REAL, roi_snr_sd REAL, roi_count INT, "
    "deviating_roi_count INT, deviating_pixel_count INT, global_uniformity REAL, local_uniformity REAL, "
    "noise_uniformity REAL, roi_mean_deviation REAL, roi_snr_deviation REAL, deviating_pixels BYTES, "
    "line_defects BYTES, UNIQUE (detector, version))",
    "CREATE TABLE records (id ID, detector INT NOT NULL REFERENCES detectors(id), tested_at BYTES NOT NULL, "
    "recorded_at INT NOT NULL, recorded_by BYTES, manufacturer BYTES, model BYTES, serial BYTES, "
    "detector_id BYTES, station BYTES, software_versions BYTES, sop_instance_uid BYTES, acquisition_date BYTES, "
    "acquisition_time BYTES, kvp BYTES, exposure BYTES, exposure_unit BYTES, presentation_intent_type BYTES, "
    "file_name BYTES, file_sha256 BYTES NOT NULL, settings BYTES NOT NULL, preset BYTES, overall BYTES, "
    "area_mean REAL, area_sd REAL, area_snr REAL, mean_roi_snr REAL, roi_snr_sd REAL, roi_count INT, "
    "deviating_roi_count INT, deviating_pixel_count INT, global_uniformity REAL, local_uniformity REAL, "
    "noise_uniformity REAL, roi_mean_deviation REAL, roi_snr_deviation REAL, program_version BYTES, "
    "baseline INT REFERENCES baselines(id), new_pixels INT, new_clusters INT, new_lines INT, excluded_at INT, "
    "excluded_by BYTES, excluded_reason BYTES, "
    // The large values last: a listing that does not read them never walks their overflow pages.
    "details BYTES, deviating_pixels BYTES, line_defects BYTES, UNIQUE (file_sha256, settings))",
    "CREATE INDEX records_by_detector ON records (detector, tested_at, id)",
};

// Version 3: the images that arrived by "serve" or "watch", once each by
// content.
constexpr const char* kSchemaV3[] = {
    "CREATE TABLE intake (id ID, sha256 BYTES NOT NULL UNIQUE, path BYTES NOT NULL, source BYTES, "
    "state BYTES NOT NULL, rule BYTES, message BYTES, record INT REFERENCES records(id), verdict BYTES, "
    "detector_key BYTES, first_seen INT NOT NULL, updated_at INT NOT NULL)",
    "CREATE INDEX intake_by_state ON intake (state, id)",
};

// Version 2: versioned limits per detector, with who, when and why, and each
// record pointing at the version in force when it was made (NULL: the
// defaults; were the defaults ever changed, the migration would have to store
// the old ones as a version for the records that rely on them).
constexpr const char* kLimitVersionsV2 =
    "CREATE TABLE limit_versions (id ID, detector INT NOT NULL REFERENCES detectors(id), version INT NOT NULL, "
    "set_at INT, set_by BYTES, reason BYTES, limits BYTES NOT NULL, UNIQUE (detector, version))";
constexpr const char* kRecordsLimitsColumn = "limits INT REFERENCES limit_versions(id)";
// Also in version 2: the large values of a record (its details and deviating
// positions, kilobytes to megabytes) in a table of their own, so that the
// rows a listing reads are small and many fit in one page.
constexpr const char* kRecordDataV2 =
    "CREATE TABLE record_data (record INT PRIMARY KEY REFERENCES records(id), details BYTES, "
    "deviating_pixels BYTES, line_defects BYTES)";

std::string ForEngine(std::string sql, SqlEngine engine)
{
    const bool sqlite = engine == SqlEngine::Sqlite;
    const std::pair<const char*, const char*> types[] = {
        {"ID", sqlite ? "INTEGER PRIMARY KEY AUTOINCREMENT" : "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"},
        {"BYTES", sqlite ? "BLOB" : "BYTEA"},
        {"INT", sqlite ? "INTEGER" : "BIGINT"},
        {"REAL", sqlite ? "REAL" : "DOUBLE PRECISION"},
    };
    for (const auto& [word, type] : types) {
        const std::string token = std::string(" ") + word;
        for (std::size_t at = sql.find(token); at != std::string::npos; at = sql.find(token, at + 1)) {
            const std::size_t end = at + token.size();
            if (end < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[end])) || sql[end] == '_')) continue;
            sql.replace(at + 1, token.size() - 1, type);
        }
    }
    return sql;
}

// Version 0 (an empty database) to 1: the tables of version 1.
void CreateVersion1(SqlSession& s)
{
    for (const char* statement : kSchemaV1) s.Run(ForEngine(statement, s.Engine()));
}

// Version 1 to 2.
void MigrateToVersion2(SqlSession& s)
{
    s.Run(ForEngine(kLimitVersionsV2, s.Engine()));
    const char* large = "details, deviating_pixels, line_defects";
    if (s.Engine() == SqlEngine::Sqlite) {
        // SQLite drops columns only by rebuilding the table (and would add
        // the new one behind the large values).
        std::string columns;
        for (const auto& row : s.Run("SELECT name FROM pragma_table_info('records') ORDER BY cid"))
            if (const std::string name = AsText(row[0]);
                name != "details" && name != "deviating_pixels" && name != "line_defects")
                columns += (columns.empty() ? "" : ", ") + name;
        std::string create = kSchemaV1[3];
        const std::string blobs = "details BYTES, deviating_pixels BYTES, line_defects BYTES";
        create.replace(create.find(blobs), blobs.size(), kRecordsLimitsColumn);
        s.Run("ALTER TABLE records RENAME TO records_v1");
        s.Run(ForEngine(create, s.Engine()));
        s.Run("INSERT INTO records (" + columns + ") SELECT " + columns + " FROM records_v1");
        s.Run(ForEngine(kRecordDataV2, s.Engine()));
        s.Run(std::string("INSERT INTO record_data (record, ") + large + ") SELECT id, " + large + " FROM records_v1");
        s.Run("DROP TABLE records_v1");
        s.Run(ForEngine(kSchemaV1[4], s.Engine()));
    } else {
        s.Run(ForEngine(std::string("ALTER TABLE records ADD COLUMN ") + kRecordsLimitsColumn, s.Engine()));
        s.Run(ForEngine(kRecordDataV2, s.Engine()));
        s.Run(std::string("INSERT INTO record_data (record, ") + large + ") SELECT id, " + large + " FROM records");
        s.Run("ALTER TABLE records DROP COLUMN details, DROP COLUMN deviating_pixels, DROP COLUMN line_defects");
    }
    // The limits of version 1 (one row per changed check, no history) become
    // each detector's limits version 1, in force for its records so far: they
    // were judged with them.
    std::map<std::int64_t, BaselineLimits> old;
    const auto checks = AllBaselineChecks();
    for (const auto& row :
         s.Run("SELECT detector, check_key, warning, action FROM detector_limits ORDER BY detector")) {
        auto [at, added] = old.try_emplace(AsInt(row[0]), DefaultBaselineLimits());
        for (std::size_t i = 0; i < BaselineCheckCount; ++i)
            if (checks[i].Key == AsText(row[1])) at->second[i] = Limits{AsOptionalReal(row[2]), AsOptionalReal(row[3])};
    }
    for (const auto& [detector, limits] : old) {
        const std::vector<SqlValue> values{detector, Bytes("kept from a database of schema version 1"),
                                           Bytes(PackLimits(limits))};
        const SqlValue id = AsInt(s.Run("INSERT INTO limit_versions (detector, version, reason, limits) "
                                        "VALUES (?, 1, ?, ?) RETURNING id",
                                        values)
                                      .front()
                                      .front());
        const std::vector<SqlValue> update{id, detector};
        s.Run("UPDATE records SET limits = ? WHERE detector = ?", update);
    }
    s.Run("DROP TABLE detector_limits");
}

// Version 2 to 3: the intake.
void AddIntake(SqlSession& s)
{
    for (const char* statement : kSchemaV3) s.Run(ForEngine(statement, s.Engine()));
}

// The migrations in order: step k brings the schema from version k to k + 1.
// A new version is one more step here (and HistorySchemaVersion one higher).
constexpr void (*kMigrations[])(SqlSession&) = {CreateVersion1, MigrateToVersion2, AddIntake};
static_assert(std::size(kMigrations) == HistorySchemaVersion);

}  // namespace

void HistoryStore::Migrate(std::int64_t target)
{
    SqlSession& s = *session_;
    const bool sqlite = s.Engine() == SqlEngine::Sqlite;
    const auto version = [&]() -> std::optional<std::int64_t> {
        const auto exists =
            s.Run(sqlite ? "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'evenor_schema'"
                         : "SELECT count(*) FROM information_schema.tables WHERE table_name = 'evenor_schema' "
                           "AND table_schema = current_schema()");
        if (AsInt(exists.front().front()) == 0) return std::nullopt;
        const auto rows = s.Run("SELECT max(version) FROM evenor_schema");
        return rows.empty() ? 0 : AsInt(rows.front().front());
    };
    const auto refuseNewer = [&](std::int64_t found) {
        if (found > HistorySchemaVersion)
            throw EvenorError("written by a newer Evenor (schema version " + std::to_string(found) +
                              "; this Evenor knows versions up to " + std::to_string(HistorySchemaVersion) +
                              "); use that version of Evenor or a newer one");
    };
    try {
        // Most opens find the schema current and write nothing (a read-only
        // database can still be listed).
        const std::optional<std::int64_t> before = version();
        if (before && *before >= target) {
            refuseNewer(*before);
            return;
        }
        // An SQLite file of another application: Evenor's tables are not
        // added to it. (A PostgreSQL schema may well be shared.)
        if (!before && sqlite &&
            AsInt(s.Run("SELECT count(*) FROM sqlite_master WHERE name NOT LIKE 'sqlite!_%' ESCAPE '!'")
                      .front()
                      .front()) > 0)
            throw EvenorError("this file holds the tables of another application, not an Evenor history; name a "
                              "new file or an Evenor history database");
        s.Begin();
        // Two processes creating the schema at once: one waits for the other.
        if (!sqlite) s.Run("SELECT pg_advisory_xact_lock(7411200)");
        std::optional<std::int64_t> found = version();
        if (!found) {
            s.Run(ForEngine("CREATE TABLE evenor_schema (version INT NOT NULL)", s.Engine()));
            s.Run("INSERT INTO evenor_schema (version) VALUES (0)");
            found = 0;
        }
        refuseNewer(*found);
        // Each step brings the schema from version N to N + 1.
        for (std::int64_t v = *found; v < target; ++v) {
            kMigrations[v](s);
            const SqlValue next = v + 1;
            s.Run("UPDATE evenor_schema SET version = ?", {&next, 1});
        }
        s.Commit();
    } catch (const std::exception& e) {
        Fail(e);
    }
}

}  // namespace evenor

#include <algorithm>
#include <array>
#include <map>
#include <string_view>

#include "base/Dates.h"
#include "base/EvenorError.h"
#include "history/HistoryStore.h"
#include "history/StoreRows.h"

// Records: recording a test, listing the records, excluding one.
namespace evenor {

using namespace store;

RecordOutcome HistoryStore::Record(const QaRecord& record)
{
    SqlSession& s = *session_;
    RecordOutcome outcome;
    outcome.DetectorKey = record.Detector.Key();
    try {
        s.Begin();
        const std::vector<SqlValue> identity{Bytes(record.FileSha256), Bytes(record.Settings)};
        const auto existing = s.Run("SELECT id FROM records WHERE file_sha256 = ? AND settings = ?", identity);
        if (!existing.empty()) {
            s.Commit();
            outcome.Id = AsInt(existing.front().front());
            outcome.AlreadyRecorded = true;
            return outcome;
        }
        const std::int64_t now = Now();
        const DetectorIdentity& d = record.Detector;
        const std::vector<SqlValue> detector{Bytes(outcome.DetectorKey),
                                             Bytes(KeyKindName(d.KeyKind())),
                                             Bytes(d.Manufacturer),
                                             Bytes(d.Model),
                                             Bytes(d.Serial),
                                             Bytes(d.DetectorId),
                                             Bytes(d.Station),
                                             now};
        s.Run("INSERT INTO detectors (key, key_kind, manufacturer, model, serial, detector_id, station, created_at) "
              "VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (key) DO NOTHING",
              detector);
        const SqlValue key = Bytes(outcome.DetectorKey);
        const std::int64_t detectorId = AsInt(s.Run("SELECT id FROM detectors WHERE key = ?", {&key, 1})[0][0]);
        const SqlValue detectorValue = detectorId;

        const auto previous =
            s.Run("SELECT software_versions, model FROM records WHERE detector = ? ORDER BY id DESC LIMIT 1",
                  {&detectorValue, 1});
        if (!previous.empty()) {
            const std::string software = AsText(previous[0][0]), model = AsText(previous[0][1]);
            if (software != record.SoftwareVersions)
                outcome.Notes.push_back("Software version changed from \"" + software + "\" to \"" +
                                        record.SoftwareVersions + "\": a natural point to set a new baseline");
            if (model != d.Model)
                outcome.Notes.push_back("Model changed from \"" + model + "\" to \"" + d.Model +
                                        "\": a natural point to set a new baseline");
        }

        SqlValue limitsId = std::monostate{};
        if (const std::optional<LimitsVersion> limits = LatestLimits(detectorId)) limitsId = limits->Id;
        SqlValue baselineId = std::monostate{};
        NewDefects fresh;
        if (const std::optional<Baseline> baseline = LatestBaseline(detectorId, true)) {
            baselineId = baseline->Id;
            fresh = NewSinceBaseline(record, *baseline);
        }
        std::string testedAt = TestedAtText(record.AcquisitionDate, record.AcquisitionTime);
        if (testedAt.empty()) testedAt = UtcTimeText(now);
        std::vector<SqlValue> values{detectorId,
                                     Bytes(testedAt),
                                     now,
                                     Bytes(record.RecordedBy.empty() ? OperatingSystemUser() : record.RecordedBy),
                                     Bytes(d.Manufacturer),
                                     Bytes(d.Model),
                                     Bytes(d.Serial),
                                     Bytes(d.DetectorId),
                                     Bytes(d.Station),
                                     Bytes(record.SoftwareVersions),
                                     Bytes(record.SopInstanceUid),
                                     Bytes(record.AcquisitionDate),
                                     Bytes(record.AcquisitionTime),
                                     Bytes(record.KVp),
                                     Bytes(record.Exposure),
                                     Bytes(record.ExposureUnit),
                                     Bytes(record.PresentationIntentType),
                                     Bytes(record.FileName),
                                     Bytes(record.FileSha256),
                                     Bytes(record.Settings),
                                     Bytes(record.Preset),
                                     Bytes(std::string(VerdictName(record.Overall)))};
        AppendNumbers(values, record.Numbers);
        values.insert(values.end(),
                      {Bytes(record.ProgramVersion), baselineId, limitsId, fresh.Pixels, fresh.Clusters, fresh.Lines});
        const std::string insert =
            std::string("INSERT INTO records (detector, tested_at, recorded_at, recorded_by, manufacturer, model, "
                        "serial, detector_id, station, software_versions, sop_instance_uid, acquisition_date, "
                        "acquisition_time, kvp, exposure, exposure_unit, presentation_intent_type, file_name, "
                        "file_sha256, settings, preset, overall, ") +
            kNumberColumns +
            ", program_version, baseline, limits, new_pixels, new_clusters, "
            "new_lines) VALUES (" +
            QuestionMarks(values.size()) + ") ON CONFLICT (file_sha256, settings) DO NOTHING RETURNING id";
        const auto inserted = s.Run(insert, values);
        if (inserted.empty()) {
            // Another process recorded the same test a moment ago (PostgreSQL).
            outcome.Id = AsInt(s.Run("SELECT id FROM records WHERE file_sha256 = ? AND settings = ?", identity)[0][0]);
            outcome.AlreadyRecorded = true;
            outcome.Notes.clear();
        } else {
            outcome.Id = AsInt(inserted.front().front());
            const std::vector<SqlValue> data{outcome.Id, Bytes(record.Details),
                                             Bytes(PackPixels(record.DeviatingPixels)), Bytes(PackLines(record.Lines))};
            s.Run("INSERT INTO record_data (record, details, deviating_pixels, line_defects) VALUES (?, ?, ?, ?)",
                  data);
        }
        s.Commit();
        return outcome;
    } catch (const std::exception& e) {
        Fail(e);
    }
}

std::vector<StoredRecord> HistoryStore::Records(const RecordFilter& filter)
{
    std::vector<StoredRecord> records;
    // Room for all at once: a record is large, and moving thousands as the
    // vector grows costs more than counting them.
    std::int64_t count = 0;
    if (!filter.Detector.empty()) {
        count = FindDetector(filter.Detector).RecordCount;
    } else {
        try {
            count = AsInt(session_->Run("SELECT count(*) FROM records").front().front());
        } catch (const std::exception& e) {
            Fail(e);
        }
    }
    records.reserve(static_cast<std::size_t>(count));
    ForEachRecord(filter, [&](StoredRecord& record) { records.push_back(std::move(record)); });
    return records;
}

void HistoryStore::ForEachRecord(const RecordFilter& filter, const std::function<void(StoredRecord&)>& each)
{
    std::optional<DetectorRow> detector;
    if (!filter.Detector.empty()) detector = FindDetector(filter.Detector);
    try {
        // The detectors' keys and names, and the baselines and limits versions
        // the records point at, are read once each rather than joined to every row.
        std::map<std::int64_t, std::pair<std::string, std::string>> names;  // key, display name
        if (detector)
            names.emplace(detector->Id, std::pair(detector->Key, detector->DisplayName));
        else
            for (const auto& row : session_->Run("SELECT id, key, display_name FROM detectors"))
                names.emplace(AsInt(row[0]), std::pair(AsText(row[1]), AsText(row[2])));

        // The columns the listing shows always; the identity and the details when asked for.
        std::string list = std::string("id, detector, tested_at, recorded_at, model, software_versions, exposure, "
                                       "exposure_unit, overall, baseline, limits, new_pixels, new_clusters, new_lines, "
                                       "excluded_at, excluded_reason, excluded_by, ") +
                           kNumberColumns;
        if (filter.WithIdentity)
            list += ", recorded_by, manufacturer, serial, detector_id, station, sop_instance_uid, acquisition_date, "
                    "acquisition_time, kvp, presentation_intent_type, file_name, file_sha256, settings, preset, "
                    "program_version";
        if (filter.WithDetails)
            list += ", (SELECT details FROM record_data WHERE record_data.record = records.id) AS details";
        const Columns columns(std::move(list));
        std::string sql = "SELECT " + columns.List() + " FROM records WHERE 1 = 1";
        std::vector<SqlValue> params;
        if (detector) {
            sql += " AND detector = ?";
            params.push_back(detector->Id);
        }
        if (!filter.Since.empty()) {
            sql += " AND tested_at >= ?";
            params.push_back(Bytes(filter.Since));
        }
        sql += " ORDER BY tested_at, id";

        static const BaselineLimits defaults = DefaultBaselineLimits();
        std::map<std::int64_t, std::optional<Baseline>> baselines;             // by id
        std::map<std::int64_t, LimitsVersion> limits;                          // by id
        std::map<std::int64_t, std::pair<std::string, std::string>> previous;  // software, model per detector
        // The columns' positions, found by name once for all rows (a name's
        // lookup for every value of every row costs more than reading it).
        enum Column : std::size_t {
            kBaseline,
            kDetector,
            kExcludedAt,
            kExcludedBy,
            kExcludedReason,
            kExposure,
            kExposureUnit,
            kId,
            kLimits,
            kModel,
            kNewClusters,
            kNewLines,
            kNewPixels,
            kOverall,
            kRecordedAt,
            kSoftwareVersions,
            kTestedAt,
            kRecordedBy,
            kManufacturer,
            kSerial,
            kDetectorId,
            kStation,
            kSopInstanceUid,
            kAcquisitionDate,
            kAcquisitionTime,
            kKvp,
            kPresentationIntentType,
            kFileName,
            kFileSha256,
            kSettings,
            kPreset,
            kProgramVersion,
            kDetails,
            ColumnCount
        };
        static constexpr std::array<std::string_view, ColumnCount> kNames = {"baseline",
                                                                             "detector",
                                                                             "excluded_at",
                                                                             "excluded_by",
                                                                             "excluded_reason",
                                                                             "exposure",
                                                                             "exposure_unit",
                                                                             "id",
                                                                             "limits",
                                                                             "model",
                                                                             "new_clusters",
                                                                             "new_lines",
                                                                             "new_pixels",
                                                                             "overall",
                                                                             "recorded_at",
                                                                             "software_versions",
                                                                             "tested_at",
                                                                             "recorded_by",
                                                                             "manufacturer",
                                                                             "serial",
                                                                             "detector_id",
                                                                             "station",
                                                                             "sop_instance_uid",
                                                                             "acquisition_date",
                                                                             "acquisition_time",
                                                                             "kvp",
                                                                             "presentation_intent_type",
                                                                             "file_name",
                                                                             "file_sha256",
                                                                             "settings",
                                                                             "preset",
                                                                             "program_version",
                                                                             "details"};
        std::array<std::size_t, ColumnCount> at{};
        for (std::size_t c = 0; c < ColumnCount; ++c) {
            const bool identity = c >= kRecordedBy && c < kDetails;
            if ((identity && !filter.WithIdentity) || (c == kDetails && !filter.WithDetails)) continue;
            at[c] = columns.Index(kNames[c]);
        }
        const NumberPositions numbersAt(columns);
        session_->ForEach(sql, params, [&](const SqlRow& values) {
            const auto row = [&](Column c) -> const SqlValue& { return values[at[c]]; };
            StoredRecord out;
            out.Id = AsInt(row(kId));
            const std::int64_t detectorId = AsInt(row(kDetector));
            if (const auto name = names.find(detectorId); name != names.end()) {
                out.DetectorKey = name->second.first;
                out.DetectorName = name->second.second;
            }
            out.TestedAt = AsText(row(kTestedAt));
            QaRecord& r = out.Record;
            r.Detector.Model = AsText(row(kModel));
            r.SoftwareVersions = AsText(row(kSoftwareVersions));
            r.Exposure = AsText(row(kExposure));
            r.ExposureUnit = AsText(row(kExposureUnit));
            r.Overall = VerdictFromName(AsText(row(kOverall)));
            out.NewSinceBaseline = NewDefects{AsInt(row(kNewPixels)), AsInt(row(kNewClusters)), AsInt(row(kNewLines))};
            out.Excluded = !IsNull(row(kExcludedAt));
            if (out.Excluded) {
                out.ExcludedAt = UtcTimeText(AsInt(row(kExcludedAt)));
                out.ExcludedReason = AsText(row(kExcludedReason));
                out.ExcludedBy = AsText(row(kExcludedBy));
            }
            r.Numbers = NumbersFrom(values, numbersAt);
            if (filter.WithIdentity) {
                out.RecordedAt = UtcTimeText(AsInt(row(kRecordedAt)));
                out.RecordedBy = AsText(row(kRecordedBy));
                r.RecordedBy = out.RecordedBy;
                r.Detector.Manufacturer = AsText(row(kManufacturer));
                r.Detector.Serial = AsText(row(kSerial));
                r.Detector.DetectorId = AsText(row(kDetectorId));
                r.Detector.Station = AsText(row(kStation));
                r.SopInstanceUid = AsText(row(kSopInstanceUid));
                r.AcquisitionDate = AsText(row(kAcquisitionDate));
                r.AcquisitionTime = AsText(row(kAcquisitionTime));
                r.KVp = AsText(row(kKvp));
                r.PresentationIntentType = AsText(row(kPresentationIntentType));
                r.FileName = AsText(row(kFileName));
                r.FileSha256 = AsText(row(kFileSha256));
                r.Settings = AsText(row(kSettings));
                r.Preset = AsText(row(kPreset));
                r.ProgramVersion = AsText(row(kProgramVersion));
            }
            if (filter.WithDetails) r.Details = AsText(row(kDetails));

            const BaselineLimits* inForce = &defaults;
            if (!IsNull(row(kLimits))) {
                const std::int64_t limitsId = AsInt(row(kLimits));
                auto version = limits.find(limitsId);
                if (version == limits.end()) {
                    const SqlValue id = limitsId;
                    const auto v = session_->Run(
                        "SELECT " + kLimitsColumns.List() + " FROM limit_versions WHERE id = ?", {&id, 1});
                    version =
                        limits
                            .emplace(limitsId, v.empty() ? LimitsVersion{} : LimitsFrom(NamedRow(kLimitsColumns, v[0])))
                            .first;
                }
                inForce = &version->second.Values;
                out.LimitsVersion = version->second.Version;
            }
            if (!IsNull(row(kBaseline))) {
                const std::int64_t baselineId = AsInt(row(kBaseline));
                auto found = baselines.find(baselineId);
                if (found == baselines.end()) {
                    const SqlValue id = baselineId;
                    const auto b =
                        session_->Run("SELECT " + kBaselineColumns.List() + " FROM baselines WHERE id = ?", {&id, 1});
                    found = baselines
                                .emplace(baselineId,
                                         b.empty() ? std::nullopt
                                                   : std::optional(BaselineFrom(NamedRow(kBaselineColumns, b[0]))))
                                .first;
                }
                if (found->second) {
                    out.BaselineVersion = found->second->Version;
                    out.Checks = CheckAgainstBaseline(r.Numbers, r.Exposure, r.ExposureUnit, *found->second, *inForce);
                    for (const auto& check : out.Checks)
                        out.BaselineOverall = std::max(out.BaselineOverall, check.Result);
                }
            }
            auto last = previous.find(detectorId);
            if (last != previous.end()) {
                if (last->second.first != r.SoftwareVersions)
                    out.Notes.push_back("software version changed from \"" + last->second.first + "\" to \"" +
                                        r.SoftwareVersions + "\"");
                if (last->second.second != r.Detector.Model)
                    out.Notes.push_back("model changed from \"" + last->second.second + "\" to \"" + r.Detector.Model +
                                        "\"");
                last->second = {r.SoftwareVersions, r.Detector.Model};
            } else {
                previous.emplace(detectorId, std::pair(r.SoftwareVersions, r.Detector.Model));
            }
            each(out);
        });
    } catch (const std::exception& e) {
        Fail(e);
    }
}

void HistoryStore::ExcludeRecord(std::int64_t recordId, const std::string& reason, const std::string& by)
{
    RequireReason(reason, "an exclusion");
    std::vector<SqlRow> done;
    try {
        const std::vector<SqlValue> values{Now(), Bytes(by.empty() ? OperatingSystemUser() : by), Bytes(reason),
                                           recordId};
        done = session_->Run("UPDATE records SET excluded_at = ?, excluded_by = ?, excluded_reason = ? "
                             "WHERE id = ? AND excluded_at IS NULL RETURNING id",
                             values);
    } catch (const std::exception& e) {
        Fail(e);
    }
    if (done.empty())
        throw EvenorError("History database " + shown_ + ": no record " + std::to_string(recordId) +
                          " that is not excluded already");
}

}  // namespace evenor

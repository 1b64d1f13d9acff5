#include "cli/HistoryCommands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/CliCommands.h"
#include "cli/MapExport.h"
#include "dicom/EvenorError.h"
#include "history/HistoryStore.h"
#include "insight/ResultExport.h"
#include "render/ReportSources.h"

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;

std::string Real(std::optional<double> value, int decimals)
{
    if (!value || !std::isfinite(*value)) return "-";
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(decimals) << *value;
    return text.str();
}

Json Number(std::optional<double> value)
{
    if (!value || !std::isfinite(*value)) return nullptr;
    return *value;
}

std::string CsvField(const std::string& text)
{
    std::string field = text;
    if (!field.empty() && std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos)
        field.insert(0, 1, '\'');
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (const char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// "YYYY-MM-DD" from "YYYY-MM-DD" or "YYYYMMDD"; empty when neither.
std::string DateArgument(const std::string& text)
{
    const auto digits = [](std::string_view s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (text.size() == 8 && digits(text)) return text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2);
    if (text.size() == 10 && text[4] == '-' && text[7] == '-' && digits(text.substr(0, 4)) &&
        digits(text.substr(5, 2)) && digits(text.substr(8, 2)))
        return text;
    return {};
}

Json NumbersJson(const RecordNumbers& n)
{
    Json metrics = Json::object();
    for (const auto& info : AllMetricInfos()) metrics[std::string(info.Key)] = Number(n.Metrics[std::size_t(info.Id)]);
    return {{"area_mean", Number(n.AreaMean)},
            {"area_sd", Number(n.AreaSD)},
            {"area_snr", Number(n.AreaSNR)},
            {"mean_roi_snr", Number(n.MeanRoiSNR)},
            {"roi_snr_sd", Number(n.RoiSNRSD)},
            {"roi_count", n.RoiCount},
            {"deviating_roi_count", n.DeviatingRoiCount},
            {"deviating_pixel_count", n.DeviatingPixelCount},
            {"metrics", std::move(metrics)}};
}

Json RecordJson(const StoredRecord& s)
{
    const QaRecord& r = s.Record;
    Json checks = Json::array();
    for (const auto& c : s.Checks)
        checks.push_back({{"key", c.Key},
                          {"value", Number(c.Value)},
                          {"baseline", Number(c.Reference)},
                          {"deviation_pct", Number(c.DeviationPercent)},
                          {"warning", Number(c.Limit.Warning)},
                          {"action", Number(c.Limit.Action)},
                          {"verdict", VerdictName(c.Result)},
                          {"note", c.Note}});
    Json details = Json::parse(r.Details, nullptr, false);
    if (details.is_discarded()) details = nullptr;
    Json out = {{"id", s.Id},
                {"detector", s.DetectorKey},
                {"detector_name", s.DetectorName},
                {"tested_at", s.TestedAt},
                {"recorded_at", s.RecordedAt},
                {"recorded_by", s.RecordedBy},
                {"manufacturer", r.Detector.Manufacturer},
                {"model", r.Detector.Model},
                {"device_serial_number", r.Detector.Serial},
                {"detector_id", r.Detector.DetectorId},
                {"station_name", r.Detector.Station},
                {"software_versions", r.SoftwareVersions},
                {"sop_instance_uid", r.SopInstanceUid},
                {"acquisition_date", r.AcquisitionDate},
                {"acquisition_time", r.AcquisitionTime},
                {"kvp", r.KVp},
                {"exposure", r.Exposure},
                {"exposure_unit", r.ExposureUnit},
                {"presentation_intent_type", r.PresentationIntentType},
                {"file", r.FileName},
                {"file_sha256", r.FileSha256},
                {"settings", r.Settings},
                {"preset", r.Preset},
                {"program_version", r.ProgramVersion},
                {"overall", VerdictName(r.Overall)},
                {"numbers", NumbersJson(r.Numbers)},
                {"details", std::move(details)},
                {"baseline_version", s.BaselineVersion ? Json(*s.BaselineVersion) : Json(nullptr)},
                {"baseline_overall", s.BaselineVersion ? Json(VerdictName(s.BaselineOverall)) : Json(nullptr)},
                {"baseline_checks", std::move(checks)},
                {"new_since_baseline",
                 {{"pixels", s.NewSinceBaseline.Pixels},
                  {"clusters", s.NewSinceBaseline.Clusters},
                  {"lines", s.NewSinceBaseline.Lines}}},
                {"notes", s.Notes},
                {"excluded", s.Excluded}};
    if (s.Excluded) out["exclusion"] = {{"at", s.ExcludedAt}, {"by", s.ExcludedBy}, {"reason", s.ExcludedReason}};
    return out;
}

Json DetectorJson(const DetectorRow& d)
{
    return {{"key", d.Key},
            {"key_kind", d.KeyKind},
            {"name", d.DisplayName},
            {"manufacturer", d.Manufacturer},
            {"model", d.Model},
            {"device_serial_number", d.Serial},
            {"detector_id", d.DetectorId},
            {"station_name", d.Station},
            {"test_interval_days", d.TestIntervalDays},
            {"records", d.RecordCount},
            {"last_tested_at", d.LastTestedAt}};
}

Json BaselineJson(const Baseline& b)
{
    Json lines = Json::array();
    for (const auto& l : b.Lines)
        lines.push_back({{"orientation", OrientationName(l.Orientation)}, {"index", l.Index}});
    return {{"version", b.Version},
            {"set_at", b.SetAt},
            {"set_by", b.SetBy},
            {"reason", b.Reason},
            {"source", b.Source},
            {"exposure", b.Exposure},
            {"exposure_unit", b.ExposureUnit},
            {"kvp", b.KVp},
            {"numbers", NumbersJson(b.Numbers)},
            {"deviating_pixels", b.DeviatingPixels.size()},
            {"line_defects", std::move(lines)}};
}

void PrintJson(std::ostream& out, const Json& json)
{
    out << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

// A detector key as part of a file name: letters, digits, '.', '-' and '_'
// kept, every run of other bytes one '_'; never empty, never starting with '.'.
std::string SafeFileName(const std::string& key)
{
    std::string safe;
    for (const char c : key) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-' || c == '_';
        if (keep)
            safe += c;
        else if (safe.empty() || safe.back() != '_')
            safe += '_';
    }
    if (safe.empty() || safe.front() == '.') safe.insert(0, 1, '_');
    return safe;
}

// One chart per baseline check and detector of records, named
// folder/<detector key made safe>-<check key>.png.
int TrendCharts(const std::string& folder, const std::vector<StoredRecord>& records, HistoryStore& store,
                std::ostream& out)
{
    if (records.empty()) {
        out << "No records\n";
        return kExitSuccess;
    }
    std::vector<std::string> keys;
    for (const auto& r : records)
        if (std::find(keys.begin(), keys.end(), r.DetectorKey) == keys.end()) keys.push_back(r.DetectorKey);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder))
        throw EvenorError(folder + ": cannot create the folder" + (error ? ": " + error.message() : std::string()));
    const MapSession session;
    std::vector<std::string> usedNames;
    for (const auto& key : keys) {
        const DetectorRow detector = store.FindDetector(key);
        const auto limits = store.LimitsOf(detector.Id);
        const auto baselines = store.Baselines(key);
        std::string name = SafeFileName(key);
        // Two keys that differ only in the bytes a file name cannot keep.
        if (std::find(usedNames.begin(), usedNames.end(), name) != usedNames.end())
            name += "-" + std::to_string(detector.Id);
        usedNames.push_back(name);
        for (std::size_t i = 0; i < BaselineCheckCount; ++i) {
            const BaselineCheckInfo& check = AllBaselineChecks()[i];
            const TrendSeries series =
                TrendSeriesFor(i, Shown(detector) + ": " + std::string(check.Name), key, records, baselines, limits);
            const std::string path =
                (std::filesystem::path(folder) / (name + "-" + std::string(check.Key) + ".png")).string();
            WriteTrendChartPng(path, series);
            out << "Trend chart written to " << path << '\n';
        }
    }
    return kExitSuccess;
}

// history --detector KEY --pdf FILE: the detector's report.
int HistoryPdf(const HistoryCommandLine& line, const std::string& since, HistoryStore& store, std::ostream& out)
{
    const HistoryReportData data = HistoryReportFor(store, line.Detector, since, TodayText(),
                                                    line.Paper == "letter" ? PaperSize::Letter : PaperSize::A4);
    const MapSession session;
    WriteHistoryReportPdf(line.PdfFile, data);
    out << "QA history report written to " << line.PdfFile << '\n';
    return kExitSuccess;
}

int History(const HistoryCommandLine& line, HistoryStore& store, std::ostream& out, std::ostream& err)
{
    if (line.Overdue) {
        const auto overdue = store.Overdue(TodayText());
        if (line.Json) {
            Json list = Json::array();
            for (const auto& o : overdue) {
                Json item = DetectorJson(o.Detector);
                item["days_since_test"] = o.DaysSinceTest;
                list.push_back(std::move(item));
            }
            PrintJson(out, {{"overdue", std::move(list)}});
        } else {
            for (const auto& o : overdue)
                out << Shown(o.Detector) << ": last tested " << o.Detector.LastTestedAt << ", " << o.DaysSinceTest
                    << " days ago (interval " << o.Detector.TestIntervalDays << " days)\n";
            if (overdue.empty()) out << "No detector is overdue\n";
        }
        return kExitSuccess;
    }
    std::string since;
    if (!line.Since.empty()) {
        since = DateArgument(line.Since);
        if (since.empty()) {
            err << "--since: a date YYYY-MM-DD is expected\n";
            return kExitUsage;
        }
    }
    if (line.PdfOption->count() > 0) return HistoryPdf(line, since, store, out);
    if (!line.PngFolder.empty())
        return TrendCharts(line.PngFolder, store.Records(RecordFilter{line.Detector, since, false}), store, out);
    const auto records = store.Records(RecordFilter{line.Detector, since, line.Json});
    if (line.Json) {
        Json list = Json::array();
        for (const auto& r : records) list.push_back(RecordJson(r));
        PrintJson(out, {{"database", store.Location()}, {"records", std::move(list)}});
        return kExitSuccess;
    }
    if (line.Csv) {
        out << "id,detector,tested_at,recorded_at,recorded_by,file,kvp,exposure,exposure_unit,preset,overall,"
               "area_mean,area_snr,mean_roi_snr,roi_snr_sd,deviating_roi_count,deviating_pixel_count";
        for (const auto& info : AllMetricInfos()) out << ',' << info.Key;
        out << ",baseline_version,baseline_overall";
        for (const auto& check : AllBaselineChecks()) out << ',' << check.Key << "_vs_baseline_pct";
        out << ",new_pixels,new_clusters,new_lines,excluded,notes\n";
        for (const auto& s : records) {
            const QaRecord& r = s.Record;
            const RecordNumbers& n = r.Numbers;
            out << s.Id << ',' << CsvField(s.DetectorKey) << ',' << s.TestedAt << ',' << s.RecordedAt << ','
                << CsvField(s.RecordedBy) << ',' << CsvField(r.FileName) << ',' << CsvField(r.KVp) << ','
                << CsvField(r.Exposure) << ',' << r.ExposureUnit << ',' << CsvField(r.Preset) << ','
                << VerdictName(r.Overall) << ',' << FormatReal(n.AreaMean) << ',' << FormatReal(n.AreaSNR) << ','
                << FormatReal(n.MeanRoiSNR) << ',' << FormatReal(n.RoiSNRSD) << ',' << n.DeviatingRoiCount << ','
                << n.DeviatingPixelCount;
            for (const auto& m : n.Metrics) out << ',' << (m ? FormatReal(*m) : "");
            out << ',' << (s.BaselineVersion ? std::to_string(*s.BaselineVersion) : "") << ','
                << (s.BaselineVersion ? VerdictName(s.BaselineOverall) : "");
            for (std::size_t i = 0; i < BaselineCheckCount; ++i)
                out << ','
                    << (i < s.Checks.size() && s.Checks[i].DeviationPercent ? FormatReal(*s.Checks[i].DeviationPercent)
                                                                            : "");
            std::string notes;
            for (const auto& note : s.Notes) notes += (notes.empty() ? "" : "; ") + note;
            out << ',' << s.NewSinceBaseline.Pixels << ',' << s.NewSinceBaseline.Clusters << ','
                << s.NewSinceBaseline.Lines << ',' << (s.Excluded ? 1 : 0) << ',' << CsvField(notes) << '\n';
        }
        return kExitSuccess;
    }
    for (const auto& s : records) {
        const RecordNumbers& n = s.Record.Numbers;
        out << "Record " << s.Id << "  " << s.TestedAt << "  " << s.DetectorKey
            << (s.DetectorName.empty() ? "" : " (" + s.DetectorName + ")") << "  " << VerdictName(s.Record.Overall)
            << "  area SNR " << Real(n.AreaSNR, 2) << ", mean ROI SNR " << Real(n.MeanRoiSNR, 2) << ", uniformity "
            << Real(n.Metrics[0], 2) << " / " << Real(n.Metrics[1], 2) << " / " << Real(n.Metrics[2], 2)
            << " %, deviating ROIs " << n.DeviatingRoiCount << '\n';
        if (s.BaselineVersion) {
            out << "  baseline " << *s.BaselineVersion << ": " << VerdictName(s.BaselineOverall);
            for (const auto& c : s.Checks) {
                out << "; " << c.Key << ' ';
                if (c.DeviationPercent)
                    out << (*c.DeviationPercent >= 0 ? "+" : "") << Real(c.DeviationPercent, 1) << " % "
                        << VerdictName(c.Result);
                else
                    out << c.Note;
            }
            out << "; new since baseline: " << s.NewSinceBaseline.Pixels << " pixels, " << s.NewSinceBaseline.Clusters
                << " clusters, " << s.NewSinceBaseline.Lines << " lines\n";
        }
        for (const auto& note : s.Notes) out << "  note: " << note << '\n';
        if (s.Excluded)
            out << "  excluded " << s.ExcludedAt << " by " << s.ExcludedBy << ": " << s.ExcludedReason << '\n';
    }
    if (records.empty()) out << "No records\n";
    return kExitSuccess;
}

int Detectors(const HistoryCommandLine& line, HistoryStore& store, std::ostream& out)
{
    if (*line.Rename) {
        store.RenameDetector(line.Detector, line.Name);
        out << "Detector " << store.FindDetector(line.Name).Key << " is now named \"" << line.Name << "\"\n";
        return kExitSuccess;
    }
    if (*line.Interval) {
        store.SetTestInterval(line.Detector, line.Days);
        out << "Detector " << line.Detector << ": tested every " << line.Days << " days\n";
        return kExitSuccess;
    }
    const auto detectors = store.Detectors();
    if (line.Json) {
        Json list = Json::array();
        for (const auto& d : detectors) list.push_back(DetectorJson(d));
        PrintJson(out, {{"database", store.Location()}, {"detectors", std::move(list)}});
        return kExitSuccess;
    }
    for (const auto& d : detectors)
        out << d.Key << "  (" << d.KeyKind << ")" << (d.DisplayName.empty() ? "" : "  \"" + d.DisplayName + "\"")
            << "  " << d.Manufacturer << " " << d.Model << ", station " << d.Station << ": " << d.RecordCount
            << (d.RecordCount == 1 ? " record" : " records") << ", last tested "
            << (d.LastTestedAt.empty() ? "-" : d.LastTestedAt) << ", interval " << d.TestIntervalDays << " days\n";
    if (detectors.empty()) out << "No detectors\n";
    return kExitSuccess;
}

void PrintBaseline(std::ostream& out, const Baseline& b)
{
    const RecordNumbers& n = b.Numbers;
    out << "Baseline " << b.Version << " set " << b.SetAt << " UTC by " << b.SetBy << " (" << b.Reason << ") from "
        << b.Source << "\n  exposure "
        << (b.Exposure.empty() ? "differs between its records" : b.Exposure + " " + b.ExposureUnit) << ", area mean "
        << Real(n.AreaMean, 2) << ", area SNR " << Real(n.AreaSNR, 2) << ", mean ROI SNR " << Real(n.MeanRoiSNR, 2)
        << ", uniformity " << Real(n.Metrics[0], 2) << " / " << Real(n.Metrics[1], 2) << " / " << Real(n.Metrics[2], 2)
        << " %, deviating ROIs " << n.DeviatingRoiCount << ", deviating pixels " << b.DeviatingPixels.size()
        << ", line defects " << b.Lines.size() << '\n';
}

int BaselineCommand(const HistoryCommandLine& line, HistoryStore& store, std::ostream& out)
{
    if (*line.BaselineSet) {
        const Baseline b = line.RecordOption->count() > 0
                               ? store.SetBaselineFromRecord(line.Detector, line.RecordId, line.Reason, line.By)
                               : store.SetBaselineFromFirst(line.Detector, line.First, line.Reason, line.By);
        PrintBaseline(out, b);
        return kExitSuccess;
    }
    const auto baselines = store.Baselines(line.Detector);
    if (line.Json) {
        Json list = Json::array();
        for (const auto& b : baselines) list.push_back(BaselineJson(b));
        Json limits = Json::object();
        const auto values = store.LimitsOf(store.FindDetector(line.Detector).Id);
        for (std::size_t i = 0; i < BaselineCheckCount; ++i)
            limits[std::string(AllBaselineChecks()[i].Key)] = {{"warning", Number(values[i].Warning)},
                                                               {"action", Number(values[i].Action)}};
        PrintJson(out, {{"detector", store.FindDetector(line.Detector).Key},
                        {"baselines", std::move(list)},
                        {"limits", std::move(limits)}});
        return kExitSuccess;
    }
    for (const auto& b : baselines) PrintBaseline(out, b);
    if (baselines.empty()) out << "No baseline\n";
    return kExitSuccess;
}

}  // namespace

std::string HistoryLocation(const std::string& db)
{
    if (!db.empty()) return db;
    const std::string location = HistoryStore::DefaultLocation();
    if (std::getenv("EVENOR_DB") == nullptr || *std::getenv("EVENOR_DB") == '\0') {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(location).parent_path(), ignored);
    }
    return location;
}

HistoryRecorder::HistoryRecorder(std::string db, std::string by) : db_(std::move(db)), by_(std::move(by)) {}

HistoryRecorder::~HistoryRecorder() = default;

HistoryStore& HistoryRecorder::Store()
{
    if (!store_) {
        if (!openError_.empty()) throw EvenorError(openError_);
        try {
            store_ = HistoryStore::Open(HistoryLocation(db_));
        } catch (const EvenorError& e) {
            openError_ = e.Message();
            throw;
        }
    }
    return *store_;
}

ReportBaseline HistoryRecorder::RecordForReport(QaRecord record)
{
    std::lock_guard guard(lock_);
    HistoryStore& store = Store();
    record.RecordedBy = by_;
    return ReportBaselineFor(store, store.Record(record));
}

std::string HistoryRecorder::Record(QaRecord record)
{
    std::lock_guard guard(lock_);
    HistoryStore& store = Store();
    record.RecordedBy = by_;
    const RecordOutcome outcome = store.Record(record);
    std::string text = outcome.AlreadyRecorded ? "Already recorded as record " + std::to_string(outcome.Id)
                                               : "Recorded as record " + std::to_string(outcome.Id) + " for detector " +
                                                     outcome.DetectorKey;
    for (const auto& note : outcome.Notes) text += "\n" + note;
    return text;
}

void AddHistoryCommands(CLI::App& app, HistoryCommandLine& line)
{
    const std::string dbHelp = "History database: a file or a postgresql:// URI (default: $EVENOR_DB, else "
                               "~/.local/share/evenor/history.sqlite)";
    line.History = app.add_subcommand("history", "List the recorded tests, oldest first, with their verdicts and "
                                                 "baseline checks");
    line.History->add_option("--db", line.Db, dbHelp)->type_name("DB");
    line.History->add_option("--detector", line.Detector, "Only this detector (key or name)")->type_name("KEY");
    line.History->add_option("--since", line.Since, "Only tests on or after DATE")->type_name("YYYY-MM-DD");
    auto* json = line.History->add_flag("--json", line.Json, "Print a JSON object whose \"records\" member lists them");
    auto* csv = line.History->add_flag("--csv", line.Csv, "Print a CSV table, one row per record");
    json->excludes(csv);
    auto* overdue =
        line.History->add_flag("--overdue", line.Overdue, "List the detectors whose test is overdue instead");
    line.PngOption = line.History
                         ->add_option("--png", line.PngFolder,
                                      "Draw a trend chart of each baseline check per detector into DIR "
                                      "(DIR/<detector>-<check>.png) instead of listing")
                         ->type_name("DIR");
    for (auto* other : {json, csv, overdue}) line.PngOption->excludes(other);
    line.PdfOption = line.History
                         ->add_option("--pdf", line.PdfFile,
                                      "Write the detector's QA history report as the PDF file FILE (needs "
                                      "--detector): its records with verdicts, the baselines, a trend chart per "
                                      "baseline check, whether a test is overdue")
                         ->type_name("FILE");
    for (auto* other : {json, csv, overdue}) line.PdfOption->excludes(other);
    line.PdfOption->excludes(line.PngOption);
    line.History->add_option("--paper", line.Paper, "Paper of the PDF report")
        ->check(CLI::IsMember({"a4", "letter"}))
        ->capture_default_str()
        ->needs(line.PdfOption);
    line.Exclude = line.History->add_subcommand("exclude", "Exclude a record from baselines (it stays, with the "
                                                           "reason, who and when)");
    line.Exclude->add_option("ID", line.RecordId, "Record number")->required();
    line.Exclude->add_option("--reason", line.Reason, "Why")->required();
    line.Exclude->add_option("--by", line.By, "Who (default: the user)");
    line.Exclude->add_option("--db", line.Db, dbHelp)->type_name("DB");

    line.Detectors = app.add_subcommand("detectors", "List the detectors of the history");
    line.Detectors->add_option("--db", line.Db, dbHelp)->type_name("DB");
    line.Detectors->add_flag("--json", line.Json, "Print JSON");
    line.Rename = line.Detectors->add_subcommand("rename", "Give a detector a display name");
    line.Rename->add_option("KEY", line.Detector, "Detector key or name")->required();
    line.Rename->add_option("NAME", line.Name, "New display name")->required();
    line.Rename->add_option("--db", line.Db, dbHelp)->type_name("DB");
    line.Interval = line.Detectors->add_subcommand("interval", "Set the days between tests of a detector");
    line.Interval->add_option("KEY", line.Detector, "Detector key or name")->required();
    line.Interval->add_option("DAYS", line.Days, "Days")->required()->check(CLI::Range(1, 100000));
    line.Interval->add_option("--db", line.Db, dbHelp)->type_name("DB");

    line.Baseline = app.add_subcommand("baseline", "Set or show the baselines of a detector");
    line.Baseline->require_subcommand(1);
    line.BaselineSet = line.Baseline->add_subcommand("set", "Set a new baseline version");
    line.BaselineSet->add_option("--detector", line.Detector, "Detector key or name")->required()->type_name("KEY");
    line.RecordOption = line.BaselineSet->add_option("--record", line.RecordId, "From this record")->type_name("ID");
    line.FirstOption = line.BaselineSet->add_option("--first", line.First, "From the median of the first N records")
                           ->type_name("N")
                           ->check(CLI::Range(1, 1000000));
    line.RecordOption->excludes(line.FirstOption);
    line.BaselineSet->add_option("--reason", line.Reason, "Why")->required();
    line.BaselineSet->add_option("--by", line.By, "Who (default: the user)");
    line.BaselineSet->add_option("--db", line.Db, dbHelp)->type_name("DB");
    line.BaselineShow = line.Baseline->add_subcommand("show", "Show the baseline versions and limits");
    line.BaselineShow->add_option("--detector", line.Detector, "Detector key or name")->required()->type_name("KEY");
    line.BaselineShow->add_flag("--json", line.Json, "Print JSON");
    line.BaselineShow->add_option("--db", line.Db, dbHelp)->type_name("DB");
}

bool RunHistoryCommands(const HistoryCommandLine& line, std::ostream& out, std::ostream& err, int& status)
{
    if (!*line.History && !*line.Detectors && !*line.Baseline) return false;
    if (*line.BaselineSet && line.RecordOption->count() == 0 && line.FirstOption->count() == 0) {
        err << "baseline set: --record ID or --first N is required\nRun with --help for more information.\n";
        status = kExitUsage;
        return true;
    }
    if (*line.History && line.PngOption->count() > 0) {
        std::string problem = MapsProblem();
        if (problem.empty() && line.PngFolder.empty()) problem = "a folder is expected";
        if (!problem.empty()) {
            err << "--png: " << problem << "\nRun with --help for more information.\n";
            status = kExitUsage;
            return true;
        }
    }
    if (*line.History && line.PdfOption->count() > 0) {
        std::string problem = MapsProblem();
        if (problem.empty() && line.PdfFile.empty()) problem = "a file is expected";
        if (problem.empty() && line.Detector.empty()) problem = "--detector KEY is required";
        if (!problem.empty()) {
            err << "--pdf: " << problem << "\nRun with --help for more information.\n";
            status = kExitUsage;
            return true;
        }
    }
    const bool writes = *line.Exclude || *line.Rename || *line.Interval || *line.BaselineSet;
    try {
        // Listing never creates a database.
        const auto store = HistoryStore::Open(HistoryLocation(line.Db), writes);
        if (*line.Exclude) {
            store->ExcludeRecord(line.RecordId, line.Reason, line.By);
            out << "Record " << line.RecordId << " excluded\n";
            status = kExitSuccess;
        } else if (*line.History) {
            status = History(line, *store, out, err);
        } else if (*line.Detectors) {
            status = Detectors(line, *store, out);
        } else {
            status = BaselineCommand(line, *store, out);
        }
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        status = kExitFailed;
    }
    return true;
}

}  // namespace evenor

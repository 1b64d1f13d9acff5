// The history subcommands of evenor-cli (history and its exclude; detectors
// and its rename, interval and limits; baseline set and show): their
// arguments, the listings, JSON and CSV they print and the trend charts and
// PDF they write. It stays one file because the subcommands share one command
// line, one store opened the same way and the same printing helpers; what
// they print comes from history/ and qa/, so the file holds argument handling
// and output only.

#include "cli/HistoryCommands.h"
#include "qa/Recorder.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "base/Dates.h"
#include "base/EvenorError.h"
#include "cli/CliCommands.h"
#include "cli/MapExport.h"
#include "dicom/TerminalText.h"
#include "history/HistoryJson.h"
#include "history/HistoryStore.h"
#include "insight/ResultExport.h"
#include "qa/ReportSources.h"

namespace evenor {

namespace {

using Json = nlohmann::ordered_json;

// Fixed decimals, "." whatever the locale; "-" for none.
std::string Real(std::optional<double> value, int decimals)
{
    if (!value || !std::isfinite(*value)) return "-";
    char text[400];  // the widest double in fixed notation, with its decimals
    const auto end = std::to_chars(text, text + sizeof text, *value, std::chars_format::fixed, decimals).ptr;
    return std::string(text, end);
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

// Compact JSON text (as nlohmann's dump() makes it) written as dump(2) would
// write it, its first line at the current position, the others indented by
// indent more.
void WriteIndented(std::string& out, std::string_view compact, std::size_t indent)
{
    bool inString = false, escaped = false;
    for (std::size_t i = 0; i < compact.size(); ++i) {
        const char c = compact[i];
        if (inString) {
            out += c;
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            out += c;
            break;
        case '{':
        case '[':
            out += c;
            if (i + 1 < compact.size() && (compact[i + 1] == '}' || compact[i + 1] == ']')) {
                out += compact[++i];
            } else {
                indent += 2;
                out += '\n';
                out.append(indent, ' ');
            }
            break;
        case '}':
        case ']':
            indent -= 2;
            out += '\n';
            out.append(indent, ' ');
            out += c;
            break;
        case ',':
            out += ",\n";
            out.append(indent, ' ');
            break;
        case ':':
            out += ": ";
            break;
        default:
            out += c;
        }
    }
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
        // Two keys that differ only in the bytes a file name cannot keep, or
        // a key too long for a file name (with the check's name after it).
        if (name.size() > 100 || std::find(usedNames.begin(), usedNames.end(), name) != usedNames.end())
            name = name.substr(0, 100) + "-" + std::to_string(detector.Id);
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

// The lines of one record in the text listing, made in text.
void ListingLines(const StoredRecord& s, std::string& text)
{
    const RecordNumbers& n = s.Record.Numbers;
    text.clear();
    text.append("Record ").append(std::to_string(s.Id)).append("  ").append(Printable(s.TestedAt)).append("  ");
    text.append(Printable(s.DetectorKey));
    if (!s.DetectorName.empty()) text.append(" (").append(Printable(s.DetectorName)).append(")");
    text.append("  ").append(VerdictName(s.Record.Overall)).append("  area SNR ").append(Real(n.AreaSNR, 2));
    text.append(", mean ROI SNR ").append(Real(n.MeanRoiSNR, 2)).append(", uniformity ");
    text.append(Real(n.Metrics[0], 2)).append(" / ").append(Real(n.Metrics[1], 2)).append(" / ");
    text.append(Real(n.Metrics[2], 2)).append(" %, deviating ROIs ").append(std::to_string(n.DeviatingRoiCount));
    text += '\n';
    if (s.BaselineVersion) {
        text.append("  baseline ").append(std::to_string(*s.BaselineVersion)).append(": ");
        text.append(VerdictName(s.BaselineOverall));
        for (const auto& c : s.Checks) {
            text.append("; ").append(c.Key).append(" ");
            if (c.DeviationPercent)
                text.append(*c.DeviationPercent >= 0 ? "+" : "")
                    .append(Real(c.DeviationPercent, 1))
                    .append(" % ")
                    .append(VerdictName(c.Result));
            else
                text.append(c.Note);
        }
        text.append("; new since baseline: ").append(std::to_string(s.NewSinceBaseline.Pixels)).append(" pixels, ");
        text.append(std::to_string(s.NewSinceBaseline.Clusters)).append(" clusters, ");
        text.append(std::to_string(s.NewSinceBaseline.Lines)).append(" lines\n");
    }
    for (const auto& note : s.Notes) text.append("  note: ").append(Printable(note)) += '\n';
    if (s.Excluded)
        text.append("  excluded ")
            .append(s.ExcludedAt)
            .append(" by ")
            .append(Printable(s.ExcludedBy))
            .append(": ")
            .append(Printable(s.ExcludedReason)) += '\n';
}

// history --detector KEY --pdf FILE: the detector's report.
int HistoryPdf(const HistoryCommandLine& line, const std::string& since, HistoryStore& store, std::ostream& out)
{
    const HistoryReportData data = HistoryReportFor(store, line.Detector, since, ReportToday(),
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
                item["days_since_test"] = o.NeverTested ? Json(nullptr) : Json(o.DaysSinceTest);
                list.push_back(std::move(item));
            }
            PrintJson(out, {{"overdue", std::move(list)}});
        } else {
            for (const auto& o : overdue) {
                out << Printable(Shown(o.Detector));
                if (o.NeverTested)
                    out << ": never tested";
                else
                    out << ": last tested " << Printable(o.Detector.LastTestedAt) << ", " << o.DaysSinceTest
                        << " days ago";
                out << " (interval " << o.Detector.TestIntervalDays << " days)\n";
            }
            if (overdue.empty()) out << "No detector is overdue\n";
        }
        return kExitSuccess;
    }
    std::string since;
    if (!line.Since.empty()) {
        since = CalendarDate(line.Since);
        if (since.empty()) {
            err << "--since: a date YYYY-MM-DD is expected\n";
            return kExitUsage;
        }
    }
    if (line.PdfOption->count() > 0) return HistoryPdf(line, since, store, out);
    if (!line.PngFolder.empty())
        return TrendCharts(line.PngFolder, store.Records(RecordFilter{line.Detector, since, false, false}), store, out);
    if (!line.Json && !line.Csv) {
        // The text listing shows neither the details nor the identity of the
        // tests, and prints each record as it is read.
        bool any = false;
        std::string text;
        store.ForEachRecord(RecordFilter{line.Detector, since, false, false}, [&](const StoredRecord& s) {
            any = true;
            ListingLines(s, text);
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
        });
        if (!any) out << "No records\n";
        return kExitSuccess;
    }
    const auto records = store.Records(RecordFilter{line.Detector, since, line.Json, true});
    if (line.Json) {
        // As PrintJson would print {"database": ..., "records": [...]}, one
        // record at a time, each record's details copied in.
        const Json database = store.Location();
        std::string text = "{\n  \"database\": " + database.dump(-1, ' ', false, Json::error_handler_t::replace) +
                           ",\n  \"records\": [";
        // Found by its key too: a text of the record could hold the placeholder, but never unescaped quotes.
        const std::string placeholder = "\"details\": " + Json(kDetailsPlaceholder).dump();
        for (std::size_t i = 0; i < records.size(); ++i) {
            std::string record = RecordJson(records[i]).dump(2, ' ', false, Json::error_handler_t::replace);
            text += i ? ",\n    " : "\n    ";
            // The record one level deeper: 4 more spaces after each line break.
            std::size_t from = 0;
            for (std::size_t at = record.find('\n'); at != std::string::npos; at = record.find('\n', from)) {
                text.append(record, from, at + 1 - from);
                text.append(4, ' ');
                from = at + 1;
            }
            text.append(record, from);
            if (const std::size_t at = text.find(placeholder); at != std::string::npos) {
                const std::size_t lineStart = text.rfind('\n', at) + 1;
                const std::size_t indent = at - lineStart;
                std::string tail = text.substr(at + placeholder.size());
                text.resize(at + placeholder.size() - Json(kDetailsPlaceholder).dump().size());
                WriteIndented(text, records[i].Record.Details, indent);
                text += tail;
            }
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
        text += records.empty() ? "]\n}\n" : "\n  ]\n}\n";
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
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
    return kExitSuccess;
}

// One --check with its --warning and --action as given ("none": no limit).
struct LimitsRequest {
    std::string Check;
    std::optional<std::string> Warning, Action;
};

std::string CheckKeys()
{
    std::string keys;
    for (const auto& check : AllBaselineChecks()) keys += (keys.empty() ? "" : ", ") + std::string(check.Key);
    return keys;
}

// The --check groups in the order given; empty problem when they are sound.
std::vector<LimitsRequest> LimitsRequests(const HistoryCommandLine& line, std::string& problem)
{
    std::vector<LimitsRequest> requests;
    std::size_t checks = 0, warnings = 0, actions = 0;
    for (const CLI::Option* option : line.Limits->parse_order()) {
        if (option == line.CheckOption) {
            const std::string& name = line.LimitChecks.at(checks++);
            if (!FindBaselineCheck(name)) {
                problem = "--check: no check \"" + name + "\"; the checks are " + CheckKeys();
                return {};
            }
            requests.push_back(LimitsRequest{name, std::nullopt, std::nullopt});
            continue;
        }
        const bool warning = option == line.WarningOption;
        if (!warning && option != line.ActionOption) continue;
        const std::string& value = warning ? line.LimitWarnings.at(warnings++) : line.LimitActions.at(actions++);
        const std::string flag = warning ? "--warning" : "--action";
        if (requests.empty()) {
            problem = flag + " " + value + ": give --check NAME before it";
            return {};
        }
        std::optional<std::string>& slot = warning ? requests.back().Warning : requests.back().Action;
        if (slot) {
            problem = flag + " is given twice for --check " + requests.back().Check;
            return {};
        }
        if (value != "none") {
            double number = 0.0;
            std::size_t used = 0;
            try {
                number = std::stod(value, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != value.size() || !std::isfinite(number) || number < 0.0) {
                problem = flag + " " + value + ": a percentage of 0 or more, or \"none\", is expected";
                return {};
            }
        }
        slot = value;
    }
    for (const auto& request : requests)
        if (!request.Warning && !request.Action) {
            problem = "--check " + request.Check + ": give --warning, --action or both";
            return {};
        }
    for (const auto& reset : line.LimitResets)
        if (reset != "all" && !FindBaselineCheck(reset)) {
            problem = "--reset: no check \"" + reset + "\"; the checks are " + CheckKeys() + ", or all";
            return {};
        }
    return requests;
}

void PrintLimits(std::ostream& out, const DetectorRow& detector, const std::optional<LimitsVersion>& version)
{
    out << "Limits of " << Printable(Shown(detector));
    if (!version)
        out << ": the defaults\n";
    else
        out << ": version " << version->Version << ", set "
            << (version->SetAt.empty() ? std::string("before changes were recorded")
                                       : version->SetAt + " UTC by " + Printable(version->SetBy))
            << (version->Reason.empty() ? "" : " (" + Printable(version->Reason) + ")") << '\n';
    const BaselineLimits values = version ? version->Values : DefaultBaselineLimits();
    const auto percent = [](std::optional<double> value) { return value ? FormatReal(*value) + " %" : "none"; };
    for (std::size_t i = 0; i < BaselineCheckCount; ++i) {
        const BaselineCheckInfo& check = AllBaselineChecks()[i];
        const bool isDefault = values[i].Warning == check.Default.Warning && values[i].Action == check.Default.Action;
        out << "  " << std::left << std::setw(20) << check.Key << std::right << " warning "
            << percent(values[i].Warning) << ", action " << percent(values[i].Action)
            << (isDefault ? "  (default)" : "") << '\n';
    }
}

int LimitsCommand(const HistoryCommandLine& line, const std::vector<LimitsRequest>& requests, HistoryStore& store,
                  std::ostream& out, std::ostream& err)
{
    const DetectorRow detector = store.FindDetector(line.Detector);
    const auto before = store.LimitsHistory(line.Detector);
    std::optional<LimitsVersion> inForce;
    if (!before.empty()) inForce = before.back();
    if (!requests.empty() || !line.LimitResets.empty()) {
        // Resets first, then the --check groups in their order; a limit a
        // group leaves out stays as it is.
        BaselineLimits values = inForce ? inForce->Values : DefaultBaselineLimits();
        const auto checks = AllBaselineChecks();
        std::vector<LimitsChange> changes;
        for (const auto& reset : line.LimitResets)
            for (std::size_t i = 0; i < BaselineCheckCount; ++i)
                if (reset == "all" || checks[i].Key == reset) {
                    values[i] = checks[i].Default;
                    changes.push_back(LimitsChange{std::string(checks[i].Key), std::nullopt});
                }
        const auto parse = [](const std::string& text) -> std::optional<double> {
            if (text == "none") return std::nullopt;
            return std::stod(text);
        };
        for (const auto& request : requests) {
            const std::size_t i = static_cast<std::size_t>(FindBaselineCheck(request.Check) - checks.data());
            if (request.Warning) values[i].Warning = parse(*request.Warning);
            if (request.Action) values[i].Action = parse(*request.Action);
            if (values[i].Warning && values[i].Action && *values[i].Warning > *values[i].Action) {
                err << "--check " << request.Check << ": the warning limit (" << FormatReal(*values[i].Warning)
                    << " %) is above the action limit (" << FormatReal(*values[i].Action) << " %)\n";
                return kExitUsage;
            }
            changes.push_back(LimitsChange{request.Check, values[i]});
        }
        const LimitsVersion after = store.ChangeLimits(line.Detector, changes, line.Reason, line.By);
        const bool changed = after.Version != (inForce ? inForce->Version : 0);
        if (changed) inForce = after;
        if (!line.Json)
            out << (changed ? "New limits for " + Printable(Shown(detector)) +
                                  "; tests recorded from now on are judged with them\n"
                            : std::string("The limits are unchanged\n"));
    }
    if (line.Json) {
        Json versions = Json::array();
        for (const auto& v : store.LimitsHistory(line.Detector)) versions.push_back(LimitsVersionJson(v));
        PrintJson(out, {{"database", store.Location()},
                        {"detector", detector.Key},
                        {"version", inForce ? Json(inForce->Version) : Json(nullptr)},
                        {"limits", LimitsJson(inForce ? inForce->Values : DefaultBaselineLimits())},
                        {"versions", std::move(versions)}});
        return kExitSuccess;
    }
    PrintLimits(out, detector, inForce);
    return kExitSuccess;
}

int Detectors(const HistoryCommandLine& line, HistoryStore& store, std::ostream& out)
{
    if (*line.Rename) {
        const std::string key = store.FindDetector(line.Detector).Key;
        store.RenameDetector(line.Detector, line.Name);
        out << "Detector " << Printable(key) << " is now named \"" << Printable(line.Name) << "\"\n";
        return kExitSuccess;
    }
    if (*line.Interval) {
        store.SetTestInterval(line.Detector, line.Days);
        out << "Detector " << Printable(line.Detector) << ": tested every " << line.Days << " days\n";
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
        out << Printable(d.Key) << "  (" << Printable(d.KeyKind) << ")"
            << (d.DisplayName.empty() ? "" : "  \"" + Printable(d.DisplayName) + "\"") << "  "
            << Printable(d.Manufacturer) << " " << Printable(d.Model) << ", station " << Printable(d.Station) << ": "
            << d.RecordCount << (d.RecordCount == 1 ? " record" : " records") << ", last tested "
            << (d.LastTestedAt.empty() ? "-" : Printable(d.LastTestedAt)) << ", interval " << d.TestIntervalDays
            << " days\n";
    if (detectors.empty()) out << "No detectors\n";
    return kExitSuccess;
}

void PrintBaseline(std::ostream& out, const Baseline& b)
{
    const RecordNumbers& n = b.Numbers;
    out << "Baseline " << b.Version << " set " << b.SetAt << " UTC by " << Printable(b.SetBy) << " ("
        << Printable(b.Reason) << ") from " << b.Source << "\n  exposure "
        << (b.Exposure.empty() ? "differs between its records" : Printable(b.Exposure + " " + b.ExposureUnit))
        << ", area mean " << Real(n.AreaMean, 2) << ", area SNR " << Real(n.AreaSNR, 2) << ", mean ROI SNR "
        << Real(n.MeanRoiSNR, 2) << ", uniformity " << Real(n.Metrics[0], 2) << " / " << Real(n.Metrics[1], 2) << " / "
        << Real(n.Metrics[2], 2) << " %, deviating ROIs " << n.DeviatingRoiCount << ", deviating pixels "
        << b.DeviatingPixels.size() << ", line defects " << b.Lines.size() << '\n';
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
            limits[std::string(AllBaselineChecks()[i].Key)] = {{"warning", JsonNumber(values[i].Warning)},
                                                               {"action", JsonNumber(values[i].Action)}};
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

    line.Limits = line.Detectors->add_subcommand(
        "limits", "Show or change the warning and action limits (% of the baseline) of a detector's baseline checks; "
                  "a change is kept with who, when and why, and judges the tests recorded after it");
    line.Limits->add_option("KEY", line.Detector, "Detector key or name")->required();
    line.CheckOption =
        line.Limits
            ->add_option("--check", line.LimitChecks, "The check whose limits follow: " + CheckKeys() + " (repeatable)")
            ->type_name("NAME");
    line.WarningOption =
        line.Limits->add_option("--warning", line.LimitWarnings, "Its warning limit in %, or none")->type_name("W");
    line.ActionOption =
        line.Limits->add_option("--action", line.LimitActions, "Its action limit in %, or none")->type_name("A");
    line.Limits->add_option("--reset", line.LimitResets, "Back to the default limits: a check, or all (repeatable)")
        ->type_name("NAME");
    line.Limits->add_option("--reason", line.Reason, "Why they change (required for a change)");
    line.Limits->add_option("--by", line.By, "Who (default: the user)");
    line.Limits->add_flag("--json", line.Json, "Print JSON");
    line.Limits->add_option("--db", line.Db, dbHelp)->type_name("DB");

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
    std::vector<LimitsRequest> limits;
    if (*line.Limits) {
        std::string problem;
        limits = LimitsRequests(line, problem);
        if (!problem.empty()) {
            err << "detectors limits: " << problem << "\nRun with --help for more information.\n";
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
    const bool changesLimits = *line.Limits && (!limits.empty() || !line.LimitResets.empty());
    // Kept with the change, and what a later reader of the history asks first.
    if ((*line.Exclude || *line.BaselineSet || changesLimits) &&
        line.Reason.find_first_not_of(" \t\r\n") == std::string::npos) {
        err << (*line.Exclude       ? "history exclude"
                : *line.BaselineSet ? "baseline set"
                                    : "detectors limits")
            << ": --reason is required and must not be empty: say why\nRun with --help for more information.\n";
        status = kExitUsage;
        return true;
    }
    const bool writes = *line.Exclude || *line.Rename || *line.Interval || *line.BaselineSet || changesLimits;
    try {
        // Listing never creates a database.
        const auto store = HistoryStore::Open(HistoryLocation(line.Db), writes);
        if (*line.Exclude) {
            store->ExcludeRecord(line.RecordId, line.Reason, line.By);
            out << "Record " << line.RecordId << " excluded\n";
            status = kExitSuccess;
        } else if (*line.History) {
            status = History(line, *store, out, err);
        } else if (*line.Limits) {
            status = LimitsCommand(line, limits, *store, out, err);
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

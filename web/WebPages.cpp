#include "web/WebPages.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "base/Dates.h"
#include "base/EvenorError.h"
#include "insight/Guidelines.h"
#include "qa/ReportSources.h"
#include "qa/TrendSeries.h"

namespace evenor {

namespace fs = std::filesystem;

namespace {

std::string Esc(std::string_view text) { return HtmlEscape(text); }

std::string Number(std::optional<double> value, int decimals = 2)
{
    if (!value) return "&ndash;";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, *value);
    return text;
}

std::string VerdictCell(Verdict verdict)
{
    const std::string name(VerdictName(verdict));
    std::string css = name;
    std::replace(css.begin(), css.end(), ' ', '-');
    return "<span class=\"v v-" + css + "\">" + Esc(name) + "</span>";
}

int Severity(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Fail:
        return 2;
    case Verdict::Warning:
        return 1;
    default:
        return 0;
    }
}

std::string Page(const std::string& title, const std::string& body, const PageFrame& frame)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       "<link rel=\"stylesheet\" href=\"/style.css\"><title>" +
                       Esc(title) +
                       " &ndash; Evenor</title></head><body><header><nav>"
                       "<a href=\"/\">Overview</a> <a href=\"/inbox\">Inbox</a>";
    if (frame.LoginInUse)
        html += "<form method=\"post\" action=\"/logout\" class=\"logout\"><span>" + Esc(frame.User) +
                "</span> <button type=\"submit\">Log out</button></form>";
    html += "</nav></header><main><h1>" + Esc(title) + "</h1>\n" + body + "</main></body></html>\n";
    return html;
}

std::string AgeText(std::time_t seconds)
{
    if (seconds < 0) seconds = 0;
    if (seconds < 3600) return std::to_string(seconds / 60) + " min";
    if (seconds < 2 * 86400)
        return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
    return std::to_string(seconds / 86400) + " days";
}

std::string Link(const std::string& href, const std::string& text)
{
    return "<a href=\"" + Esc(href) + "\">" + Esc(text) + "</a>";
}

std::string DetectorHref(const std::string& key) { return "/detector?key=" + UrlEncode(key); }

std::string RecordHref(const std::string& key, std::int64_t id)
{
    return "/record?key=" + UrlEncode(key) + "&id=" + std::to_string(id);
}

std::string FileHref(const std::string& name) { return "/files/" + UrlEncode(name); }

std::string FileLabel(const std::string& name)
{
    const std::string extension = fs::path(name).extension().string();
    if (extension == ".txt") return "Report";
    if (extension == ".json") return "JSON";
    if (extension == ".pdf") return "PDF";
    if (extension == ".csv") return "CSV";
    if (extension == ".png") {
        // NAME-SHA12-MAP: the map's own name.
        const std::string stem = fs::path(name).stem().string();
        for (std::size_t i = 0; i + 14 < stem.size(); ++i) {
            if (stem[i] != '-' || stem[i + 13] != '-') continue;
            if (std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                            stem.begin() + static_cast<std::ptrdiff_t>(i) + 13,
                            [](unsigned char c) { return std::isxdigit(c); }))
                return "Map " + stem.substr(i + 14);
        }
        return "Map " + stem;
    }
    return name;
}

std::string CheckName(std::string_view key)
{
    const BaselineCheckInfo* info = FindBaselineCheck(key);
    return std::string(info ? info->Name : key);
}

std::string Fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string DateOfDay(double day)
{
    const std::time_t seconds = static_cast<std::time_t>(day * 86400.0);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return text;
}

// One check's trend as SVG: the baselines in force over time with their
// warning band (light green) and action band (light amber), the values as
// dots coloured by the band of the baseline each was judged against (red
// beyond the action limit, orange beyond the warning limit, else blue;
// excluded records hollow and grey). The colours are the window's.
std::string TrendChartSvg(const TrendSeries& series)
{
    if (series.Points.empty()) return {};
    constexpr double width = 800, height = 260, left = 70, right = 790, top = 30, bottom = 230;
    double first = series.Points.front().Day, last = series.Points.back().Day;
    for (const TrendBaseline& b : series.Baselines) last = std::max(last, b.FromDay);
    if (last - first < 1.0) {
        first -= 0.5;
        last += 0.5;
    }
    const std::vector<TrendStretch> stretches = TrendStretches(series, first, last);
    const auto half = [&](double reference, std::optional<double> percent) {
        return percent ? std::max(std::abs(reference), series.MinimumReference) * *percent / 100.0 : 0.0;
    };
    double low = series.Points.front().Value, high = low;
    for (const TrendPoint& p : series.Points) {
        low = std::min(low, p.Value);
        high = std::max(high, p.Value);
    }
    for (const TrendStretch& s : stretches) {
        const double band = half(s.Reference, s.ActionPercent ? s.ActionPercent : s.WarningPercent);
        low = std::min(low, s.Reference - band);
        high = std::max(high, s.Reference + band);
    }
    if (high - low < 1e-12) {
        low -= 1.0;
        high += 1.0;
    }
    const double margin = (high - low) * 0.05;
    low -= margin;
    high += margin;
    const auto x = [&](double day) { return left + (day - first) / (last - first) * (right - left); };
    const auto y = [&](double value) { return bottom - (value - low) / (high - low) * (bottom - top); };
    const auto rect = [&](double from, double to, double a, double b, const char* fill) {
        const double y1 = y(std::max(a, b)), y2 = y(std::min(a, b));
        return "<rect x=\"" + Fixed(x(from), 1) + "\" y=\"" + Fixed(y1, 1) + "\" width=\"" +
               Fixed(std::max(0.5, x(to) - x(from)), 1) + "\" height=\"" + Fixed(std::max(0.5, y2 - y1), 1) +
               "\" fill=\"" + fill + "\"/>";
    };

    std::ostringstream svg;
    svg << "<svg class=\"trend\" viewBox=\"0 0 " << width << ' ' << height
        << "\" xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-label=\"" << Esc(series.Title)
        << "\"><rect width=\"" << width << "\" height=\"" << height << "\" fill=\"#fff\"/>";
    svg << "<text x=\"" << left << "\" y=\"18\" font-size=\"14\" font-family=\"sans-serif\">" << Esc(series.Title)
        << "</text>";
    for (const TrendStretch& s : stretches) {
        if (s.ActionPercent)
            svg << rect(s.From, s.To, s.Reference - half(s.Reference, s.ActionPercent),
                        s.Reference + half(s.Reference, s.ActionPercent), "#fde6be");
        if (s.WarningPercent)
            svg << rect(s.From, s.To, s.Reference - half(s.Reference, s.WarningPercent),
                        s.Reference + half(s.Reference, s.WarningPercent), "#d6f0d6");
        svg << "<line x1=\"" << Fixed(x(s.From), 1) << "\" x2=\"" << Fixed(x(s.To), 1) << "\" y1=\""
            << Fixed(y(s.Reference), 1) << "\" y2=\"" << Fixed(y(s.Reference), 1)
            << "\" stroke=\"#006e00\" stroke-width=\"2\"/>";
    }
    svg << "<line x1=\"" << left << "\" x2=\"" << left << "\" y1=\"" << top << "\" y2=\"" << bottom
        << "\" stroke=\"#444\"/><line x1=\"" << left << "\" x2=\"" << right << "\" y1=\"" << bottom << "\" y2=\""
        << bottom << "\" stroke=\"#444\"/>";
    const int decimals = high - low >= 100 ? 0 : high - low >= 1 ? 2 : 4;
    svg << "<g font-size=\"11\" font-family=\"sans-serif\" fill=\"#444\"><text x=\"" << left - 4 << "\" y=\""
        << Fixed(y(high - margin) + 4, 1) << "\" text-anchor=\"end\">" << Fixed(high - margin, decimals)
        << "</text><text x=\"" << left - 4 << "\" y=\"" << Fixed(y(low + margin) + 4, 1) << "\" text-anchor=\"end\">"
        << Fixed(low + margin, decimals) << "</text><text x=\"" << left << "\" y=\"" << bottom + 16 << "\">"
        << DateOfDay(first) << "</text><text x=\"" << right << "\" y=\"" << bottom + 16 << "\" text-anchor=\"end\">"
        << DateOfDay(last) << "</text><text x=\"" << (left + right) / 2 << "\" y=\"" << bottom + 26
        << "\" text-anchor=\"middle\">" << Esc(series.ValueName) << "</text></g>";
    for (const TrendPoint& p : series.Points) {
        std::string colour = "#1f5fbf";
        if (p.Reference && !p.NoBaseline) {
            const double deviation = std::abs(p.Value - *p.Reference);
            const auto warning = TrendWarningOf(series, p), action = TrendActionOf(series, p);
            if (action && deviation > half(*p.Reference, action))
                colour = "#d00000";
            else if (warning && deviation > half(*p.Reference, warning))
                colour = "#f08000";
        }
        svg << "<circle cx=\"" << Fixed(x(p.Day), 1) << "\" cy=\"" << Fixed(y(p.Value), 1) << "\" r=\"3.5\" ";
        if (p.Excluded)
            svg << "fill=\"none\" stroke=\"#999\"";
        else
            svg << "fill=\"" << colour << "\"";
        svg << "><title>" << DateOfDay(p.Day) << ": " << Fixed(p.Value, 4) << "</title></circle>";
    }
    svg << "</svg>";
    return svg.str();
}

}  // namespace

std::string HtmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        case '\0':
            out += "&#xFFFD;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string UrlEncode(std::string_view text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string OverviewPage(HistoryStore& store, const std::string& sort, const std::string& today, const PageFrame& frame)
{
    struct Row {
        DetectorRow Detector;
        std::optional<OverdueDetector> Overdue;
        Verdict Last = Verdict::NotEvaluated, LastBaseline = Verdict::NotEvaluated;
        bool HasRecord = false;
        std::string Baseline;
        int Attention() const
        {
            if (Overdue) return 0;
            const int severity = std::max(Severity(Last), Severity(LastBaseline));
            return severity == 2 ? 1 : severity == 1 ? 2 : 3;
        }
    };
    std::vector<Row> rows;
    std::map<std::string, std::size_t> byKey;
    for (DetectorRow& detector : store.Detectors()) {
        byKey[detector.Key] = rows.size();
        rows.push_back(Row{std::move(detector)});
    }
    for (OverdueDetector& overdue : store.Overdue(today)) {
        if (auto found = byKey.find(overdue.Detector.Key); found != byKey.end())
            rows[found->second].Overdue = std::move(overdue);
    }
    // The newest record of each detector: only the records of its last test
    // day are read (the history is indexed by detector and date).
    for (Row& row : rows) {
        if (row.Detector.LastTestedAt.empty()) continue;
        RecordFilter filter;
        filter.Detector = row.Detector.Key;
        filter.Since = row.Detector.LastTestedAt.substr(0, 10);
        filter.WithDetails = false;
        filter.WithIdentity = false;
        store.ForEachRecord(filter, [&](StoredRecord& record) {
            if (record.Excluded) return;
            row.HasRecord = true;
            row.Last = record.Record.Overall;
            row.LastBaseline = record.BaselineOverall;
        });
    }
    for (Row& row : rows) {
        const std::vector<Baseline> baselines = store.Baselines(row.Detector.Key);
        if (!baselines.empty())
            row.Baseline =
                "version " + std::to_string(baselines.back().Version) + " of " + baselines.back().SetAt.substr(0, 10);
    }
    const auto nameOf = [](const Row& row) {
        return row.Detector.DisplayName.empty() ? row.Detector.Key : row.Detector.DisplayName;
    };
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
        if (a.Attention() != b.Attention()) return a.Attention() < b.Attention();
        if (sort == "station" && a.Detector.Station != b.Detector.Station)
            return a.Detector.Station < b.Detector.Station;
        if (sort == "tested" && a.Detector.LastTestedAt != b.Detector.LastTestedAt)
            return a.Detector.LastTestedAt > b.Detector.LastTestedAt;
        if (sort == "verdict") {
            const int sa = std::max(Severity(a.Last), Severity(a.LastBaseline));
            const int sb = std::max(Severity(b.Last), Severity(b.LastBaseline));
            if (sa != sb) return sa > sb;
        }
        if (sort.empty() && a.Overdue && b.Overdue && a.Overdue->DaysSinceTest != b.Overdue->DaysSinceTest)
            return a.Overdue->DaysSinceTest > b.Overdue->DaysSinceTest;
        return nameOf(a) < nameOf(b);
    });

    std::ostringstream body;
    // The inbox by state, and how long the oldest waiting entry waits.
    std::map<std::string, int> counts;
    std::optional<std::time_t> oldestWaiting;
    for (const IntakeEntry& entry : store.Intake()) {
        ++counts[entry.State];
        if (entry.State == IntakeWaiting) {
            const auto seen = UtcSeconds(entry.FirstSeen);
            if (seen && (!oldestWaiting || *seen < *oldestWaiting)) oldestWaiting = seen;
        }
    }
    body << "<section class=\"inbox\"><h2>Inbox</h2><ul class=\"counts\">";
    for (const char* state : {IntakeWaiting, IntakeAnalysed, IntakeUnmatched, IntakeRefused})
        body << "<li><a href=\"/inbox?state=" << state << "\">" << state << ": <b>" << counts[state] << "</b></a></li>";
    body << "</ul>";
    if (oldestWaiting)
        body << "<p>The oldest waiting entry waits for " << AgeText(std::time(nullptr) - *oldestWaiting) << ".</p>";
    body << "</section>\n";

    body << "<section><h2>Detectors (" << rows.size() << ")</h2>";
    if (rows.empty()) {
        body << "<p>The history holds no detector yet.</p></section>";
        return Page("Overview", body.str(), frame);
    }
    const auto header = [&](const char* key, const char* caption) {
        std::string cell = "<th>";
        cell += sort == key ? std::string(caption) : Link(std::string("/?sort=") + key, caption);
        return cell + "</th>";
    };
    body << "<div class=\"scroll\"><table class=\"overview\"><thead><tr>" << header("name", "Detector")
         << header("station", "Room / station") << header("tested", "Last test") << header("verdict", "Verdict")
         << "<th>Overdue</th><th>Baseline</th></tr></thead><tbody>\n";
    for (const Row& row : rows) {
        const DetectorRow& d = row.Detector;
        body << "<tr class=\"a" << row.Attention() << "\"><td>" << Link(DetectorHref(d.Key), nameOf(row));
        if (!d.DisplayName.empty() && d.DisplayName != d.Key) body << "<br><small>" << Esc(d.Key) << "</small>";
        body << "</td><td>" << Esc(d.Station) << "</td><td>"
             << (d.LastTestedAt.empty() ? std::string("never") : Esc(d.LastTestedAt.substr(0, 16))) << "</td><td>";
        if (row.HasRecord)
            body << VerdictCell(row.Last) << " <small>baseline:</small> " << VerdictCell(row.LastBaseline);
        body << "</td><td>";
        if (row.Overdue)
            body << "<span class=\"overdue\">"
                 << (row.Overdue->NeverTested ? std::string("never tested")
                                              : std::to_string(row.Overdue->DaysSinceTest) + " days since the test")
                 << "</span>";
        else
            body << "no";
        body << "</td><td>" << (row.Baseline.empty() ? std::string("none") : Esc(row.Baseline)) << "</td></tr>\n";
    }
    body << "</tbody></table></div></section>";
    return Page("Overview", body.str(), frame);
}

std::string DetectorPage(HistoryStore& store, const std::string& detector, const fs::path& outDir,
                         const PageFrame& frame)
{
    DetectorRow row;
    try {
        row = store.FindDetector(detector);
    } catch (const EvenorError&) {
        throw WebPageNotFound("No detector of that name or key");
    }
    RecordFilter filter;
    filter.Detector = row.Key;
    filter.WithDetails = false;
    std::vector<StoredRecord> records = store.Records(filter);
    const std::vector<Baseline> baselines = store.Baselines(row.Key);
    std::string charts;
    if (!records.empty()) {
        const auto limits = store.LimitsOf(row.Id);
        const std::string shown = row.DisplayName.empty() ? row.Key : row.DisplayName;
        for (std::size_t i = 0; i < BaselineCheckCount; ++i) {
            const BaselineCheckInfo& check = AllBaselineChecks()[i];
            charts += "<figure class=\"chart\">" +
                      TrendChartSvg(TrendSeriesFor(i, shown + ": " + std::string(check.Name), row.Key, records,
                                                   baselines, limits)) +
                      "</figure>\n";
        }
    }
    std::reverse(records.begin(), records.end());  // newest first

    std::ostringstream body;
    body << "<dl class=\"facts\"><dt>Key</dt><dd>" << Esc(row.Key) << " <small>(" << Esc(row.KeyKind)
         << ")</small></dd><dt>Manufacturer / model</dt><dd>" << Esc(row.Manufacturer) << " / " << Esc(row.Model)
         << "</dd><dt>Serial</dt><dd>" << Esc(row.Serial) << "</dd><dt>Room / station</dt><dd>" << Esc(row.Station)
         << "</dd><dt>Test interval</dt><dd>" << row.TestIntervalDays << " days</dd><dt>Records</dt><dd>"
         << records.size() << "</dd></dl>\n";
    if (!baselines.empty()) {
        const Baseline& b = baselines.back();
        body << "<p>Baseline in force: version " << b.Version << " of " << Esc(b.SetAt) << " (" << Esc(b.Source)
             << "), set by " << Esc(b.SetBy) << ": " << Esc(b.Reason) << "</p>\n";
    } else {
        body << "<p>No baseline.</p>\n";
    }
    if (!charts.empty()) body << "<h2>Trends</h2><div class=\"charts\">" << charts << "</div>\n<h2>Records</h2>";
    body << "<div class=\"scroll\"><table class=\"records\"><thead><tr><th>Record</th><th>Tested</th><th>Verdict</th>"
            "<th>Against the baseline</th><th>Notes</th><th>Downloads</th></tr></thead><tbody>\n";
    for (const StoredRecord& r : records) {
        body << "<tr" << (r.Excluded ? " class=\"excluded\"" : "") << "><td>"
             << Link(RecordHref(row.Key, r.Id), std::to_string(r.Id)) << "</td><td>" << Esc(r.TestedAt.substr(0, 16))
             << "</td><td>" << VerdictCell(r.Record.Overall) << "</td><td>";
        if (r.Checks.empty()) {
            body << "no baseline";
        } else {
            body << VerdictCell(r.BaselineOverall) << "<ul class=\"checks\">";
            for (const BaselineCheck& check : r.Checks) {
                body << "<li>" << Esc(CheckName(check.Key)) << ": " << Number(check.Value) << " vs "
                     << Number(check.Reference);
                if (check.DeviationPercent) body << " (" << Number(check.DeviationPercent, 1) << " %)";
                body << " " << VerdictCell(check.Result) << "</li>";
            }
            body << "</ul>";
        }
        body << "</td><td>";
        for (const std::string& note : r.Notes) body << "<p>" << Esc(note) << "</p>";
        if (r.Excluded)
            body << "<p class=\"excluded\">Excluded " << Esc(r.ExcludedAt) << " by " << Esc(r.ExcludedBy) << ": "
                 << Esc(r.ExcludedReason) << "</p>";
        body << "</td><td>";
        for (const std::string& name : RecordFiles(outDir, r.Record)) {
            const std::string label = FileLabel(name);
            if (label.rfind("Map ", 0) != 0) body << Link(FileHref(name), label) << " ";
        }
        body << "</td></tr>\n";
    }
    body << "</tbody></table></div>";
    const std::string title = row.DisplayName.empty() ? row.Key : row.DisplayName;
    return Page(title, body.str(), frame);
}

std::string RecordPage(HistoryStore& store, const std::string& detector, std::int64_t id, const fs::path& outDir,
                       const PageFrame& frame)
{
    RecordFilter filter;
    filter.Detector = detector;
    std::optional<StoredRecord> found;
    try {
        store.ForEachRecord(filter, [&](StoredRecord& record) {
            if (record.Id == id) found = std::move(record);
        });
    } catch (const EvenorError&) {
        throw WebPageNotFound("No detector of that name or key");
    }
    if (!found || detector.empty()) throw WebPageNotFound("No such record");
    const StoredRecord& r = *found;
    const QaRecord& q = r.Record;
    std::ostringstream body;
    body << "<p>" << Link(DetectorHref(r.DetectorKey), r.DetectorName.empty() ? r.DetectorKey : r.DetectorName)
         << "</p>\n<dl class=\"facts\"><dt>Tested</dt><dd>" << Esc(r.TestedAt) << "</dd><dt>Recorded</dt><dd>"
         << Esc(r.RecordedAt) << " by " << Esc(r.RecordedBy) << "</dd><dt>File</dt><dd>" << Esc(q.FileName)
         << "</dd><dt>Preset</dt><dd>" << Esc(q.Preset) << "</dd><dt>Exposure</dt><dd>" << Esc(q.Exposure) << " "
         << Esc(q.ExposureUnit) << ", " << Esc(q.KVp) << " kV</dd><dt>Verdict</dt><dd>" << VerdictCell(q.Overall)
         << "</dd><dt>Against the baseline</dt><dd>"
         << (r.Checks.empty() ? std::string("no baseline") : VerdictCell(r.BaselineOverall))
         << "</dd><dt>Area mean / SD</dt><dd>" << Number(q.Numbers.AreaMean) << " / " << Number(q.Numbers.AreaSD)
         << "</dd><dt>Area SNR</dt><dd>" << Number(q.Numbers.AreaSNR) << "</dd><dt>Mean ROI SNR</dt><dd>"
         << Number(q.Numbers.MeanRoiSNR) << "</dd><dt>Deviating ROIs / pixels</dt><dd>" << q.Numbers.DeviatingRoiCount
         << " of " << q.Numbers.RoiCount << " / " << q.Numbers.DeviatingPixelCount << "</dd></dl>\n";
    if (r.Excluded)
        body << "<p class=\"excluded\">Excluded " << Esc(r.ExcludedAt) << " by " << Esc(r.ExcludedBy) << ": "
             << Esc(r.ExcludedReason) << "</p>\n";
    std::vector<std::string> warnings;
    const nlohmann::json details = nlohmann::json::parse(q.Details, nullptr, false);
    if (details.is_object() && details.contains("warnings") && details["warnings"].is_array())
        for (const auto& warning : details["warnings"])
            if (warning.is_string()) warnings.push_back(warning.get<std::string>());
    body << "<h2>Warnings</h2>";
    if (warnings.empty())
        body << "<p>None.</p>";
    else {
        body << "<ul>";
        for (const std::string& warning : warnings) body << "<li>" << Esc(warning) << "</li>";
        body << "</ul>";
    }
    for (const std::string& note : r.Notes) body << "<p>" << Esc(note) << "</p>";
    const std::vector<std::string> files = RecordFiles(outDir, q);
    body << "\n<h2>Downloads</h2>";
    if (files.empty())
        body << "<p>The output folder holds no file of this record.</p>";
    else {
        body << "<ul class=\"downloads\">";
        for (const std::string& name : files) body << "<li>" << Link(FileHref(name), FileLabel(name)) << "</li>";
        body << "</ul>";
    }
    bool heading = false;
    for (const std::string& name : files) {
        if (fs::path(name).extension() != ".png") continue;
        if (!heading) body << "<h2>Maps</h2>";
        heading = true;
        body << "<figure><img src=\"" << Esc(FileHref(name)) << "\" alt=\"" << Esc(FileLabel(name)) << "\"><figcaption>"
             << Esc(FileLabel(name)) << "</figcaption></figure>";
    }
    return Page("Record " + std::to_string(r.Id), body.str(), frame);
}

std::string InboxPage(HistoryStore& store, const std::string& state, const PageFrame& frame)
{
    const std::set<std::string> states{IntakeWaiting, IntakeAnalysed, IntakeUnmatched, IntakeRefused};
    if (!state.empty() && !states.contains(state)) throw WebPageNotFound("No such state");
    std::ostringstream body;
    body << "<p>";
    body << (state.empty() ? std::string("<b>all</b>") : Link("/inbox", "all"));
    for (const char* s : {IntakeWaiting, IntakeAnalysed, IntakeUnmatched, IntakeRefused})
        body << " &middot; "
             << (state == s ? "<b>" + std::string(s) + "</b>" : Link(std::string("/inbox?state=") + s, s));
    body << "</p>\n";
    const std::vector<IntakeEntry> entries = store.Intake({}, state);
    if (entries.empty())
        body << "<p>No entries.</p>";
    else {
        body << "<div class=\"scroll\"><table><thead><tr><th>State</th><th>First seen</th><th>File</th><th>Source</th>"
                "<th>Detector</th><th>Verdict</th><th>Message</th></tr></thead><tbody>\n";
        for (const IntakeEntry& e : entries) {
            body << "<tr><td>" << Esc(e.State) << "</td><td>" << Esc(e.FirstSeen) << "</td><td>"
                 << Esc(fs::path(e.Path).filename().string()) << "</td><td>" << Esc(e.Source) << "</td><td>";
            if (!e.DetectorKey.empty()) {
                if (e.RecordId)
                    body << Link(RecordHref(e.DetectorKey, *e.RecordId), e.DetectorKey);
                else
                    body << Esc(e.DetectorKey);
            }
            body << "</td><td>" << Esc(e.Verdict) << "</td><td>" << Esc(e.Message);
            if (!e.Rule.empty()) body << " <small>" << Esc(e.Rule) << "</small>";
            body << "</td></tr>\n";
        }
        body << "</tbody></table></div>";
    }
    return Page("Inbox", body.str(), frame);
}

std::string LoginPage(const std::string& message)
{
    std::string body;
    if (!message.empty()) body += "<p class=\"error\">" + Esc(message) + "</p>";
    body += "<form method=\"post\" action=\"/login\" class=\"login\">"
            "<label>User <input name=\"user\" autocomplete=\"username\" required></label>"
            "<label>Password <input name=\"password\" type=\"password\" autocomplete=\"current-password\" "
            "required></label><button type=\"submit\">Log in</button></form>";
    return Page("Log in", body, PageFrame{});
}

std::string MessagePage(const std::string& title, const std::string& message, const PageFrame& frame)
{
    return Page(title, "<p>" + Esc(message) + "</p>", frame);
}

const std::string& Stylesheet()
{
    static const std::string css = R"(body{font-family:sans-serif;margin:0;color:#222;background:#fafafa}
header{background:#234;padding:.5em 1em}header a{color:#fff;margin-right:1em;text-decoration:none}
nav{display:flex;flex-wrap:wrap;align-items:center}.logout{margin-left:auto;color:#fff}
main{padding:0 1em 2em;max-width:1400px}h1{font-size:1.4em}h2{font-size:1.15em}
.scroll{overflow-x:auto}table{border-collapse:collapse;width:100%;background:#fff}
th,td{border-bottom:1px solid #ddd;padding:.35em .5em;text-align:left;vertical-align:top}
th a{color:#234}small{color:#666}.v{padding:0 .3em;border-radius:3px;white-space:nowrap}
.v-pass{background:#cfc}.v-warning{background:#fe9}.v-fail{background:#f99}.v-not-evaluated,.v-not-judged{background:#eee}
.overdue{color:#a00;font-weight:bold}tr.a0,tr.a1{background:#fff0f0}tr.a2{background:#fffbe6}
tr.excluded{color:#888;text-decoration:line-through}.excluded{color:#888}.checks{margin:0;padding-left:1em}
.counts{list-style:none;padding:0;display:flex;flex-wrap:wrap;gap:1em}.error{color:#a00}
.login label{display:block;margin:.5em 0}.login input{display:block;width:100%;max-width:20em;padding:.3em}
.facts{display:grid;grid-template-columns:max-content auto;gap:.2em 1em}.facts dd{margin:0}
img{max-width:100%;height:auto}.charts{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,560px),1fr));gap:.5em}
.chart{margin:0}.trend{width:100%;height:auto;border:1px solid #ddd}figure{display:inline-block;margin:.5em}
@media (max-width:600px){th,td{padding:.25em;font-size:.9em}.facts{grid-template-columns:auto}}
)";
    return css;
}

std::vector<std::string> RecordFiles(const fs::path& outDir, const QaRecord& record)
{
    std::vector<std::string> names;
    if (outDir.empty() || record.FileSha256.size() < 12) return names;
    const std::string prefix = fs::path(record.FileName).stem().string() + "-" + record.FileSha256.substr(0, 12);
    std::error_code error;
    for (fs::directory_iterator it(outDir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            (name[prefix.size()] == '.' || name[prefix.size()] == '-') && it->is_regular_file(error))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<fs::path> FileUnder(const fs::path& root, std::string_view relative)
{
    if (root.empty() || relative.empty() || relative.find('\0') != std::string_view::npos ||
        relative.find('\\') != std::string_view::npos)
        return std::nullopt;
    // Every segment a plain, visible name: no "", ".", ".." or hidden file.
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        const std::string_view segment = relative.substr(start, end - start);
        if (segment.empty() || segment.front() == '.') return std::nullopt;
        start = end + 1;
    }
    std::error_code error;
    const fs::path base = fs::canonical(root, error);
    if (error) return std::nullopt;
    const fs::path target = fs::canonical(base / fs::path(std::string(relative)), error);
    if (error) return std::nullopt;
    // Links must not lead out of the folder either.
    const auto [rootEnd, ignored] = std::mismatch(base.begin(), base.end(), target.begin(), target.end());
    if (rootEnd != base.end() || target == base) return std::nullopt;
    if (!fs::is_regular_file(target, error)) return std::nullopt;
    return target;
}

}  // namespace evenor

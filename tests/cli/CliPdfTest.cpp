// The PDF reports of analyse --pdf and history --pdf, read back with
// poppler-utils (pdftotext, pdfinfo): the text holds the JSON's numbers, the
// detector's identity and every warning; the paper is the one asked for; the
// same content gives the same bytes with SOURCE_DATE_EPOCH set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>

#include <nlohmann/json.hpp>

#include "analysis/AnalysisRun.h"
#include "history/Baselines.h"
#include "history/Sha256.h"
#include "insight/ResultExport.h"
#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

const std::string kSample = std::string(EVENOR_SOURCE_DIR) + "/samples/flatfield.dcm";
const std::string kEnvironment = "-u QT_QPA_PLATFORM LC_ALL=C TZ=UTC SOURCE_DATE_EPOCH=1700000000";

// The output of a poppler tool on path, whitespace runs made one space (a
// text wrapped over lines reads as one line).
std::string Poppler(const TempFolder& folder, const std::string& tool, const std::filesystem::path& path)
{
    const std::string out = (folder / (tool + ".txt")).string();
    const std::string command = tool + " " + Quoted(path.string()) + (tool == "pdftotext" ? " " + Quoted(out) : "") +
                                (tool == "pdfinfo" ? " >" + Quoted(out) : "") + " 2>/dev/null";
    const int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << command << " failed; scripts/install-deps installs poppler-utils";
    const std::string text = ReadWholeFile(out);
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

void ExpectHas(const std::string& text, const std::string& part, const std::string& label)
{
    EXPECT_NE(text.find(part), std::string::npos) << label << ": \"" << part << "\" missing";
}

// A measured value as a person signs it: two decimals, no "-0.00".
std::string Rounded(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return std::string(text) == "-0.00" ? "0.00" : text;
}

// The numbers of the JSON the report shows: as the report writes them
// (counts whole, measured values rounded), and the JSON's own text of each
// value that has more decimals than that, which the report leaves to the JSON.
struct ShownNumbers {
    std::vector<std::string> Shown, Unshown;
};

ShownNumbers JsonNumbers(const nlohmann::json& json)
{
    ShownNumbers numbers;
    const auto add = [&](const nlohmann::json& value, bool count = false) {
        if (!value.is_number_float() || count) {
            numbers.Shown.push_back(value.is_number_float() ? FormatReal(value.get<double>()) : value.dump());
            return;
        }
        numbers.Shown.push_back(Rounded(value.get<double>()));
        const std::string exact = FormatReal(value.get<double>());
        const std::size_t point = exact.find('.');
        if (point != std::string::npos && exact.size() - point > 3) numbers.Unshown.push_back(exact);
    };
    for (const char* key : {"mean", "sd", "snr"}) add(json["area"][key]);
    for (const char* key : {"mean", "sd"}) add(json["roi_snr"][key]);
    for (const char* key : {"rois", "deviating_rois", "deviating_pixels"}) add(json["counts"][key]);
    for (const auto& metric : json["metrics"]) {
        if (!metric["value"].is_null()) add(metric["value"]);
        if (!metric["every_pixel_value"].is_null()) add(metric["every_pixel_value"]);
    }
    for (const auto& check : json["guideline"]["checks"]) {
        const std::string key = check["key"];
        if (!check["value"].is_null())
            add(check["value"],
                key == DeviatingPixelsCheckKey || key == LineDefectsCheckKey || key == LargestClusterCheckKey);
    }
    for (const auto& roi : json["deviating_rois"])
        for (const char* key : {"mean", "sd", "snr"}) add(roi[key]);
    return numbers;
}

TEST(CliPdfTest, TheReportHoldsTheJsonsNumbersTheIdentityAndEveryWarning)
{
    TempFolder folder;
    // A processed image without the pixel-intensity tags: three warnings.
    TestImage processed = BlotchedImage(64);
    processed.PresentationIntentType = "FOR PRESENTATION";
    processed.IntensityRelationship.reset();
    processed.IntensitySign.reset();
    WriteDicomFile(folder / "processed.dcm", processed);
    struct Case {
        std::string image;
        const char* paper;  // null: the default
        const char* size;   // as pdfinfo says it
        std::vector<std::string> identity;
        std::size_t warnings;  // printed by the run
        std::string tested;    // the acquisition as the title shows it
        std::string by;        // --by; empty: none given
    };
    const Case cases[] = {
        {kSample,
         nullptr,
         "595 x 842 pts (A4)",
         {"Evenor Test Phantoms", "FlatPanel FP-43", "SN-000123", "DET-0042", "QA-ROOM-1", "2024-03-15 09:30:12"},
         0,
         "tested 2024-03-15 09:30:12",
         "A. Physicist"},
        {(folder / "processed.dcm").string(),
         "letter",
         "612 x 792 pts (letter)",
         {"FOR PRESENTATION"},
         3,
         "Tested -",
         ""},
    };
    for (const Case& c : cases) {
        const std::string label = c.image + (c.paper ? std::string(" ") + c.paper : "");
        const auto pdf = folder / "report.pdf";
        std::vector<std::string> args{
            "analyse", c.image,      "-o", (folder / "r.txt").string(), "--json", (folder / "r.json").string(),
            "--pdf",   pdf.string(), "-q"};
        if (c.paper) args.insert(args.end(), {"--paper", c.paper});
        if (!c.by.empty()) args.insert(args.end(), {"--by", c.by});
        // Without --by, the user's login.
        const std::string environment = kEnvironment + " USER=qa-login";
        const std::string by = c.by.empty() ? "qa-login" : c.by;
        const CliResult run = RunProgram(folder, environment, args);
#if EVENOR_CLI_HAS_MAPS
        ASSERT_EQ(run.status, 0) << label << run.err;
        const auto json = nlohmann::json::parse(ReadWholeFile(folder / "r.json"));
        const std::string text = Poppler(folder, "pdftotext", pdf);
        const ShownNumbers numbers = JsonNumbers(json);
        for (const auto& number : numbers.Shown) ExpectHas(text, number, label);
        EXPECT_FALSE(numbers.Unshown.empty()) << label;
        for (const auto& number : numbers.Unshown)
            EXPECT_EQ(text.find(number), std::string::npos) << label << ": " << number << " is not rounded";
        // When and by whom it was analysed, beside the acquisition.
        ExpectHas(text, c.tested + "; analysed 2023-11-14 22:13:20 UTC by " + by, label);
        ExpectHas(text, "Analysed 2023-11-14 22:13:20 UTC by " + by, label);
        for (const auto& part : c.identity) ExpectHas(text, part, label);
        ExpectHas(text, Sha256OfFile(c.image), label);
        ExpectHas(text, "Overall verdict: " + json["guideline"]["overall"].get<std::string>(), label);
        // Every warning the run printed, and the JSON's.
        std::size_t warnings = 0;
        std::istringstream lines(run.err);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Warning: ", 0) != 0) continue;
            ExpectHas(text, line, label);
            ++warnings;
        }
        for (const auto& warning : json["warnings"]) ExpectHas(text, "Warning: " + warning.get<std::string>(), label);
        EXPECT_EQ(warnings, c.warnings) << label << run.err;
        // Long tables are cut, saying how much is left out.
        const std::size_t deviating = json["deviating_rois"].size();
        if (deviating > 1000) ExpectHas(text, "and " + std::to_string(deviating - 1000) + " more", label);

        const std::string info = Poppler(folder, "pdfinfo", pdf);
        ExpectHas(info, "Page size: " + std::string(c.size), label);
        ExpectHas(info, "CreationDate: Tue Nov 14 22:13:20 2023 UTC", label);
        const std::smatch pages = [&] {
            std::smatch m;
            std::regex_search(info, m, std::regex("Pages: (\\d+)"));
            return m;
        }();
        ASSERT_FALSE(pages.empty()) << info;
        EXPECT_GE(std::stoi(pages[1]), 5) << label;

        // Fonts embedded, and the same bytes again.
        const std::string first = ReadWholeFile(pdf);
        EXPECT_NE(first.find("/FontFile2"), std::string::npos) << label;
        ASSERT_EQ(RunProgram(folder, environment, args).status, 0) << label;
        EXPECT_TRUE(ReadWholeFile(pdf) == first) << label << ": two runs gave different bytes";
#else
        EXPECT_EQ(run.status, 2) << label;
        EXPECT_NE(run.err.find("--pdf: this evenor-cli was not built with maps"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(pdf));
#endif
    }
}

#if EVENOR_CLI_HAS_MAPS
// The text of one page.
std::string PageText(const TempFolder& folder, const std::filesystem::path& pdf, int page)
{
    const std::string out = (folder / "page.txt").string();
    const std::string command = "pdftotext -f " + std::to_string(page) + " -l " + std::to_string(page) + " " +
                                Quoted(pdf.string()) + " " + Quoted(out);
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return std::regex_replace(ReadWholeFile(out), std::regex("\\s+"), " ");
}

int PageCount(const TempFolder& folder, const std::filesystem::path& pdf)
{
    std::smatch pages;
    const std::string info = Poppler(folder, "pdfinfo", pdf);
    return std::regex_search(info, pages, std::regex("Pages: (\\d+)")) ? std::stoi(pages[1]) : 0;
}

// The text of a history report's trend charts (between the "Trends" heading
// and the sign-off), page footers left out: the charts are text, not
// pictures, so each one's title, axis labels, ticks and legend read back.
std::string ChartsText(const std::string& text)
{
    const std::size_t from = text.find("Trends "), to = text.find("Sign-off", from);
    EXPECT_NE(from, std::string::npos);
    EXPECT_NE(to, std::string::npos);
    if (from == std::string::npos || to == std::string::npos) return {};
    const std::string charts = text.substr(from, to - from);
    return std::regex_replace(charts, std::regex("Evenor \\S+ - QA history of DET-0042 Page \\d+ of \\d+ "), "");
}

// Each baseline check's chart: its title, "Test date" under it, the day of
// the records on its time axis, numbers on its value axis.
void ExpectCharts(const std::string& charts, const std::string& label)
{
    std::size_t at = 0;
    for (const auto& check : AllBaselineChecks()) {
        at = charts.find(std::string(check.Name) + " ", at);
        ASSERT_NE(at, std::string::npos) << label << ": no chart titled " << check.Name << " in " << charts;
        const std::size_t next = charts.find("Test date", at);
        ASSERT_NE(next, std::string::npos) << label << ": " << check.Name << " has no time axis";
        const std::string chart = charts.substr(at, next - at);
        ExpectHas(chart, "2024-03-15", label + " " + std::string(check.Name));
        const std::regex number(" -?\\d+(\\.\\d+)?(?= )");
        const std::ptrdiff_t numbers =
            std::distance(std::sregex_iterator(chart.begin(), chart.end(), number), std::sregex_iterator());
        EXPECT_GE(numbers, 3) << label << ": " << check.Name << "'s value axis: " << chart;
        at = next;
    }
}

TEST(CliPdfTest, RecordedTestsShowTheBaselineAndTheDetectorHasItsHistory)
{
    TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    const auto analyse = [&](const std::string& offset, std::vector<std::string> extra) {
        std::vector<std::string> args{"analyse", kSample,    "-o",       (folder / "r.txt").string(),
                                      "-q",      "--record", "--db",     db,
                                      "--by",    "qa",       "--offset", offset};
        args.insert(args.end(), extra.begin(), extra.end());
        return extra.empty() ? RunInProcess(args) : RunProgram(folder, kEnvironment, args);
    };
    // Twenty records of one detector (other offsets make other tests).
    for (int offset = 0; offset < 19; ++offset) ASSERT_EQ(analyse(std::to_string(offset), {}).status, 0);
    // Without a baseline the charts draw neither a baseline nor bands, and
    // their legends name none; no record is excluded, so no hollow dot.
    const auto unjudged = folder / "unjudged.pdf";
    ASSERT_EQ(
        RunProgram(folder, kEnvironment, {"history", "--db", db, "--detector", "DET-0042", "--pdf", unjudged.string()})
            .status,
        0);
    std::string charts = ChartsText(Poppler(folder, "pdftotext", unjudged));
    ExpectCharts(charts, "no baseline");
    for (const char* absent : {"baseline", "warning", "action", "excluded"})
        EXPECT_EQ(charts.find(absent), std::string::npos) << "no baseline: \"" << absent << "\" in " << charts;
    ASSERT_EQ(RunInProcess({"baseline", "set", "--detector", "DET-0042", "--first", "3", "--reason", "acceptance",
                            "--by", "qa", "--db", db})
                  .status,
              0);
    const auto recorded = folder / "recorded.pdf";
    const CliResult run = analyse("19", {"--pdf", recorded.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Recorded as record 20 for detector DET-0042\n");
    std::string text = Poppler(folder, "pdftotext", recorded);
    ExpectHas(text, "Baseline comparison", "recorded");
    ExpectHas(text, "Recorded as record 20 for detector DET-0042", "recorded");
    ExpectHas(text, "Baseline 1, set ", "recorded");
    for (const auto& check : AllBaselineChecks()) ExpectHas(text, std::string(check.Name), "recorded");
    ExpectHas(text, "Against the baseline: ", "recorded");
    // Measured values rounded, the count of deviating ROIs whole (its baseline a median: maybe a half).
    EXPECT_TRUE(std::regex_search(text, std::regex("Area SNR \\d+\\.\\d\\d \\d+\\.\\d\\d [-+]?\\d+\\.\\d\\d %")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("Deviating ROIs \\d+ \\d+(\\.5)? [-+]?\\d+\\.\\d\\d %"))) << text;

    // The detector's report, on Letter: the records table runs over pages,
    // its header on each, every page numbered. Whether a test is overdue is
    // counted from SOURCE_DATE_EPOCH's day, not the clock's: the same
    // content gives the same bytes whatever the day.
    const auto history = folder / "history.pdf";
    const std::vector<std::string> historyArgs{"history",   "--db",           db,        "--detector", "DET-0042",
                                               "--pdf",     history.string(), "--paper", "letter",     "--since",
                                               "2024-03-15"};
    const std::pair<const char*, const char*> days[] = {
        {"1710806400", "Not overdue: last tested 2024-03-15 09:30:12 (interval 30 days)"},            // 2024-03-19
        {"1735689600", "Overdue: last tested 2024-03-15 09:30:12, 292 days ago (interval 30 days)"},  // 2025-01-01
    };
    for (const auto& [epoch, overdue] : days) {
        const std::string environment = "-u QT_QPA_PLATFORM LC_ALL=C TZ=UTC SOURCE_DATE_EPOCH=" + std::string(epoch);
        const CliResult listed = RunProgram(folder, environment, historyArgs);
        ASSERT_EQ(listed.status, 0) << listed.err;
        ExpectHas(Poppler(folder, "pdftotext", history), overdue, epoch);
        const std::string first = ReadWholeFile(history);
        ASSERT_EQ(RunProgram(folder, environment, historyArgs).status, 0);
        EXPECT_TRUE(ReadWholeFile(history) == first) << epoch << ": two runs gave different bytes";
    }
    text = Poppler(folder, "pdftotext", history);
    for (const char* part :
         {"Detector QA history", "SN-000123", "Baseline 1 (in force)", "acceptance",
          "20 (tested on or after 2024-03-15)", "Test interval 30 days", "Limits in force", "Trends", "Sign-off"})
        ExpectHas(text, part, "history");
    for (const auto& check : AllBaselineChecks()) ExpectHas(text, std::string(check.Name), "history");
    charts = ChartsText(text);
    ExpectCharts(charts, "history");
    for (const char* legend : {"baseline warning \u00b1", "action \u00b1"}) ExpectHas(charts, legend, "history");
    EXPECT_EQ(charts.find("excluded"), std::string::npos) << charts;
    ExpectHas(Poppler(folder, "pdfinfo", history), "Page size: 612 x 792 pts (letter)", "history");
    const int pages = PageCount(folder, history);
    ASSERT_GE(pages, 3);
    int recordPages = 0;
    for (int page = 1; page <= pages; ++page) {
        const std::string shown = PageText(folder, history, page);
        ExpectHas(shown, "Page " + std::to_string(page) + " of " + std::to_string(pages), "page");
        if (shown.find("No. Tested") != std::string::npos) ++recordPages;
    }
    EXPECT_GE(recordPages, 2);

    CliResult listed = RunProgram(folder, kEnvironment, {"history", "--db", db, "--pdf", history.string()});
    EXPECT_EQ(listed.status, 2);
    EXPECT_NE(listed.err.find("--pdf: --detector KEY is required"), std::string::npos) << listed.err;
    listed = RunInProcess({"history", "--db", db, "--detector", "DET-0042", "--paper", "letter"});
    EXPECT_EQ(listed.status, 2);
    EXPECT_NE(listed.err.find("--paper requires --pdf"), std::string::npos) << listed.err;
}

// The warnings about the pixel-intensity tags are not only printed: the
// JSON, the PDF and the history record carry them too, so that a run nobody
// watches keeps them.
TEST(CliPdfTest, TheTagWarningsReachTheJsonThePdfAndTheRecord)
{
    TempFolder folder;
    struct Case {
        const char* name;
        std::optional<std::string> relationship;  // 0028,1040
        std::optional<std::int16_t> sign;         // 0028,1041
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        {"log", "LOG", 1, {kWarningNotLinear}},
        {"no-1040", std::nullopt, 1, {kWarningLinearMissing}},
        {"no-1041", "LIN", std::nullopt, {kWarningSignMissing}},
        {"sign-0", "LIN", 0, {kWarningSignNotRecognised}},
        {"neither", std::nullopt, std::nullopt, {kWarningLinearMissing, kWarningSignMissing}},
    };
    const std::string db = (folder / "history.sqlite").string();
    for (const Case& c : cases) {
        TestImage image = NoisyFlatImage(64);
        image.IntensityRelationship = c.relationship;
        image.IntensitySign = c.sign;
        const auto file = folder / (std::string(c.name) + ".dcm");
        WriteDicomFile(file, image);
        const auto pdf = folder / "report.pdf";
        const CliResult run = RunProgram(folder, kEnvironment,
                                         {"analyse", file.string(), "-o", (folder / "r.txt").string(), "--json",
                                          (folder / "r.json").string(), "--pdf", pdf.string(), "--record", "--db", db});
#if EVENOR_CLI_HAS_MAPS
        ASSERT_EQ(run.status, 0) << c.name << run.err;
        std::string printed;
        for (const auto& warning : c.warnings) printed += "Warning: " + warning + "\n";
        EXPECT_EQ(run.err.substr(0, printed.size()), printed) << c.name;
        const auto json = nlohmann::json::parse(ReadWholeFile(folder / "r.json"));
        EXPECT_EQ(json["warnings"], nlohmann::json(c.warnings)) << c.name;
        const std::string text = Poppler(folder, "pdftotext", pdf);
        for (const auto& warning : c.warnings) ExpectHas(text, "Warning: " + warning, c.name);
#else
        EXPECT_NE(run.status, 0);
#endif
    }
#if EVENOR_CLI_HAS_MAPS
    const CliResult history = RunProgram(folder, kEnvironment, {"history", "--db", db, "--json"});
    ASSERT_EQ(history.status, 0) << history.err;
    const auto records = nlohmann::json::parse(history.out)["records"];
    ASSERT_EQ(records.size(), std::size(cases)) << history.out;
    for (const auto& record : records) {
        const std::string name = std::filesystem::path(record["file"].get<std::string>()).stem().string();
        const auto c = std::find_if(std::begin(cases), std::end(cases), [&](const Case& k) { return k.name == name; });
        ASSERT_NE(c, std::end(cases)) << name;
        EXPECT_EQ(record["details"]["warnings"], nlohmann::json(c->warnings)) << name;
    }
#endif
}

TEST(CliPdfTest, BatchWritesAReportPerImage)
{
    TempFolder folder;
    std::filesystem::create_directories(folder / "in");
    std::filesystem::copy_file(kSample, folder / "in" / "a.dcm");
    WriteDicomFile(folder / "in" / "b.dcm", BlotchedImage(64));
    const CliResult run = RunProgram(folder, kEnvironment,
                                     {"analyse", (folder / "in").string(), "--out-dir", (folder / "out").string(),
                                      "--each-pdf", "-q", "--by", "QA Team"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* name : {"a.pdf", "b.pdf"}) {
        EXPECT_GE(PageCount(folder, folder / "out" / name), 5) << name;
        const std::string text = Poppler(folder, "pdftotext", folder / "out" / name);
        ExpectHas(text, "Uniformity test report", name);
        ExpectHas(text, "Analysed 2023-11-14 22:13:20 UTC by QA Team", name);
    }
    // --by names who made the analysis in a PDF report or a record; alone it has nothing to name it in.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"analyse", kSample, "-o", (folder / "r.txt").string(), "--by", "QA Team"},
          std::vector<std::string>{"analyse", (folder / "in").string(), "--out-dir", (folder / "out").string(),
                                   "--each-json", "--by", "QA Team"}}) {
        const CliResult refused = RunInProcess(args);
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.err.find("--by: only with --record, --pdf or --each-pdf"), std::string::npos) << refused.err;
    }
}
#endif

}  // namespace
}  // namespace evenor::test

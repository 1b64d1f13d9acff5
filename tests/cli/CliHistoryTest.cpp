// analyse --record and the history commands, on the sample image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/HistoryCommands.h"
#include "dicom/DicomLib.h"
#include "history/HistoryStore.h"
#include "qa/Intake.h"
#include "qa/Recorder.h"
#include "tests/cli/CliTestSupport.h"

namespace evenor::test {
namespace {

const std::string kSample = std::string(EVENOR_SOURCE_DIR) + "/samples/flatfield.dcm";

TEST(CliHistoryTest, RecordListAndBaseline)
{
    TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    const std::string report = (folder / "r.txt").string();
    const auto record = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"analyse", kSample, "-o", report, "-q", "--record", "--db", db, "--by", "qa"};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunInProcess(args);
    };
    CliResult run = record({});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Recorded as record 1 for detector DET-0042\n");
    run = record({});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Already recorded as record 1\n");
    run = record({"--box-cm", "2"});
    EXPECT_EQ(run.out, "Recorded as record 2 for detector DET-0042\n");

    run = RunInProcess(
        {"baseline", "set", "--detector", "DET-0042", "--record", "1", "--reason", "acceptance", "--db", db});
    ASSERT_EQ(run.status, 0) << run.err;
    run = record({"--box-cm", "3"});
    ASSERT_EQ(run.status, 0) << run.err;

    run = RunInProcess({"detectors", "rename", "DET-0042", "Room 3", "--db", db});
    ASSERT_EQ(run.status, 0) << run.err;
    run = RunInProcess({"history", "--db", db, "--detector", "Room 3", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    ASSERT_EQ(json["records"].size(), 3u);
    const auto& first = json["records"][0];
    EXPECT_EQ(first["detector"], "DET-0042");
    EXPECT_EQ(first["detector_name"], "Room 3");
    EXPECT_EQ(first["device_serial_number"], "SN-000123");
    EXPECT_EQ(first["recorded_by"], "qa");
    EXPECT_EQ(first["file_sha256"].get<std::string>().size(), 64u);
    EXPECT_TRUE(first["baseline_version"].is_null());
    const auto& third = json["records"][2];
    EXPECT_EQ(third["baseline_version"], 1);
    EXPECT_EQ(third["baseline_checks"].size(), 7u);
    EXPECT_EQ(third["details"]["verdicts"]["preset"], "evenor-default");

    run = RunInProcess({"baseline", "show", "--detector", "DET-0042", "--json", "--db", db});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["baselines"][0]["source"], "record 1");
    run = RunInProcess({"detectors", "--json", "--db", db});
    EXPECT_EQ(nlohmann::json::parse(run.out)["detectors"][0]["records"], 3);
    run = RunInProcess({"history", "--db", db, "--since", "2030-01-01", "--csv"});
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);  // the header alone
    // Only days of the calendar.
    for (const char* since : {"2026-13-45", "2026-02-30", "2025-02-29", "20260000", "2026-1-05"}) {
        run = RunInProcess({"history", "--db", db, "--since", since});
        EXPECT_EQ(run.status, 2) << since;
        EXPECT_EQ(run.err, "--since: a date YYYY-MM-DD is expected\n") << since;
    }
    run = RunInProcess({"history", "--db", db, "--since", "2024-02-29", "--csv"});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST(CliHistoryTest, DetectorLimitsJudgeLaterRecordsOnly)
{
    TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    const std::string report = (folder / "r.txt").string();
    const auto record = [&](const std::string& boxCm) {
        return RunInProcess({"analyse", kSample, "-o", report, "-q", "--record", "--db", db, "--box-cm", boxCm});
    };
    ASSERT_EQ(record("1").status, 0);
    ASSERT_EQ(
        RunInProcess({"baseline", "set", "--detector", "DET-0042", "--record", "1", "--reason", "start", "--db", db})
            .status,
        0);
    ASSERT_EQ(record("2").status, 0);

    // Refused before the database is touched: exit status 2 and why.
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--warning", "5"}, "--warning 5: give --check NAME before it"},
        {{"--check", "area_snr"}, "--check area_snr: give --warning, --action or both"},
        {{"--check", "snr", "--warning", "5"}, "no check \"snr\"; the checks are area_snr, mean_roi_snr"},
        {{"--check", "area_snr", "--warning", "-1"}, "--warning -1: a percentage of 0 or more"},
        {{"--check", "area_snr", "--action", "5", "--action", "6"}, "--action is given twice for --check area_snr"},
        {{"--check", "area_snr", "--warning", "30"}, "the warning limit (30 %) is above the action limit (20 %)"},
        {{"--reset", "snr"}, "--reset: no check \"snr\""},
    };
    for (const auto& [extra, message] : refused) {
        std::vector<std::string> args{"detectors", "limits", "DET-0042", "--reason", "test", "--db", db};
        args.insert(args.end(), extra.begin(), extra.end());
        const CliResult run = RunInProcess(args);
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }

    // No warning limit for the mean ROI SNR and 0 % for its action: any deviation fails.
    CliResult run = RunInProcess({"detectors", "limits", "DET-0042", "--check", "mean_roi_snr", "--action", "0",
                                  "--warning", "none", "--check", "noise_uniformity", "--warning", "70", "--reason",
                                  "after repair", "--by", "qa", "--db", db});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("version 1, set "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" UTC by qa (after repair)\n  area_snr             warning 10 %, action 20 %  (default)\n"
                           "  mean_roi_snr         warning none, action 0 %\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("noise_uniformity     warning 70 %, action 100 %\n"), std::string::npos) << run.out;
    EXPECT_EQ(RunInProcess({"detectors", "limits", "DET-0042", "--check", "mean_roi_snr", "--action", "0", "--reason",
                            "again", "--db", db})
                  .out.rfind("The limits are unchanged\n", 0),
              0u);
    ASSERT_EQ(record("3").status, 0);
    ASSERT_EQ(RunInProcess({"detectors", "limits", "DET-0042", "--reset", "all", "--reason", "defaults again", "--by",
                            "qa", "--db", db})
                  .status,
              0);
    ASSERT_EQ(record("4").status, 0);

    const auto json = nlohmann::json::parse(RunInProcess({"history", "--db", db, "--json"}).out);
    ASSERT_EQ(json["records"].size(), 4u);
    struct Expected {
        nlohmann::json Version, Warning, Action;
    };
    const Expected expected[] = {{nullptr, 10.0, 20.0}, {1, nullptr, 0.0}, {2, 10.0, 20.0}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& r = json["records"][i + 1];
        EXPECT_EQ(r["limits_version"], expected[i].Version) << i;
        EXPECT_EQ(r["baseline_checks"][1]["key"], "mean_roi_snr");
        EXPECT_EQ(r["baseline_checks"][1]["warning"], expected[i].Warning) << i;
        EXPECT_EQ(r["baseline_checks"][1]["action"], expected[i].Action) << i;
        const char* verdicts[] = {"pass", "fail", "warning"};  // -6 %, -12 %, -19 % against limits in force
        EXPECT_EQ(r["baseline_checks"][1]["verdict"], verdicts[i]) << i;
    }

    const auto shown =
        nlohmann::json::parse(RunInProcess({"detectors", "limits", "DET-0042", "--json", "--db", db}).out);
    EXPECT_EQ(shown["version"], 2);
    EXPECT_EQ(shown["limits"]["noise_uniformity"]["default"], true);
    ASSERT_EQ(shown["versions"].size(), 2u);
    EXPECT_EQ(shown["versions"][0]["set_by"], "qa");
    EXPECT_EQ(shown["versions"][0]["reason"], "after repair");
    EXPECT_EQ(shown["versions"][0]["limits"]["mean_roi_snr"]["warning"], nullptr);
}

TEST(CliHistoryTest, JsonCopiesTheStoredDetailsAsTheyWouldBeDumped)
{
    // The details are stored as compact JSON and copied into the listing
    // without being parsed: the listing must still be exactly what the JSON
    // library prints for its content, whatever the details hold.
    TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    const std::string details[] = {
        R"({"a":{},"b":[],"c":[{}],"d":{"e":[1,-2.5,1e-05,null,true]}})",
        R"({"text":"{[,:]} \"quoted\" back\\slash","u":"\u0001 é ☃","":""})",
        R"([[[]],{"x":{"y":{}}}])",
        "not JSON {",
        "",
    };
    {
        const auto store = HistoryStore::Open(db);
        int n = 0;
        for (const auto& text : details) {
            QaRecord record;
            record.Detector.DetectorId = "D";
            record.FileSha256 = std::to_string(++n);
            record.Details = text;
            // A hostile tag holding the text that stands for the details.
            record.SoftwareVersions = n % 2 ? "\x01evenor-details\x01" : "\"details\": \"\x01evenor-details\x01\"";
            store->Record(record);
        }
    }
    const CliResult run = RunInProcess({"history", "--db", db, "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto json = nlohmann::ordered_json::parse(run.out);
    EXPECT_EQ(run.out, json.dump(2) + "\n");
    ASSERT_EQ(json["records"].size(), std::size(details));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(json["records"][i]["details"], nlohmann::ordered_json::parse(details[i])) << i;
    EXPECT_TRUE(json["records"][3]["details"].is_null());
    EXPECT_TRUE(json["records"][4]["details"].is_null());
}

TEST(CliHistoryTest, AStoreFailureKeepsTheOutputsAndFails)
{
    TempFolder folder;
    WriteWholeFile(folder / "corrupt.sqlite", std::string(4096, 'x'));
    const std::string cases[] = {(folder / "corrupt.sqlite").string(), (folder / "none" / "h.sqlite").string(),
                                 "postgresql://127.0.0.1:1/evenor?connect_timeout=2"};
    for (const auto& db : cases) {
        const std::string report = (folder / "r.txt").string(), json = (folder / "r.json").string();
        std::filesystem::remove(report);
        std::filesystem::remove(json);
        const CliResult run =
            RunInProcess({"analyse", kSample, "-o", report, "--json", json, "-q", "--record", "--db", db});
        EXPECT_EQ(run.status, 1) << db;
        EXPECT_NE(run.err.find("History database " + db + ": "), std::string::npos) << run.err;
        EXPECT_TRUE(std::filesystem::exists(report)) << db;
        EXPECT_TRUE(std::filesystem::exists(json)) << db;
    }
    // Listing a missing database creates nothing.
    const std::string missing = (folder / "missing.sqlite").string();
    EXPECT_EQ(RunInProcess({"history", "--db", missing}).status, 1);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(CliHistoryTest, BatchWorkersRecordEveryImage)
{
    TempFolder folder;
    std::filesystem::create_directories(folder / "in");
    // Two copies (one record, then "already"), and a copy changed after the
    // header so its checksum differs.
    const std::string bytes = ReadWholeFile(kSample);
    WriteWholeFile(folder / "in" / "a.dcm", bytes);
    WriteWholeFile(folder / "in" / "b.dcm", bytes);
    std::string changed = bytes;
    changed[changed.size() - 1] ^= 1;
    WriteWholeFile(folder / "in" / "c.dcm", changed);
    const std::string db = (folder / "h.sqlite").string();
    const CliResult run = RunInProcess({"analyse", (folder / "in").string(), "--out-dir", (folder / "out").string(),
                                        "-q", "--record", "--db", db, "-j", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3) << run.err;
    const auto json = nlohmann::json::parse(RunInProcess({"history", "--db", db, "--json"}).out);
    EXPECT_EQ(json["records"].size(), 2u);
}

TEST(CliHistoryTest, PngDrawsATrendChartPerCheck)
{
    TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    // Four images of one detector whose blotch darkens from test to test.
    for (int i = 0; i < 4; ++i) {
        TestImage image = NoisyFlatImage(64);
        for (std::uint16_t y = 20; y < 40; ++y)
            for (std::uint16_t x = 20; x < 40; ++x) {
                auto& value = image.Pixels[std::size_t{y} * 64 + x];
                value = static_cast<std::uint16_t>(value * (100 - 3 * i) / 100);
            }
        const auto file = folder / ("t" + std::to_string(i) + ".dcm");
        WriteDicomFile(file, image);
        const CliResult run = RunInProcess(
            {"analyse", file.string(), "-o", (folder / "r.txt").string(), "-q", "--record", "--db", db, "--by", "qa"});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    ASSERT_EQ(RunInProcess(
                  {"baseline", "set", "--detector",
                   nlohmann::json::parse(RunInProcess({"detectors", "--json", "--db", db}).out)["detectors"][0]["key"],
                   "--first", "2", "--reason", "acceptance", "--db", db})
                  .status,
              0);
    ASSERT_EQ(RunInProcess({"history", "exclude", "3", "--reason", "grid in the beam", "--db", db}).status, 0);

    const auto charts = folder / "charts";
    // The real program: it has to load its map module and start its own offscreen Qt.
    const auto draw = [&] {
        return RunProgram(folder, "-u QT_QPA_PLATFORM LC_ALL=C", {"history", "--db", db, "--png", charts.string()});
    };
    const CliResult run = draw();
#if EVENOR_CLI_HAS_MAPS
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 7) << run.out;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(charts)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 7u);
    const std::string prefix = names[0].substr(0, names[0].find("-area_mean.png"));
    EXPECT_EQ(prefix.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-"),
              std::string::npos)
        << prefix;
    std::vector<std::string> bytes;
    for (const char* check : {"area_mean", "area_snr", "deviating_roi_count", "global_uniformity", "local_uniformity",
                              "mean_roi_snr", "noise_uniformity"}) {
        const std::string name = prefix + "-" + check + ".png";
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
        bytes.push_back(ReadWholeFile(charts / name));
        std::uint32_t width = 0, height = 0;
        ASSERT_TRUE(ReadPngSize(bytes.back(), width, height)) << name;
        EXPECT_EQ(width, 800u) << name;
        EXPECT_EQ(height, 500u) << name;
        EXPECT_NE(run.out.find((charts / name).string()), std::string::npos) << run.out;
    }
    // Drawn again: the same bytes.
    ASSERT_EQ(draw().status, 0);
    EXPECT_EQ(ReadWholeFile(charts / (prefix + "-area_snr.png")), bytes[1]);
#else
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--png: this evenor-cli was not built with maps"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(charts));
#endif
}

// A baseline, an exclusion and a change of limits need a reason that is not
// blank: refused as a usage error before the database is touched. A detector
// whose only record is excluded is then overdue, never tested.
TEST(CliHistoryTest, ChangesNeedAReason)
{
    TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    ASSERT_EQ(
        RunInProcess({"analyse", kSample, "-o", (folder / "r.txt").string(), "-q", "--record", "--db", db}).status, 0);
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"history", "exclude", "1", "--reason", ""}, "history exclude: --reason is required"},
        {{"baseline", "set", "--detector", "DET-0042", "--record", "1", "--reason", " "},
         "baseline set: --reason is required"},
        {{"detectors", "limits", "DET-0042", "--check", "area_snr", "--warning", "5"},
         "detectors limits: --reason is required"},
        {{"detectors", "limits", "DET-0042", "--reset", "all", "--reason", ""},
         "detectors limits: --reason is required"},
    };
    for (const auto& [args, message] : refused) {
        std::vector<std::string> withDb = args;
        withDb.insert(withDb.end(), {"--db", db});
        const CliResult run = RunInProcess(withDb);
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_EQ(run.err.rfind(message, 0), 0u) << run.err;
    }
    const auto store = HistoryStore::Open(db, false);
    EXPECT_TRUE(store->Baselines("DET-0042").empty());
    EXPECT_TRUE(store->LimitsHistory("DET-0042").empty());
    EXPECT_FALSE(store->Records().front().Excluded);
    // Showing the limits needs no reason.
    EXPECT_EQ(RunInProcess({"detectors", "limits", "DET-0042", "--db", db}).status, 0);

    ASSERT_EQ(RunInProcess({"history", "exclude", "1", "--reason", "grid in the beam", "--db", db}).status, 0);
    const CliResult overdue = RunInProcess({"history", "--overdue", "--db", db});
    EXPECT_EQ(overdue.out, "DET-0042: never tested (interval 30 days)\n");
}

// Hostile tags (a Detector ID that forges a listing line, terminal escape
// sequences, NUL) reach the terminal and the logs escaped; the database and
// the JSON keep the bytes.
TEST(CliHistoryTest, ControlCharactersFromTagsAreEscapedOnTheTerminal)
{
    using namespace std::string_literals;
    TempFolder folder;
    const std::string db = (folder / "h.sqlite").string();
    const std::string key = "DET\nRecord 99  2024-01-02 10:15:00  FAKE  pass\x1b]0;owned\x07";
    QaRecord record;
    record.Detector = DetectorIdentity{"Maker\x1b[2J", "Model", "SN", key, "ROOM\0\x1b[31m"s};
    record.FileSha256 = "1";
    record.Settings = "s";
    const std::string recorded = HistoryRecorder(db, "qa").Record(record);
    record.FileSha256 = "2";
    record.SoftwareVersions = "2.0\r\n";
    const std::string noted = HistoryRecorder(db, "qa").Record(record);
    const CliResult rename = RunInProcess({"detectors", "rename", key, "Wall\x1b[8m", "--db", db});
    const std::string escapedKey = "DET\\nRecord 99  2024-01-02 10:15:00  FAKE  pass\\x1b]0;owned\\x07";
    std::ostringstream log;
    LineLog(log)("image in\x1b[1A.dcm: no rule matches\r");
    TestImage tagged = FlatImage(4, 4, 100);
    tagged.PresentationIntentType = "FOR\nFAKE\x1b]0;owned\x07";
    WriteDicomFile(folder / "tagged.dcm", tagged);
    const std::string tags = RunInProcess({"tags", (folder / "tagged.dcm").string()}).out;
    const std::size_t elements = TDicomBeeld(folder.Path().string() + "/", "tagged.dcm").TagList().size();

    struct Case {
        const char* Name;
        std::string Text;
        std::size_t Lines;
        std::string Shows;
    };
    const Case cases[] = {
        {"Recorded as", recorded + "\n", 1, "Recorded as record 1 for detector " + escapedKey},
        {"a note", noted + "\n", 2, "from \"\" to \"2.0\\r\\n\""},
        {"rename", rename.out, 1, " is now named \"Wall\\x1b[8m\""},
        {"history", RunInProcess({"history", "--db", db}).out, 3, "Record 1  "},
        {"detectors", RunInProcess({"detectors", "--db", db}).out, 1,
         "Maker\\x1b[2J Model, station ROOM\\x00\\x1b[31m"},
        {"log", log.str(), 1, "image in\\x1b[1A.dcm: no rule matches\\r"},
        {"tags", tags, elements, "FOR\\nFAKE\\x1b]0;owned\\x07"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<std::size_t>(std::count(c.Text.begin(), c.Text.end(), '\n')), c.Lines) << c.Name;
        EXPECT_EQ(c.Text.find_first_of("\x1b\x07\r\0"s), std::string::npos) << c.Name << ": " << c.Text;
        EXPECT_NE(c.Text.find(c.Shows), std::string::npos) << c.Name << ": " << c.Text;
    }
    const auto json = nlohmann::json::parse(RunInProcess({"history", "--db", db, "--json"}).out);
    EXPECT_EQ(json["records"][0]["detector"], key);
    EXPECT_EQ(json["records"][0]["station_name"], "ROOM\0\x1b[31m"s);
    EXPECT_EQ(HistoryStore::Open(db, false)->FindDetector(key).DisplayName, "Wall\x1b[8m");
}

// With EVENOR_DB empty and XDG_DATA_HOME relative, the CLI takes the default
// database of ~/.local/share and the intake outputs beside it; listing makes
// no folder.
TEST(CliHistoryTest, EmptyOrRelativeVariablesAreIgnoredAndListingMakesNoFolder)
{
    TempFolder folder;
    const std::string home = (folder / "home").string();
    const std::string environment = "HOME=" + Quoted(home) + " EVENOR_DB= XDG_DATA_HOME=relative/data";
    for (const std::string command : {"history", "detectors", "inbox"}) {
        const CliResult run = RunProgram(folder, environment, {command});
        EXPECT_EQ(run.status, 1) << command;
        EXPECT_NE(run.err.find(home + "/.local/share/evenor/history.sqlite: no such file"), std::string::npos)
            << run.err;
        EXPECT_FALSE(std::filesystem::exists(home)) << command;
    }
    const CliResult run =
        RunProgram(folder, environment, {"analyse", kSample, "-o", (folder / "r.txt").string(), "-q", "--record"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(home + "/.local/share/evenor/history.sqlite"));

    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> before = saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    const std::string outDir = DefaultIntakeOutDir();
    before ? ::setenv("XDG_DATA_HOME", before->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(outDir.find("relative"), std::string::npos) << outDir;
    EXPECT_TRUE(outDir.ends_with("/.local/share/evenor/intake")) << outDir;
}

}  // namespace
}  // namespace evenor::test

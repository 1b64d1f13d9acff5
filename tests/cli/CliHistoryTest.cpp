// analyse --record and the history commands, on the sample image.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

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

}  // namespace
}  // namespace evenor::test

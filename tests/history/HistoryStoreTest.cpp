// The store on both engines: records and their de-duplication, detectors,
// baselines and checks, exclusion, overdue tests, the schema version, bytes
// that are not text, and writers working at once.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

#include "base/EvenorError.h"
#include "history/Sha256.h"
#include "history/StoreRows.h"
#include "tests/history/HistoryTestSupport.h"

namespace evenor::test {
namespace {

// A record of a synthetic test; n makes its checksum (and so the record) unique.
QaRecord Sample(int n, const std::string& detectorId = "DET-0042")
{
    QaRecord r;
    r.Detector = DetectorIdentity{"Maker", "Model X", "SN-1", detectorId, "ROOM 3"};
    r.SoftwareVersions = "1.0";
    r.SopInstanceUid = "1.2.3." + std::to_string(n);
    r.AcquisitionDate = "20240102";
    r.AcquisitionTime = "101500";
    r.KVp = "70";
    r.Exposure = "2000";
    r.ExposureUnit = "uAs";
    r.FileName = "/data/flat" + std::to_string(n) + ".dcm";
    r.FileSha256 = Sha256Hex("image " + std::to_string(n));
    r.Settings = "box_cm=1";
    r.Preset = "evenor-default";
    r.Numbers.AreaMean = 1000.0;
    r.Numbers.AreaSD = 10.0;
    r.Numbers.AreaSNR = 100.0;
    r.Numbers.MeanRoiSNR = 90.0;
    r.Numbers.RoiSNRSD = 1.5;
    r.Numbers.RoiCount = 100;
    r.Numbers.DeviatingRoiCount = 2;
    r.Numbers.DeviatingPixelCount = 2;
    r.Numbers.Metrics = {1.0, 0.5, 4.0, -0.8, 1.2};
    r.Overall = Verdict::Pass;
    r.Details = R"({"metrics":[]})";
    r.DeviatingPixels = {{5, 1}, {6, 1}};
    r.Clusters = {{5, 1, 6, 1}};
    r.ProgramVersion = "test";
    r.RecordedBy = "tester";
    return r;
}

class HistoryStoreTest : public testing::TestWithParam<Engine> {
protected:
    void SetUp() override
    {
        EVENOR_REQUIRE_ENGINE(GetParam());
        db_ = std::make_unique<EngineDatabase>(GetParam());
        store_ = db_->Open();
    }
    std::unique_ptr<EngineDatabase> db_;
    std::unique_ptr<HistoryStore> store_;
};

TEST_P(HistoryStoreTest, RecordsOnceAndKeepsEveryByte)
{
    // Quotes, SQL, a long text, invalid UTF-8 and a NUL inside: stored and
    // read back exactly.
    const std::string hostile[] = {"O'Brien \"x\"; DROP TABLE records; --", std::string(20000, 'L'),
                                   std::string("\xff\xfe bad \xc3\x28 utf8"), std::string("nul\0inside", 10)};
    QaRecord record = Sample(1, hostile[0]);
    record.Detector.Station = hostile[1];
    record.SoftwareVersions = hostile[2];
    record.FileName = hostile[3];
    const RecordOutcome first = store_->Record(record);
    EXPECT_FALSE(first.AlreadyRecorded);
    EXPECT_EQ(first.DetectorKey, hostile[0]);
    const RecordOutcome again = store_->Record(record);
    EXPECT_TRUE(again.AlreadyRecorded);
    EXPECT_EQ(again.Id, first.Id);

    const auto records = store_->Records({hostile[0], ""});
    ASSERT_EQ(records.size(), 1u);
    const StoredRecord& stored = records.front();
    EXPECT_EQ(stored.Id, first.Id);
    EXPECT_EQ(stored.Record.Detector.Station, hostile[1]);
    EXPECT_EQ(stored.Record.SoftwareVersions, hostile[2]);
    EXPECT_EQ(stored.Record.FileName, hostile[3]);
    EXPECT_EQ(stored.TestedAt, "2024-01-02 10:15:00");
    EXPECT_EQ(stored.RecordedBy, "tester");
    EXPECT_EQ(stored.Record.Numbers.AreaSNR, 100.0);
    EXPECT_EQ(stored.Record.Numbers.Metrics, record.Numbers.Metrics);
    EXPECT_EQ(stored.Record.Overall, Verdict::Pass);
    EXPECT_EQ(stored.Record.Details, record.Details);
    EXPECT_FALSE(stored.BaselineVersion);

    // The same image with other settings is another record.
    record.Settings = "box_cm=2";
    EXPECT_FALSE(store_->Record(record).AlreadyRecorded);
    EXPECT_EQ(store_->Records().size(), 2u);
}

TEST_P(HistoryStoreTest, DetectorKeysNamesAndChanges)
{
    struct Case {
        DetectorIdentity Identity;
        std::string Key;
    };
    const Case cases[] = {
        {{"M", "Mo", "SN-9", "DET-1", "ST"}, "DET-1"},
        {{"M", "Mo", "SN-9", "", "ST"}, "SN-9"},
        {{"M", "Mo", "", "", "ST"}, "M / Mo / ST"},
    };
    int n = 0;
    for (const auto& c : cases) {
        QaRecord record = Sample(++n);
        record.Detector = c.Identity;
        EXPECT_EQ(store_->Record(record).DetectorKey, c.Key);
        EXPECT_EQ(store_->FindDetector(c.Key).Key, c.Key);
    }
    EXPECT_EQ(store_->Detectors().size(), 3u);

    store_->RenameDetector("DET-1", "Room 3 wall stand");
    EXPECT_EQ(store_->FindDetector("Room 3 wall stand").Key, "DET-1");
    EXPECT_THROW(store_->FindDetector("nothing"), EvenorError);

    // A new software version is noted at recording and in the history.
    QaRecord updated = Sample(10);
    updated.Detector = cases[0].Identity;
    updated.SoftwareVersions = "2.0";
    const RecordOutcome outcome = store_->Record(updated);
    ASSERT_EQ(outcome.Notes.size(), 1u);
    EXPECT_NE(outcome.Notes[0].find("\"1.0\" to \"2.0\""), std::string::npos);
    const auto records = store_->Records({"DET-1", ""});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].Notes.empty());
    ASSERT_EQ(records[1].Notes.size(), 1u);
}

TEST_P(HistoryStoreTest, BaselinesJudgeLaterRecords)
{
    for (int n = 1; n <= 3; ++n) {
        QaRecord record = Sample(n);
        record.Numbers.AreaSNR = 90.0 + 10.0 * n;  // 100, 110, 120: median 110
        store_->Record(record);
    }
    const Baseline first = store_->SetBaselineFromFirst("DET-0042", 3, "acceptance", "physicist");
    EXPECT_EQ(first.Version, 1);
    EXPECT_EQ(first.Numbers.AreaSNR, 110.0);
    EXPECT_EQ(first.Exposure, "2000");
    EXPECT_EQ(first.SetBy, "physicist");

    struct Case {
        double AreaSnr;
        std::string Exposure;
        std::vector<PixelPosition> Pixels;
        Verdict Expected;
    };
    const Case cases[] = {
        {110.0 * 0.95, "2000", {{5, 1}}, Verdict::Pass},            // -5 %
        {110.0 * 0.85, "2000", {{5, 1}}, Verdict::Warning},         // -15 %
        {110.0 * 0.75, "2500", {{5, 1}, {50, 60}}, Verdict::Fail},  // -25 %, another exposure, one new pixel
    };
    int n = 10;
    for (const auto& c : cases) {
        QaRecord record = Sample(++n);
        record.Numbers.AreaSNR = c.AreaSnr;
        record.Exposure = c.Exposure;
        record.DeviatingPixels = c.Pixels;
        record.Clusters = {{c.Pixels.back().X, c.Pixels.back().Y, c.Pixels.back().X, c.Pixels.back().Y}};
        store_->Record(record);
    }
    const auto records = store_->Records({"DET-0042", ""});
    ASSERT_EQ(records.size(), 6u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(records[i].Checks.empty());
    for (std::size_t i = 0; i < 3; ++i) {
        const StoredRecord& r = records[3 + i];
        ASSERT_EQ(r.BaselineVersion, 1);
        ASSERT_EQ(r.Checks.size(), BaselineCheckCount);
        EXPECT_EQ(r.Checks[0].Key, "area_snr");
        EXPECT_EQ(r.Checks[0].Result, cases[i].Expected) << i;
        EXPECT_EQ(r.Checks[6].Key, "area_mean");
        EXPECT_EQ(r.Checks[6].Result, i < 2 ? Verdict::Pass : Verdict::NotEvaluated);
        EXPECT_EQ(r.Checks[6].Note, i < 2 ? "" : "exposure differs, not compared");
        EXPECT_EQ(r.NewSinceBaseline.Pixels, i < 2 ? 0 : 1);
        EXPECT_EQ(r.NewSinceBaseline.Clusters, i < 2 ? 0 : 1);
    }

    const Baseline second = store_->SetBaselineFromRecord("DET-0042", records[5].Id, "new tube", "");
    EXPECT_EQ(second.Version, 2);
    EXPECT_EQ(second.Source, "record " + std::to_string(records[5].Id));
    EXPECT_EQ(second.DeviatingPixels.size(), 2u);
    EXPECT_EQ(store_->Baselines("DET-0042").size(), 2u);
    EXPECT_THROW(store_->SetBaselineFromFirst("DET-0042", 99, "too many", ""), EvenorError);
    EXPECT_THROW(store_->SetBaselineFromRecord("DET-0042", 9999, "no such", ""), EvenorError);
}

TEST_P(HistoryStoreTest, LimitsChangeForLaterRecordsOnly)
{
    // A baseline of area SNR 100; every record below is 5 % under it.
    QaRecord first = Sample(1);
    store_->Record(first);
    store_->SetBaselineFromFirst("DET-0042", 1, "acceptance", "physicist");
    const auto recordAt95 = [&](int n) {
        QaRecord r = Sample(n);
        r.Numbers.AreaSNR = 95.0;
        return store_->Record(r).Id;
    };
    EXPECT_EQ(store_->ChangeLimits("DET-0042", {}, "nothing", "").Version, 0);
    EXPECT_EQ(store_->ChangeLimits("DET-0042", {{"area_snr", Limits{10.0, 20.0}}}, "the defaults", "").Version, 0);
    EXPECT_THROW(store_->ChangeLimits("DET-0042", {{"no_such_check", Limits{}}}, "", ""), EvenorError);

    // Each step: the changes, then the version in force and area SNR's limits
    // and verdict for a record made under them.
    struct Step {
        std::vector<LimitsChange> Changes;
        std::int64_t Version;
        Limits AreaSnr;
        Verdict Result;
    };
    const Step steps[] = {
        {{}, 0, {10.0, 20.0}, Verdict::Pass},
        {{{"area_snr", Limits{3.0, 4.0}}, {"noise_uniformity", Limits{std::nullopt, 70.0}}},
         1,
         {3.0, 4.0},
         Verdict::Fail},
        {{{"area_snr", Limits{4.0, 6.0}}}, 2, {4.0, 6.0}, Verdict::Warning},
        {{{"area_snr", std::nullopt}}, 3, {10.0, 20.0}, Verdict::Pass},  // back to the default
    };
    std::vector<std::int64_t> ids;
    for (const Step& step : steps) {
        if (!step.Changes.empty()) {
            const LimitsVersion v = store_->ChangeLimits("DET-0042", step.Changes, "step", "physicist");
            EXPECT_EQ(v.Version, step.Version);
            EXPECT_EQ(v.SetBy, "physicist");
            EXPECT_FALSE(v.SetAt.empty());
        }
        ids.push_back(recordAt95(100 + static_cast<int>(ids.size())));
    }
    const auto records = store_->Records({"DET-0042", ""});
    ASSERT_EQ(records.size(), 5u);
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const StoredRecord& r = records[i + 1];
        ASSERT_EQ(r.Id, ids[i]);
        EXPECT_EQ(r.LimitsVersion.value_or(0), steps[i].Version) << i;
        ASSERT_EQ(r.Checks.size(), BaselineCheckCount);
        EXPECT_EQ(r.Checks[0].Limit.Warning, steps[i].AreaSnr.Warning) << i;
        EXPECT_EQ(r.Checks[0].Limit.Action, steps[i].AreaSnr.Action) << i;
        EXPECT_EQ(r.Checks[0].Result, steps[i].Result) << i;
        // The noise uniformity change stays in the later versions.
        EXPECT_EQ(r.Checks[4].Limit.Warning, i == 0 ? std::optional(50.0) : std::nullopt) << i;
    }
    const auto history = store_->LimitsHistory("DET-0042");
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].Reason, "step");
    EXPECT_EQ(history[2].Values[0].Action, 20.0);
    EXPECT_EQ(store_->LimitsOf(store_->FindDetector("DET-0042").Id)[4].Action, 70.0);
    // Other detectors keep the defaults.
    store_->Record(Sample(200, "DET-OTHER"));
    EXPECT_TRUE(store_->LimitsHistory("DET-OTHER").empty());
}

TEST_P(HistoryStoreTest, MigratesAVersion1Database)
{
    // A version 1 database: its limits had no history and every listing judged
    // with the detector's limits of the moment.
    db_ = std::make_unique<EngineDatabase>(GetParam());  // empty
    {
        auto old = HistoryStore::OpenAtSchemaVersion(db_->Location(), 1);
        SqlSession& s = old->Session();
        const std::vector<SqlValue> detector{SqlValue(std::string("DET-0042")), SqlValue(std::string("detector id"))};
        s.Run("INSERT INTO detectors (key, key_kind, created_at) VALUES (?, ?, 0)", detector);
        s.Run("INSERT INTO baselines (detector, version, set_at, area_snr, roi_count) VALUES (1, 1, 0, 100.0, 4)");
        s.Run("INSERT INTO detector_limits (detector, check_key, warning, action) VALUES (1, ?, 1.0, 2.0)",
              {std::vector<SqlValue>{SqlValue(std::string("area_snr"))}});
        for (const int n : {1, 2}) {
            const std::vector<SqlValue> values{SqlValue(std::string("2024-01-0" + std::to_string(n) + " 10:00:00")),
                                               SqlValue(std::string("sha" + std::to_string(n))),
                                               SqlValue(std::string("\xff name")),
                                               SqlValue(std::string(R"({"n":)" + std::to_string(n) + "}")),
                                               SqlValue(PackPixels({{5, static_cast<std::uint32_t>(n)}}))};
            s.Run("INSERT INTO records (detector, tested_at, recorded_at, file_sha256, settings, file_name, area_snr, "
                  "baseline, details, deviating_pixels) VALUES (1, ?, 0, ?, 'box_cm=1', ?, 95.0, 1, ?, ?)",
                  values);
        }
    }
    store_ = db_->Open();
    EXPECT_EQ(AsInt(store_->Session().Run("SELECT max(version) FROM evenor_schema").front().front()),
              HistorySchemaVersion);
    const auto history = store_->LimitsHistory("DET-0042");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_TRUE(history[0].SetAt.empty());
    EXPECT_EQ(history[0].Values[0].Warning, 1.0);
    EXPECT_EQ(history[0].Values[1].Warning, 10.0);

    store_->ChangeLimits("DET-0042", {{"area_snr", std::nullopt}}, "defaults again", "physicist");
    QaRecord later = Sample(3);
    later.Numbers.AreaSNR = 95.0;
    store_->Record(later);
    const auto records = store_->Records({"DET-0042", ""});
    ASSERT_EQ(records.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(records[i].Id, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(records[i].LimitsVersion, i < 2 ? 1 : 2);
        ASSERT_FALSE(records[i].Checks.empty());
        EXPECT_EQ(records[i].Checks[0].Result, i < 2 ? Verdict::Fail : Verdict::Pass) << i;
    }
    // The large values moved to a table of their own, with their records.
    EXPECT_EQ(records[0].Record.FileName, "\xff name");
    EXPECT_EQ(records[1].Record.Details, R"({"n":2})");
    const Baseline fromSecond = store_->SetBaselineFromRecord("DET-0042", 2, "check", "");
    ASSERT_EQ(fromSecond.DeviatingPixels.size(), 1u);
    EXPECT_EQ(fromSecond.DeviatingPixels[0], (PixelPosition{5, 2}));
}

TEST_P(HistoryStoreTest, ExclusionKeepsTheRecord)
{
    const std::int64_t id = store_->Record(Sample(1)).Id;
    store_->Record(Sample(2));
    store_->ExcludeRecord(id, "wrong exposure", "physicist");
    EXPECT_THROW(store_->ExcludeRecord(id, "again", "physicist"), EvenorError);
    const auto records = store_->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].Excluded);
    EXPECT_EQ(records[0].ExcludedReason, "wrong exposure");
    EXPECT_EQ(records[0].ExcludedBy, "physicist");
    // The baseline of the first record leaves the excluded one out.
    EXPECT_EQ(store_->SetBaselineFromFirst("DET-0042", 1, "start", "").Source,
              "median of records " + std::to_string(records[1].Id));
}

TEST_P(HistoryStoreTest, SinceAndOverdue)
{
    QaRecord old = Sample(1, "OLD");
    old.AcquisitionDate = "20200101";
    store_->Record(old);
    store_->Record(Sample(2, "NEW"));  // 2024-01-02
    EXPECT_EQ(store_->Records({"", "2023-01-01"}).size(), 1u);
    EXPECT_EQ(store_->Records({"", ""}).size(), 2u);

    const auto overdue = store_->Overdue("2024-01-20");
    ASSERT_EQ(overdue.size(), 1u);
    EXPECT_EQ(overdue[0].Detector.Key, "OLD");
    store_->SetTestInterval("OLD", 100000);
    store_->SetTestInterval("NEW", 7);
    // A detector whose every record is excluded has no valid test: overdue,
    // first, whatever its interval.
    store_->ExcludeRecord(store_->Record(Sample(3, "VOID")).Id, "phantom in the beam", "qa");
    store_->SetTestInterval("VOID", 100000);
    const auto now = store_->Overdue("2024-01-20");
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[0].Detector.Key, "VOID");
    EXPECT_TRUE(now[0].NeverTested);
    EXPECT_EQ(now[1].Detector.Key, "NEW");
    EXPECT_FALSE(now[1].NeverTested);
    EXPECT_EQ(now[1].DaysSinceTest, 18);
}

// A new baseline, an exclusion and a change of limits say why; a blank
// reason is refused by the store itself, whichever front end calls it, and
// writes nothing.
TEST_P(HistoryStoreTest, ChangesNeedAReason)
{
    const std::int64_t id = store_->Record(Sample(1)).Id;
    const std::pair<const char*, std::function<void(const std::string&)>> changes[] = {
        {"a new baseline", [&](const std::string& why) { store_->SetBaselineFromRecord("DET-0042", id, why, "qa"); }},
        {"a new baseline", [&](const std::string& why) { store_->SetBaselineFromFirst("DET-0042", 1, why, "qa"); }},
        {"an exclusion", [&](const std::string& why) { store_->ExcludeRecord(id, why, "qa"); }},
        {"a change of limits",
         [&](const std::string& why) {
             store_->ChangeLimits("DET-0042", {{"area_snr", Limits{1.0, 2.0}}}, why, "qa");
         }},
    };
    for (const auto& [what, change] : changes)
        for (const std::string blank : {"", " \t\n"}) {
            try {
                change(blank);
                ADD_FAILURE() << what << " taken without a reason";
            } catch (const EvenorError& e) {
                EXPECT_NE(std::string(e.what()).find(std::string(what) + " needs a reason"), std::string::npos)
                    << e.what();
            }
        }
    EXPECT_TRUE(store_->Baselines("DET-0042").empty());
    EXPECT_TRUE(store_->LimitsHistory("DET-0042").empty());
    EXPECT_FALSE(store_->Records().front().Excluded);
    for (const auto& [what, change] : changes) EXPECT_NO_THROW(change("acceptance")) << what;
}

// Four people changing one detector's limits and baseline at once, each on a
// connection of their own: every change is kept, with version numbers 1, 2,
// 3, ... and none taken twice.
TEST_P(HistoryStoreTest, ConcurrentChangesOfOneDetectorAreAllKept)
{
    const std::int64_t id = store_->Record(Sample(1)).Id;
    constexpr int kWriters = 4, kEach = 6;
    std::atomic<int> ready{0};
    std::vector<std::jthread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            try {
                auto store = db_->Open();
                for (++ready; ready < kWriters;) std::this_thread::yield();
                for (int i = 0; i < kEach; ++i) {
                    const double limit = 10.0 + w * kEach + i;  // each change a new set of limits
                    if (i % 2 == 0)
                        store->ChangeLimits("DET-0042", {{"area_snr", Limits{limit, limit + 100.0}}}, "change", "qa");
                    else
                        store->SetBaselineFromRecord("DET-0042", id, "again", "qa");
                }
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        });
    writers.clear();
    const auto limits = store_->LimitsHistory("DET-0042");
    const auto baselines = store_->Baselines("DET-0042");
    ASSERT_EQ(limits.size(), static_cast<std::size_t>(kWriters * kEach / 2));
    ASSERT_EQ(baselines.size(), static_cast<std::size_t>(kWriters * kEach / 2));
    for (std::size_t i = 0; i < limits.size(); ++i) {
        EXPECT_EQ(limits[i].Version, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(baselines[i].Version, static_cast<std::int64_t>(i + 1));
    }
}

TEST_P(HistoryStoreTest, RefusesANewerSchema)
{
    store_->Session().Run("UPDATE evenor_schema SET version = 99", {});
    store_.reset();
    try {
        db_->Open();
        FAIL() << "opened";
    } catch (const EvenorError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("History database ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find("newer Evenor (schema version 99"), std::string::npos) << e.what();
    }
}

// A database of the schema before the intake table is brought
// forward on open, its records kept; intake entries are claimed once per
// content, also by two connections at once.
TEST_P(HistoryStoreTest, MigratesForwardAndClaimsIntakeOnce)
{
    store_->Record(Sample(1));
    store_->Session().Run("DROP TABLE intake", {});
    store_->Session().Run("UPDATE evenor_schema SET version = 2", {});
    store_.reset();
    store_ = db_->Open();
    EXPECT_EQ(AsInt(store_->Session().Run("SELECT max(version) FROM evenor_schema", {}).front().front()),
              HistorySchemaVersion);
    EXPECT_EQ(store_->Records().size(), 1u);

    auto other = db_->Open();
    bool firstNew = false, secondNew = false;
    const IntakeEntry first = store_->ClaimIntake("abc", "/in/a.dcm", "watch", firstNew);
    const IntakeEntry second = other->ClaimIntake("abc", "/in/copy.dcm", "serve from MODALITY", secondNew);
    EXPECT_TRUE(firstNew);
    EXPECT_FALSE(secondNew);
    EXPECT_EQ(second.Id, first.Id);
    EXPECT_EQ(second.Path, "/in/a.dcm");
    EXPECT_EQ(second.State, IntakeWaiting);

    IntakeEntry done = first;
    done.State = IntakeRefused;
    done.Message = "it's \"not\" DICOM";
    store_->FinishIntake(done);
    other->DropWaitingIntake(first.Id);  // finished entries stay
    const auto listed = other->Intake();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.front().State, IntakeRefused);
    EXPECT_EQ(listed.front().Message, done.Message);
    EXPECT_EQ(other->Intake({}, IntakeWaiting).size(), 0u);
    ASSERT_TRUE(other->FindIntake("abc"));
    EXPECT_FALSE(other->FindIntake("abd"));
}

TEST_P(HistoryStoreTest, WritersAtOnceLoseNothing)
{
    // Each writer has its own connection, as two processes would; all of them
    // also record one shared test, which must end up recorded once.
    constexpr int kWriters = 4, kEach = 15;
    std::vector<std::jthread> writers;
    std::atomic<int> failures{0};
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            try {
                auto store = db_->Open();
                for (int i = 0; i < kEach; ++i)
                    store->Record(Sample(1000 * (w + 1) + i, "DET-" + std::to_string(i % 3)));
                store->Record(Sample(1));
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
                ++failures;
            }
        });
    }
    writers.clear();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(store_->Records().size(), static_cast<std::size_t>(kWriters * kEach + 1));
    EXPECT_EQ(store_->Detectors().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Engines, HistoryStoreTest, testing::Values(Engine::Sqlite, Engine::Postgres), EngineName);

// Rows are read by name: a column's own name, the part after a table's alias,
// or the name AS gives an expression (whose commas inside parentheses do not
// split it); a name the list does not hold is refused, not read from
// another column.
TEST(ColumnsTest, NamesEachColumnOfTheList)
{
    const store::Columns columns(
        "d.id, key, (SELECT count(*) FROM records r WHERE r.detector IN (1, 2)) AS record_count, "
        "coalesce(a, b) AS first, area_mean");
    const struct {
        const char* name;
        std::size_t index;
    } cases[] = {{"id", 0}, {"key", 1}, {"record_count", 2}, {"first", 3}, {"area_mean", 4}};
    for (const auto& c : cases) EXPECT_EQ(columns.Index(c.name), c.index) << c.name;
    for (const char* unknown : {"d.id", "count", "areamean", ""})
        EXPECT_THROW(columns.Index(unknown), std::logic_error);
    EXPECT_THROW(store::Columns("id, (SELECT 1)"), std::logic_error);

    const SqlRow values{SqlValue(std::int64_t{7}), SqlValue(std::string("DET")), SqlValue(std::int64_t{2}), SqlValue(),
                        SqlValue(1.5)};
    const store::NamedRow row(columns, values);
    EXPECT_EQ(AsText(row["key"]), "DET");
    EXPECT_EQ(AsReal(row["area_mean"]), 1.5);
}

TEST(Sha256Test, KnownDigests)
{
    for (const Sha256Engine engine : {Sha256Engine::Best, Sha256Engine::Portable}) {
        EXPECT_EQ(Sha256Hex("", engine), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(Sha256Hex("abc", engine), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(Sha256Hex(std::string(1000000, 'a'), engine),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
        EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", engine),
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    }
    // Every length around the block and padding boundaries, on bytes of every value.
    std::string bytes;
    for (int i = 0; i < 300; ++i) bytes += static_cast<char>((i * 167 + 13) & 0xff);
    for (std::size_t length = 0; length <= bytes.size(); ++length)
        EXPECT_EQ(Sha256Hex(std::string_view(bytes).substr(0, length), Sha256Engine::Best),
                  Sha256Hex(std::string_view(bytes).substr(0, length), Sha256Engine::Portable))
            << length;
}

}  // namespace
}  // namespace evenor::test

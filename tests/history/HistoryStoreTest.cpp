// The store on both engines: records and their de-duplication, detectors,
// baselines and checks, exclusion, overdue tests, the schema version, bytes
// that are not text, and writers working at once.
#include <gtest/gtest.h>

#include <thread>

#include "dicom/EvenorError.h"
#include "history/Sha256.h"
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

    // Tighter limits for this detector change the judgement.
    store_->SetLimits("DET-0042", "area_snr", Limits{1.0, 2.0});
    EXPECT_EQ(store_->Records({"DET-0042", ""})[3].Checks[0].Result, Verdict::Fail);

    const Baseline second = store_->SetBaselineFromRecord("DET-0042", records[5].Id, "new tube", "");
    EXPECT_EQ(second.Version, 2);
    EXPECT_EQ(second.Source, "record " + std::to_string(records[5].Id));
    EXPECT_EQ(second.DeviatingPixels.size(), 2u);
    EXPECT_EQ(store_->Baselines("DET-0042").size(), 2u);
    EXPECT_THROW(store_->SetBaselineFromFirst("DET-0042", 99, "too many", ""), EvenorError);
    EXPECT_THROW(store_->SetBaselineFromRecord("DET-0042", 9999, "no such", ""), EvenorError);
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
    const auto now = store_->Overdue("2024-01-20");
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].Detector.Key, "NEW");
    EXPECT_EQ(now[0].DaysSinceTest, 18);
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

// A database of the first schema (before the intake table) is brought
// forward on open, its records kept; intake entries are claimed once per
// content, also by two connections at once.
TEST_P(HistoryStoreTest, MigratesForwardAndClaimsIntakeOnce)
{
    store_->Record(Sample(1));
    store_->Session().Run("DROP TABLE intake", {});
    store_->Session().Run("UPDATE evenor_schema SET version = 1", {});
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

TEST(Sha256Test, KnownDigests)
{
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace evenor::test

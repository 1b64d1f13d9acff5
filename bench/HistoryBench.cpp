// Speed of the history on SQLite: recording one result (target 5 ms) and
// listing one detector's 10,000 records (target 50 ms).
#include <benchmark/benchmark.h>

#include "history/HistoryStore.h"
#include "history/Sha256.h"
#include "tests/support/TempFolder.h"

namespace evenor {
namespace {

QaRecord BenchRecord(std::int64_t n)
{
    QaRecord r;
    r.Detector =
        DetectorIdentity{"Maker", "Model", "SN-1", n % 10 == 0 ? "DET-0042" : "DET-" + std::to_string(n % 7), "ROOM"};
    r.AcquisitionDate = "20240102";
    r.Exposure = "2500";
    r.FileSha256 = Sha256Hex(std::to_string(n));
    r.Settings = "box_cm=1";
    r.Numbers.AreaSNR = 50.0 + static_cast<double>(n % 13);
    r.Numbers.Metrics = {1.0, 0.5, 4.0, -0.8, 1.2};
    r.Details = std::string(1500, ' ');  // about the size of a real record's details
    for (std::uint32_t i = 0; i < 50; ++i) r.DeviatingPixels.push_back({i * 7, i * 3});
    r.RecordedBy = "bench";
    return r;
}

void BM_RecordSqlite(benchmark::State& state)
{
    test::TempFolder folder;
    auto store = HistoryStore::Open((folder / "h.sqlite").string());
    std::int64_t n = 0;
    for (auto _ : state) {
        const RecordOutcome outcome = store->Record(BenchRecord(n++));
        if (outcome.AlreadyRecorded) state.SkipWithError("recorded twice");
    }
}
BENCHMARK(BM_RecordSqlite)->Unit(benchmark::kMillisecond);

void BM_HistoryOfOneDetector10k(benchmark::State& state)
{
    test::TempFolder folder;
    auto store = HistoryStore::Open((folder / "h.sqlite").string());
    // Setting up only: no sync per record.
    store->Session().Run("PRAGMA synchronous = OFF", {});
    // 10,000 records of DET-0042 among 12,000; a baseline after the first five.
    for (std::int64_t n = 0; n < 12000; ++n) {
        QaRecord record = BenchRecord(n);
        record.Detector.DetectorId = n < 10000 ? "DET-0042" : "OTHER-" + std::to_string(n % 7);
        store->Record(record);
        if (n == 4) store->SetBaselineFromFirst("DET-0042", 5, "bench", "bench");
    }
    for (auto _ : state) {
        const auto records = store->Records({"DET-0042", "", false});
        if (records.size() != 10000 || records.back().Checks.empty()) state.SkipWithError("wrong records");
        benchmark::DoNotOptimize(records.data());
    }
}
BENCHMARK(BM_HistoryOfOneDetector10k)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace evenor

// The cost of the detector insight (robust metrics, clusters, rims, line
// defects, structured noise) on the outcome of a 4096 x 4096 analysis, next
// to the analysis itself. Arguments: pixel deviation percent, planted hot
// pixels. At 20 % and a few hot pixels (the usual case) the insight should
// add at most a fifth of the analysis time; at 3 % about a third of all
// pixels deviate and nearly every ROI is recomputed.
#include <benchmark/benchmark.h>

#include <map>
#include <tuple>

#include "bench/FlatField.h"
#include "insight/DetectorInsight.h"
#include "insight/Metrics.h"

namespace evenor::bench {
namespace {

constexpr double kSpacing = 0.1;
constexpr std::uint32_t kSide = 4096;

struct Prepared {
    std::vector<std::uint16_t> Pixels;
    AnalysisSettings Settings;
    AnalysisResult Result;
};

const Prepared& Outcome(double percent, int hot)
{
    static std::map<std::tuple<double, int>, Prepared> outcomes;
    const auto key = std::make_tuple(percent, hot);
    auto it = outcomes.find(key);
    if (it == outcomes.end()) {
        Prepared p;
        p.Pixels = FlatField(kSide, kSide, 60.0);
        for (int i = 0; i < hot; ++i) p.Pixels[(std::size_t{97} * 4096 + 331) * (i + 1) % p.Pixels.size()] = 16383;
        p.Settings = WholeImage(kSide, kSide, percent);
        p.Result = AnalyseRoiGrid(p.Pixels, kSide, kSide, kSpacing, p.Settings);
        it = outcomes.emplace(key, std::move(p)).first;
    }
    return it->second;
}

void BM_InspectDetector(benchmark::State& state)
{
    const auto& p = Outcome(static_cast<double>(state.range(0)), static_cast<int>(state.range(1)));
    std::size_t lines = 0, clusters = 0;
    for (auto _ : state) {
        DetectorInsight insight = InspectDetector(p.Settings, p.Result, p.Pixels, kSide);
        lines = insight.Lines.size();
        clusters = insight.Clusters.Clusters.size();
        benchmark::DoNotOptimize(insight.RobustRois.Rois.data());
    }
    // A clean field with planted single hot pixels: no line, one cluster per pixel.
    if (state.range(0) == 20 && (lines != 0 || clusters != static_cast<std::size_t>(state.range(1))))
        state.SkipWithError("unexpected lines or clusters on the flat field");
    state.counters["bad_pixels"] = static_cast<double>(p.Result.BadPixelMap.size());
}
BENCHMARK(BM_InspectDetector)
    ->ArgNames({"percent", "hot"})
    ->Args({20, 0})
    ->Args({20, 8})
    ->Args({20, 1000})
    ->Args({3, 0})
    ->Unit(benchmark::kMillisecond);

// The two parts whose cost grows with the deviating pixels.
void BM_RobustRoiStatistics(benchmark::State& state)
{
    const auto& p = Outcome(static_cast<double>(state.range(0)), static_cast<int>(state.range(1)));
    const LineProfiles area = MeasureLineProfiles(p.Pixels, kSide, PixelRect{0, 0, kSide, kSide});
    for (auto _ : state) {
        RobustRoiStatistics robust = ComputeRobustRoiStatistics(p.Result, p.Settings, p.Pixels, kSide, area.Total);
        benchmark::DoNotOptimize(robust.Rois.data());
    }
}
BENCHMARK(BM_RobustRoiStatistics)
    ->ArgNames({"percent", "hot"})
    ->Args({20, 8})
    ->Args({20, 1000})
    ->Args({3, 0})
    ->Unit(benchmark::kMillisecond);

void BM_DefectClusters(benchmark::State& state)
{
    const auto& p = Outcome(static_cast<double>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        ClusterSummary clusters = FindDefectClusters(p.Result.BadPixelMap);
        benchmark::DoNotOptimize(clusters.Clusters.data());
    }
}
BENCHMARK(BM_DefectClusters)
    ->ArgNames({"percent", "hot"})
    ->Args({20, 1000})
    ->Args({3, 0})
    ->Unit(benchmark::kMillisecond);

void BM_AnalyseThenInspect(benchmark::State& state)
{
    const auto& p = Outcome(20.0, 8);
    for (auto _ : state) {
        AnalysisResult r = AnalyseRoiGrid(p.Pixels, kSide, kSide, kSpacing, p.Settings);
        if (state.range(0)) {
            DetectorInsight insight = InspectDetector(p.Settings, r, p.Pixels, kSide);
            benchmark::DoNotOptimize(insight.RobustRois.Rois.data());
        }
        benchmark::DoNotOptimize(r.Rois.data());
    }
}
BENCHMARK(BM_AnalyseThenInspect)->ArgName("insight")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The ROI lattice (neighbours and representatives) of the 819 x 819 grid a
// 0.1 cm box lays on a 4096 x 4096 image at 0.1 mm: the metrics, the robust
// metrics and each heat map build it.
void BM_RoiLattice(benchmark::State& state)
{
    TMeetSerie rois;
    for (std::uint32_t x = 0; x < 819; ++x)
        for (std::uint32_t y = 0; y < 819; ++y) {
            RoiResult roi;
            roi.X = std::min(x * 5, 4086u);
            roi.Y = std::min(y * 5, 4086u);
            rois.push_back(roi);
        }
    std::size_t neighbours = 0;
    for (auto _ : state) {
        const RoiLattice lattice = BuildRoiLattice(rois);
        neighbours = lattice.Neighbours[rois.size() / 2].Count;
        benchmark::DoNotOptimize(lattice.Neighbours.data());
    }
    if (neighbours != 4) state.SkipWithError("an inner ROI has four neighbours");
}
BENCHMARK(BM_RoiLattice)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace evenor::bench

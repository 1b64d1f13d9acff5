// The whole ROI grid analysis of a 4096 x 4096 flat field (0.1 mm, box 1 cm:
// 99 pixels, 6,724 ROIs) at 20 % pixel deviation (almost no deviating pixel)
// and at 3 % (noise SD 3 % of the mean: about a third of all pixels
// deviate). Arguments: pixel deviation percent, threads (0 = the analysis
// chooses), image side. Every configuration is checked once against the plain
// reference analysis of tests/support.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <tuple>

#include "bench/FlatField.h"
#include "tests/support/ReferenceAnalysis.h"

namespace evenor::bench {
namespace {

constexpr double kSpacing = 0.1;
constexpr double kNoise = 60.0;

const std::vector<std::uint16_t>& Image(std::uint32_t side)
{
    static std::map<std::uint32_t, std::vector<std::uint16_t>> images;
    auto it = images.find(side);
    if (it == images.end()) it = images.emplace(side, FlatField(side, side, kNoise)).first;
    return it->second;
}

const test::Reference& Plain(std::uint32_t side, double percent)
{
    static std::map<std::tuple<std::uint32_t, double>, test::Reference> results;
    auto key = std::make_tuple(side, percent);
    auto it = results.find(key);
    if (it == results.end())
        it = results.emplace(key, test::ReferenceAnalyse(Image(side), side, kSpacing, WholeImage(side, side, percent)))
                 .first;
    return it->second;
}

void BM_AnalyseRoiGrid(benchmark::State& state)
{
    const double percent = static_cast<double>(state.range(0));
    const auto threads = static_cast<unsigned>(state.range(1));
    const auto side = static_cast<std::uint32_t>(state.range(2));
    const auto& image = Image(side);
    const AnalysisSettings settings = WholeImage(side, side, percent);
    std::size_t rois = 0, pixels = 0;
    for (auto _ : state) {
        AnalysisResult r = AnalyseRoiGrid(image, side, side, kSpacing, settings, threads);
        rois = r.Rois.size();
        pixels = r.BadPixelMap.size();
        benchmark::DoNotOptimize(r.Rois.data());
    }
    const std::string difference =
        test::FirstDifference(AnalyseRoiGrid(image, side, side, kSpacing, settings, threads), Plain(side, percent));
    if (!difference.empty()) state.SkipWithError(("result differs from the plain analysis: " + difference).c_str());
    state.counters["rois"] = static_cast<double>(rois);
    state.counters["bad_pixels"] = static_cast<double>(pixels);
}
BENCHMARK(BM_AnalyseRoiGrid)
    ->ArgNames({"percent", "threads", "side"})
    ->Args({20, 1, 4096})
    ->Args({20, 2, 4096})
    ->Args({3, 1, 4096})
    ->Args({3, 2, 4096})
    ->Args({3, 2, 2048})
    ->Args({3, 2, 2896})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_PlainAnalysis(benchmark::State& state)
{
    const double percent = static_cast<double>(state.range(0));
    const auto& image = Image(4096);
    for (auto _ : state) {
        test::Reference r = test::ReferenceAnalyse(image, 4096, kSpacing, WholeImage(4096, 4096, percent));
        benchmark::DoNotOptimize(r.Result.Rois.data());
    }
}
BENCHMARK(BM_PlainAnalysis)->ArgName("percent")->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace evenor::bench

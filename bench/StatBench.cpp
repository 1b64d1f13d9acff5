// WordMeanSD over a whole 4096 x 4096 image and over one 99 x 99 box, and the
// interleaved statistics of a column of boxes against one box at a time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/FlatField.h"
#include "stats/BoxStatistics.h"
#include "stats/StatFuncties.h"
#include "tests/support/ReferenceStatistics.h"

namespace evenor::bench {
namespace {

constexpr std::uint32_t kSide = 4096;

const std::vector<std::uint16_t>& Image()
{
    static const std::vector<std::uint16_t> image = FlatField(kSide, kSide, 60.0);
    return image;
}

bool MatchesPlain(std::span<const std::uint16_t> v, double mean, double sd)
{
    double m = 0.0, s = 0.0;
    test::ReferenceWordMeanSD(std::vector<std::uint16_t>(v.begin(), v.end()), m, s);
    return test::SameBits(m, mean) && test::SameBits(s, sd);
}

void BM_WordMeanSD_16M(benchmark::State& state)
{
    const auto& image = Image();
    double mean = 0, sd = 0;
    for (auto _ : state) {
        WordMeanSD(image, mean, sd);
        benchmark::DoNotOptimize(sd);
    }
    if (!MatchesPlain(image, mean, sd)) state.SkipWithError("result differs from the plain two passes");
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_WordMeanSD_16M)->Unit(benchmark::kMillisecond);

void BM_WordMeanSD_99x99(benchmark::State& state)
{
    const std::span<const std::uint16_t> box(Image().data() + 12345, 99 * 99);
    double mean = 0, sd = 0;
    for (auto _ : state) {
        WordMeanSD(box, mean, sd);
        benchmark::DoNotOptimize(sd);
    }
    if (!MatchesPlain(box, mean, sd)) state.SkipWithError("result differs from the plain two passes");
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(box.size()));
}
BENCHMARK(BM_WordMeanSD_99x99)->Unit(benchmark::kMicrosecond);

// The boxes of one grid column (81 boxes of 99 x 99, step 49): BoxStatistics
// (strip copies, interleaved second passes) against a copy and
// WordMax/WordMin/WordMeanSD per box.
std::vector<RoiResult> GridColumn()
{
    std::vector<RoiResult> rois;
    for (std::uint32_t y = 0; y + 99 <= kSide; y += 49) rois.push_back(RoiResult{49 * 10, y});
    return rois;
}

void BM_BoxStatistics_Column(benchmark::State& state)
{
    std::vector<RoiResult> rois = GridColumn();
    for (auto _ : state) {
        BoxStatistics(Image(), kSide, 99, rois);
        benchmark::DoNotOptimize(rois.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rois.size() * 99 * 99));
}
BENCHMARK(BM_BoxStatistics_Column)->Unit(benchmark::kMicrosecond);

void BM_CopyAndWordRoutines_Column(benchmark::State& state)
{
    std::vector<RoiResult> rois = GridColumn();
    std::vector<std::uint16_t> buffer(99 * 99);
    for (auto _ : state) {
        for (auto& roi : rois) {
            for (std::uint32_t r = 0; r < 99; ++r)
                std::memcpy(buffer.data() + r * 99, Image().data() + (roi.Y + r) * kSide + roi.X, 99 * 2);
            roi.Maximum = WordMax(buffer);
            roi.Minimum = WordMin(buffer);
            WordMeanSD(buffer, roi.Mean, roi.SD);
        }
        benchmark::DoNotOptimize(rois.data());
    }
    std::vector<RoiResult> fast = GridColumn();
    BoxStatistics(Image(), kSide, 99, fast);
    for (std::size_t i = 0; i < rois.size(); ++i)
        if (std::memcmp(&fast[i].SD, &rois[i].SD, sizeof(double)) != 0 || fast[i].Maximum != rois[i].Maximum)
            state.SkipWithError("interleaved box statistics differ from one box at a time");
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rois.size() * 99 * 99));
}
BENCHMARK(BM_CopyAndWordRoutines_Column)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace evenor::bench

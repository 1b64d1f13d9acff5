#include "insight/Metrics.h"

#include <algorithm>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "tests/support/Phantom.h"

namespace evenor::test {
namespace {

using test::Roi;

TEST(Metrics, BlotchGivesKnownValuesAndPositions)
{
    const auto phantom = test::BlotchPhantom();
    const AnalysisResult result = test::Analyse(phantom, test::WholeArea(phantom, 10.0, 20.0, true), 20);
    ASSERT_EQ(result.AreaMean, 999.0);
    const UniformityMetrics metrics = ComputeMetrics(result);
    EXPECT_EQ(metrics.RoiCount, 81u);
    EXPECT_EQ(metrics.DeviatingRoiCount, 4u);

    EXPECT_DOUBLE_EQ(*metrics[MetricId::GlobalUniformity].Value, 25.0 / 999.0 * 100.0);
    EXPECT_FALSE(metrics[MetricId::GlobalUniformity].Where);
    // ROI (30,30): neighbours 1000 (left), 975 (right), 1000 (up), 975 (down),
    // |975 - 987.5| = 12.5, the largest step, first reached there.
    EXPECT_DOUBLE_EQ(*metrics[MetricId::LocalUniformity].Value, 12.5 / 999.0 * 100.0);
    EXPECT_EQ(metrics[MetricId::LocalUniformity].Where, (RoiPosition{30, 30}));
    EXPECT_DOUBLE_EQ(*metrics[MetricId::RoiMeanDeviation].Value, -24.0 / 999.0 * 100.0);
    EXPECT_EQ(metrics[MetricId::RoiMeanDeviation].Where, (RoiPosition{30, 30}));
    // The blotch ROIs are the noisy ones: lowest SNR, largest step in SD.
    EXPECT_LT(*metrics[MetricId::RoiSnrDeviation].Value, -50.0);
    EXPECT_EQ(metrics[MetricId::RoiSnrDeviation].Where, (RoiPosition{30, 30}));
    EXPECT_EQ(metrics[MetricId::NoiseUniformity].Where, (RoiPosition{30, 30}));
}

TEST(Metrics, GradientGivesKnownGlobalAndLocalUniformity)
{
    // Value 1000 + column: ROI means 1009.5 + X, area mean 1049.5. Left and
    // right neighbours cancel inside the grid; at a corner the mean of
    // (right +10, down 0) lies 5 away, the largest step.
    auto phantom = test::Checkerboard(100, 100, 1000, 0);
    for (std::uint32_t y = 0; y < 100; ++y)
        for (std::uint32_t x = 0; x < 100; ++x) phantom.At(x, y) = static_cast<std::uint16_t>(1000 + x);
    const AnalysisResult result = test::Analyse(phantom, test::WholeArea(phantom, 5.0, 20.0, false), 20);
    const UniformityMetrics metrics = ComputeMetrics(result);
    EXPECT_DOUBLE_EQ(*metrics[MetricId::GlobalUniformity].Value, 80.0 / 1049.5 * 100.0);
    EXPECT_DOUBLE_EQ(*metrics[MetricId::LocalUniformity].Value, 5.0 / 1049.5 * 100.0);
    EXPECT_EQ(metrics[MetricId::LocalUniformity].Where, (RoiPosition{0, 0}));
    // -40 at X 0 and +40 at X 80: the first in series order wins the tie.
    EXPECT_DOUBLE_EQ(*metrics[MetricId::RoiMeanDeviation].Value, -40.0 / 1049.5 * 100.0);
    EXPECT_EQ(metrics[MetricId::RoiMeanDeviation].Where, (RoiPosition{0, 0}));
}

TEST(Metrics, NoiseUniformityIsRelativeToTheMeanRoiSD)
{
    // 3 x 3 grid, SD 10 but 20 in the centre: mean SD 100 / 9; the centre lies
    // 10 from its neighbours' mean, an edge ROI 10 / 3.
    AnalysisResult result;
    result.AreaMean = 1000.0;
    for (std::uint32_t x : {0u, 5u, 10u})
        for (std::uint32_t y : {0u, 5u, 10u}) result.Rois.push_back(Roi(x, y, 1000.0, x == 5 && y == 5 ? 20 : 10));
    const MetricValue noise = ComputeMetrics(result)[MetricId::NoiseUniformity];
    EXPECT_DOUBLE_EQ(*noise.Value, 10.0 / (100.0 / 9.0) * 100.0);
    EXPECT_EQ(noise.Where, (RoiPosition{5, 5}));
}

TEST(Metrics, ZeroReferencesMakeMetricsUnavailableNeverNaN)
{
    using enum MetricId;
    struct Case {
        const char* name;
        double areaMean, meanRoiSnr, roiSd;
        std::size_t rois;
        std::vector<MetricId> unavailable;
    };
    const std::vector<Case> cases{
        {"area mean 0", 0.0, 50.0, 10.0, 4, {GlobalUniformity, LocalUniformity, RoiMeanDeviation}},
        {"mean ROI SNR 0", 1000.0, 0.0, 10.0, 4, {RoiSnrDeviation}},
        {"every ROI SD 0", 1000.0, 50.0, 0.0, 4, {NoiseUniformity}},
        {"one ROI: no neighbours", 1000.0, 50.0, 10.0, 1, {LocalUniformity, NoiseUniformity}},
        {"no ROI",
         1000.0,
         50.0,
         10.0,
         0,
         {GlobalUniformity, LocalUniformity, NoiseUniformity, RoiMeanDeviation, RoiSnrDeviation}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AnalysisResult result;
        result.AreaMean = c.areaMean;
        result.MeanRoiSNR = c.meanRoiSnr;
        for (std::uint32_t k = 0; k < c.rois; ++k) result.Rois.push_back(Roi(k % 2 * 5, k / 2 * 5, 990.0 + k, c.roiSd));
        const UniformityMetrics metrics = ComputeMetrics(result);
        for (const auto& info : AllMetricInfos()) {
            const bool missing = std::count(c.unavailable.begin(), c.unavailable.end(), info.Id) > 0;
            EXPECT_EQ(!metrics[info.Id].Value, missing) << info.Key;
            EXPECT_TRUE(missing ? !metrics[info.Id].Where : std::isfinite(*metrics[info.Id].Value)) << info.Key;
        }
    }
}

TEST(RoiLattice, FarEdgePositionsGapsAndRepeatsAreNeighbours)
{
    // The ROI order of a 23 x 23 area with boxes of 10: grid 0, 5, 10 and the
    // far edge at 12.
    TMeetSerie worked;
    for (std::uint32_t x : {0u, 5u, 10u})
        for (std::uint32_t y : {0u, 5u, 10u}) worked.push_back(Roi(x, y, 1000));
    for (std::uint32_t y : {0u, 5u, 10u}) worked.push_back(Roi(12, y, 1000));
    for (std::uint32_t x : {0u, 5u, 10u}) worked.push_back(Roi(x, 12, 1000));
    worked.push_back(Roi(12, 12, 1000));
    TMeetSerie holed;  // no ROI at (5,5)
    for (const auto& roi : worked)
        if (roi.X <= 10 && roi.Y <= 10 && !(roi.X == 5 && roi.Y == 5)) holed.push_back(roi);
    // A far-edge box on a grid position (26 wide, boxes of 10: 0, 5, 10, 15
    // and far edge 15): the first ROI at 15 stands for it.
    TMeetSerie repeated{Roi(0, 0, 1000), Roi(5, 0, 1000), Roi(10, 0, 1000), Roi(15, 0, 1000), Roi(15, 0, 1000)};

    struct Case {
        const char* name;
        const TMeetSerie& rois;
        std::size_t of;                       // series index
        std::vector<std::size_t> neighbours;  // series indices: left, right, up, down
    };
    const std::vector<Case> cases{
        {"grid position next to the far edge", worked, 7, {4, 10, 6, 8}},
        {"far-edge column", worked, 10, {7, 9, 11}},
        {"far-edge corner", worked, 15, {14, 11}},
        {"first corner", worked, 0, {3, 1}},
        {"across a hole", holed, 1, {6, 0, 2}},
        {"before a repeated position", repeated, 2, {1, 3}},
        {"the repeat", repeated, 4, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RoiLattice lattice = BuildRoiLattice(c.rois);
        const auto& set = lattice.Neighbours[c.of];
        EXPECT_EQ(std::vector<std::size_t>(set.Index.begin(), set.Index.begin() + set.Count), c.neighbours);
    }
    EXPECT_EQ(BuildRoiLattice(repeated).Representative[4], 3u);
}

// The neighbours and representatives as a comparison sort gives them: ROIs
// ordered by line, then along it, ties (repeated positions) in series order.
RoiLattice SortedLattice(const TMeetSerie& rois)
{
    RoiLattice lattice = BuildRoiLattice(rois);  // positions and indices; the links are made again below
    const std::size_t n = rois.size();
    lattice.Neighbours.assign(n, {});
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto link = [&](const std::vector<std::uint32_t>& line, const std::vector<std::uint32_t>& along, bool rep) {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return line[a] != line[b] ? line[a] < line[b] : along[a] < along[b];
        });
        for (std::size_t start = 0, end = 0; start < n; start = end) {
            while (end < n && line[order[end]] == line[order[start]]) ++end;
            std::vector<std::size_t> firsts;  // the first of each position of the line
            for (std::size_t k = start; k < end; ++k)
                if (k == start || along[order[k]] != along[order[k - 1]]) firsts.push_back(k);
            for (std::size_t g = 0; g < firsts.size(); ++g)
                for (std::size_t k = firsts[g]; k < (g + 1 < firsts.size() ? firsts[g + 1] : end); ++k) {
                    if (rep) lattice.Representative[order[k]] = order[firsts[g]];
                    auto& set = lattice.Neighbours[order[k]];
                    if (g > 0) set.Index[set.Count++] = order[firsts[g - 1]];
                    if (g + 1 < firsts.size()) set.Index[set.Count++] = order[firsts[g + 1]];
                }
        }
    };
    link(lattice.Row, lattice.Column, true);
    link(lattice.Column, lattice.Row, false);
    return lattice;
}

TEST(RoiLattice, SameLinksAsAComparisonSort)
{
    std::mt19937 random(7);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        // Positions on a coarse grid, some missing, some repeated, in any
        // order; every third round scattered over far more positions than
        // ROIs, beyond the table of positions (which is then not made).
        TMeetSerie rois;
        const bool scattered = round % 3 == 2;
        const std::uint32_t side = scattered ? 80 + random() % 40 : 1 + random() % 12;
        for (std::uint32_t x = 0; x < side; ++x)
            for (std::uint32_t y = 0; y < side; ++y) {
                if (scattered && random() % side > 1) continue;
                for (unsigned copies = random() % 4 == 0 ? 0 : 1 + random() % 2; copies > 0; --copies)
                    rois.push_back(Roi(x * 5 + random() % 2 * 3 + (scattered ? (1u << 23) : 0u), y * 5, 1000));
            }
        std::shuffle(rois.begin(), rois.end(), random);
        const RoiLattice fast = BuildRoiLattice(rois);
        const RoiLattice sorted = SortedLattice(rois);
        EXPECT_EQ(fast.Representative, sorted.Representative);
        for (std::size_t i = 0; i < rois.size(); ++i) {
            const auto& a = fast.Neighbours[i];
            const auto& b = sorted.Neighbours[i];
            ASSERT_EQ(std::vector<std::size_t>(a.Index.begin(), a.Index.begin() + a.Count),
                      std::vector<std::size_t>(b.Index.begin(), b.Index.begin() + b.Count))
                << "ROI " << i;
        }
    }
}

}  // namespace
}  // namespace evenor::test

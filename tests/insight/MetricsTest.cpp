#include "Metrics.h"

#include <gtest/gtest.h>

#include <cmath>

#include "Phantom.h"

namespace evenor {
namespace {

using testing::AddTo;
using testing::Analyse;
using testing::Checkerboard;
using testing::Roi;
using testing::WholeArea;

// A 100 x 100 flat field (1000 +/- 10 like a chessboard) with a 10 x 10
// blotch 100 deeper at columns and rows 40..49; boxes of 20 pixels. The area
// mean is 999, the four ROIs at (30|40, 30|40) hold the whole blotch (mean
// 975), every other ROI has mean 1000.
AnalysisResult BlotchResult()
{
    auto phantom = Checkerboard(100, 100, 1000, 10);
    AddTo(phantom, 40, 40, 10, 10, -100);
    return Analyse(phantom, WholeArea(phantom, 10.0, 20.0, true), 20);
}

TEST(Metrics, BlotchGivesKnownValuesAndPositions)
{
    const AnalysisResult result = BlotchResult();
    ASSERT_EQ(result.AreaMean, 999.0);
    ASSERT_EQ(result.Rois.size(), 81u);

    const UniformityMetrics metrics = ComputeMetrics(result);
    EXPECT_EQ(metrics.RoiCount, 81u);
    EXPECT_EQ(metrics.DeviatingRoiCount, result.BadROIMap.size());

    const auto& global = metrics[MetricId::GlobalUniformity];
    ASSERT_TRUE(global.Value);
    EXPECT_DOUBLE_EQ(*global.Value, 25.0 / 999.0 * 100.0);
    EXPECT_FALSE(global.Where);

    // ROI (30,30): neighbours 1000 (left), 975 (right), 1000 (up), 975 (down):
    // |975 - 987.5| = 12.5, the largest, first reached at (30,30).
    const auto& local = metrics[MetricId::LocalUniformity];
    ASSERT_TRUE(local.Value);
    EXPECT_DOUBLE_EQ(*local.Value, 12.5 / 999.0 * 100.0);
    EXPECT_EQ(local.Where, (RoiPosition{30, 30}));

    const auto& meanDeviation = metrics[MetricId::RoiMeanDeviation];
    ASSERT_TRUE(meanDeviation.Value);
    EXPECT_DOUBLE_EQ(*meanDeviation.Value, -24.0 / 999.0 * 100.0);
    EXPECT_EQ(meanDeviation.Where, (RoiPosition{30, 30}));

    // The blotch ROIs are the noisy ones: lowest SNR, largest local SD step.
    const auto& snrDeviation = metrics[MetricId::RoiSnrDeviation];
    ASSERT_TRUE(snrDeviation.Value);
    EXPECT_LT(*snrDeviation.Value, -50.0);
    EXPECT_EQ(snrDeviation.Where, (RoiPosition{30, 30}));
    ASSERT_TRUE(metrics[MetricId::NoiseUniformity].Value);
    EXPECT_EQ(metrics[MetricId::NoiseUniformity].Where, (RoiPosition{30, 30}));
}

TEST(Metrics, GradientGivesKnownGlobalAndLocalUniformity)
{
    // Pixel value 1000 + column: a ROI's mean is 1000 + X + 9.5, the area mean
    // 1049.5. Left and right neighbours cancel inside the grid; at a corner
    // the mean of (right: +10, down: 0) is 5 away, the largest step.
    auto phantom = Checkerboard(100, 100, 1000, 0);
    for (std::uint32_t y = 0; y < 100; ++y)
        for (std::uint32_t x = 0; x < 100; ++x) phantom.At(x, y) = static_cast<std::uint16_t>(1000 + x);
    const AnalysisResult result = Analyse(phantom, WholeArea(phantom, 5.0, 20.0, false), 20);
    ASSERT_EQ(result.AreaMean, 1049.5);

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
    // 3 x 3 grid, SD 10 everywhere but 20 in the centre: mean SD 100 / 9. The
    // centre differs from the mean of its four neighbours by 10, an edge ROI
    // from its three by 10 / 3.
    TMeetSerie rois;
    for (std::uint32_t x : {0u, 5u, 10u})
        for (std::uint32_t y : {0u, 5u, 10u}) rois.push_back(Roi(x, y, 1000.0, x == 5 && y == 5 ? 20.0 : 10.0));
    AnalysisResult result;
    result.AreaMean = 1000.0;
    result.MeanRoiSNR = 90.0;
    result.Rois = rois;
    const MetricValue noise = ComputeMetrics(result)[MetricId::NoiseUniformity];
    ASSERT_TRUE(noise.Value);
    EXPECT_DOUBLE_EQ(*noise.Value, 10.0 / (100.0 / 9.0) * 100.0);
    EXPECT_EQ(noise.Where, (RoiPosition{5, 5}));
}

TEST(Metrics, ZeroReferencesMakeMetricsUnavailableNeverNaN)
{
    struct Case {
        const char* name;
        double areaMean;
        double meanRoiSnr;
        double roiSd;
        std::vector<MetricId> unavailable;
    };
    const std::vector<Case> cases{
        {"area mean 0", 0.0, 50.0, 10.0,
         {MetricId::GlobalUniformity, MetricId::LocalUniformity, MetricId::RoiMeanDeviation}},
        {"mean ROI SNR 0", 1000.0, 0.0, 10.0, {MetricId::RoiSnrDeviation}},
        {"every ROI SD 0", 1000.0, 50.0, 0.0, {MetricId::NoiseUniformity}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AnalysisResult result;
        result.AreaMean = c.areaMean;
        result.MeanRoiSNR = c.meanRoiSnr;
        for (std::uint32_t x : {0u, 5u})
            for (std::uint32_t y : {0u, 5u}) result.Rois.push_back(Roi(x, y, 1000.0 + x + 2 * y, c.roiSd));
        const UniformityMetrics metrics = ComputeMetrics(result);
        for (const auto& info : AllMetricInfos()) {
            const auto& metric = metrics[info.Id];
            const bool expectMissing =
                std::find(c.unavailable.begin(), c.unavailable.end(), info.Id) != c.unavailable.end();
            EXPECT_EQ(!metric.Value.has_value(), expectMissing) << info.Key;
            if (metric.Value) {
                EXPECT_TRUE(std::isfinite(*metric.Value)) << info.Key;
            } else {
                EXPECT_FALSE(metric.Where) << info.Key;
            }
        }
    }
}

TEST(Metrics, EmptyAndSingleRoiResults)
{
    AnalysisResult result;
    result.AreaMean = 1000.0;
    UniformityMetrics metrics = ComputeMetrics(result);
    for (const auto& value : metrics.Values) EXPECT_FALSE(value.Value);

    result.Rois.push_back(Roi(0, 0, 990.0));
    result.MeanRoiSNR = result.Rois[0].SNR;
    metrics = ComputeMetrics(result);
    EXPECT_EQ(*metrics[MetricId::GlobalUniformity].Value, 0.0);
    EXPECT_FALSE(metrics[MetricId::LocalUniformity].Value);  // no neighbours
    EXPECT_DOUBLE_EQ(*metrics[MetricId::RoiMeanDeviation].Value, -1.0);
}

TEST(RoiLattice, FarEdgePositionsAndGapsAreNeighbours)
{
    struct Case {
        const char* name;
        TMeetSerie rois;
        RoiPosition of;
        std::vector<RoiPosition> neighbours;  // left, right, up, down order
    };
    // The ROI order of a 23 x 23 area with boxes of 10: grid 0, 5, 10 and the
    // far edge at 12.
    TMeetSerie worked;
    for (std::uint32_t x : {0u, 5u, 10u})
        for (std::uint32_t y : {0u, 5u, 10u}) worked.push_back(Roi(x, y, 1000));
    for (std::uint32_t y : {0u, 5u, 10u}) worked.push_back(Roi(12, y, 1000));
    for (std::uint32_t x : {0u, 5u, 10u}) worked.push_back(Roi(x, 12, 1000));
    worked.push_back(Roi(12, 12, 1000));
    // A lattice with a hole at (5,5): (0,5) and (10,5) become neighbours.
    TMeetSerie holed;
    for (std::uint32_t x : {0u, 5u, 10u})
        for (std::uint32_t y : {0u, 5u, 10u})
            if (!(x == 5 && y == 5)) holed.push_back(Roi(x, y, 1000));

    const std::vector<Case> cases{
        {"grid position next to the far edge", worked, {10, 5}, {{5, 5}, {12, 5}, {10, 0}, {10, 10}}},
        {"far-edge column", worked, {12, 5}, {{10, 5}, {12, 0}, {12, 10}}},
        {"far-edge corner", worked, {12, 12}, {{10, 12}, {12, 10}}},
        {"first corner", worked, {0, 0}, {{5, 0}, {0, 5}}},
        {"across a hole", holed, {0, 5}, {{10, 5}, {0, 0}, {0, 10}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RoiLattice lattice = BuildRoiLattice(c.rois);
        std::size_t at = 0;
        while (at < c.rois.size() && !(c.rois[at].X == c.of.X && c.rois[at].Y == c.of.Y)) ++at;
        ASSERT_LT(at, c.rois.size());
        const auto& set = lattice.Neighbours[at];
        std::vector<RoiPosition> found;
        for (std::uint8_t k = 0; k < set.Count; ++k)
            found.push_back({c.rois[set.Index[k]].X, c.rois[set.Index[k]].Y});
        EXPECT_EQ(found, c.neighbours);
    }
}

TEST(RoiLattice, RepeatedPositionIsRepresentedByItsFirstRoi)
{
    // A far-edge box that lands on a grid position (area 26 wide, boxes of 10:
    // grid 0, 5, 10, 15 and far edge 15).
    TMeetSerie rois;
    for (std::uint32_t x : {0u, 5u, 10u, 15u}) rois.push_back(Roi(x, 0, 1000));
    rois.push_back(Roi(15, 0, 1000));
    const RoiLattice lattice = BuildRoiLattice(rois);
    EXPECT_EQ(lattice.Xs, (std::vector<std::uint32_t>{0, 5, 10, 15}));
    EXPECT_EQ(lattice.Representative[4], 3u);
    EXPECT_EQ(lattice.Column[4], 3u);
    ASSERT_EQ(lattice.Neighbours[2].Count, 2);
    EXPECT_EQ(lattice.Neighbours[2].Index[1], 3u);  // right of 10 is the first ROI at 15
    ASSERT_EQ(lattice.Neighbours[4].Count, 1);
    EXPECT_EQ(lattice.Neighbours[4].Index[0], 2u);
}

}  // namespace
}  // namespace evenor

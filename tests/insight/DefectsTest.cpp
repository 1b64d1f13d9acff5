#include "insight/Defects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <tuple>

#include "insight/DefectPixels.h"
#include "insight/Guidelines.h"
#include "tests/support/DetectorPhantoms.h"

namespace evenor::test {
namespace {

using namespace test;

TBadPixelMap MapOf(std::vector<std::pair<std::uint32_t, std::uint32_t>> positions)
{
    TBadPixelMap map;
    for (const auto& [x, y] : positions) map.Add({x, y, 4000, 2000.0});
    return map;
}

TEST(DefectClusters, EightConnectedGroupsWithSizeBoxAndCentre)
{
    // Found in an order unlike the raster order: a 3 x 3 block at (10..12,
    // 20..22), a diagonal pair, a horizontal pair, a single, a U shape that
    // joins only through its bottom row (size 5), and a knight's move apart
    // (two singles).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> positions;
    for (std::uint32_t y = 22; y >= 20; --y)
        for (std::uint32_t x = 12; x >= 10; --x) positions.emplace_back(x, y);
    positions.insert(positions.end(), {{51, 6}, {50, 5}, {70, 1}, {71, 1}, {90, 90}});
    positions.insert(positions.end(), {{30, 40}, {32, 40}, {30, 41}, {32, 41}, {31, 42}});
    positions.insert(positions.end(), {{5, 60}, {6, 62}});
    const ClusterSummary summary = FindDefectClusters(MapOf(positions));

    struct Expected {
        std::uint32_t size, left, top, right, bottom;
        double x, y;
    };
    const std::vector<Expected> expected{{9, 10, 20, 12, 22, 11.0, 21.0}, {5, 30, 40, 32, 42, 31.0, 40.8},
                                         {2, 70, 1, 71, 1, 70.5, 1.0},    {2, 50, 5, 51, 6, 50.5, 5.5},
                                         {1, 5, 60, 5, 60, 5.0, 60.0},    {1, 6, 62, 6, 62, 6.0, 62.0},
                                         {1, 90, 90, 90, 90, 90.0, 90.0}};
    ASSERT_EQ(summary.Clusters.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const DefectCluster& c = summary.Clusters[i];
        EXPECT_EQ(c.Size, expected[i].size);
        EXPECT_EQ(c.Left, expected[i].left);
        EXPECT_EQ(c.Top, expected[i].top);
        EXPECT_EQ(c.Right, expected[i].right);
        EXPECT_EQ(c.Bottom, expected[i].bottom);
        EXPECT_DOUBLE_EQ(c.CentreX, expected[i].x);
        EXPECT_DOUBLE_EQ(c.CentreY, expected[i].y);
        EXPECT_EQ(c.Hot, c.Size);
    }
    EXPECT_EQ(summary.Singles, 3u);
    EXPECT_EQ(summary.Pairs, 2u);
    EXPECT_EQ(summary.Larger, 2u);
    EXPECT_TRUE(FindDefectClusters(TBadPixelMap{}).Clusters.empty());
}

// Many pixels in a small extent are read back from a bitmap, few in a large
// one are sorted: both give the same clusters. A third of a 64 x 48 patch
// (hot and dead mixed, found in random order), then the same pixels with one
// far away, which makes the extent large.
TEST(DefectClusters, DenseAndSparseMapsGiveTheSameClusters)
{
    std::mt19937 rng(11);
    std::vector<BadPixel> pixels;
    for (std::uint32_t y = 100; y < 148; ++y)
        for (std::uint32_t x = 200; x < 264; ++x)
            if (rng() % 3 == 0) pixels.push_back({x, y, static_cast<std::uint16_t>(rng() % 2 ? 4000 : 0), 2000.0});
    std::shuffle(pixels.begin(), pixels.end(), rng);
    TBadPixelMap dense, sparse;
    for (const BadPixel& p : pixels) {
        dense.Add(p);
        sparse.Add(p);
    }
    sparse.Add({60000, 60000, 4000, 2000.0});
    const ClusterSummary a = FindDefectClusters(dense), b = FindDefectClusters(sparse);
    ASSERT_GT(a.Larger, 10u);
    ASSERT_EQ(b.Clusters.size(), a.Clusters.size() + 1);
    EXPECT_EQ(b.Singles, a.Singles + 1);
    EXPECT_EQ(b.Pairs, a.Pairs);
    EXPECT_EQ(b.Larger, a.Larger);
    std::size_t j = 0;
    for (const DefectCluster& c : b.Clusters) {
        if (c.Left == 60000) continue;  // the far single, after the other singles
        const DefectCluster& d = a.Clusters[j++];
        SCOPED_TRACE(j);
        EXPECT_EQ(std::tie(c.Size, c.Left, c.Top, c.Right, c.Bottom, c.Hot),
                  std::tie(d.Size, d.Left, d.Top, d.Right, d.Bottom, d.Hot));
        EXPECT_EQ(c.CentreX, d.CentreX);
        EXPECT_EQ(c.CentreY, d.CentreY);
    }
    EXPECT_EQ(b.Clusters.back().Left, 60000u);
}

// The clusters of random maps of several densities, against a plain 8-way
// flood fill over a grid: same clusters, same order, same numbers. Runs of
// pixels touching only diagonally, at the edge or across a whole row (also
// one of a multiple of 64 pixels) are all there at these densities.
TEST(DefectClusters, RandomMapsMatchAFloodFill)
{
    constexpr std::uint32_t height = 61, left = 5, top = 3;
    for (const auto& [width, percent] : std::vector<std::pair<std::uint32_t, unsigned>>{
             {97, 3}, {97, 20}, {97, 45}, {97, 70}, {97, 97}, {128, 30}, {128, 100}, {64, 60}}) {
        SCOPED_TRACE(std::to_string(width) + " columns, " + std::to_string(percent) + " %");
        std::mt19937 rng(percent + width);
        std::vector<int> grid(std::size_t{width} * height, -1);  // -1: none; else 1 for hot, 0 for dead
        std::vector<BadPixel> pixels;
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x)
                if (rng() % 100 < percent) {
                    const bool hot = rng() % 2 != 0;
                    grid[std::size_t{y} * width + x] = hot;
                    pixels.push_back({left + x, top + y, static_cast<std::uint16_t>(hot ? 4000 : 0), 2000.0});
                }
        std::shuffle(pixels.begin(), pixels.end(), rng);
        TBadPixelMap map;
        for (const BadPixel& p : pixels) map.Add(p);

        std::vector<DefectCluster> expected;
        std::vector<bool> seen(grid.size());
        for (std::uint32_t y0 = 0; y0 < height; ++y0)
            for (std::uint32_t x0 = 0; x0 < width; ++x0) {
                if (grid[std::size_t{y0} * width + x0] < 0 || seen[std::size_t{y0} * width + x0]) continue;
                DefectCluster c{0, left + x0, top + y0, left + x0, top + y0, 0.0, 0.0, 0};
                std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{x0, y0}};
                seen[std::size_t{y0} * width + x0] = true;
                std::vector<std::pair<std::uint32_t, std::uint32_t>> members;
                while (!stack.empty()) {
                    const auto [x, y] = stack.back();
                    stack.pop_back();
                    members.push_back({x, y});
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const std::int64_t nx = std::int64_t{x} + dx, ny = std::int64_t{y} + dy;
                            if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                            const std::size_t at = static_cast<std::size_t>(ny) * width + static_cast<std::size_t>(nx);
                            if (grid[at] < 0 || seen[at]) continue;
                            seen[at] = true;
                            stack.push_back({static_cast<std::uint32_t>(nx), static_cast<std::uint32_t>(ny)});
                        }
                }
                std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) {
                    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
                });
                double sumX = 0.0, sumY = 0.0;
                for (const auto& [x, y] : members) {
                    ++c.Size;
                    c.Left = std::min(c.Left, left + x);
                    c.Right = std::max(c.Right, left + x);
                    c.Bottom = std::max(c.Bottom, top + y);
                    c.Hot += grid[std::size_t{y} * width + x];
                    sumX += left + x;
                    sumY += top + y;
                }
                c.CentreX = sumX / c.Size;
                c.CentreY = sumY / c.Size;
                expected.push_back(c);
            }
        std::stable_sort(expected.begin(), expected.end(),
                         [](const DefectCluster& a, const DefectCluster& b) { return a.Size > b.Size; });

        const ClusterSummary found = FindDefectClusters(map);
        ASSERT_EQ(found.Clusters.size(), expected.size());
        std::size_t singles = 0, pairs = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            const DefectCluster &c = found.Clusters[i], &d = expected[i];
            EXPECT_EQ(std::tie(c.Size, c.Left, c.Top, c.Right, c.Bottom, c.Hot),
                      std::tie(d.Size, d.Left, d.Top, d.Right, d.Bottom, d.Hot));
            EXPECT_EQ(c.CentreX, d.CentreX);
            EXPECT_EQ(c.CentreY, d.CentreY);
            singles += d.Size == 1;
            pairs += d.Size == 2;
        }
        EXPECT_EQ(found.Singles, singles);
        EXPECT_EQ(found.Pairs, pairs);
        EXPECT_EQ(found.Larger, expected.size() - singles - pairs);
    }
}

Field Flat(std::uint32_t width, std::uint32_t height, double mean = 2000.0) { return FlatSignal(width, height, mean); }

// A 3 x 3 cluster of dead pixels in a Poisson field, through the whole run.
TEST(DefectClusters, DeadThreeByThreeInAField)
{
    Image image = PoissonImage(Flat(384, 256), 11);
    for (std::uint32_t y = 100; y < 103; ++y)
        for (std::uint32_t x = 200; x < 203; ++x) image.At(x, y) = 0;
    image.At(50, 50) = 9000;
    const Inspection run = Inspect(image);
    const ClusterSummary& clusters = run.Insight.Clusters;
    ASSERT_EQ(clusters.Clusters.size(), 2u);
    EXPECT_EQ(clusters.Clusters[0].Size, 9u);
    EXPECT_EQ(clusters.Clusters[0].Hot, 0u);
    EXPECT_DOUBLE_EQ(clusters.Clusters[0].CentreX, 201.0);
    EXPECT_DOUBLE_EQ(clusters.Clusters[0].CentreY, 101.0);
    EXPECT_EQ(clusters.Singles, 1u);
    EXPECT_EQ(clusters.Larger, 1u);
    EXPECT_TRUE(run.Insight.Lines.empty());

    // Default preset: a 3 x 3 cluster is worth a look (warning), not more.
    const auto checks = JudgeDetector(run.Insight, run.Settings, DefaultPreset());
    ASSERT_EQ(checks.size(), 4u);
    EXPECT_EQ(checks[0].Key, LargestClusterCheckKey);
    EXPECT_EQ(*checks[0].Value, 9.0);
    EXPECT_EQ(checks[0].Result, Verdict::Warning);
    EXPECT_EQ(checks[1].Key, LineDefectsCheckKey);
    EXPECT_EQ(checks[1].Result, Verdict::Pass);
    EXPECT_EQ(checks[2].Result, Verdict::Pass);
    EXPECT_EQ(checks[3].Result, Verdict::Pass);
}

// One row or column offset by +2 % or -2 %, or dead, on fields of several
// sizes: exactly that line is found, nothing else.
TEST(LineDefects, SingleOffsetOrDeadLineIsFoundAndNothingElse)
{
    struct Case {
        const char* name;
        std::uint32_t width, height;
        LineOrientation orientation;
        std::uint32_t index;
        double factor;  // 0: dead line
    };
    const std::vector<Case> cases{
        {"column +2 %, 256", 256, 256, LineOrientation::Column, 100, 1.02},
        {"row +2 %, 256", 256, 256, LineOrientation::Row, 17, 1.02},
        {"column -2 %, 512 x 256", 512, 256, LineOrientation::Column, 3, 0.98},
        {"row -2 %, 256 x 512", 256, 512, LineOrientation::Row, 500, 0.98},
        {"first column +2 %, 1024", 1024, 1024, LineOrientation::Column, 0, 1.02},
        {"row +2 %, 2048", 2048, 2048, LineOrientation::Row, 1234, 1.02},
        {"dead column, 512", 512, 512, LineOrientation::Column, 77, 0.0},
        {"dead row, 512", 512, 512, LineOrientation::Row, 300, 0.0},
    };
    unsigned seed = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Field field = Flat(c.width, c.height);
        for (std::uint32_t k = 0; k < (c.orientation == LineOrientation::Row ? c.width : c.height); ++k) {
            double& signal = c.orientation == LineOrientation::Row ? field.At(k, c.index) : field.At(c.index, k);
            signal *= c.factor;
        }
        const Inspection run = Inspect(PoissonImage(field, ++seed));
        ASSERT_EQ(run.Insight.Lines.size(), 1u);
        const LineDefect& line = run.Insight.Lines[0];
        EXPECT_EQ(line.Orientation, c.orientation);
        EXPECT_EQ(line.Index, c.index);
        EXPECT_EQ(line.DeviatingPixels, c.factor == 0.0);
        EXPECT_NEAR(line.DeviationPercent, (c.factor - 1.0) * 100.0, 0.6);
        if (c.factor != 0.0) {
            EXPECT_GT(line.Sigmas, 8.0);
        }
        EXPECT_FALSE(run.Insight.Rims.Found());
        const auto checks = JudgeDetector(run.Insight, run.Settings, DefaultPreset());
        EXPECT_EQ(checks[1].Result, Verdict::Fail);
    }
}

// A line's reference is the median of the kLineNeighbours lines on the side
// it departs from least, exactly (ties and repeated values included).
TEST(LineDefects, ReferenceIsTheExactMedianOfTheNearerSide)
{
    struct Case {
        const char* name;
        unsigned seed;
        std::size_t line;
        int spread;  // the other lines: 1000 + a whole number in [0, spread)
    } const cases[] = {
        {"distinct neighbours", 1, 20, 997}, {"many equal neighbours", 2, 20, 3}, {"all neighbours equal", 3, 30, 1},
        {"near the first end", 4, 6, 50},    {"near the last end", 5, 34, 50},
    };
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];  // an odd count: kLineNeighbours
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(c.seed);
        std::vector<double> means(41);
        for (double& mean : means) mean = 1000.0 + static_cast<double>(rng() % c.spread) / 4.0;
        means[c.line] = 5000.0;
        const std::vector<std::uint32_t> counts(means.size(), 1000);
        const ProfileSearch search = FindProfileDefects(means, counts, std::vector<bool>(means.size(), false), 1.0);
        ASSERT_EQ(search.Defects.size(), 1u);
        ASSERT_EQ(search.Defects[0].Line, c.line);
        const auto from = [&](std::size_t first) {
            return median({means.begin() + static_cast<std::ptrdiff_t>(first),
                           means.begin() + static_cast<std::ptrdiff_t>(first + kLineNeighbours)});
        };
        const double left = from(c.line - kLineNeighbours), right = from(c.line + 1);
        EXPECT_EQ(search.Defects[0].Reference, std::fabs(5000.0 - left) <= std::fabs(5000.0 - right) ? left : right);
    }
}

// Sharp-edged regions make steps in the line means; the lines beside a step
// differ from one side only and are no line defects. A line that differs from
// both sides still is, also right at a step or inside the region.
TEST(LineDefects, SharpStepsAreNoLinesButLinesAtThemAreFound)
{
    struct Offset {
        std::uint32_t column;
        double factor;
    };
    struct Case {
        const char* name;
        std::uint32_t width, height;
        std::uint32_t left, top, right, bottom;  // the darker region, inclusive
        std::vector<Offset> columns;             // offset columns, expected as line defects
    };
    const std::vector<Case> cases{
        {"square 15 % darker", 256, 256, 100, 120, 139, 159, {}},
        {"square at an edge", 256, 256, 0, 0, 39, 39, {}},
        {"right half 15 % darker", 512, 256, 256, 0, 511, 255, {}},
        {"lower half 15 % darker", 256, 512, 0, 256, 255, 511, {}},
        {"+2 % column through the square", 256, 256, 100, 120, 139, 159, {{120, 1.02}}},
        {"+2 % column beside the square", 256, 256, 100, 120, 139, 159, {{99, 1.02}}},
        {"-2 % column at the half step", 512, 256, 256, 0, 511, 255, {{256, 0.98}}},
        {"two adjacent -2 % columns", 512, 256, 256, 0, 511, 255, {{100, 0.98}, {101, 0.98}}},
    };
    unsigned seed = 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Field field = Flat(c.width, c.height);
        for (std::uint32_t y = c.top; y <= c.bottom; ++y)
            for (std::uint32_t x = c.left; x <= c.right; ++x) field.At(x, y) *= 0.85;
        for (const Offset& offset : c.columns)
            for (std::uint32_t y = 0; y < c.height; ++y) field.At(offset.column, y) *= offset.factor;
        for (unsigned repeat = 0; repeat < 3; ++repeat) {
            const Inspection run = Inspect(PoissonImage(field, ++seed));
            ASSERT_EQ(run.Insight.Lines.size(), c.columns.size());
            for (std::size_t i = 0; i < c.columns.size(); ++i) {
                const LineDefect& line = run.Insight.Lines[i];
                EXPECT_EQ(line.Orientation, LineOrientation::Column);
                EXPECT_EQ(line.Index, c.columns[i].column);
                EXPECT_NEAR(line.DeviationPercent, (c.columns[i].factor - 1.0) * 100.0, 0.6);
                EXPECT_GT(line.Sigmas, kLineSigmas);
            }
        }
    }
}

// Offset groups of one to three adjacent lines at and near both ends of the
// profile are found whole, each line at its own offset.
TEST(LineDefects, GroupsAtTheEdgesAreFoundWhole)
{
    struct Case {
        const char* name;
        LineOrientation orientation;
        std::vector<std::uint32_t> lines;  // dimmed by 3 %
    };
    const std::vector<Case> cases{
        {"columns 0..2", LineOrientation::Column, {0, 1, 2}},
        {"columns 1..2", LineOrientation::Column, {1, 2}},
        {"columns 2..4", LineOrientation::Column, {2, 3, 4}},
        {"columns 510..511", LineOrientation::Column, {510, 511}},
        {"columns 507..509", LineOrientation::Column, {507, 508, 509}},
        {"rows 0..1", LineOrientation::Row, {0, 1}},
        {"rows 509..511", LineOrientation::Row, {509, 510, 511}},
        {"rows 3..4", LineOrientation::Row, {3, 4}},
    };
    unsigned seed = 500;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Field field = Flat(512, 512);
        for (const std::uint32_t index : c.lines)
            for (std::uint32_t k = 0; k < 512; ++k)
                (c.orientation == LineOrientation::Row ? field.At(k, index) : field.At(index, k)) *= 0.97;
        const Inspection run = Inspect(PoissonImage(field, ++seed));
        ASSERT_EQ(run.Insight.Lines.size(), c.lines.size());
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            const LineDefect& line = run.Insight.Lines[i];
            EXPECT_EQ(line.Orientation, c.orientation);
            EXPECT_EQ(line.Index, c.lines[i]);
            EXPECT_NEAR(line.DeviationPercent, -3.0, 0.4);
        }
    }
}

// The ROI grid leaves columns and rows in no ROI; the detector's defects
// test their pixels against the mean of a box around each. 260 x 260 with
// boxes of 32: the far-edge box ends at 258, so column and row 259 are
// left. Boxes of 13 step by 6 and leave 241..259.
TEST(GridGaps, PixelsNoRoiCoversAreJudged)
{
    struct Planted {
        std::uint32_t left, top, width, height;
        std::uint16_t value;
    };
    struct Case {
        const char* name;
        double boxCm;  // at 0.3125 mm: 1 cm is 32 pixels, 0.40625 cm 13
        std::vector<Planted> planted;
        std::vector<LineRange> gaps;  // the same for columns and rows
        std::uint32_t largest;
        Verdict verdict;  // of the largest cluster, default preset
    };
    const std::vector<Case> cases{
        {"12 dead pixels in the last column", 1.0, {{259, 100, 1, 12, 0}}, {{259, 259}}, 12, Verdict::Fail},
        {"dead 4 x 4 in the far corner", 1.0, {{256, 256, 4, 4, 0}}, {{259, 259}}, 16, Verdict::Fail},
        {"hot pair in the last row", 1.0, {{30, 259, 2, 1, 9000}}, {{259, 259}}, 2, Verdict::Pass},
        {"clean, odd box", 0.40625, {}, {{241, 259}}, 0, Verdict::Pass},
        {"dead and hot in the strip an odd box leaves",
         0.40625,
         {{250, 100, 1, 1, 0}, {100, 245, 1, 1, 9000}, {244, 244, 3, 3, 0}},
         {{241, 259}},
         9,
         Verdict::Warning},
    };
    unsigned seed = 700;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image = PoissonImage(Flat(260, 260), ++seed);
        std::size_t plantedPixels = 0;
        for (const Planted& p : c.planted)
            for (std::uint32_t y = p.top; y < p.top + p.height; ++y)
                for (std::uint32_t x = p.left; x < p.left + p.width; ++x, ++plantedPixels) image.At(x, y) = p.value;
        AnalysisSettings settings = WholeImageSettings(image);
        settings.BoxDimension = c.boxCm;
        const Inspection run = Inspect(image, settings);
        EXPECT_EQ(run.Insight.Gaps.Columns, c.gaps);
        EXPECT_EQ(run.Insight.Gaps.Rows, c.gaps);
        // Every planted pixel is in a cluster, and nothing else is.
        std::size_t clustered = 0;
        for (const DefectCluster& cluster : run.Insight.Clusters.Clusters) clustered += cluster.Size;
        EXPECT_EQ(clustered, plantedPixels);
        const std::uint32_t largest =
            run.Insight.Clusters.Clusters.empty() ? 0 : run.Insight.Clusters.Clusters.front().Size;
        EXPECT_EQ(largest, c.largest);
        EXPECT_TRUE(run.Insight.Lines.empty());
        const auto checks = JudgeDetector(run.Insight, run.Settings, DefaultPreset());
        EXPECT_EQ(checks[0].Key, LargestClusterCheckKey);
        EXPECT_EQ(checks[0].Result, c.verdict);
    }
}

// From a million area pixels and a thousand lines on, the inspection runs
// its independent parts on two threads (the gaps with the clusters and the
// defect pixels beside the profiles and robust statistics, the rows beside
// the columns). What it finds must be what the parts give one by one.
TEST(DetectorInspection, TwoThreadsGiveWhatThePartsGiveOneByOne)
{
    struct Case {
        const char* name;
        std::uint32_t width, height;
        double boxCm;              // at the phantom's spacing, 1 cm is side / 8 pixels
        std::int32_t row, column;  // a line dimmed by 3 %, -1: none
        bool gapDefects;           // dead pixels in the columns and rows no ROI covers
    } const cases[] = {
        {"row and column, gap pixels, odd box", 1024, 1024, 0.79, 300, 700, true},
        {"column only, even box", 1200, 1024, 1.0, -1, 5, false},
        {"row only, gap pixels", 1024, 1100, 1.0, 1090, -1, true},
        {"clean", 1024, 1024, 1.0, -1, -1, false},
    };
    unsigned seed = 900;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Field field = Flat(c.width, c.height);
        for (std::uint32_t x = 0; c.row >= 0 && x < c.width; ++x) field.At(x, c.row) *= 0.97;
        for (std::uint32_t y = 0; c.column >= 0 && y < c.height; ++y) field.At(c.column, y) *= 0.97;
        Image image = PoissonImage(field, ++seed);
        for (const auto& [x, y] : {std::pair{10u, 10u}, std::pair{500u, 600u}, std::pair{501u, 600u}})
            image.At(x, y) = 9000;
        if (c.gapDefects)
            for (std::uint32_t k = 40; k < 52; ++k) image.At(c.width - 1, k) = 0, image.At(k, c.height - 1) = 0;
        AnalysisSettings settings = WholeImageSettings(image);
        settings.BoxDimension = c.boxCm;
        const Inspection run = Inspect(image, settings);
        const DetectorInsight& insight = run.Insight;

        // The pixels, one part after the other.
        const GridGaps gaps = FindGridGaps(settings, run.Result, image.Pixels, image.Width);
        EXPECT_EQ(insight.Gaps.Columns, gaps.Columns);
        EXPECT_EQ(insight.Gaps.Rows, gaps.Rows);
        ASSERT_EQ(insight.Gaps.Pixels.size(), gaps.Pixels.size());
        EXPECT_EQ(gaps.Pixels.empty(), !c.gapDefects);
        TBadPixelMap every = run.Result.BadPixelMap;
        TBadPixelMap gapPixels = gaps.Pixels;
        every.Append(std::move(gapPixels));
        const ClusterSummary clusters = FindDefectClusters(every);
        ASSERT_EQ(insight.Clusters.Clusters.size(), clusters.Clusters.size());
        for (std::size_t i = 0; i < clusters.Clusters.size(); ++i) {
            EXPECT_EQ(insight.Clusters.Clusters[i].Size, clusters.Clusters[i].Size);
            EXPECT_EQ(insight.Clusters.Clusters[i].Left, clusters.Clusters[i].Left);
            EXPECT_EQ(insight.Clusters.Clusters[i].Top, clusters.Clusters[i].Top);
        }
        const DefectPixelSummary defects =
            CountDefectPixels(every, run.Result.Rois, std::uint64_t{image.Width} * image.Height);
        EXPECT_EQ(insight.DefectPixels.Count, defects.Count);
        EXPECT_EQ(insight.Metrics.Robust.DefectPixelCount, defects.Count);

        // The lines, one direction after the other (no rim here, so the
        // whole area is searched).
        ASSERT_FALSE(insight.Rims.Found());
        const PixelRect area{0, 0, image.Width, image.Height};
        const LineProfiles profiles = MeasureLineProfiles(image.Pixels, image.Width, area);
        LineProfiles without = profiles;
        LeaveOut(without, run.Result.BadPixelMap);
        LeaveOut(without, gaps.Pixels);
        std::vector<std::pair<LineOrientation, std::uint32_t>> expected;
        double largest = 0.0;
        const double noise = std::sqrt(*MedianRoiVariance(insight.RobustRois.Rois, run.Result.BoxPixels, area));
        for (const LineOrientation orientation : {LineOrientation::Row, LineOrientation::Column}) {
            const bool rows = orientation == LineOrientation::Row;
            const std::vector<std::uint32_t>& counts = rows ? without.RowCount : without.ColumnCount;
            const ProfileSearch search = FindProfileDefects(rows ? without.RowMeans() : without.ColumnMeans(), counts,
                                                            std::vector<bool>(counts.size(), false), noise);
            for (const ProfileDefect& d : search.Defects)
                expected.emplace_back(orientation, static_cast<std::uint32_t>(d.Line));
            largest = std::max(largest, search.LargestOtherSigmas);
        }
        std::vector<std::pair<LineOrientation, std::uint32_t>> found;
        for (const LineDefect& line : insight.Lines) found.emplace_back(line.Orientation, line.Index);
        EXPECT_EQ(found, expected);
        EXPECT_EQ(insight.LargestOtherLineSigmas, largest);
        std::vector<std::pair<LineOrientation, std::uint32_t>> planted;
        if (c.row >= 0) planted.emplace_back(LineOrientation::Row, c.row);
        if (c.column >= 0) planted.emplace_back(LineOrientation::Column, c.column);
        EXPECT_EQ(found, planted);
    }
}

// The uncovered lines of the grid as laid: half-box steps from the first
// line, and a far-edge box at last - box when the steps do not reach it.
TEST(GridGaps, UncoveredLinesOfTheGrid)
{
    struct Case {
        std::uint32_t first, last, box;
        std::vector<LineRange> expected;
    };
    const std::vector<Case> cases{
        {0, 1023, 13, {{943, 1009}, {1023, 1023}}},   // 0.2 cm at 0.15 mm
        {0, 2999, 69, {{2925, 2929}, {2999, 2999}}},  // 1 cm at 0.143 mm
        {0, 2047, 66, {{2047, 2047}}},
        {0, 2047, 64, {}},
        {100, 355, 64, {}},
        {10, 269, 32, {{269, 269}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.last - c.first + 1) + " lines, box " + std::to_string(c.box));
        const GridAxis axis = GridAxisFor(c.first, c.last, c.box);
        std::vector<std::uint32_t> starts;
        for (std::uint32_t k = 0; k < axis.Positions; ++k) starts.push_back(c.first + k * axis.Step);
        if (axis.FarEdge) starts.push_back(c.last - c.box);
        EXPECT_EQ(UncoveredLines(c.first, c.last, starts, c.box), c.expected);
    }
}

// Clean Poisson flat fields of each size and seed family: no line, no
// cluster, no rim, and no correlated noise near its warning limit.
// Without the deviating pixels a hot pixel lifts its short row and column
// past the limit: the lines are then not judged at all, rather than wrongly.
TEST(LineDefects, NotSearchedWithoutTheDeviatingPixels)
{
    test::Image image = test::PoissonImage(test::FlatSignal(256, 256, 2000.0), 7);
    for (const auto& [x, y] : {std::pair{40u, 50u}, {200u, 120u}, {90u, 230u}}) image.At(x, y) = 16000;
    const test::Inspection searched = test::Inspect(image, true);
    EXPECT_TRUE(searched.Insight.LinesSearched);
    EXPECT_TRUE(searched.Insight.Lines.empty());
    const test::Inspection notSearched = test::Inspect(image, false);
    EXPECT_FALSE(notSearched.Insight.LinesSearched);
    EXPECT_TRUE(notSearched.Insight.Lines.empty());
    EXPECT_STRNE(LinesNotSearchedReason(notSearched.Insight), "");
    const auto checks = JudgeDetector(notSearched.Insight, notSearched.Settings, *FindPreset("evenor-default"));
    const auto line =
        std::find_if(checks.begin(), checks.end(), [](const CheckVerdict& c) { return c.Key == LineDefectsCheckKey; });
    ASSERT_NE(line, checks.end());
    EXPECT_EQ(line->Result, Verdict::NotEvaluated);
}

TEST(LineDefects, CleanPoissonFieldsGiveNoFalseDefects)
{
    struct Family {
        std::uint32_t width, height;
        double mean;
        unsigned seeds;
    };
    const std::vector<Family> families{
        {256, 256, 2000.0, 60},  {256, 256, 500.0, 60},  {384, 256, 8000.0, 30},
        {256, 640, 2000.0, 30},  {512, 512, 2000.0, 20}, {512, 512, 30000.0, 20},
        {1024, 1024, 2000.0, 8}, {1024, 768, 1000.0, 6}, {2048, 2048, 2000.0, 3},
    };
    double largestNoise = 0.0, largestSigmas = 0.0;
    std::size_t images = 0, lines = 0;
    for (const Family& family : families) {
        for (unsigned seed = 1; seed <= family.seeds; ++seed) {
            SCOPED_TRACE(std::to_string(family.width) + " x " + std::to_string(family.height) + " at " +
                         std::to_string(family.mean) + ", seed " + std::to_string(seed));
            const Inspection run = Inspect(PoissonImage(Flat(family.width, family.height, family.mean), seed));
            const DetectorInsight& insight = run.Insight;
            ++images;
            lines += family.width + family.height;
            EXPECT_TRUE(insight.Lines.empty());
            largestSigmas = std::max(largestSigmas, insight.LargestOtherLineSigmas);
            std::size_t larger = 0;
            for (const auto& cluster : insight.Clusters.Clusters) larger += cluster.Size >= 2;
            EXPECT_EQ(larger, 0u);
            EXPECT_FALSE(insight.Rims.Found());
            ASSERT_TRUE(insight.Noise.Rows.CorrelatedPercent && insight.Noise.Columns.CorrelatedPercent);
            largestNoise = std::max(
                {largestNoise, *insight.Noise.Rows.CorrelatedPercent, *insight.Noise.Columns.CorrelatedPercent});
            EXPECT_NEAR(*insight.Noise.Rows.Ratio, 1.0, 0.25);
            EXPECT_NEAR(*insight.Noise.Columns.Ratio, 1.0, 0.25);
        }
    }
    EXPECT_LT(largestNoise, 7.0);
    EXPECT_LT(largestSigmas, kLineSigmas - 1.0);
    RecordProperty("images", static_cast<int>(images));
    RecordProperty("lines", static_cast<int>(lines));
    std::cout << images << " clean images, " << lines << " lines; largest correlated noise " << largestNoise
              << " % of the pixel noise; nearest line " << largestSigmas << " SDs\n";
}

}  // namespace
}  // namespace evenor::test

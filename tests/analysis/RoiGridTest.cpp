#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "analysis/RoiGrid.h"
#include "base/EvenorError.h"
#include "tests/support/ReferenceAnalysis.h"

namespace evenor::test {
namespace {

using Words = std::vector<std::uint16_t>;
using Position = std::pair<std::uint32_t, std::uint32_t>;

AnalysisSettings Area(std::uint32_t firstColumn, std::uint32_t firstRow, std::uint32_t lastColumn,
                      std::uint32_t lastRow, double boxDimension)
{
    AnalysisSettings s;
    s.FirstColumn = firstColumn;
    s.FirstRow = firstRow;
    s.LastColumn = lastColumn;
    s.LastRow = lastRow;
    s.BoxDimension = boxDimension;
    s.RoiDeviationPercent = 5;
    s.PixelDeviationPercent = 20;
    s.DetectDeviatingPixels = true;
    return s;
}

std::vector<Position> Positions(const AnalysisResult& r)
{
    std::vector<Position> out;
    for (const auto& roi : r.Rois) out.emplace_back(roi.X, roi.Y);
    return out;
}

TEST(RoiGridTest, BoxPixelsTruncatesTheExtendedQuotient)
{
    struct Case {
        double cm, mm;
        std::uint32_t pixels;
    } const cases[] = {
        {1, 0.1, 99},  {1, 0.143, 69}, {1, 0.05, 199},   {2, 0.2, 99},    {1, 0.125, 80},     {1, 1.0, 10},
        {0.9, 1, 9},   {0.05, 1, 0},   {0, 0.1, 0},      {-1, 0.1, 0},    {1, 0, 0},          {1, -0.1, 0},
        {NAN, 0.1, 0}, {1, NAN, 0},    {INFINITY, 1, 0}, {6553.75, 1, 1}, {6553.5, 1, 65535},
    };
    for (const auto& c : cases) EXPECT_EQ(BoxPixelsFor(c.cm, c.mm), c.pixels) << c.cm << " cm at " << c.mm << " mm";
}

TEST(RoiGridTest, GridIsLaidColumnByColumnWithFarEdges)
{
    struct Case {
        const char* name;
        std::uint32_t columns, rows;
        AnalysisSettings area;
        double spacing;
        std::vector<Position> rois;
    };
    const Case cases[] = {
        {"23 x 23, box 10: rem 3 < step, far edge at 12",
         23,
         23,
         Area(0, 0, 22, 22, 1),
         1.0,
         {{0, 0},
          {0, 5},
          {0, 10},
          {5, 0},
          {5, 5},
          {5, 10},
          {10, 0},
          {10, 5},
          {10, 10},
          {12, 0},
          {12, 5},
          {12, 10},
          {0, 12},
          {5, 12},
          {10, 12},
          {12, 12}}},
        {"20 x 20, box 10: no remainder, no far edge",
         20,
         20,
         Area(0, 0, 19, 19, 1),
         1.0,
         {{0, 0}, {0, 5}, {0, 10}, {5, 0}, {5, 5}, {5, 10}, {10, 0}, {10, 5}, {10, 10}}},
        {"25 x 20, box 10: rem 5 = step adds a column, far edge at 14",
         25,
         20,
         Area(0, 0, 24, 19, 1),
         1.0,
         {{0, 0},
          {0, 5},
          {0, 10},
          {5, 0},
          {5, 5},
          {5, 10},
          {10, 0},
          {10, 5},
          {10, 10},
          {15, 0},
          {15, 5},
          {15, 10},
          {14, 0},
          {14, 5},
          {14, 10}}},
        {"box 9 over 20 x 9: positions 0, 4, 8 and far edge 10",
         20,
         9,
         Area(0, 0, 19, 8, 0.9),
         1.0,
         {{0, 0}, {4, 0}, {8, 0}, {10, 0}}},
        {"offset area in image coordinates",
         130,
         80,
         Area(100, 50, 119, 69, 1),
         1.0,
         {{100, 50}, {100, 55}, {100, 60}, {105, 50}, {105, 55}, {105, 60}, {110, 50}, {110, 55}, {110, 60}}},
        {"2 cm at 0.2 mm: box 99, step 49, far edge 200",
         300,
         99,
         Area(0, 0, 299, 98, 2),
         0.2,
         {{0, 0}, {49, 0}, {98, 0}, {147, 0}, {196, 0}, {200, 0}}},
        {"1 cm at 0.143 mm: box 69, step 34",
         140,
         69,
         Area(0, 0, 139, 68, 1),
         0.143,
         {{0, 0}, {34, 0}, {68, 0}, {70, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Words pixels(static_cast<std::size_t>(c.columns) * c.rows, 1000);
        const AnalysisResult r = AnalyseRoiGrid(pixels, c.columns, c.rows, c.spacing, c.area);
        EXPECT_EQ(Positions(r), c.rois);
    }
}

TEST(RoiGridTest, EqualValuesGiveZeroSDAndEmptyMaps)
{
    const Words pixels(40 * 30, 777);
    const AnalysisResult r = AnalyseRoiGrid(pixels, 40, 30, 1.0, Area(2, 3, 37, 28, 1));
    EXPECT_EQ(r.AreaMean, 777.0);
    EXPECT_EQ(r.AreaSD, 0.0);
    EXPECT_EQ(r.AreaSNR, 0.0);
    for (const auto& roi : r.Rois) {
        EXPECT_EQ(roi.SD, 0.0);
        EXPECT_EQ(roi.SNR, 0.0);
        EXPECT_EQ(roi.Maximum, roi.Minimum);
    }
    EXPECT_EQ(r.MeanRoiSNR, 0.0);
    EXPECT_TRUE(r.BadROIMap.empty());
    EXPECT_TRUE(r.BadPixelMap.empty());
}

TEST(RoiGridTest, DetectionOffLeavesPixelMapEmptyButRoiMapBuilt)
{
    Words pixels(30 * 30, 1000);
    for (std::uint32_t y = 0; y < 10; ++y)
        for (std::uint32_t x = 0; x < 10; ++x) pixels[y * 30 + x] = 3000;
    AnalysisSettings s = Area(0, 0, 29, 29, 1);
    s.DetectDeviatingPixels = false;
    const AnalysisResult off = AnalyseRoiGrid(pixels, 30, 30, 1.0, s);
    EXPECT_TRUE(off.BadPixelMap.empty());
    EXPECT_FALSE(off.BadROIMap.empty());
    s.DetectDeviatingPixels = true;
    s.PixelDeviationPercent = 10;
    EXPECT_FALSE(AnalyseRoiGrid(pixels, 30, 30, 1.0, s).BadPixelMap.empty());
}

TEST(RoiGridTest, BrokenPreconditionsThrowInsteadOfReadingOutside)
{
    const Words pixels(50 * 40, 1000);
    struct Case {
        const char* name;
        AnalysisSettings area;
        std::size_t pixelCount;
    } const cases[] = {
        {"last column outside", Area(0, 0, 50, 39, 1), pixels.size()},
        {"last row outside", Area(0, 0, 49, 40, 1), pixels.size()},
        {"first after last", Area(30, 0, 20, 39, 1), pixels.size()},
        {"box of one pixel", Area(0, 0, 49, 39, 0.1), pixels.size()},
        {"box of no pixel", Area(0, 0, 49, 39, -1), pixels.size()},
        {"area narrower than the box", Area(0, 0, 8, 39, 1), pixels.size()},
        {"pixels not loaded", Area(0, 0, 49, 39, 1), 0},
        {"pixels too few", Area(0, 0, 49, 39, 1), pixels.size() - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(AnalyseRoiGrid(std::span(pixels.data(), c.pixelCount), 50, 40, 1.0, c.area), EvenorError);
    }
}

// ---- The whole analysis against a plain single-threaded reference ---------

TEST(RoiGridTest, OptimisedGridEqualsPlainReferenceBitForBit)
{
    struct Case {
        std::uint32_t columns, rows;
        AnalysisSettings area;
        double spacing, noise;
    };
    const Case cases[] = {
        {64, 48, Area(0, 0, 63, 47, 1), 1.0, 50},           // whole image, even box
        {90, 70, Area(3, 5, 80, 66, 1.1), 1.0, 300},        // offset area, odd box
        {300, 260, Area(0, 0, 299, 259, 1), 0.143, 200},    // box 69, both far edges
        {257, 301, Area(10, 1, 250, 300, 1), 0.1, 400},     // box 99, many bad pixels
        {200, 200, Area(0, 0, 199, 199, 0.2), 1.0, 1000},   // box 2: step 1
        {500, 180, Area(0, 20, 499, 179, 2.3), 1.0, 3000},  // wide, few rows of ROIs
    };
    std::mt19937 rng(2024);
    for (const auto& c : cases) {
        std::normal_distribution<double> noise(2000.0, c.noise);
        Words pixels(static_cast<std::size_t>(c.columns) * c.rows);
        for (auto& p : pixels) p = static_cast<std::uint16_t>(std::clamp(std::round(noise(rng)), 0.0, 65535.0));
        pixels[pixels.size() / 3] = 65535;
        pixels[pixels.size() / 2] = 0;
        for (double percent : {0.0, 3.0, 20.0}) {
            AnalysisSettings s = c.area;
            s.PixelDeviationPercent = percent;
            s.RoiDeviationPercent = percent / 4;
            const test::Reference ref = test::ReferenceAnalyse(pixels, c.columns, c.spacing, s);
            for (unsigned threads : {1u, 2u, 0u}) {
                EXPECT_EQ(test::FirstDifference(AnalyseRoiGrid(pixels, c.columns, c.rows, c.spacing, s, threads), ref),
                          "")
                    << c.columns << "x" << c.rows << " percent " << percent << " threads " << threads;
            }
        }
    }
}

}  // namespace
}  // namespace evenor::test

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "stats/BoxStatistics.h"
#include "stats/DeviationMaps.h"

namespace evenor::test {
namespace {

using Words = std::vector<std::uint16_t>;

RoiResult Roi(std::uint32_t x, double mean, double snr)
{
    RoiResult r;
    r.X = x;
    r.Y = 100 + x;
    r.Mean = mean;
    r.SD = 1.0 + x;
    r.SNR = snr;
    return r;
}

std::vector<std::uint32_t> BadRoiColumns(const TMeetSerie& rois, double refMean, double refSNR, double percent)
{
    TBadROIMap map;
    MakeBadROIMap(rois, map, refMean, refSNR, percent);
    std::vector<std::uint32_t> xs;
    for (std::size_t i = 0; i < map.size(); ++i) {
        const RoiResult& roi = rois[map[i].X];  // X names the ROI
        EXPECT_TRUE(map[i].Y == roi.Y && map[i].Mean == roi.Mean && map[i].SD == roi.SD);
        xs.push_back(map[i].X);
    }
    return xs;
}

TEST(DeviationMapsTest, BadRoiBandsAreStrict)
{
    // Reference mean 1000, reference SNR 50; X names the ROI.
    const TMeetSerie rois{Roi(0, 1050.0, 50),   Roi(1, 950.0, 50),     Roi(2, 1050.01, 50), Roi(3, 949.99, 50),
                          Roi(4, 1000.0, 52.5), Roi(5, 1000.0, 52.51), Roi(6, 1000, 47.49), Roi(7, 1000.0, 0.0)};
    struct Case {
        const char* name;
        double percent;
        std::vector<std::uint32_t> deviating;
    } const cases[] = {
        {"5 %: bounds themselves do not deviate; mean alone or SNR alone does", 5, {2, 3, 5, 6, 7}},
        {"100 %: SNR 0 lies exactly on the lower bound", 100, {}},
        {"0 %: everything not equal to the references", 0, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"negative: the bands turn inside out", -1, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"50 %: an SNR of 0 is below the band", 50, {7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BadRoiColumns(rois, 1000.0, 50.0, c.percent), c.deviating);
    }
}

struct Found {
    std::uint32_t x, y;
    std::uint16_t value;
    double mean;
    bool operator==(const Found&) const = default;
};

std::vector<Found> Entries(const TBadPixelMap& map)
{
    std::vector<Found> out;
    for (const auto& p : map) out.push_back({p.X, p.Y, p.Value, p.RoiMean});
    return out;
}

TEST(DeviationMapsTest, FirstRoiMeanWinsAndOrderIsDiscovery)
{
    // Two overlapping 2x2 ROIs: (10,20) and (11,20); pixel (11,20) lies in both.
    TBadPixelMap map;
    MakeBadPixelMap(Words{100, 130, 100, 100}, 10, 20, 2, 100.0, 20.0, map);  // (11,20) deviates, mean 100
    MakeBadPixelMap(Words{130, 50, 100, 100}, 11, 20, 2, 90.0, 20.0, map);    // (11,20) again, (12,20) new
    MakeBadPixelMap(Words{100, 100, 100, 75}, 11, 20, 2, 100.0, 20.0, map);   // (12,21) only against this mean
    const std::vector<Found> expected{{11, 20, 130, 100.0}, {12, 20, 50, 90.0}, {12, 21, 75, 100.0}};
    EXPECT_EQ(Entries(map), expected);
}

TEST(DeviationMapsTest, PixelPercentEdges)
{
    const Words block{99, 100, 101, 120, 80, 121, 79, 0};
    struct Case {
        const char* name;
        double percent;
        std::vector<std::uint16_t> deviating;
    } const cases[] = {
        {"20 %: 80 and 120 lie on the bounds", 20, {121, 79, 0}},
        {"0 %: all but the mean itself", 0, {99, 101, 120, 80, 121, 79, 0}},
        {"negative: everything", -5, {99, 100, 101, 120, 80, 121, 79, 0}},
        {"100 %: only above 200 or below 0", 100, {}},
        {"NaN compares false", std::numeric_limits<double>::quiet_NaN(), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBadPixelMap map;
        MakeBadPixelMap(block, 0, 0, 4, 100.0, c.percent, map);
        std::vector<std::uint16_t> values;
        for (const auto& p : map) values.push_back(p.Value);
        EXPECT_EQ(values, c.deviating);
    }
}

TEST(DeviationMapsTest, PositionsFollowWidth)
{
    TBadPixelMap map;
    MakeBadPixelMap(Words{0, 0, 0, 0, 0, 9, 0}, 100, 50, 3, 0.0, 10.0, map);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].X, 102u);
    EXPECT_EQ(map[0].Y, 51u);
    MakeBadPixelMap(Words{5}, 0, 0, 0, 0.0, 10.0, map);  // width 0: nothing
    EXPECT_EQ(map.size(), 1u);
}

// The literal rule: double comparisons and a scan of the map for duplicates.
void ReferenceBadPixels(const Words& block, std::uint32_t x0, std::uint32_t y0, std::uint32_t width, double mean,
                        double percent, std::vector<Found>& map)
{
    const double tolerance = percent / 100.0 * mean;
    for (std::size_t k = 0; k < block.size(); ++k) {
        const double v = block[k];
        if (!(v > mean + tolerance || v < mean - tolerance)) continue;
        const std::uint32_t x = x0 + static_cast<std::uint32_t>(k % width);
        const std::uint32_t y = y0 + static_cast<std::uint32_t>(k / width);
        bool present = false;
        for (const auto& f : map) present = present || (f.x == x && f.y == y);
        if (!present) map.push_back({x, y, block[k], mean});
    }
}

TEST(DeviationMapsTest, BandMatchesLiteralComparisonsOnRandomBlocks)
{
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> value(0, 400), pos(0, 6);
    // Percentages and means chosen so that bounds land on, just beside and
    // far from whole numbers, and beyond the 16-bit range.
    const double percents[] = {0, 5, 12.5, 20, 33.3, 50, 99.999, 100, 150, -3, 1e6, -1e6};
    const double means[] = {100.0, 200.0, 160.0, 199.99999999999997, 0.0, 37.5, 65535.0, 1e9};
    for (double percent : percents) {
        for (double mean : means) {
            TBadPixelMap fast;
            fast.SetExtent(0, 0, 9, 9);  // half the blocks fall outside: both indexes in use
            std::vector<Found> reference;
            for (int b = 0; b < 6; ++b) {
                Words block(12);
                for (auto& v : block) v = static_cast<std::uint16_t>(value(rng));
                block[0] = 65535;
                const std::uint32_t x = pos(rng) * 2, y = pos(rng) * 2;
                MakeBadPixelMap(block, x, y, 4, mean, percent, fast);
                ReferenceBadPixels(block, x, y, 4, mean, percent, reference);
            }
            EXPECT_EQ(Entries(fast), reference) << "percent " << percent << " mean " << mean;
        }
    }
}

TEST(DeviationMapsTest, BoxSearchEqualsMakeBadPixelMapOnCopies)
{
    // A noisy field with values all over the 16-bit range sprinkled in; boxes
    // wide enough for whole bitmap words and for runs crossing them.
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(1000.0, 60.0);
    std::uniform_int_distribution<int> wild(0, 65535), chance(0, 19);
    const std::uint32_t columns = 150, rows = 90;
    Words image(columns * rows);
    for (auto& p : image) p = static_cast<std::uint16_t>(chance(rng) == 0 ? wild(rng) : noise(rng));
    for (std::uint32_t side : {7u, 37u, 70u}) {
        for (double percent : {-5.0, 0.0, 3.0, 10.0, 50.0, 100.0, 7000.0}) {
            TBadPixelMap searched, copied;
            searched.SetExtent(0, 0, columns, rows);
            // Overlapping boxes column by column (copied as strips), then a
            // row of boxes and one out of order (copied one by one).
            std::vector<RoiResult> rois;
            for (std::uint32_t x = 0; x + side <= columns; x += side / 2 + 1)
                for (std::uint32_t y = 0; y + side <= rows; y += side / 2 + 1) rois.push_back(RoiResult{x, y});
            for (std::uint32_t x = 0; x + side <= columns; x += side / 2 + 1) rois.push_back(RoiResult{x, rows - side});
            rois.push_back(RoiResult{1, 2});
            const PixelDeviationSearch search{percent, &searched};
            BoxStatistics(image, columns, side, rois, &search);
            for (const auto& roi : rois) {
                Words box;
                for (std::uint32_t r = 0; r < side; ++r)
                    for (std::uint32_t c = 0; c < side; ++c) box.push_back(image[(roi.Y + r) * columns + roi.X + c]);
                MakeBadPixelMap(box, roi.X, roi.Y, side, roi.Mean, percent, copied);
            }
            EXPECT_EQ(Entries(searched), Entries(copied)) << "side " << side << ", " << percent << " %";
            EXPECT_EQ(copied.empty(), percent > 1000.0);  // beyond the 16-bit range: none
        }
    }
}

TEST(DeviationMapsTest, AppendKeepsOnlyNewPositionsInOrder)
{
    // What Add gives one entry at a time is what Append gives, with and
    // without a bitmap, with positions inside and outside the extent.
    const std::vector<BadPixel> first{{1, 1, 5, 1.0}, {2, 1, 6, 1.0}, {50, 50, 7, 1.0}};
    const std::vector<BadPixel> second{{2, 1, 8, 2.0}, {3, 3, 9, 2.0}, {50, 50, 10, 2.0}, {60, 0, 11, 2.0}};
    for (bool extent : {false, true}) {
        TBadPixelMap sequential, a, b;
        for (auto* m : {&sequential, &a, &b})
            if (extent) m->SetExtent(0, 0, 10, 10);
        for (const auto& p : first) sequential.Add(p), a.Add(p);
        for (const auto& p : second) sequential.Add(p), b.Add(p);
        a.Append(std::move(b));
        EXPECT_EQ(Entries(a), Entries(sequential));
        EXPECT_TRUE(b.empty());
        EXPECT_TRUE(a.Contains(3, 3) && a.Contains(60, 0) && !a.Contains(4, 4));
        EXPECT_FALSE(a.Add(BadPixel{3, 3, 1, 0.0}));
    }
}

TEST(DeviationMapsTest, CopiesIndexTheSamePositionsAndStandAlone)
{
    // A copy sets the bits of a few entries again one by one and copies the
    // words of a dense map; either way it must know exactly the original's
    // positions (inside and outside the extent) and share nothing with it.
    struct Case {
        const char* name;
        std::uint32_t width, height;  // extent at (3, 5); 0: none
        std::size_t entries;
    } const cases[] = {
        {"few entries in a large extent", 2048, 1024, 6},
        {"entries on most words of a small extent", 64, 40, 300},
        {"no extent: positions in the hash set", 0, 0, 20},
        {"an extent without entries", 600, 500, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBadPixelMap original;
        if (c.width > 0) original.SetExtent(3, 5, c.width, c.height);
        std::mt19937 rng(7);
        for (std::size_t i = 0; i < c.entries; ++i) {
            const std::uint32_t x = rng() % (c.width + 20), y = rng() % (c.height + 20);  // some outside
            original.Add(BadPixel{x, y, static_cast<std::uint16_t>(i), 1.0 * i});
        }
        TBadPixelMap assigned;
        assigned.SetExtent(0, 0, 8, 8);
        assigned.Add(BadPixel{1, 1, 9, 9.0});
        const TBadPixelMap constructed(original);
        assigned = original;
        for (const TBadPixelMap* copy : {&constructed, static_cast<const TBadPixelMap*>(&assigned)}) {
            EXPECT_EQ(Entries(*copy), Entries(original));
            std::size_t known = 0;
            for (std::uint32_t y = 0; y < c.height + 20; ++y)
                for (std::uint32_t x = 0; x < c.width + 20; ++x) {
                    const bool here = original.Contains(x, y);
                    known += here;
                    if (copy->Contains(x, y) != here) ADD_FAILURE() << "position " << x << "," << y;
                }
            EXPECT_EQ(known, original.size());
        }
        // The copy goes its own way: positions it gains (in its bitmap or
        // its hash set) stay unknown to the original.
        TBadPixelMap later(original);
        std::uint32_t freeX = 3;
        while (original.Contains(freeX, 5)) ++freeX;
        for (const BadPixel& gained : {BadPixel{freeX, 5, 1, 0.0}, BadPixel{100000, 100000, 1, 0.0}}) {
            EXPECT_TRUE(later.Add(gained));
            EXPECT_FALSE(later.Add(gained));
            EXPECT_FALSE(original.Contains(gained.X, gained.Y));
        }
        for (const BadPixel& pixel : original) EXPECT_FALSE(later.Add(pixel));
    }
}

TEST(DeviationMapsTest, SetExtentKeepsEntriesIndexed)
{
    TBadPixelMap map;
    map.Add(BadPixel{4, 4, 1, 0.0});
    map.SetExtent(2, 2, 5, 5);
    EXPECT_TRUE(map.Contains(4, 4));
    EXPECT_FALSE(map.Add(BadPixel{4, 4, 2, 0.0}));
    EXPECT_TRUE(map.Add(BadPixel{6, 6, 2, 0.0}));
    EXPECT_TRUE(map.Add(BadPixel{7, 6, 2, 0.0}));  // just outside the extent
    EXPECT_FALSE(map.Add(BadPixel{7, 6, 3, 0.0}));
    EXPECT_EQ(map.size(), 3u);
}

}  // namespace
}  // namespace evenor::test

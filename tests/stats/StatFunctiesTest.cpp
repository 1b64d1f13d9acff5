#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "stats/BoxStatistics.h"
#include "stats/StatFuncties.h"
#include "tests/support/ReferenceStatistics.h"

namespace evenor::test {
namespace {

using Words = std::vector<std::uint16_t>;

using test::ReferenceWordMeanSD;
using test::SameBits;

struct WordCase {
    const char* name;
    Words values;
    std::uint16_t max, min;
    double mean, sd;
};

TEST(StatFunctiesTest, WordRoutinesGiveTheWorkedExamples)
{
    const WordCase cases[] = {
        {"single value", {5}, 5, 5, 5.0, 5.0},
        {"sample SD, not population", {2, 4, 4, 4, 5, 5, 7, 9}, 9, 2, 5.0, std::sqrt(32.0 / 7.0)},
        {"unsigned extremes", {0, 65535}, 65535, 0, 32767.5, 46340.24290506039},
        {"equal values", {7, 7, 7}, 7, 7, 7.0, 0.0},
        {"40000 above 100", {100, 40000, 300}, 40000, 100, 13466.666666666666, 22978.758307039425},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordMax(c.values), c.max);
        EXPECT_EQ(WordMin(c.values), c.min);
        double mean = -1, sd = -1;
        WordMeanSD(c.values, mean, sd);
        EXPECT_DOUBLE_EQ(mean, c.mean);
        EXPECT_NEAR(sd, c.sd, 1e-9 * (1 + c.sd));
    }
}

TEST(StatFunctiesTest, RealMeanSDGivesTheWorkedExamples)
{
    struct Case {
        std::vector<double> values;
        double mean, sd;
    } const cases[] = {{{10.0, 20.0, 30.0}, 20.0, 10.0}, {{3.5}, 3.5, 3.5}, {{-1.0, 1.0}, 0.0, std::sqrt(2.0)}};
    for (const auto& c : cases) {
        double mean = -1, sd = -1;
        RealMeanSD(c.values, mean, sd);
        EXPECT_DOUBLE_EQ(mean, c.mean);
        EXPECT_DOUBLE_EQ(sd, c.sd);
    }
}

TEST(StatFunctiesTest, RealMeanSDSumsSequentially)
{
    // 1e16 + 1 + 1 - 1e16: sequentially each 1 is lost; pairwise it would not be.
    const std::vector<double> values{1e16, 1.0, 1.0, -1e16};
    double mean = 0, sd = 0;
    RealMeanSD(values, mean, sd);
    EXPECT_EQ(mean, 0.0);
}

TEST(StatFunctiesTest, EmptyInputGivesZeros)
{
    double mean = -1, sd = -1;
    WordMeanSD(Words{}, mean, sd);
    EXPECT_EQ(mean, 0.0);
    EXPECT_EQ(sd, 0.0);
    EXPECT_EQ(WordMax(Words{}), 0);
    EXPECT_EQ(WordMin(Words{}), 0);
    RealMeanSD(std::vector<double>{}, mean, sd);
    EXPECT_EQ(sd, 0.0);
}

TEST(StatFunctiesTest, SumIsExactBeyond32Bits)
{
    // 70,000 x 65535 overflows 32 bits; one odd value must still move the mean.
    Words values(70000, 65535);
    values[12345] = 65534;
    double mean = 0, sd = 0;
    WordMeanSD(values, mean, sd);
    EXPECT_EQ(mean, (65535.0 * 70000 - 1) / 70000);
    EXPECT_GT(sd, 0.0);
    EXPECT_EQ(WordMin(values), 65534);
}

TEST(StatFunctiesTest, MatchesPlainTwoPassesBitForBit)
{
    std::mt19937 rng(7);
    for (std::size_t n : {2u, 3u, 17u, 1000u, 65537u, 300000u}) {
        for (int spread : {3, 200, 65535}) {
            std::uniform_int_distribution<int> value(0, spread);
            Words v(n);
            const int base = spread == 65535 ? 0 : 30000;
            for (auto& x : v) x = static_cast<std::uint16_t>(base + value(rng));
            double mean = 0, sd = 0, refMean = 0, refSd = 0;
            WordMeanSD(v, mean, sd);
            ReferenceWordMeanSD(v, refMean, refSd);
            EXPECT_TRUE(SameBits(mean, refMean) && SameBits(sd, refSd)) << n << " values, spread " << spread;
        }
    }
}

// A random image, and blocks of it read in place against their copies.
struct Image {
    std::uint32_t columns, rows;
    Words pixels;
    Words Copy(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) const
    {
        Words out;
        for (std::uint32_t r = 0; r < h; ++r)
            for (std::uint32_t c = 0; c < w; ++c) out.push_back(pixels[(y + r) * columns + x + c]);
        return out;
    }
};

Image RandomImage(std::uint32_t columns, std::uint32_t rows, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(2000.0, 300.0);
    Image image{columns, rows, Words(static_cast<std::size_t>(columns) * rows)};
    for (auto& p : image.pixels) p = static_cast<std::uint16_t>(std::clamp(noise(rng), 0.0, 65535.0));
    return image;
}

TEST(StatFunctiesTest, BlockInPlaceEqualsItsCopy)
{
    const Image image = RandomImage(301, 157, 3);
    struct Rect {
        std::uint32_t x, y, w, h;
    } const rects[] = {{0, 0, 301, 157}, {10, 20, 1, 1}, {5, 7, 200, 1}, {3, 4, 1, 100}, {100, 50, 123, 99}};
    for (const auto& r : rects) {
        const Words copy = image.Copy(r.x, r.y, r.w, r.h);
        double mean = 0, sd = 0, refMean = 0, refSd = 0;
        WordMeanSD(WordBlock{image.pixels.data() + r.y * image.columns + r.x, image.columns, r.w, r.h}, mean, sd);
        ReferenceWordMeanSD(copy, refMean, refSd);
        EXPECT_TRUE(SameBits(mean, refMean) && SameBits(sd, refSd)) << r.x << "," << r.y << " " << r.w << "x" << r.h;
    }
}

TEST(StatFunctiesTest, BoxStatisticsEqualsEachBoxAlone)
{
    const Image image = RandomImage(260, 240, 11);
    std::mt19937 rng(5);
    // Every batch size from 1 to beyond one batch, several box sides.
    for (std::uint32_t side : {1u, 2u, 3u, 10u, 99u}) {
        for (std::size_t count : {1u, 2u, 5u, 8u, 9u, 17u}) {
            std::uniform_int_distribution<std::uint32_t> x(0, image.columns - side), y(0, image.rows - side);
            // Random boxes (copied one by one) and a column of overlapping
            // boxes (copied as one strip).
            std::vector<RoiResult> rois(count);
            for (auto& roi : rois) {
                roi.X = x(rng);
                roi.Y = y(rng);
            }
            const std::uint32_t column = x(rng), step = std::max(side / 2, 1u);
            for (std::uint32_t top = 0; top + side <= image.rows && top < count * step; top += step)
                rois.push_back(RoiResult{column, top});
            BoxStatistics(image.pixels, image.columns, side, rois);
            for (const auto& roi : rois) {
                const Words box = image.Copy(roi.X, roi.Y, side, side);
                double mean = 0, sd = 0;
                ReferenceWordMeanSD(box, mean, sd);
                SCOPED_TRACE(testing::Message() << "side " << side << " at " << roi.X << "," << roi.Y);
                EXPECT_EQ(roi.Maximum, WordMax(box));
                EXPECT_EQ(roi.Minimum, WordMin(box));
                EXPECT_TRUE(SameBits(roi.Mean, mean));
                EXPECT_TRUE(SameBits(roi.SD, sd));
                EXPECT_TRUE(SameBits(roi.SNR, sd != 0 ? mean / sd : 0.0));
            }
        }
    }
}

TEST(StatFunctiesTest, BoxesBeyondTheBufferAreReadInPlace)
{
    const std::uint32_t side = 1025;  // over a million pixels
    const Image image = RandomImage(1040, 1030, 13);
    std::vector<RoiResult> rois{{0, 0}, {15, 5}, {3, 2}};
    BoxStatistics(image.pixels, image.columns, side, rois);
    for (const auto& roi : rois) {
        double mean = 0, sd = 0;
        ReferenceWordMeanSD(image.Copy(roi.X, roi.Y, side, side), mean, sd);
        EXPECT_TRUE(SameBits(roi.Mean, mean) && SameBits(roi.SD, sd)) << roi.X << "," << roi.Y;
    }
}

}  // namespace
}  // namespace evenor::test

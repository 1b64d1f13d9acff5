#include "insight/RobustMetrics.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/DetectorPhantoms.h"

namespace evenor::test {
namespace {

using namespace test;

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A flat field of 512 x 512 at 2000 with a heel gradient of 2 % across the
// columns and a shallow blotch, as the sample generator makes them.
Field SampleLikeField()
{
    Field field = FlatSignal(512, 512, 2000.0);
    for (std::uint32_t y = 0; y < field.Height; ++y)
        for (std::uint32_t x = 0; x < field.Width; ++x) {
            const double r = std::hypot(x - 320.0, y - 180.0) / 30.0;
            const double shade = r < 1.0 ? 0.5 * (1.0 + std::cos(3.14159265358979 * r)) : 0.0;
            field.At(x, y) *= (1.0 + 0.02 * (x / 511.0 - 0.5)) * (1.0 - 0.03 * shade);
        }
    return field;
}

// Four dead and four hot pixels, as in the sample.
void PlantHotAndDead(Image& image)
{
    const std::uint32_t places[8][2] = {{37, 401}, {200, 77},  {300, 300}, {455, 20},
                                        {12, 12},  {260, 499}, {101, 250}, {480, 333}};
    for (int i = 0; i < 8; ++i) image.At(places[i][0], places[i][1]) = i < 4 ? 0 : 16383;
}

TEST(RobustMetrics, RecomputedRoisFollowTheTwoPassRulesBitForBit)
{
    Image image = PoissonImage(SampleLikeField(), 7);
    PlantHotAndDead(image);
    image.At(300, 301) = 16383;  // two deviating pixels in one ROI
    const Inspection run = Inspect(image);
    const RobustRoiStatistics& robust = run.Insight.RobustRois;
    ASSERT_EQ(run.Result.BadPixelMap.size(), 9u);
    ASSERT_EQ(robust.Rois.size(), run.Result.Rois.size());

    std::size_t recomputed = 0;
    for (std::size_t i = 0; i < robust.Rois.size(); ++i) {
        const RoiResult &every = run.Result.Rois[i], &without = robust.Rois[i];
        ASSERT_EQ(every.X, without.X);
        ASSERT_EQ(every.Y, without.Y);
        // The reference: WordMeanSD of the ROI's copy without its deviating pixels.
        std::vector<std::uint16_t> kept;
        for (std::uint32_t y = every.Y; y < every.Y + run.Result.BoxPixels; ++y)
            for (std::uint32_t x = every.X; x < every.X + run.Result.BoxPixels; ++x)
                if (!run.Result.BadPixelMap.Contains(x, y)) kept.push_back(image.At(x, y));
        const auto leftOut = run.Result.BoxPixels * run.Result.BoxPixels - kept.size();
        EXPECT_EQ(robust.LeftOut[i], leftOut);
        double mean = 0.0, sd = 0.0;
        WordMeanSD(kept, mean, sd);
        EXPECT_TRUE(SameBits(without.Mean, mean)) << i;
        EXPECT_TRUE(SameBits(without.SD, sd)) << i;
        EXPECT_TRUE(SameBits(without.SNR, mean / sd)) << i;
        EXPECT_EQ(without.Maximum, *std::max_element(kept.begin(), kept.end()));
        EXPECT_EQ(without.Minimum, *std::min_element(kept.begin(), kept.end()));
        if (leftOut == 0) {
            EXPECT_TRUE(SameBits(without.Mean, every.Mean) && SameBits(without.SD, every.SD)) << i;
        } else {
            ++recomputed;
        }
    }
    EXPECT_EQ(robust.RecomputedRois, recomputed);
    EXPECT_GE(recomputed, 9u);
    EXPECT_EQ(robust.KeptWholeRois, 0u);

    // The area mean leaves the same nine pixels out of the exact sum.
    std::uint64_t sum = 0;
    for (std::uint32_t y = 0; y < image.Height; ++y)
        for (std::uint32_t x = 0; x < image.Width; ++x)
            if (!run.Result.BadPixelMap.Contains(x, y)) sum += image.At(x, y);
    EXPECT_TRUE(SameBits(robust.AreaMean, static_cast<double>(sum) / (512.0 * 512.0 - 9.0)));
}

// The every-pixel metrics stay those of ComputeMetrics, bit for bit; without
// detection, and with detection but no deviating pixel, the robust ones equal
// them too.
TEST(RobustMetrics, EveryPixelNumbersUnchangedAndEqualWhenNothingIsLeftOut)
{
    const auto same = [](const UniformityMetrics& a, const UniformityMetrics& b) {
        for (std::size_t i = 0; i < MetricCount; ++i) {
            if (a.Values[i].Value.has_value() != b.Values[i].Value.has_value()) return false;
            if (a.Values[i].Value && !SameBits(*a.Values[i].Value, *b.Values[i].Value)) return false;
            if (a.Values[i].Where != b.Values[i].Where) return false;
        }
        return a.RoiCount == b.RoiCount && a.DeviatingRoiCount == b.DeviatingRoiCount &&
               a.DeviatingPixelCount == b.DeviatingPixelCount;
    };
    Image hot = PoissonImage(SampleLikeField(), 3);
    PlantHotAndDead(hot);
    const Image clean = PoissonImage(SampleLikeField(), 3);
    struct Case {
        const char* name;
        const Image* image;
        bool detect;
        PixelBasis basis;
        bool robustEqualsEvery;
    };
    for (const Case& c : {Case{"hot, detection off", &hot, false, PixelBasis::EveryPixelNotSearched, true},
                          Case{"clean, detection on", &clean, true, PixelBasis::WithoutDeviatingPixels, true},
                          Case{"hot, detection on", &hot, true, PixelBasis::WithoutDeviatingPixels, false}}) {
        SCOPED_TRACE(c.name);
        const Inspection run = Inspect(*c.image, c.detect);
        const RobustMetrics& metrics = run.Insight.Metrics;
        EXPECT_TRUE(same(metrics.EveryPixel, ComputeMetrics(run.Result)));
        EXPECT_EQ(metrics.Basis, c.basis);
        EXPECT_EQ(same(metrics.Robust, metrics.EveryPixel), c.robustEqualsEvery);
    }
}

// The sample's case: eight hot or dead pixels blow the every-pixel noise
// uniformity up; without them the metrics stay within a small bound of the
// clean field's: 0.05 percentage points for the metrics in % of the area
// mean, 2 points for noise uniformity and ROI SNR deviation (their scale is
// the ROI SD, whose sampling error in a 64 x 64 ROI is about 1 %).
TEST(RobustMetrics, HotAndDeadPixelsBarelyMoveTheRobustMetrics)
{
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        const Image clean = PoissonImage(SampleLikeField(), seed);
        Image hot = clean;
        PlantHotAndDead(hot);
        const Inspection cleanRun = Inspect(clean), hotRun = Inspect(hot);
        ASSERT_EQ(cleanRun.Result.BadPixelMap.size(), 0u);
        ASSERT_EQ(hotRun.Result.BadPixelMap.size(), 8u);
        const UniformityMetrics& reference = cleanRun.Insight.Metrics.EveryPixel;
        const UniformityMetrics& every = hotRun.Insight.Metrics.EveryPixel;
        const UniformityMetrics& robust = hotRun.Insight.Metrics.Robust;
        EXPECT_GT(*every[MetricId::NoiseUniformity].Value, 100.0);
        const struct {
            MetricId id;
            double bound;
        } bounds[] = {{MetricId::GlobalUniformity, 0.05},
                      {MetricId::LocalUniformity, 0.05},
                      {MetricId::RoiMeanDeviation, 0.05},
                      {MetricId::NoiseUniformity, 2.0},
                      {MetricId::RoiSnrDeviation, 2.0}};
        for (const auto& b : bounds) {
            SCOPED_TRACE(InfoOf(b.id).Key);
            EXPECT_NEAR(*robust[b.id].Value, *reference[b.id].Value, b.bound);
        }
    }
}

TEST(RobustMetrics, DescriptionsSayWhichPixelsTheyInclude)
{
    const std::string base(InfoOf(MetricId::NoiseUniformity).Description);
    EXPECT_EQ(MetricDescription(MetricId::NoiseUniformity, PixelBasis::WithoutDeviatingPixels),
              base + "; ROI statistics without the deviating pixels");
    EXPECT_EQ(MetricDescription(MetricId::NoiseUniformity, PixelBasis::EveryPixel), base + "; every pixel included");
    EXPECT_EQ(MetricDescription(MetricId::NoiseUniformity, PixelBasis::EveryPixelNotSearched),
              base + "; every pixel included (deviating pixels were not searched)");
}

// A ROI whose pixels all deviate (half 0, half 4000: every pixel 100 % from
// the mean) keeps its every-pixel statistics.
TEST(RobustMetrics, RoiWithoutPixelsLeftKeepsItsStatistics)
{
    Image image = PoissonImage(FlatSignal(256, 256, 2000.0), 5);
    for (std::uint32_t y = 0; y < 32; ++y)
        for (std::uint32_t x = 0; x < 32; ++x) image.At(x, y) = (x + y) % 2 ? 0 : 4000;
    const Inspection run = Inspect(image);
    EXPECT_GE(run.Insight.RobustRois.KeptWholeRois, 1u);
    EXPECT_TRUE(SameBits(run.Insight.RobustRois.Rois[0].SD, run.Result.Rois[0].SD));
}

}  // namespace
}  // namespace evenor::test

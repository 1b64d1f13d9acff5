// A clean detector must pass: uniform Poisson fields of several sizes, box
// sizes and seeds, judged against every preset with every check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "insight/Guidelines.h"
#include "tests/support/DetectorPhantoms.h"

namespace evenor::test {
namespace {

using test::FlatSignal;
using test::PoissonImage;
using test::WholeImageSettings;

TEST(SamplingAllowance, KnownValues)
{
    // SNR: exact chi bounds, wider above than below. 13-px boxes with
    // 115,600 ROIs: the normal approximation gave 29.2 both ways. Boxes of
    // 8 px leave more than 25 points below: too small to judge.
    struct SnrCase {
        std::uint32_t box;
        std::size_t rois;
        double above, below;
        bool tooSmall;
    };
    for (const auto& c : {SnrCase{13, 115600, 38.0, 23.6, false}, SnrCase{66, 3721, 5.3, 4.9, false},
                          SnrCase{133, 841, 2.4, 2.3, false}, SnrCase{8, 3721, 61.8, 31.3, true},
                          SnrCase{1, 100, 0.0, 0.0, false}, SnrCase{50, 0, 0.0, 0.0, false}}) {
        SCOPED_TRACE(std::to_string(c.box) + " px, " + std::to_string(c.rois) + " ROIs");
        const SnrAllowance allowance = SnrSamplingAllowance(c.box, c.rois);
        EXPECT_DOUBLE_EQ(allowance.Above, c.above);
        EXPECT_DOUBLE_EQ(allowance.Below, c.below);
        EXPECT_EQ(allowance.TooSmall, c.tooSmall);
    }
    // Noise uniformity: 0.625 standard errors for 4 neighbours where one SD
    // spreads 1. 66-px boxes (SE 1.0716 %), 3721 ROIs all with 4 neighbours:
    // z(0.005 / 3721) = 4.693, x 0.625 x 1.0715 = 3.14 -> 3.2; the same
    // ROIs with 1 neighbour each spread 1: 5.03 -> 5.1.
    struct NoiseCase {
        std::uint32_t box;
        std::array<std::size_t, 5> counts;
        double expected;
    };
    for (const auto& c : {NoiseCase{66, {0, 0, 0, 0, 3721}, 3.2}, NoiseCase{66, {0, 3721, 0, 0, 0}, 5.1},
                          NoiseCase{1, {0, 0, 0, 0, 100}, 0.0}, NoiseCase{50, {5, 0, 0, 0, 0}, 0.0}}) {
        SCOPED_TRACE(std::to_string(c.box) + " px, " + std::to_string(c.counts[1]) + " ROIs with 1 neighbour");
        EXPECT_DOUBLE_EQ(NoiseUniformityAllowancePercent(c.box, c.counts), c.expected);
    }
    // ROI means: SE = 100 x noise / box. 66 px at signal 2000 (SE 0.0339 %),
    // 3721 ROIs: z(0.01 / 3721) = 4.693, so 0.159 -> 0.2 for the deviation,
    // twice that for the range (0.4), 0.625 x 4.69 SE for the neighbours
    // (0.099 -> 0.1). 6 px at signal 200 on 2048 pixels: 6.6, 13.2, 4.2.
    // 13 px, 1 neighbour each: the neighbour difference spreads as one mean.
    struct MeanCase {
        std::uint32_t box;
        double noise;
        std::size_t rois;
        std::array<std::size_t, 5> counts;
        double global, local, deviation;
    };
    for (const auto& c :
         {MeanCase{66, 1 / std::sqrt(2000.0), 3721, {0, 0, 0, 0, 3721}, 0.4, 0.1, 0.2},
          MeanCase{6, 1 / std::sqrt(200.0), 465124, {0, 0, 0, 0, 465124}, 13.2, 4.2, 6.6},
          MeanCase{13, 1 / std::sqrt(1000.0), 115600, {0, 115600, 0, 0, 0}, 2.7, 1.4, 1.4},
          MeanCase{66, 1 / std::sqrt(2000.0), 3721, {3721, 0, 0, 0, 0}, 0.4, 0.0, 0.2},
          MeanCase{0, 0.02, 100, {0, 0, 0, 0, 100}, 0.0, 0.0, 0.0},
          MeanCase{66, 0.0, 100, {0, 0, 0, 0, 100}, 0.0, 0.0, 0.0}, MeanCase{66, 0.02, 0, {}, 0.0, 0.0, 0.0}}) {
        SCOPED_TRACE(std::to_string(c.box) + " px, noise " + std::to_string(c.noise) + ", " + std::to_string(c.rois) +
                     " ROIs");
        const RoiMeanAllowance allowance = RoiMeanSamplingAllowance(c.box, c.noise, c.rois, c.counts);
        EXPECT_DOUBLE_EQ(allowance.Global, c.global);
        EXPECT_DOUBLE_EQ(allowance.Local, c.local);
        EXPECT_DOUBLE_EQ(allowance.Deviation, c.deviation);
    }
}

TEST(CleanField, PassesEveryCheckOfEveryPreset)
{
    int wouldFailWithoutAllowance = 0;
    for (std::uint32_t side : {256u, 512u, 1024u}) {
        for (std::uint32_t boxesAcross : {8u, 16u}) {
            for (unsigned seed = 1; seed <= 4; ++seed) {
                const auto image = PoissonImage(FlatSignal(side, side, 1000.0), seed * 7919 + side + boxesAcross);
                const AnalysisSettings settings = WholeImageSettings(image);
                const double spacing = 10.0 / (side / boxesAcross);  // 1 cm boxes of side / boxesAcross pixels
                const AnalysisResult result =
                    AnalyseRoiGrid(image.Pixels, image.Width, image.Height, spacing, settings);
                const DetectorInsight insight = InspectDetector(settings, result, image.Pixels, image.Width);
                for (const auto& preset : AllPresets()) {
                    AnalysisSettings judged = settings;
                    judged.PixelDeviationPercent = preset.PixelDeviationPercent;
                    const GuidelineVerdict verdict = Judge(insight, judged, preset);
                    for (const auto& check : verdict.Checks) {
                        SCOPED_TRACE(std::to_string(side) + " px, " + std::to_string(boxesAcross) +
                                     " boxes across, seed " + std::to_string(seed) + ", " + std::string(preset.Name) +
                                     ", " + std::string(check.Key) + " = " + std::to_string(check.Value.value_or(-1)));
                        EXPECT_EQ(check.Result, Verdict::Pass);
                        const auto& bare = check.Limit.Warning;
                        if (check.SamplingAllowance > 0.0 && check.Value &&
                            std::fabs(*check.Value) > *bare - check.SamplingAllowance)
                            ++wouldFailWithoutAllowance;
                    }
                    EXPECT_EQ(verdict.Overall, Verdict::Pass);
                }
            }
        }
    }
    // The allowance is what makes them pass: the preset's bare limits alone
    // raise false alarms on some of these clean fields.
    EXPECT_GT(wouldFailWithoutAllowance, 0);
}

// The edges of the area and images without an exposure: the last column and
// row lie outside every ROI of the grid, and a blank image has no metric to
// fail.
TEST(CleanField, EdgesAndBlankImagesAreJudgedForWhatTheyAre)
{
    struct Case {
        const char* name;
        void (*plant)(test::Image&);
        std::size_t lines;
        Verdict overall;
    };
    // A hot pixel outside every ROI is judged as one inside: a defect pixel
    // (a warning), not a line.
    const std::vector<Case> cases{
        {"hot pixel in the last column", [](test::Image& i) { i.At(i.Width - 1, 200) = 65535; }, 0, Verdict::Warning},
        {"hot pixel in the last row", [](test::Image& i) { i.At(100, i.Height - 1) = 65535; }, 0, Verdict::Warning},
        {"hot corner pixel", [](test::Image& i) { i.At(i.Width - 1, i.Height - 1) = 65535; }, 0, Verdict::Warning},
        {"dead last column",
         [](test::Image& i) {
             for (std::uint32_t y = 0; y < i.Height; ++y) i.At(i.Width - 1, y) = 0;
         },
         1, Verdict::Fail},
        {"dead first row",
         [](test::Image& i) {
             for (std::uint32_t x = 0; x < i.Width; ++x) i.At(x, 0) = 0;
         },
         1, Verdict::Fail},
        {"no exposure", [](test::Image& i) { std::fill(i.Pixels.begin(), i.Pixels.end(), 0); }, 0, Verdict::Fail},
        {"no noise", [](test::Image& i) { std::fill(i.Pixels.begin(), i.Pixels.end(), 1000); }, 0, Verdict::Fail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // 515 pixels, boxes of 64: the grid's far-edge box ends at 513, so the
        // last column and row are outside every ROI.
        auto image = PoissonImage(FlatSignal(515, 515, 1000.0), 11);
        c.plant(image);
        const AnalysisSettings settings = WholeImageSettings(image);
        const AnalysisResult result = AnalyseRoiGrid(image.Pixels, image.Width, image.Height, 10.0 / 64, settings);
        const DetectorInsight insight = InspectDetector(settings, result, image.Pixels, image.Width);
        EXPECT_EQ(insight.Lines.size(), c.lines);
        EXPECT_FALSE(insight.Rims.Found());
        EXPECT_EQ(Judge(insight, settings, DefaultPreset()).Overall, c.overall);
    }
}

}  // namespace
}  // namespace evenor::test

// A clean detector must pass: uniform Poisson fields of several sizes, box
// sizes and seeds, judged against every preset with every check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "insight/Guidelines.h"
#include "tests/insight/DetectorPhantoms.h"

namespace evenor {
namespace {

using testing::FlatSignal;
using testing::PoissonImage;
using testing::WholeImageSettings;

TEST(SamplingAllowance, KnownValues)
{
    struct Case {
        std::uint32_t box;
        std::size_t rois;
        double expected;
    };
    // 70-px boxes, 841 ROIs: SE 1.0104 %, z 4.384 -> 4.43 -> 4.5.
    // 99-px boxes, 6561 ROIs: SE 0.7143 %, z 4.813 -> 3.44 -> 3.5.
    // 32-px boxes, 225 ROIs: SE 2.2108 %, z 4.076 -> 9.01 -> 9.1.
    for (const auto& c : {Case{70, 841, 4.5}, Case{99, 6561, 3.5}, Case{32, 225, 9.1}, Case{0, 100, 0.0},
                          Case{1, 100, 0.0}, Case{50, 0, 0.0}}) {
        SCOPED_TRACE(std::to_string(c.box) + " px, " + std::to_string(c.rois) + " ROIs");
        EXPECT_DOUBLE_EQ(SamplingAllowancePercent(c.box, c.rois), c.expected);
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
                const AnalysisResult result = AnalyseRoiGrid(image.Pixels, image.Width, image.Height, spacing, settings);
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
        void (*plant)(testing::Image&);
        std::size_t lines;
        Verdict overall;
    };
    const std::vector<Case> cases{
        {"hot pixel in the last column", [](testing::Image& i) { i.At(i.Width - 1, 200) = 65535; }, 0, Verdict::Pass},
        {"hot pixel in the last row", [](testing::Image& i) { i.At(100, i.Height - 1) = 65535; }, 0, Verdict::Pass},
        {"hot corner pixel", [](testing::Image& i) { i.At(i.Width - 1, i.Height - 1) = 65535; }, 0, Verdict::Pass},
        {"dead last column",
         [](testing::Image& i) {
             for (std::uint32_t y = 0; y < i.Height; ++y) i.At(i.Width - 1, y) = 0;
         },
         1, Verdict::Fail},
        {"dead first row",
         [](testing::Image& i) {
             for (std::uint32_t x = 0; x < i.Width; ++x) i.At(x, 0) = 0;
         },
         1, Verdict::Fail},
        {"no exposure", [](testing::Image& i) { std::fill(i.Pixels.begin(), i.Pixels.end(), 0); }, 0, Verdict::Fail},
        {"no noise", [](testing::Image& i) { std::fill(i.Pixels.begin(), i.Pixels.end(), 1000); }, 0, Verdict::Fail},
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
}  // namespace evenor

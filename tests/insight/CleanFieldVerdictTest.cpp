// A clean detector must pass: uniform Poisson fields of several sizes, box
// sizes and seeds, judged against every preset with every check.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace evenor

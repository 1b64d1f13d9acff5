// The series physics on planted data: fits that must give back the model
// they were made from, the constraint of the noise components, the pair
// noise and fixed pattern of synthetic images, persistent and transient
// deviating pixels, and the Exposure Index tolerance.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "insight/SeriesFits.h"
#include "insight/SeriesNoise.h"

namespace evenor::test {
namespace {

const std::vector<double> kDoses{1, 2, 5, 10, 20, 40};

TEST(SeriesResponse, EachModelIsChosenForItsOwnCurveAndGivesItsCoefficientsBack)
{
    struct Case {
        ResponseModel Model;
        double A, B;
    };
    for (const Case& c : {Case{ResponseModel::Linear, 100.0, 20.0}, Case{ResponseModel::Log, 1000.0, 300.0},
                          Case{ResponseModel::Power, 50.0, 0.6}}) {
        std::vector<double> mean;
        for (double k : kDoses) {
            ResponseFit truth;
            truth.Model = c.Model;
            truth.A = c.A;
            truth.B = c.B;
            mean.push_back(truth.PixelValue(k));
        }
        const ResponseChoice choice = ChooseResponse(kDoses, mean);
        SCOPED_TRACE(std::string(ResponseModelName(c.Model)));
        ASSERT_TRUE(choice.Chosen);
        EXPECT_EQ(*choice.Chosen, c.Model);
        const ResponseFit& best = *choice.Best();
        EXPECT_NEAR(best.A, c.A, 1e-9 * c.A);
        EXPECT_NEAR(best.B, c.B, 1e-9 * c.B);
        EXPECT_NEAR(best.R2, 1.0, 1e-12);
        // The inverse gives the kerma back: what linearisation relies on.
        for (const auto& point : best.Points) EXPECT_NEAR(best.Kerma(point.Mean), point.Kerma, 1e-9 * point.Kerma);
    }
}

TEST(SeriesResponse, LinearIsKeptOnATieAndKermaZeroLeavesOnlyLinear)
{
    // A proportional detector: linear and power (exponent 1) fit alike.
    std::vector<double> mean;
    for (double k : kDoses) mean.push_back(20.0 * k);
    EXPECT_EQ(ChooseResponse(kDoses, mean).Chosen, ResponseModel::Linear);

    const std::vector<double> withZero{0, 1, 2, 4};
    const ResponseChoice choice = ChooseResponse(withZero, std::vector<double>{100, 120, 140, 180});
    EXPECT_EQ(choice.Chosen, ResponseModel::Linear);
    EXPECT_FALSE(choice.Candidates[1].Fitted);
    EXPECT_FALSE(choice.Candidates[2].Fitted);
}

TEST(SeriesNoiseComponents, ConstrainedFitRecoversTheTermsAndKeepsThemNonNegative)
{
    struct Case {
        double E, Q, S;              // the variance's truth (S may be negative)
        double WantE, WantQ, WantS;  // what the fit must give
        double Tolerance;
    };
    const Case cases[] = {
        {25.0, 40.0, 0.16, 25.0, 40.0, 0.16, 1e-6},
        {0.0, 40.0, 0.16, 0.0, 40.0, 0.16, 1e-6},
        // A variance that bends down cannot have a negative structured term:
        // s is held at 0, e and q stay 0 or more.
        {25.0, 40.0, -0.2, -1.0, -1.0, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        std::vector<double> variance;
        for (double k : kDoses) variance.push_back(c.E + c.Q * k + c.S * k * k);
        const NoiseComponentFit fit = FitNoiseComponents(kDoses, variance);
        ASSERT_TRUE(fit.Fitted);
        EXPECT_GE(fit.Electronic, 0.0);
        EXPECT_GE(fit.Quantum, 0.0);
        EXPECT_GE(fit.Structured, 0.0);
        if (c.WantE >= 0.0) EXPECT_NEAR(fit.Electronic, c.WantE, c.Tolerance + 1e-9);
        if (c.WantQ >= 0.0) EXPECT_NEAR(fit.Quantum, c.WantQ, c.Tolerance * 40 + 1e-9);
        EXPECT_NEAR(fit.Structured, c.WantS, c.Tolerance + 1e-12);
    }
    EXPECT_FALSE(FitNoiseComponents(std::vector<double>{1, 1, 2}, std::vector<double>{65, 65, 105}).Fitted);
}

TEST(SeriesNoiseComponents, QuantumLimitedRangeIsWhereQuantumExceedsTheOtherTwo)
{
    struct Case {
        double E, Q, S;
        bool Range;
        double From, To;  // To < 0: no upper end
    };
    const double root = std::sqrt(40.0 * 40.0 - 4.0 * 0.16 * 25.0);
    const Case cases[] = {
        {25.0, 40.0, 0.16, true, (40.0 - root) / 0.32, (40.0 + root) / 0.32},
        {25.0, 40.0, 0.0, true, 25.0 / 40.0, -1.0},
        {1000.0, 10.0, 1.0, false, 0, 0},  // electronic and structured noise meet above the quantum part
    };
    for (const Case& c : cases) {
        std::vector<double> variance;
        for (double k : kDoses) variance.push_back(c.E + c.Q * k + c.S * k * k);
        const NoiseComponentFit fit = FitNoiseComponents(kDoses, variance);
        ASSERT_EQ(fit.QuantumLimited.has_value(), c.Range);
        if (!c.Range) continue;
        EXPECT_NEAR(fit.QuantumLimited->From, c.From, 1e-6);
        EXPECT_EQ(fit.QuantumLimited->To.has_value(), c.To >= 0.0);
        if (c.To >= 0.0) EXPECT_NEAR(*fit.QuantumLimited->To, c.To, 1e-4);
    }
}

TEST(SeriesMoments, VarianceIsExactAtFullScale)
{
    // Full-scale values: sums of squares that a 64-bit double would round.
    std::vector<std::uint16_t> pixels(4096 * 16);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = i % 2 ? 65535 : 65534;
    const Moments m = RectMoments(pixels, 4096, AreaRect{0, 0, 4095, 15});
    const double n = static_cast<double>(pixels.size());
    EXPECT_DOUBLE_EQ(m.Mean(), 65534.5);
    EXPECT_DOUBLE_EQ(m.Variance(), 0.25 * n / (n - 1.0));
}

// Images of side x side: a planted fixed pattern shared by all, plus noise
// of its own for each image.
struct PlantedImages {
    std::uint32_t Side = 256;
    std::vector<std::vector<std::uint16_t>> Images;
};
PlantedImages Planted(std::size_t count, double patternSd, double noiseSd)
{
    PlantedImages planted;
    std::mt19937 random(7);
    std::normal_distribution<double> unit(0.0, 1.0);
    std::vector<double> pattern(planted.Side * planted.Side);
    for (double& p : pattern) p = patternSd * unit(random);
    for (std::size_t i = 0; i < count; ++i) {
        auto& image = planted.Images.emplace_back(pattern.size());
        // Each image a little brighter: a pair's doses never match exactly.
        for (std::size_t p = 0; p < pattern.size(); ++p)
            image[p] = static_cast<std::uint16_t>(std::lround(1000.0 + 20.0 * i + pattern[p] + noiseSd * unit(random)));
    }
    return planted;
}

TEST(SeriesDoseNoise, PairsTellQuantumFromStructuredNoise)
{
    struct Case {
        std::size_t Images;
        double PatternSd, NoiseSd;
    };
    for (const Case& c : {Case{2, 10.0, 20.0}, Case{4, 20.0, 10.0}, Case{3, 0.0, 15.0}}) {
        const PlantedImages planted = Planted(c.Images, c.PatternSd, c.NoiseSd);
        const AreaRect area{0, 0, planted.Side - 1, planted.Side - 1};
        DoseNoiseAccumulator accumulator(MakeBoxGrid(area, 64));
        for (const auto& image : planted.Images) accumulator.Add(image, planted.Side);
        const DoseNoise noise = accumulator.Result();
        SCOPED_TRACE(c.Images);
        EXPECT_EQ(noise.Pairs, c.Images / 2);
        const double rounding = 1.0 / 12.0;  // of the integer pixel values
        ASSERT_TRUE(noise.QuantumVariance && noise.StructuredVariance && noise.StructuredFraction);
        EXPECT_NEAR(std::sqrt(*noise.QuantumVariance), std::sqrt(c.NoiseSd * c.NoiseSd + rounding), 0.02 * c.NoiseSd);
        // A variance from 65536 pixels is good to about 0.6 %: three of that.
        const double total = c.PatternSd * c.PatternSd + c.NoiseSd * c.NoiseSd;
        EXPECT_NEAR(*noise.StructuredVariance, c.PatternSd * c.PatternSd, 0.02 * total);
        const double truth = c.PatternSd * c.PatternSd / (c.PatternSd * c.PatternSd + c.NoiseSd * c.NoiseSd);
        EXPECT_NEAR(*noise.StructuredFraction, truth, 0.02);
        EXPECT_EQ(noise.FixedPatternPercent.size(), 16u);
        ASSERT_TRUE(noise.QuantumNoiseUniformity);
        EXPECT_LT(*noise.QuantumNoiseUniformity, 10.0);
    }
}

TEST(SeriesDefects, PersistentAndTransientPixelsAreToldApart)
{
    PlantedImages planted = Planted(3, 0.0, 5.0);
    const std::uint32_t side = planted.Side;
    for (auto& image : planted.Images) image[10 * side + 20] = 4000;  // a defect: in every image
    planted.Images[1][100 * side + 50] = 4000;                        // a passing hit: in one
    planted.Images[0][200 * side + 70] = 0;                           // in two of three
    planted.Images[2][200 * side + 70] = 0;
    const AreaRect area{0, 0, side - 1, side - 1};
    SeriesDefectCounter counter(MakeBoxGrid(area, 64), 20.0);
    for (const auto& image : planted.Images) counter.Add(image, side);
    const SeriesDefects defects = counter.Result();
    EXPECT_EQ(defects.Persistent, 1u);
    EXPECT_EQ(defects.Transient, 1u);
    EXPECT_EQ(defects.Intermittent, 1u);
    ASSERT_EQ(defects.PersistentPixels.size(), 1u);
    EXPECT_EQ(defects.PersistentPixels[0].Column, 20u);
    EXPECT_EQ(defects.PersistentPixels[0].Row, 10u);
}

TEST(SeriesExposureIndex, JudgedAgainstTheToleranceEitherWay)
{
    struct Case {
        double Ei, Kerma;
        Verdict Want;
    };
    const Case cases[] = {{1000, 10, Verdict::Pass}, {120, 1, Verdict::Pass},  {80, 1, Verdict::Pass},
                          {1300, 10, Verdict::Fail}, {700, 10, Verdict::Fail}, {1000, 0, Verdict::NotEvaluated}};
    for (const Case& c : cases)
        EXPECT_EQ(CheckExposureIndex(c.Ei, c.Kerma).Result, c.Want) << c.Ei << " at " << c.Kerma;
}

}  // namespace
}  // namespace evenor::test

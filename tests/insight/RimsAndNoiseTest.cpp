#include "insight/Rims.h"

#include <gtest/gtest.h>

#include "analysis/AreaBorder.h"
#include "insight/Guidelines.h"
#include "insight/StructuredNoise.h"
#include "tests/support/DetectorPhantoms.h"

namespace evenor::test {
namespace {

using namespace test;

// Collimated (dark) and saturated (bright) rims with a soft penumbra on a
// 512 x 384 field at 2000: the rims, their kinds and the area they leave.
TEST(Rims, CollimatedAndSaturatedRimsAndTheAreaTheyLeave)
{
    struct Case {
        const char* name;
        std::uint32_t top, bottom, left, right;  // shadowed lines; penumbra of 2 lines at 50 % and 90 % inside
        double rimLevel;                         // fraction of the open field in the rim
        RimKind kind;
    };
    const std::vector<Case> cases{
        {"collimated left and top", 30, 0, 20, 0, 0.05, RimKind::Dark},
        {"shutter on all sides", 12, 16, 8, 40, 0.3, RimKind::Dark},
        {"saturated right", 0, 0, 0, 25, 3.0, RimKind::Bright},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Field field = FlatSignal(512, 384, 2000.0);
        for (std::uint32_t y = 0; y < field.Height; ++y)
            for (std::uint32_t x = 0; x < field.Width; ++x) {
                // Distance into the open field from the nearest shadowed line, 0 inside a rim.
                // (A side without a rim does not count.)
                const auto from = [](long position, std::uint32_t lines) {
                    return lines == 0 ? 1000L : position - static_cast<long>(lines);
                };
                const long inside = std::min({from(x, c.left), from(field.Width - 1 - x, c.right), from(y, c.top),
                                              from(field.Height - 1 - y, c.bottom)});
                const double open = inside < 0    ? c.rimLevel
                                    : inside == 0 ? (1 + c.rimLevel) / 2
                                    : inside == 1 ? 0.9 + 0.1 * c.rimLevel
                                                  : 1.0;
                field.At(x, y) *= open;
            }
        const Inspection run = Inspect(PoissonImage(field, 21));
        const RimReport& rims = run.Insight.Rims;
        // The half-shadowed line joins its rim; the 90 % line too when its
        // step exceeds the penumbra threshold of 2.5 %.
        const auto expect = [&](const RimSide& side, std::uint32_t lines) {
            if (lines == 0) {
                EXPECT_EQ(side.Lines, 0u);
                EXPECT_EQ(side.Kind, RimKind::None);
                return;
            }
            EXPECT_EQ(side.Kind, c.kind);
            EXPECT_GE(side.Lines, lines + 1);
            EXPECT_LE(side.Lines, lines + 2);
        };
        expect(rims.Top, c.top);
        expect(rims.Bottom, c.bottom);
        expect(rims.Left, c.left);
        expect(rims.Right, c.right);
        EXPECT_EQ(rims.Interior.Left, rims.Left.Lines);
        EXPECT_EQ(rims.Interior.Top, rims.Top.Lines);
        EXPECT_EQ(rims.Interior.Right(), 511 - rims.Right.Lines);
        EXPECT_EQ(rims.Interior.Bottom(), 383 - rims.Bottom.Lines);
        // The open field inside shows no line defect and no structured noise.
        EXPECT_TRUE(run.Insight.Lines.empty());
        EXPECT_LT(*run.Insight.Noise.Rows.CorrelatedPercent, 10.0);
        EXPECT_LT(*run.Insight.Noise.Columns.CorrelatedPercent, 10.0);
    }
}

// A rim departs by more than 10 %: five top rows exactly 10 % dark are no
// rim, a tenth of a per cent more makes them one.
TEST(Rims, TenPerCentIsTheBoundaryNotARim)
{
    struct Case {
        std::uint16_t rimValue;  // the field is 1000
        std::uint32_t lines;
    };
    for (const Case& c : {Case{900, 0}, Case{1100, 0}, Case{899, 5}, Case{1101, 5}}) {
        SCOPED_TRACE(c.rimValue);
        std::vector<std::uint16_t> pixels(64 * 64, 1000);
        std::fill(pixels.begin(), pixels.begin() + 5 * 64, c.rimValue);
        const RimReport rims = FindRims(MeasureLineProfiles(pixels, 64, PixelRect{0, 0, 64, 64}));
        EXPECT_EQ(rims.Top.Lines, c.lines);
        EXPECT_EQ(rims.Bottom.Lines + rims.Left.Lines + rims.Right.Lines, 0u);
    }
}

TEST(Rims, DescriptionNamesSidesAreaAndBorder)
{
    RimReport rims;
    rims.Area = {0, 0, 512, 384};
    rims.Top = {32, RimKind::Dark};
    rims.Left = {21, RimKind::Dark};
    rims.Right = {3, RimKind::Bright};
    rims.Interior = {21, 32, 488, 352};
    EXPECT_EQ(DescribeRims(rims, 0.143),
              "Rim at the edges of the area: 32 rows at the top (dark), 21 columns at the left (dark), 3 columns at "
              "the right (bright); without it the area is columns 21..508, rows 32..383 (a border of 4.6 mm on "
              "every side leaves it out)");
    EXPECT_EQ(RimBorderMm(rims, 0.143), 4.6);  // 32 x 0.143 = 4.576
    EXPECT_EQ(DescribeRims(RimReport{}, 0.1), "No rim found");
    rims.Interior = {};
    EXPECT_EQ(DescribeRims(rims, 0.0),
              "Rim at the edges of the area: 32 rows at the top (dark), 21 columns at the left (dark), 3 columns at "
              "the right (bright); it covers the whole area");
}

// The border the rim description proposes, applied, leaves an area without a rim.
TEST(Rims, ProposedBorderLeavesTheRimOut)
{
    Field field = FlatSignal(400, 400, 2000.0);
    for (std::uint32_t y = 0; y < 400; ++y)
        for (std::uint32_t x = 0; x < 25; ++x) field.At(x, y) = 100.0;
    const Image image = PoissonImage(field, 5);
    const Inspection first = Inspect(image);
    ASSERT_EQ(first.Insight.Rims.Left.Lines, 25u);
    const double spacing = SpacingFor(image);
    const BorderedArea bordered = ReduceArea(first.Settings, spacing, RimBorderMm(first.Insight.Rims, spacing));
    ASSERT_TRUE(bordered.Accepted);
    const Inspection second = Inspect(image, bordered.Settings);
    EXPECT_FALSE(second.Insight.Rims.Found());
    EXPECT_TRUE(second.Insight.Lines.empty());
}

TEST(AreaBorder, PixelsPerSideAndRefusals)
{
    AnalysisSettings settings;
    settings.FirstColumn = 10;
    settings.LastColumn = 1033;  // 1024 wide
    settings.FirstRow = 0;
    settings.LastRow = 767;  // 768 high
    struct Case {
        const char* name;
        double spacing, border;
        bool accepted;
        std::uint32_t pixels;
        std::string refusal;
    };
    const std::vector<Case> cases{
        {"no border", 0.1, 0.0, true, 0, ""},
        {"no border, no spacing", 0.0, 0.0, true, 0, ""},
        {"5 mm at 0.1 mm", 0.1, 5.0, true, 50, ""},
        {"0.3 mm at 0.1 mm (quotient 2.9999999999999996)", 0.1, 0.3, true, 3, ""},
        {"1 mm at 0.143 mm rounds up", 0.143, 1.0, true, 7, ""},
        {"leaves one row pair", 0.1, 38.3, true, 383, ""},
        {"leaves nothing", 0.1, 38.4, false, 0,
         "A border of 38.4 mm on every side leaves nothing of the area (1024 x 768 pixels at 0.1 mm)"},
        {"negative", 0.1, -1.0, false, 0, "The border must be a number of millimetres, 0 or more"},
        {"not a number", 0.1, std::nan(""), false, 0, "The border must be a number of millimetres, 0 or more"},
        {"no spacing", 0.0, 2.0, false, 0, "A border in millimetres needs the pixel spacing, and the image has none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const BorderedArea bordered = ReduceArea(settings, c.spacing, c.border);
        EXPECT_EQ(bordered.Accepted, c.accepted);
        EXPECT_EQ(bordered.Refusal, c.refusal);
        if (!c.accepted) continue;
        EXPECT_EQ(bordered.BorderPixels, c.pixels);
        EXPECT_EQ(bordered.Settings.FirstColumn, 10 + c.pixels);
        EXPECT_EQ(bordered.Settings.LastColumn, 1033 - c.pixels);
        EXPECT_EQ(bordered.Settings.FirstRow, c.pixels);
        EXPECT_EQ(bordered.Settings.LastRow, 767 - c.pixels);
    }
}

// Row- or column-correlated noise: every row (column) gets its own offset,
// Gaussian with SD = fraction x pixel noise. The metric finds the fraction;
// the other direction stays near 0; no line defect is reported.
TEST(StructuredNoise, CorrelatedLineNoiseIsMeasured)
{
    struct Case {
        const char* name;
        std::uint32_t width, height;
        bool rows;
        double fraction;
    };
    const std::vector<Case> cases{
        {"rows, 25 %", 512, 512, true, 0.25},
        {"rows, 100 %", 512, 384, true, 1.0},
        {"columns, 50 %", 384, 512, false, 0.5},
        {"columns, 10 %, 1024", 1024, 1024, false, 0.10},
    };
    unsigned seed = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double mean = 2000.0, pixelNoise = std::sqrt(mean);
        Field field = FlatSignal(c.width, c.height, mean);
        std::mt19937_64 rng(++seed);
        std::normal_distribution<double> offset(0.0, c.fraction * pixelNoise);
        const std::uint32_t lines = c.rows ? c.height : c.width;
        for (std::uint32_t k = 0; k < lines; ++k) {
            const double o = offset(rng);
            for (std::uint32_t j = 0; j < (c.rows ? c.width : c.height); ++j)
                (c.rows ? field.At(j, k) : field.At(k, j)) += o;
        }
        const Inspection run = Inspect(PoissonImage(field, ++seed));
        const StructuredNoise& noise = run.Insight.Noise;
        const LineNoise& along = c.rows ? noise.Rows : noise.Columns;
        const LineNoise& across = c.rows ? noise.Columns : noise.Rows;
        // Sampling error of an SD from n lines: about 1 / sqrt(2n) relative.
        EXPECT_NEAR(*along.CorrelatedPercent, c.fraction * 100.0, c.fraction * 100.0 * 0.15);
        EXPECT_LT(*across.CorrelatedPercent, 5.0);
        EXPECT_NEAR(*noise.PixelNoise, pixelNoise, pixelNoise * 0.03);
        EXPECT_GT(*along.Ratio, 1.0);
        EXPECT_TRUE(run.Insight.Lines.empty());
        const auto checks = JudgeDetector(run.Insight, run.Settings, DefaultPreset());
        const Verdict expected = c.fraction * 100 > 25   ? Verdict::Fail
                                 : c.fraction * 100 > 10 ? Verdict::Warning
                                                         : Verdict::Pass;
        if (c.fraction != 0.10) {
            EXPECT_EQ(checks[c.rows ? 2 : 3].Result, expected);
        }
    }
}

TEST(StructuredNoise, RoiNoiseDeviationForTheHeatMap)
{
    TMeetSerie rois{{0, 0, 0, 0, 1000.0, 10.0, 100.0},
                    {5, 0, 0, 0, 1000.0, 20.0, 50.0},
                    {10, 0, 0, 0, 1000.0, 30.0, 1000.0 / 30.0}};
    const auto deviations = RoiNoiseDeviationPercent(rois);
    ASSERT_EQ(deviations.size(), 3u);
    EXPECT_DOUBLE_EQ(*deviations[0], -50.0);
    EXPECT_DOUBLE_EQ(*deviations[1], 0.0);
    EXPECT_DOUBLE_EQ(*deviations[2], 50.0);
    for (auto& roi : rois) roi.SD = 0.0;
    EXPECT_FALSE(RoiNoiseDeviationPercent(rois)[0]);
}

}  // namespace
}  // namespace evenor::test

#include "insight/Guidelines.h"

#include <gtest/gtest.h>

#include <limits>

namespace evenor::test {
namespace {

// Every metric at 0 and no deviating pixel: all checks pass.
UniformityMetrics QuietMetrics()
{
    UniformityMetrics metrics;
    for (auto& value : metrics.Values) value.Value = 0.0;
    return metrics;
}

AnalysisSettings SettingsFor(const GuidelinePreset& preset)
{
    AnalysisSettings settings;
    settings.PixelDeviationPercent = preset.PixelDeviationPercent;
    settings.DetectDeviatingPixels = true;
    return settings;
}

TEST(Guidelines, PresetsByName)
{
    EXPECT_EQ(PresetNames(), (std::vector<std::string_view>{"evenor-default", "european"}));
    EXPECT_EQ(DefaultPreset().Name, "evenor-default");
    EXPECT_EQ(FindPreset("European"), nullptr);
    struct Case {
        const char* name;
        double roiPercent, pixelPercent;
    };
    for (const auto& c : {Case{"european", 15.0, 20.0}, Case{"evenor-default", 5.0, 20.0}}) {
        const GuidelinePreset* preset = FindPreset(c.name);
        ASSERT_NE(preset, nullptr);
        EXPECT_EQ(preset->RoiDeviationPercent, c.roiPercent);
        EXPECT_EQ(preset->PixelDeviationPercent, c.pixelPercent);
        // The ROI deviations act at the preset's own ROI percentage.
        EXPECT_EQ(preset->MetricLimits[static_cast<int>(MetricId::RoiMeanDeviation)].Action, c.roiPercent);
        for (const auto& limits : preset->MetricLimits) EXPECT_LT(*limits.Warning, *limits.Action);
    }
}

TEST(Guidelines, VerdictsAtAndAroundTheLimits)
{
    const double above = 1e-9;
    struct Case {
        const char* preset;
        MetricId metric;
        std::optional<double> value;
        Verdict expected;
    };
    const std::vector<Case> cases{
        {"european", MetricId::RoiMeanDeviation, 10.0, Verdict::Pass},
        {"european", MetricId::RoiMeanDeviation, 10.0 + above, Verdict::Warning},
        {"european", MetricId::RoiMeanDeviation, 15.0, Verdict::Warning},
        {"european", MetricId::RoiMeanDeviation, 15.0 + above, Verdict::Fail},
        {"european", MetricId::RoiSnrDeviation, -15.0, Verdict::Warning},
        {"european", MetricId::RoiSnrDeviation, -15.0 - above, Verdict::Fail},
        {"european", MetricId::GlobalUniformity, 5.0, Verdict::Pass},
        {"european", MetricId::GlobalUniformity, 10.0, Verdict::Warning},
        {"european", MetricId::GlobalUniformity, 10.0 + above, Verdict::Fail},
        {"european", MetricId::LocalUniformity, 5.0 + above, Verdict::Fail},
        {"european", MetricId::NoiseUniformity, 20.0 + above, Verdict::Fail},
        {"evenor-default", MetricId::RoiMeanDeviation, 3.0, Verdict::Pass},
        {"evenor-default", MetricId::RoiMeanDeviation, -3.0 - above, Verdict::Warning},
        {"evenor-default", MetricId::RoiSnrDeviation, 5.0, Verdict::Warning},
        {"evenor-default", MetricId::RoiSnrDeviation, 5.0 + above, Verdict::Fail},
        {"evenor-default", MetricId::GlobalUniformity, std::nullopt, Verdict::NotEvaluated},
        {"evenor-default", MetricId::LocalUniformity, std::numeric_limits<double>::quiet_NaN(), Verdict::NotEvaluated},
    };
    for (const auto& c : cases) {
        const GuidelinePreset& preset = *FindPreset(c.preset);
        UniformityMetrics metrics = QuietMetrics();
        metrics[c.metric].Value = c.value;
        const GuidelineVerdict verdict = Judge(metrics, SettingsFor(preset), preset);
        const CheckVerdict& check = verdict.Checks.at(static_cast<std::size_t>(c.metric));
        SCOPED_TRACE(std::string(c.preset) + " " + std::string(check.Key) + " " + std::to_string(c.value.value_or(-1)));
        EXPECT_EQ(check.Key, InfoOf(c.metric).Key);
        EXPECT_EQ(check.Result, c.expected);
        EXPECT_EQ(check.Note.empty(), c.expected != Verdict::NotEvaluated);
        // Every other check passes: the overall verdict is this one's, and a
        // check that could not be evaluated does not spoil it.
        EXPECT_EQ(verdict.Overall, c.expected == Verdict::NotEvaluated ? Verdict::Pass : c.expected);
    }
}

TEST(Guidelines, DeviatingPixelsJudgedOnlyAtThePresetsPercentage)
{
    const GuidelinePreset& preset = *FindPreset("european");
    struct Case {
        const char* name;
        bool detect;
        double percent;
        std::size_t count;
        std::optional<std::size_t> defects;  // counted by a detector inspection
        Verdict expected;
        const char* note;
    };
    const std::vector<Case> cases{
        {"none found", true, 20.0, 0, std::nullopt, Verdict::Pass, ""},
        {"some found", true, 20.0, 500, std::nullopt, Verdict::Warning, ""},
        {"more than 500 defects", true, 20.0, 20883, 501, Verdict::Fail, ""},
        // Without the inspection's count the raw pixels only warn: at a low
        // dose a clean field has thousands.
        {"more than 500, not inspected", true, 20.0, 20883, std::nullopt, Verdict::Warning, ""},
        {"thousands of noise pixels, no defect", true, 20.0, 20883, 0, Verdict::Pass, ""},
        {"thousands of noise pixels, 3 defects", true, 20.0, 20883, 3, Verdict::Warning, ""},
        {"not searched", false, 20.0, 0, std::nullopt, Verdict::NotEvaluated, "deviating pixels were not searched"},
        {"searched at another percentage", true, 12.5, 7, std::nullopt, Verdict::NotEvaluated,
         "pixels were searched at 12.5 %, the preset judges them at 20 %"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniformityMetrics metrics = QuietMetrics();
        metrics.DeviatingPixelCount = c.count;
        metrics.DefectPixelCount = c.defects;
        AnalysisSettings settings = SettingsFor(preset);
        settings.DetectDeviatingPixels = c.detect;
        settings.PixelDeviationPercent = c.percent;
        const GuidelineVerdict verdict = Judge(metrics, settings, preset);
        ASSERT_EQ(verdict.Checks.size(), MetricCount + 1);
        EXPECT_EQ(verdict.Checks.back().Key, DeviatingPixelsCheckKey);
        EXPECT_EQ(verdict.Checks.back().Result, c.expected);
        EXPECT_EQ(verdict.Checks.back().Note, c.note);
    }

    // Nothing available at all: no verdict.
    AnalysisSettings settings;
    EXPECT_EQ(Judge(UniformityMetrics{}, settings, preset).Overall, Verdict::NotEvaluated);
    EXPECT_EQ(VerdictName(Verdict::NotEvaluated), "not evaluated");
}

// Verdicts stored or written as text (the history, the JSON result the PDF
// report reads) come back as the verdict they name, every one of them; any
// other text is no verdict.
TEST(GuidelinesTest, VerdictNamesReadBackAsTheirVerdict)
{
    for (std::size_t i = 0; i < VerdictCount; ++i) {
        const auto verdict = static_cast<Verdict>(i);
        EXPECT_EQ(VerdictFromName(VerdictName(verdict)), verdict) << VerdictName(verdict);
    }
    for (const char* other : {"", "Pass", "passed", "not  judged"})
        EXPECT_EQ(VerdictFromName(other), Verdict::NotEvaluated) << other;
}

}  // namespace
}  // namespace evenor::test

#include "Guidelines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace evenor {
namespace {

// Metrics with every value at 0 (all pass), the deviating-pixel count 0.
UniformityMetrics QuietMetrics()
{
    UniformityMetrics metrics;
    for (auto& value : metrics.Values) value.Value = 0.0;
    metrics.RoiCount = 81;
    return metrics;
}

AnalysisSettings SettingsFor(const GuidelinePreset& preset)
{
    AnalysisSettings settings;
    settings.RoiDeviationPercent = preset.RoiDeviationPercent;
    settings.PixelDeviationPercent = preset.PixelDeviationPercent;
    settings.DetectDeviatingPixels = true;
    return settings;
}

const CheckVerdict& CheckOf(const GuidelineVerdict& verdict, std::string_view key)
{
    for (const auto& check : verdict.Checks)
        if (check.Key == key) return check;
    throw std::runtime_error("no check " + std::string(key));
}

TEST(Guidelines, PresetsByName)
{
    EXPECT_EQ(PresetNames(), (std::vector<std::string_view>{"evenor-default", "european"}));
    for (const auto name : PresetNames()) {
        const GuidelinePreset* preset = FindPreset(name);
        ASSERT_NE(preset, nullptr);
        EXPECT_EQ(preset->Name, name);
        EXPECT_FALSE(preset->Description.empty());
        for (const auto& limits : preset->MetricLimits) {
            ASSERT_TRUE(limits.Warning && limits.Action);
            EXPECT_LT(*limits.Warning, *limits.Action);
        }
    }
    EXPECT_EQ(FindPreset("European"), nullptr);
    EXPECT_EQ(FindPreset(""), nullptr);
    EXPECT_EQ(DefaultPreset().Name, "evenor-default");
    EXPECT_EQ(FindPreset("european")->RoiDeviationPercent, 15.0);
    EXPECT_EQ(FindPreset("european")->PixelDeviationPercent, 20.0);
    EXPECT_EQ(FindPreset("evenor-default")->RoiDeviationPercent, 5.0);
    EXPECT_EQ(FindPreset("evenor-default")->PixelDeviationPercent, 20.0);
}

TEST(Guidelines, VerdictsAtAndAroundTheLimits)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* preset;
        MetricId metric;
        std::optional<double> value;
        Verdict expected;
    };
    const double above = 1e-9;
    const std::vector<Case> cases{
        // european: ROI deviations warn above 10, act above 15 (magnitudes).
        {"european", MetricId::RoiMeanDeviation, 10.0, Verdict::Pass},
        {"european", MetricId::RoiMeanDeviation, 10.0 + above, Verdict::Warning},
        {"european", MetricId::RoiMeanDeviation, 15.0, Verdict::Warning},
        {"european", MetricId::RoiMeanDeviation, 15.0 + above, Verdict::Fail},
        {"european", MetricId::RoiMeanDeviation, -15.0, Verdict::Warning},
        {"european", MetricId::RoiMeanDeviation, -15.0 - above, Verdict::Fail},
        {"european", MetricId::RoiSnrDeviation, -12.0, Verdict::Warning},
        {"european", MetricId::RoiSnrDeviation, 16.0, Verdict::Fail},
        {"european", MetricId::GlobalUniformity, 5.0, Verdict::Pass},
        {"european", MetricId::GlobalUniformity, 5.0 + above, Verdict::Warning},
        {"european", MetricId::GlobalUniformity, 10.0, Verdict::Warning},
        {"european", MetricId::GlobalUniformity, 10.0 + above, Verdict::Fail},
        {"european", MetricId::LocalUniformity, 3.0, Verdict::Pass},
        {"european", MetricId::LocalUniformity, 5.0, Verdict::Warning},
        {"european", MetricId::LocalUniformity, 5.0 + above, Verdict::Fail},
        {"european", MetricId::NoiseUniformity, 20.0 + above, Verdict::Fail},
        // evenor-default: ROI deviations warn above 3, act above 5.
        {"evenor-default", MetricId::RoiMeanDeviation, 3.0, Verdict::Pass},
        {"evenor-default", MetricId::RoiMeanDeviation, -3.0 - above, Verdict::Warning},
        {"evenor-default", MetricId::RoiMeanDeviation, 5.0, Verdict::Warning},
        {"evenor-default", MetricId::RoiMeanDeviation, 5.0 + above, Verdict::Fail},
        {"evenor-default", MetricId::RoiSnrDeviation, 12.0, Verdict::Fail},
        {"evenor-default", MetricId::GlobalUniformity, 10.0 + above, Verdict::Fail},
        // Not available, or a value that should never reach here.
        {"european", MetricId::GlobalUniformity, std::nullopt, Verdict::NotEvaluated},
        {"evenor-default", MetricId::LocalUniformity, nan, Verdict::NotEvaluated},
    };
    for (const auto& c : cases) {
        const GuidelinePreset& preset = *FindPreset(c.preset);
        UniformityMetrics metrics = QuietMetrics();
        metrics[c.metric].Value = c.value;
        const GuidelineVerdict verdict = Judge(metrics, SettingsFor(preset), preset);
        const CheckVerdict& check = CheckOf(verdict, InfoOf(c.metric).Key);
        SCOPED_TRACE(std::string(c.preset) + " " + std::string(check.Key) + " " +
                     (c.value ? std::to_string(*c.value) : "none"));
        EXPECT_EQ(check.Result, c.expected);
        // Every other check passes, so the overall verdict is this one's (pass
        // when it was not evaluated).
        EXPECT_EQ(verdict.Overall, c.expected == Verdict::NotEvaluated ? Verdict::Pass : c.expected);
        EXPECT_EQ(check.Note.empty(), c.expected != Verdict::NotEvaluated);
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
        Verdict expected;
    };
    const std::vector<Case> cases{
        {"none found", true, 20.0, 0, Verdict::Pass},
        {"one found", true, 20.0, 1, Verdict::Warning},
        {"many found", true, 20.0, 5000, Verdict::Warning},
        {"not searched", false, 20.0, 0, Verdict::NotEvaluated},
        {"searched at another percentage", true, 10.0, 7, Verdict::NotEvaluated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniformityMetrics metrics = QuietMetrics();
        metrics.DeviatingPixelCount = c.count;
        AnalysisSettings settings = SettingsFor(preset);
        settings.DetectDeviatingPixels = c.detect;
        settings.PixelDeviationPercent = c.percent;
        const GuidelineVerdict verdict = Judge(metrics, settings, preset);
        const CheckVerdict& check = CheckOf(verdict, DeviatingPixelsCheckKey);
        EXPECT_EQ(check.Result, c.expected);
        EXPECT_EQ(check.Value.has_value(), c.expected != Verdict::NotEvaluated);
        EXPECT_EQ(verdict.Checks.back().Key, DeviatingPixelsCheckKey);
    }
    AnalysisSettings settings = SettingsFor(preset);
    settings.PixelDeviationPercent = 12.5;
    EXPECT_EQ(CheckOf(Judge(QuietMetrics(), settings, preset), DeviatingPixelsCheckKey).Note,
              "pixels were searched at 12.5 %, the preset judges them at 20 %");
}

TEST(Guidelines, OverallIsTheWorstEvaluatedCheck)
{
    const GuidelinePreset& preset = *FindPreset("evenor-default");
    UniformityMetrics metrics = QuietMetrics();
    metrics[MetricId::LocalUniformity].Value = 4.0;   // warning
    metrics[MetricId::GlobalUniformity].Value = 2.0;  // pass
    EXPECT_EQ(Judge(metrics, SettingsFor(preset), preset).Overall, Verdict::Warning);
    metrics[MetricId::RoiSnrDeviation].Value = -7.0;  // fail
    EXPECT_EQ(Judge(metrics, SettingsFor(preset), preset).Overall, Verdict::Fail);

    UniformityMetrics unavailable;  // nothing available, pixels not searched
    AnalysisSettings settings = SettingsFor(preset);
    settings.DetectDeviatingPixels = false;
    const GuidelineVerdict verdict = Judge(unavailable, settings, preset);
    EXPECT_EQ(verdict.Overall, Verdict::NotEvaluated);
    EXPECT_EQ(verdict.Checks.size(), MetricCount + 1);
    EXPECT_EQ(VerdictName(verdict.Overall), "not evaluated");
}

}  // namespace
}  // namespace evenor

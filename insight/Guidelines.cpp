#include "insight/Guidelines.h"

#include <cmath>
#include <sstream>

#include "analysis/AnalysisDefaults.h"

namespace evenor {

namespace {

// Limits in MetricId order: global, local, noise, ROI mean deviation, ROI SNR
// deviation.
const std::array<GuidelinePreset, 2> kPresets{{
    {"evenor-default",
     "Evenor's own defaults, matching the analysis defaults (ROI deviation 5 %, pixel deviation 20 %): "
     "action above 5 % largest ROI mean or SNR deviation (warning above 3 %), above 10 % global "
     "uniformity (warning above 5 %), above 5 % local uniformity (warning above 3 %), above 20 % noise "
     "uniformity (warning above 10 %); any deviating pixel gives a warning.",
     DefaultRoiDeviationPercent,
     DefaultPixelDeviationPercent,
     {{{5.0, 10.0}, {3.0, 5.0}, {10.0, 20.0}, {3.0, 5.0}, {3.0, 5.0}}},
     {0.0, std::nullopt}},
    {"european",
     "Limits typical of European flat-field practice (ROI deviation 15 %, pixel deviation 20 %): action "
     "above 15 % largest ROI mean or SNR deviation (warning above 10 %), above 10 % global uniformity "
     "(warning above 5 %), above 5 % local uniformity (warning above 3 %), above 20 % noise uniformity "
     "(warning above 10 %); any deviating pixel gives a warning. Typical values: check them against the "
     "protocol that applies to your detector.",
     15.0,
     20.0,
     {{{5.0, 10.0}, {3.0, 5.0}, {10.0, 20.0}, {10.0, 15.0}, {10.0, 15.0}}},
     {0.0, std::nullopt}},
}};

Verdict Worse(Verdict a, Verdict b) { return static_cast<int>(a) >= static_cast<int>(b) ? a : b; }

std::string PercentText(double value)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value << " %";
    return text.str();
}

}  // namespace

std::string_view VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::Warning: return "warning";
    case Verdict::Fail: return "fail";
    case Verdict::NotEvaluated: break;
    }
    return "not evaluated";
}

std::span<const GuidelinePreset> AllPresets() { return kPresets; }

std::vector<std::string_view> PresetNames()
{
    std::vector<std::string_view> names;
    for (const auto& preset : kPresets) names.push_back(preset.Name);
    return names;
}

const GuidelinePreset* FindPreset(std::string_view name)
{
    for (const auto& preset : kPresets)
        if (preset.Name == name) return &preset;
    return nullptr;
}

const GuidelinePreset& DefaultPreset() { return kPresets[0]; }

Verdict Judge(std::optional<double> value, const Limits& limits)
{
    if (!value || !std::isfinite(*value)) return Verdict::NotEvaluated;
    const double magnitude = std::fabs(*value);
    if (limits.Action && magnitude > *limits.Action) return Verdict::Fail;
    if (limits.Warning && magnitude > *limits.Warning) return Verdict::Warning;
    return Verdict::Pass;
}

GuidelineVerdict Judge(const UniformityMetrics& metrics, const AnalysisSettings& settings,
                       const GuidelinePreset& preset)
{
    GuidelineVerdict verdict;
    verdict.Preset = preset.Name;
    for (const auto& info : AllMetricInfos()) {
        CheckVerdict check;
        check.Key = info.Key;
        check.Name = info.Name;
        check.Value = metrics[info.Id].Value;
        check.Limit = preset.MetricLimits[static_cast<std::size_t>(info.Id)];
        check.Result = Judge(check.Value, check.Limit);
        if (check.Result == Verdict::NotEvaluated) check.Note = "not available for this image";
        verdict.Checks.push_back(std::move(check));
    }

    // The count depends on the percentage the pixels were searched with, so it
    // is judged only when that is the preset's own.
    CheckVerdict pixels;
    pixels.Key = DeviatingPixelsCheckKey;
    pixels.Name = "Deviating pixels";
    pixels.Limit = preset.DeviatingPixelLimits;
    if (!settings.DetectDeviatingPixels) {
        pixels.Note = "deviating pixels were not searched";
    } else if (settings.PixelDeviationPercent != preset.PixelDeviationPercent) {
        pixels.Note = "pixels were searched at " + PercentText(settings.PixelDeviationPercent) +
                      ", the preset judges them at " + PercentText(preset.PixelDeviationPercent);
    } else {
        pixels.Value = static_cast<double>(metrics.DeviatingPixelCount);
        pixels.Result = Judge(pixels.Value, pixels.Limit);
    }
    verdict.Checks.push_back(std::move(pixels));

    for (const auto& check : verdict.Checks) verdict.Overall = Worse(verdict.Overall, check.Result);
    return verdict;
}

}  // namespace evenor

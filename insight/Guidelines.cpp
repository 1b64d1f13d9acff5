#include "insight/Guidelines.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "analysis/AnalysisDefaults.h"
#include "insight/DetectorInsight.h"

namespace evenor {

namespace {

// Local practice for the checks no guideline gives a number for. Single and
// paired defective pixels are routinely corrected by interpolation from their
// neighbours; a cluster of three or more is worth a look, one larger than
// 3 x 3 is too large to correct without visible loss. A line defect is a
// readout or calibration failure: the detector needs service or a new
// calibration. Correlated line noise is seen as streaks at a fraction of the
// pixel noise, because the eye averages along a line: a look above 10 %,
// action above 25 % of the pixel noise.
constexpr std::string_view kDetectorPractice =
    "Local practice (no guideline number): warning when the largest cluster of deviating pixels has 3 pixels "
    "or more, action above 9 (larger than 3 x 3); action for any line defect; warning above 10 % row or "
    "column correlated noise (in % of the pixel noise), action above 25 %.";
constexpr Limits kLargestClusterLimits{2.0, 9.0};
constexpr Limits kLineDefectLimits{std::nullopt, 0.0};
constexpr Limits kCorrelatedNoiseLimits{10.0, 25.0};

// The limits that allow for the sampling spread of the ROI SDs
// (SamplingAllowancePercent), said in every preset's description.
#define EVENOR_SAMPLING_TEXT                                                                                    \
    " The limits of the largest ROI SNR deviation and of the noise uniformity are raised by the spread an ROI " \
    "SD has from sampling alone: z x 100 / sqrt(2 (n - 1)) % for ROIs of n pixels, z for a 1 % chance that a " \
    "perfectly uniform image exceeds them anywhere."

// Limits in MetricId order: global, local, noise, ROI mean deviation, ROI SNR
// deviation.
const std::array<GuidelinePreset, 2> kPresets{{
    {"evenor-default",
     "Evenor's own defaults, matching the analysis defaults (ROI deviation 5 %, pixel deviation 20 %): "
     "action above 5 % largest ROI mean or SNR deviation (warning above 3 %), above 10 % global "
     "uniformity (warning above 5 %), above 5 % local uniformity (warning above 3 %), above 20 % noise "
     "uniformity (warning above 10 %); any deviating pixel gives a warning." EVENOR_SAMPLING_TEXT,
     DefaultRoiDeviationPercent,
     DefaultPixelDeviationPercent,
     {{{5.0, 10.0}, {3.0, 5.0}, {10.0, 20.0}, {3.0, 5.0}, {3.0, 5.0}}},
     {0.0, std::nullopt},
     kLargestClusterLimits,
     kLineDefectLimits,
     kCorrelatedNoiseLimits,
     kDetectorPractice},
    {"european",
     "Limits typical of European flat-field practice (ROI deviation 15 %, pixel deviation 20 %): action "
     "above 15 % largest ROI mean or SNR deviation (warning above 10 %), above 10 % global uniformity "
     "(warning above 5 %), above 5 % local uniformity (warning above 3 %), above 20 % noise uniformity "
     "(warning above 10 %); any deviating pixel gives a warning. Typical values: check them against the "
     "protocol that applies to your detector." EVENOR_SAMPLING_TEXT,
     15.0,
     20.0,
     {{{5.0, 10.0}, {3.0, 5.0}, {10.0, 20.0}, {10.0, 15.0}, {10.0, 15.0}}},
     {0.0, std::nullopt},
     kLargestClusterLimits,
     kLineDefectLimits,
     kCorrelatedNoiseLimits,
     kDetectorPractice},
}};
#undef EVENOR_SAMPLING_TEXT

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
    case Verdict::Pass:
        return "pass";
    case Verdict::Warning:
        return "warning";
    case Verdict::Fail:
        return "fail";
    case Verdict::NotJudged:
        return "not judged";
    case Verdict::NotEvaluated:
        break;
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

double SamplingAllowancePercent(std::uint32_t boxPixels, std::size_t roiCount)
{
    const double n = static_cast<double>(boxPixels) * boxPixels;
    if (boxPixels < 2 || roiCount == 0) return 0.0;
    const double standardError = 100.0 / std::sqrt(2.0 * (n - 1.0));
    // The normal quantile by bisection on the upper tail 0.5 erfc(z / sqrt 2).
    const double tail = 0.005 / static_cast<double>(roiCount);
    double low = 0.0, high = 40.0;
    for (int i = 0; i < 100; ++i) {
        const double mid = 0.5 * (low + high);
        (0.5 * std::erfc(mid / std::sqrt(2.0)) > tail ? low : high) = mid;
    }
    return std::ceil(high * standardError * 10.0) / 10.0;
}

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
        if (info.Id == MetricId::RoiSnrDeviation || info.Id == MetricId::NoiseUniformity) {
            check.SamplingAllowance = SamplingAllowancePercent(metrics.BoxPixels, metrics.RoiCount);
            // Rounded to the decimal the sum is, so that 3 + 4.4 shows as 7.4.
            const auto raise = [&](double limit) { return std::round((limit + check.SamplingAllowance) * 1e6) / 1e6; };
            if (check.Limit.Warning) check.Limit.Warning = raise(*check.Limit.Warning);
            if (check.Limit.Action) check.Limit.Action = raise(*check.Limit.Action);
        }
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

std::vector<CheckVerdict> JudgeDetector(const DetectorInsight& insight, const AnalysisSettings& settings,
                                        const GuidelinePreset& preset)
{
    std::vector<CheckVerdict> checks;
    const auto add = [&](std::string_view key, std::string_view name, std::optional<double> value, const Limits& limits,
                         std::string note) {
        CheckVerdict check;
        check.Key = key;
        check.Name = name;
        check.Value = value;
        check.Limit = limits;
        check.Result = Judge(value, limits);
        if (check.Result == Verdict::NotEvaluated) check.Note = note.empty() ? "not available for this image" : note;
        checks.push_back(std::move(check));
    };

    std::optional<double> largest;
    std::string clusterNote;
    if (!settings.DetectDeviatingPixels) {
        clusterNote = "deviating pixels were not searched";
    } else if (settings.PixelDeviationPercent != preset.PixelDeviationPercent) {
        clusterNote = "pixels were searched at " + PercentText(settings.PixelDeviationPercent) +
                      ", the preset judges them at " + PercentText(preset.PixelDeviationPercent);
    } else {
        largest = insight.Clusters.Clusters.empty() ? 0.0 : insight.Clusters.Clusters.front().Size;
    }
    add(LargestClusterCheckKey, "Largest defect cluster", largest, preset.LargestClusterLimits, clusterNote);

    std::optional<double> lines;
    if (insight.LinesSearched) lines = static_cast<double>(insight.Lines.size());
    add(LineDefectsCheckKey, "Line defects", lines, preset.LineDefectLimits, LinesNotSearchedReason(insight));
    add(RowNoiseCheckKey, kRowNoiseInfo.Name, insight.Noise.Rows.CorrelatedPercent, preset.CorrelatedNoiseLimits, "");
    add(ColumnNoiseCheckKey, kColumnNoiseInfo.Name, insight.Noise.Columns.CorrelatedPercent,
        preset.CorrelatedNoiseLimits, "");
    return checks;
}

void AppendChecks(GuidelineVerdict& verdict, std::vector<CheckVerdict> checks)
{
    for (auto& check : checks) {
        verdict.Overall = Worse(verdict.Overall, check.Result);
        verdict.Checks.push_back(std::move(check));
    }
}

GuidelineVerdict Judge(const DetectorInsight& insight, const AnalysisSettings& settings, const GuidelinePreset& preset)
{
    GuidelineVerdict verdict = Judge(insight.Metrics.Robust, settings, preset);
    AppendChecks(verdict, JudgeDetector(insight, settings, preset));
    const auto& rois = insight.RobustRois.Rois;
    const bool noSignal = !(insight.RobustRois.AreaMean > 0.0);
    const bool noNoise = std::all_of(rois.begin(), rois.end(), [](const RoiResult& roi) { return roi.SD == 0.0; });
    if (!rois.empty() && (noSignal || noNoise)) {
        CheckVerdict signal;
        signal.Key = SignalCheckKey;
        signal.Name = "Signal and noise";
        signal.Result = Verdict::Fail;
        signal.Note = noSignal ? "the area has no signal (mean 0): not an exposure"
                               : "every ROI has an SD of 0: no noise, not an unprocessed exposure";
        AppendChecks(verdict, {signal});
    }
    return verdict;
}

void WithholdJudgement(GuidelineVerdict& verdict, const ImageInfo& image)
{
    if (image.Judged()) return;
    for (auto& check : verdict.Checks) check.Result = Verdict::NotJudged;
    verdict.Overall = Verdict::NotJudged;
}

GuidelineVerdict Judge(const DetectorInsight& insight, const AnalysisSettings& settings, const GuidelinePreset& preset,
                       const ImageInfo& image)
{
    GuidelineVerdict verdict = Judge(insight, settings, preset);
    WithholdJudgement(verdict, image);
    return verdict;
}

}  // namespace evenor

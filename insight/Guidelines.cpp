#include "insight/Guidelines.h"

#include <algorithm>
#include <cctype>
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
    "Local practice (no guideline number): warning when the largest cluster of defect pixels has 3 pixels "
    "or more, action above 9 (larger than 3 x 3); action for any line defect; warning above 10 % row or "
    "column correlated noise (in % of the pixel noise), action above 25 %.";
constexpr Limits kLargestClusterLimits{2.0, 9.0};
constexpr Limits kLineDefectLimits{std::nullopt, 0.0};
constexpr Limits kCorrelatedNoiseLimits{10.0, 25.0};

// The limits that allow for the sampling spread of the ROI statistics
// (SnrSamplingAllowance, NoiseUniformityAllowancePercent,
// RoiMeanSamplingAllowance) and the defect pixels, said in every preset's
// description.
#define EVENOR_SAMPLING_TEXT                                                                                           \
    " Defect pixels are deviating pixels also beyond k SDs of the pixel noise, k for a chance below 1 % of any "       \
    "in a uniform image: any gives a warning, more than 500 action. The limits of the global and local "               \
    "uniformity, the noise uniformity and the largest ROI mean and SNR deviations (above and below) are "              \
    "raised by the spread sampling alone gives ROIs of n pixels, for a 1 % chance that a perfectly uniform "           \
    "image exceeds them anywhere; a check is not judged with boxes too small for that."

// Limits in MetricId order: global, local, noise, ROI mean deviation, ROI SNR
// deviation.
const std::array<GuidelinePreset, 2> kPresets{{
    {"evenor-default",
     "Evenor's own defaults, matching the analysis defaults (ROI deviation 5 %, pixel deviation 20 %): "
     "action above 5 % largest ROI mean or SNR deviation (warning above 3 %), above 10 % global "
     "uniformity (warning above 5 %), above 5 % local uniformity (warning above 3 %), above 20 % noise "
     "uniformity (warning above 10 %)." EVENOR_SAMPLING_TEXT,
     DefaultRoiDeviationPercent,
     DefaultPixelDeviationPercent,
     {{{5.0, 10.0}, {3.0, 5.0}, {10.0, 20.0}, {3.0, 5.0}, {3.0, 5.0}}},
     DefectPixelLimits,
     kLargestClusterLimits,
     kLineDefectLimits,
     kCorrelatedNoiseLimits,
     kDetectorPractice,
     kLineMinimumFraction * 100.0},
    {"european",
     "Limits typical of European flat-field practice (ROI deviation 15 %, pixel deviation 20 %): action "
     "above 15 % largest ROI mean or SNR deviation (warning above 10 %), above 10 % global uniformity "
     "(warning above 5 %), above 5 % local uniformity (warning above 3 %), above 20 % noise uniformity "
     "(warning above 10 %). Typical values: check them against the "
     "protocol that applies to your detector." EVENOR_SAMPLING_TEXT,
     15.0,
     20.0,
     {{{5.0, 10.0}, {3.0, 5.0}, {10.0, 20.0}, {10.0, 15.0}, {10.0, 15.0}}},
     DefectPixelLimits,
     kLargestClusterLimits,
     kLineDefectLimits,
     kCorrelatedNoiseLimits,
     kDetectorPractice,
     kLineMinimumFraction * 100.0},
}};
#undef EVENOR_SAMPLING_TEXT

// Up to the next 0.1 (percentage point).
double RoundedUp(double percent) { return std::ceil(percent * 10.0 - 1e-9) / 10.0; }

// The regularized lower incomplete gamma P(a, x) (lower) or its complement
// Q(a, x), each computed where it converges without cancellation: the series
// for x < a + 1, the continued fraction (modified Lentz) beyond, the other
// one as 1 minus. Accurate to tails of 1e-300 either way.
double IncompleteGamma(double a, double x, bool lower)
{
    if (x <= 0.0) return lower ? 0.0 : 1.0;
    const double front = std::exp(a * std::log(x) - x - std::lgamma(a));
    if (x < a + 1.0) {
        double term = 1.0 / a, sum = term;
        for (int i = 1; i < 100000 && std::fabs(term) > std::fabs(sum) * 1e-16; ++i) {
            term *= x / (a + i);
            sum += term;
        }
        const double p = sum * front;
        return lower ? p : 1.0 - p;
    }
    const double tiny = 1e-300;
    double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
    for (int i = 1; i < 100000; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < tiny) d = tiny;
        c = b + an / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < 1e-16) break;
    }
    const double q = h * front;
    return lower ? 1.0 - q : q;
}

// The chi-square quantile of dof degrees of freedom with tail probability
// `tail` above it (upper) or below it (!upper), by bisection.
double ChiSquareQuantile(double dof, double tail, bool upper)
{
    double low = 0.0, high = dof + 60.0 * std::sqrt(2.0 * dof) + 200.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (low + high);
        const double beyond = IncompleteGamma(dof / 2.0, mid / 2.0, !upper);
        // Upper: the tail above mid shrinks as mid grows; lower: it grows.
        if (upper == (beyond > tail))
            low = mid;
        else
            high = mid;
    }
    return 0.5 * (low + high);
}

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

Verdict VerdictFromName(std::string_view name)
{
    for (const Verdict v : {Verdict::Pass, Verdict::Warning, Verdict::Fail, Verdict::NotJudged})
        if (VerdictName(v) == name) return v;
    return Verdict::NotEvaluated;
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

double LowestLineFloorFraction()
{
    double lowest = kPresets[0].LineFloorPercent;
    for (const auto& preset : kPresets) lowest = std::min(lowest, preset.LineFloorPercent);
    return lowest / 100.0;
}

// Beyond this allowance below, a region with a third more noise than the
// rest (SNR 25 % down) could pass: the check says nothing a physicist needs.
constexpr double kLargestSnrAllowanceBelow = 25.0;

SnrAllowance SnrSamplingAllowance(std::uint32_t boxPixels, std::size_t roiCount)
{
    SnrAllowance allowance;
    if (boxPixels < 2 || roiCount == 0) return allowance;
    const double dof = static_cast<double>(boxPixels) * boxPixels - 1.0;
    const double tail = 0.005 / static_cast<double>(roiCount);
    // E[noise / SD] = sqrt(dof / 2) Gamma((dof - 1) / 2) / Gamma(dof / 2); a
    // 2 x 2 box (dof 3) is the smallest with a finite mean.
    const double meanInverse = std::sqrt(dof / 2.0) * std::exp(std::lgamma((dof - 1.0) / 2.0) - std::lgamma(dof / 2.0));
    const double above = std::sqrt(dof / ChiSquareQuantile(dof, tail, false)) / meanInverse - 1.0;
    const double below = 1.0 - std::sqrt(dof / ChiSquareQuantile(dof, tail, true)) / meanInverse;
    allowance.Above = RoundedUp(100.0 * above);
    allowance.Below = RoundedUp(100.0 * below);
    allowance.TooSmall = allowance.Below > kLargestSnrAllowanceBelow;
    return allowance;
}

namespace {

// The t (in standard errors of one ROI's statistic) that the difference of an
// ROI's statistic from the mean of its neighbours' exceeds anywhere with a
// chance of 1 %; 0 without neighbours.
double LocalDifferenceQuantile(const std::array<std::size_t, 5>& roisByNeighbourCount)
{
    // The spread of the difference, in standard errors of one ROI's
    // statistic, for 1 to 4 neighbours. From the covariance of the statistics
    // of two boxes sharing a fraction f of their pixels, f times the variance
    // of one (exact for means, close for SDs; f = 1/2 for a neighbour, 1/4
    // between a horizontal and a vertical neighbour, 0 between opposite
    // ones): 4 neighbours 0.612, 3 0.667, 2 in a corner 0.791 (0.707 along a
    // line), 1 1.0. A simulation of Gaussian noise (20 fields of 400 x 400
    // pixels per box of 6, 13, 20 and 40 pixels) measured for the SDs
    // 0.58-0.62, 0.64-0.67 and 0.62-0.82 (80 corners); the constants are the
    // larger of the two, rounded up.
    constexpr std::array<double, 5> spread{0.0, 1.0, 0.80, 0.675, 0.625};
    double roisWithNeighbours = 0.0;
    for (std::size_t k = 1; k < spread.size(); ++k) roisWithNeighbours += static_cast<double>(roisByNeighbourCount[k]);
    if (roisWithNeighbours == 0.0) return 0.0;
    const auto chance = [&](double t) {
        double sum = 0.0;
        for (std::size_t k = 1; k < spread.size(); ++k)
            sum += static_cast<double>(roisByNeighbourCount[k]) * std::erfc(t / spread[k] / std::sqrt(2.0));
        return sum;
    };
    double low = 0.0, high = 40.0;
    for (int i = 0; i < 100; ++i) {
        const double mid = 0.5 * (low + high);
        (chance(mid) > 0.01 ? low : high) = mid;
    }
    return high;
}

// The two-sided normal quantile with a tail of `tail` beyond it on both
// sides together, by bisection.
double TwoSidedNormalQuantile(double tail)
{
    double low = 0.0, high = 40.0;
    for (int i = 0; i < 100; ++i) {
        const double mid = 0.5 * (low + high);
        (std::erfc(mid / std::sqrt(2.0)) > tail ? low : high) = mid;
    }
    return high;
}

}  // namespace

double NoiseUniformityAllowancePercent(std::uint32_t boxPixels, const std::array<std::size_t, 5>& roisByNeighbourCount)
{
    if (boxPixels < 2) return 0.0;
    const double n = static_cast<double>(boxPixels) * boxPixels;
    const double standardError = 100.0 / std::sqrt(2.0 * (n - 1.0));
    return RoundedUp(LocalDifferenceQuantile(roisByNeighbourCount) * standardError);
}

RoiMeanAllowance RoiMeanSamplingAllowance(std::uint32_t boxPixels, double relativePixelNoise, std::size_t roiCount,
                                          const std::array<std::size_t, 5>& roisByNeighbourCount)
{
    RoiMeanAllowance allowance;
    if (boxPixels == 0 || roiCount == 0 || !(relativePixelNoise > 0.0) || !std::isfinite(relativePixelNoise))
        return allowance;
    const double standardError = 100.0 * relativePixelNoise / static_cast<double>(boxPixels);
    const double z = TwoSidedNormalQuantile(0.01 / static_cast<double>(roiCount));
    allowance.Deviation = RoundedUp(z * standardError);
    allowance.Global = RoundedUp(2.0 * z * standardError);
    allowance.Local = RoundedUp(LocalDifferenceQuantile(roisByNeighbourCount) * standardError);
    return allowance;
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
    const RoiMeanAllowance meanAllowances = RoiMeanSamplingAllowance(metrics.BoxPixels, metrics.RelativePixelNoise,
                                                                     metrics.RoiCount, metrics.RoisByNeighbourCount);
    for (const auto& info : AllMetricInfos()) {
        CheckVerdict check;
        check.Key = info.Key;
        check.Name = info.Name;
        check.Value = metrics[info.Id].Value;
        check.Limit = preset.MetricLimits[static_cast<std::size_t>(info.Id)];
        // Rounded to the decimal the sum is, so that 3 + 4.4 shows as 7.4.
        const auto raised = [](const Limits& limits, double allowance) {
            const auto raise = [&](double limit) { return std::round((limit + allowance) * 1e6) / 1e6; };
            Limits result = limits;
            if (result.Warning) result.Warning = raise(*result.Warning);
            if (result.Action) result.Action = raise(*result.Action);
            return result;
        };
        const Limits bare = check.Limit;
        if (info.Id == MetricId::NoiseUniformity) {
            check.SamplingAllowance = NoiseUniformityAllowancePercent(metrics.BoxPixels, metrics.RoisByNeighbourCount);
            check.Limit = raised(bare, check.SamplingAllowance);
        }
        std::optional<double> meanAllowance;
        if (info.Id == MetricId::GlobalUniformity) meanAllowance = meanAllowances.Global;
        if (info.Id == MetricId::LocalUniformity) meanAllowance = meanAllowances.Local;
        if (info.Id == MetricId::RoiMeanDeviation) meanAllowance = meanAllowances.Deviation;
        const std::optional<double> lowestLimit = bare.Warning ? bare.Warning : bare.Action;
        if (meanAllowance && check.Value && lowestLimit && *meanAllowance > *lowestLimit) {
            // Sampling alone could take a clean image past the limit: the
            // check could not tell a detector fault from the noise.
            check.Result = Verdict::NotEvaluated;
            std::string name(info.Name);
            name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
            check.Note = "the box is too small to judge " + name + " at this noise (" +
                         std::to_string(metrics.BoxPixels) + " x " + std::to_string(metrics.BoxPixels) +
                         " pixels: sampling alone may give " + PercentText(*meanAllowance) + ", more than the " +
                         PercentText(*lowestLimit) + " limit)";
            verdict.Checks.push_back(std::move(check));
            continue;
        }
        if (meanAllowance) {
            check.SamplingAllowance = *meanAllowance;
            check.Limit = raised(bare, check.SamplingAllowance);
        }
        check.Result = Judge(check.Value, check.Limit);
        if (info.Id == MetricId::RoiSnrDeviation && check.Value) {
            const SnrAllowance allowance = SnrSamplingAllowance(metrics.BoxPixels, metrics.RoiCount);
            if (allowance.TooSmall) {
                check.Result = Verdict::NotEvaluated;
                check.Note = "the box is too small to judge SNR (" + std::to_string(metrics.BoxPixels) + " x " +
                             std::to_string(metrics.BoxPixels) + " pixels: a clean ROI's SNR may lie " +
                             PercentText(allowance.Below) + " below the mean)";
            } else {
                // Each side against its own allowance; the side that judges
                // worse is shown (the farther one on a tie).
                CheckVerdict sides[2] = {check, check};
                const bool farAbove = *check.Value > 0.0;
                const MetricValue* values[2] = {farAbove ? &metrics.HighestRoiSnr : &metrics.LowestRoiSnr,
                                                farAbove ? &metrics.LowestRoiSnr : &metrics.HighestRoiSnr};
                for (int i = 0; i < 2; ++i) {
                    const bool above = (i == 0) == farAbove;
                    sides[i].SamplingAllowance = above ? allowance.Above : allowance.Below;
                    sides[i].Limit = raised(bare, sides[i].SamplingAllowance);
                    if (i == 1) sides[i].Value = values[i]->Value;
                    sides[i].Result = Judge(sides[i].Value, sides[i].Limit);
                }
                check = static_cast<int>(sides[1].Result) > static_cast<int>(sides[0].Result) ? sides[1] : sides[0];
            }
        }
        if (check.Result == Verdict::NotEvaluated && check.Note.empty()) check.Note = "not available for this image";
        verdict.Checks.push_back(std::move(check));
    }

    // The count depends on the percentage the pixels were searched with, so it
    // is judged only when that is the preset's own.
    CheckVerdict pixels;
    pixels.Key = DeviatingPixelsCheckKey;
    pixels.Name = metrics.DefectPixelCount ? "Defect pixels" : "Deviating pixels";
    // Without the defect-pixel count (no inspection) the raw deviating pixels
    // are judged: at a low dose clean fields have thousands of them, so they
    // give a warning only, never action.
    pixels.Limit = preset.DeviatingPixelLimits;
    if (!metrics.DefectPixelCount) pixels.Limit.Action.reset();
    if (!settings.DetectDeviatingPixels) {
        pixels.Note = "deviating pixels were not searched";
    } else if (settings.PixelDeviationPercent != preset.PixelDeviationPercent) {
        pixels.Note = "pixels were searched at " + PercentText(settings.PixelDeviationPercent) +
                      ", the preset judges them at " + PercentText(preset.PixelDeviationPercent);
    } else {
        pixels.Value = static_cast<double>(metrics.DefectPixelCount.value_or(metrics.DeviatingPixelCount));
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
        largest = insight.DefectPixels.Counted        ? insight.DefectPixels.LargestCluster
                  : insight.Clusters.Clusters.empty() ? 0.0
                                                      : insight.Clusters.Clusters.front().Size;
    }
    add(LargestClusterCheckKey, "Largest defect cluster", largest, preset.LargestClusterLimits, clusterNote);

    std::optional<double> lines;
    if (insight.LinesSearched) {
        // The search listed the lines beyond the lowest floor of the presets;
        // a preset with a higher floor counts only those beyond its own.
        const double floor = preset.LineFloorPercent / 100.0;
        const bool every = floor <= insight.LineFloorFraction;
        const auto counted = [&](const LineDefect& line) { return every || line.LevelFraction > floor; };
        lines = static_cast<double>(std::count_if(insight.Lines.begin(), insight.Lines.end(), counted));
    }
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

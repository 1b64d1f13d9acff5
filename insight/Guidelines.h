#pragma once
// Guideline presets: named sets of warning and action limits for the summary
// metrics, and the verdicts of one analysis against them.
//
// A limit is exceeded when the magnitude of the value lies strictly above it,
// the same strict comparison the deviation maps use: a value exactly on a limit
// passes. Above the action limit the verdict is Fail (action needed); above the
// warning limit only, Warning; otherwise Pass. A metric that is not available
// is NotEvaluated. The overall verdict is the worst verdict among the checks
// that were evaluated, NotEvaluated when none was. An image Evenor does not
// judge (ImageInfo::NotJudged) gets NotJudged instead (WithholdJudgement).
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "insight/ImageInfo.h"
#include "insight/Metrics.h"

namespace evenor {

// NotJudged outranks every other verdict: no check of such an image counts.
enum class Verdict : std::uint8_t { NotEvaluated, Pass, Warning, Fail, NotJudged };
inline constexpr std::size_t VerdictCount = 5;

// "not evaluated", "pass", "warning", "fail", "not judged".
std::string_view VerdictName(Verdict verdict);
// The verdict VerdictName gives that name; NotEvaluated for any other text.
Verdict VerdictFromName(std::string_view name);

struct Limits {
    std::optional<double> Warning;  // no limit when empty
    std::optional<double> Action;
};

struct GuidelinePreset {
    std::string_view Name;         // lookup key: "european", "evenor-default"
    std::string_view Description;  // what the limits are and where they come from
    // The deviation percentages an analysis judged against this preset is
    // meant to use (RoiDeviationPercent, PixelDeviationPercent).
    double RoiDeviationPercent = 0.0;
    double PixelDeviationPercent = 0.0;
    std::array<Limits, MetricCount> MetricLimits;  // indexed by MetricId, on |value|
    // On the number of defect pixels (the deviating pixels beyond the pixel
    // noise; the deviating pixels themselves when no defect pixels were
    // counted); judged only when the analysis searched them at the preset's
    // PixelDeviationPercent.
    Limits DeviatingPixelLimits;
    // The defect and structured-noise checks (JudgeDetector). No guideline
    // gives numbers for them; the presets use local practice, described in
    // DetectorDescription.
    Limits LargestClusterLimits;   // size in pixels of the largest cluster of defect pixels
    Limits LineDefectLimits;       // number of line defects
    Limits CorrelatedNoiseLimits;  // row and column correlated noise each, % of the pixel noise
    std::string_view DetectorDescription;
    // The floor of the line rule (Defects.h): a line defect also departs by
    // more than this % of the median line mean. Below it a line may be many
    // noise SDs out yet too faint to see (0.35 % is 6 SDs on 2048-pixel lines
    // at a signal of 2000).
    double LineFloorPercent = 0.0;
};

// The key of the deviating-pixel check (the metric checks use MetricInfo::Key).
inline constexpr std::string_view DeviatingPixelsCheckKey = "deviating_pixels";

struct CheckVerdict {
    std::string_view Key;   // metric key or DeviatingPixelsCheckKey
    std::string_view Name;  // for display
    std::optional<double> Value;
    Limits Limit;
    Verdict Result = Verdict::NotEvaluated;
    std::string Note;  // why a check was not evaluated; empty otherwise
    // Percentage points the preset's limits were raised by for the sampling
    // spread of the ROI statistics (SnrSamplingAllowance for the side of
    // Value, NoiseUniformityAllowancePercent, RoiMeanSamplingAllowance);
    // already in Limit.
    double SamplingAllowance = 0.0;
};

struct GuidelineVerdict {
    std::string_view Preset;
    std::vector<CheckVerdict> Checks;  // the metrics in MetricId order, then the deviating pixels
    Verdict Overall = Verdict::NotEvaluated;
};

std::span<const GuidelinePreset> AllPresets();
std::vector<std::string_view> PresetNames();
// Null when no preset has that name (exact, case-sensitive).
const GuidelinePreset* FindPreset(std::string_view name);
// The preset front ends use when the user names none: "evenor-default".
const GuidelinePreset& DefaultPreset();

// The keys of the defect and structured-noise checks.
inline constexpr std::string_view LargestClusterCheckKey = "largest_defect_cluster";
inline constexpr std::string_view LineDefectsCheckKey = "line_defects";
inline constexpr std::string_view RowNoiseCheckKey = "row_correlated_noise";
inline constexpr std::string_view ColumnNoiseCheckKey = "column_correlated_noise";
// Present only when it fails: the area holds no exposure (mean 0) or no noise
// (every ROI SD 0). Either way the other checks cannot describe a detector,
// and most of them are not available, so the image must not pass.
inline constexpr std::string_view SignalCheckKey = "signal";

struct DetectorInsight;

// An ROI's SD scatters from sampling alone: on a perfectly uniform detector
// the SD of an ROI of n pixels differs from the true noise by about
// 100 / sqrt(2 (n - 1)) % (one standard error). The largest of many ROIs lies
// several standard errors out: a fixed limit of a few per cent fails clean
// images analysed with small boxes. The limits of the largest ROI SNR
// deviation and of the noise uniformity are therefore raised by what
// sampling alone gives, chosen so that a clean image of roiCount ROIs exceeds
// them with a chance of at most 1 % (two-sided, shared over the ROIs: a tail
// of 0.005 / roiCount on each side of each ROI). Allowances are rounded up
// to 0.1 percentage point.

// The allowance of the ROI SNR deviation. An SNR goes as 1 / SD, and
// (n - 1) SD^2 / noise^2 follows the chi-square distribution with n - 1
// degrees of freedom, so the SNR's spread is skewed: it reaches further above
// the mean than below it. Above is sqrt((n - 1) / q_low) / E - 1, below
// 1 - sqrt((n - 1) / q_high) / E (both in %, both positive), q the chi-square
// quantiles of the tails and E the mean of noise / SD (the reference is the
// mean ROI SNR, which sampling lifts by E). TooSmall when Below exceeds 25
// points, so that a region with a third more noise than the rest could
// pass (boxes of 8 x 8 pixels or less; 9 to 11 with many ROIs): SNR is then
// not judged. All zero without a box of at least 2 x 2 pixels or without ROIs.
struct SnrAllowance {
    double Above = 0.0;
    double Below = 0.0;
    bool TooSmall = false;
};
SnrAllowance SnrSamplingAllowance(std::uint32_t boxPixels, std::size_t roiCount);

// The allowance of the noise uniformity. Its statistic, an ROI's SD less the
// mean of its neighbours' SDs, is not one SD's spread: the neighbours overlap
// the ROI by half (the grid steps half a box), so their SDs share half its
// sampling error. For k neighbours the difference spreads c_k standard errors
// (c_4 0.625, c_3 0.675, c_2 0.80, c_1 1.0); the allowance is the t with
// sum over ROIs of the two-sided normal tail beyond t x c_k standard errors
// equal to 1 %. roisByNeighbourCount: UniformityMetrics::RoisByNeighbourCount.
// 0 without a box of at least 2 x 2 pixels or without neighbours.
double NoiseUniformityAllowancePercent(std::uint32_t boxPixels, const std::array<std::size_t, 5>& roisByNeighbourCount);

// The allowances of the three checks on ROI means. An ROI mean of n pixels
// scatters from sampling alone by one standard error, SE = 100 x
// relativePixelNoise / sqrt(n) % of the signal (UniformityMetrics::
// RelativePixelNoise), and the checks take extremes over every ROI, so each
// allowance is the value a clean image exceeds with a chance of at most 1 %:
// - Deviation, the largest ROI mean deviation: z SE, z the two-sided normal
//   quantile for a tail of 0.01 / roiCount (shared over the ROIs, as above);
// - Global, the global uniformity (highest less lowest ROI mean): 2 z SE, as
//   the range can only exceed it when one end lies beyond z SE;
// - Local, the local uniformity (an ROI mean less the mean of its
//   neighbours' means): t SE with the t of NoiseUniformityAllowancePercent,
//   since means of boxes sharing a fraction f of their pixels covary by f,
//   exactly as the neighbour algebra there assumes.
// Each is rounded up to 0.1 percentage point; all are 0 without a box, a
// noise or ROIs (Local also without neighbours). Where an allowance exceeds
// the check's own lowest limit the box is too small for that check at this
// noise: the check is not evaluated.
struct RoiMeanAllowance {
    double Global = 0.0;
    double Local = 0.0;
    double Deviation = 0.0;
};
RoiMeanAllowance RoiMeanSamplingAllowance(std::uint32_t boxPixels, double relativePixelNoise, std::size_t roiCount,
                                          const std::array<std::size_t, 5>& roisByNeighbourCount);

// The warning and action limits on the number of defect pixels of the
// presets (DefectPixels.h): a warning for any, action above 500. A clean
// field has one with a chance below 1 %; a few are corrected like any
// defective pixel, but more than 500 new defects (0.012 % of a 2048 x 2048
// detector, several times what a defect map usually gains between two
// calibrations) point to a failing detector.
inline constexpr Limits DefectPixelLimits{0.0, 500.0};

// The lowest LineFloorPercent of the presets, as a fraction: the line search
// of the inspection lists the lines beyond it, each preset counts those
// beyond its own floor.
double LowestLineFloorFraction();

// The verdict of one value against one pair of limits.
Verdict Judge(std::optional<double> value, const Limits& limits);

// The verdicts of one analysis. settings are those the analysis ran with; they
// decide whether the deviating-pixel count can be judged.
GuidelineVerdict Judge(const UniformityMetrics& metrics, const AnalysisSettings& settings,
                       const GuidelinePreset& preset);

// The checks of the defects and the structured noise, in this order: largest
// cluster of defect pixels (judged, like the pixel count, only when the
// pixels were searched at the preset's percentage; 0 without any), line
// defects (those beyond the preset's LineFloorPercent), row and column
// correlated noise (not evaluated when not available). To judge the detector rather than its few bad pixels, pass
// insight.Metrics.Robust to Judge above and append these.
std::vector<CheckVerdict> JudgeDetector(const DetectorInsight& insight, const AnalysisSettings& settings,
                                        const GuidelinePreset& preset);

// Appends checks to verdict and makes its overall verdict the worst of all.
void AppendChecks(GuidelineVerdict& verdict, std::vector<CheckVerdict> checks);

// For an image Evenor does not judge (image.NotJudged not empty): every check
// and the overall verdict become NotJudged (the warnings say why); the checks'
// values, limits and notes are kept for display. Nothing changes for an image
// Evenor judges.
void WithholdJudgement(GuidelineVerdict& verdict, const ImageInfo& image);

// The verdicts the summaries show (window, command line, JSON, history): the
// robust metrics judged, then the defect and structured-noise checks, then
// the signal check when it fails.
GuidelineVerdict Judge(const DetectorInsight& insight, const AnalysisSettings& settings, const GuidelinePreset& preset);

// The same, withheld for an image Evenor does not judge (WithholdJudgement).
GuidelineVerdict Judge(const DetectorInsight& insight, const AnalysisSettings& settings, const GuidelinePreset& preset,
                       const ImageInfo& image);

}  // namespace evenor

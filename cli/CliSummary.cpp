#include "cli/CliSummary.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>

#include "insight/ResultExport.h"

namespace evenor {

namespace {

std::string Fixed(double value, int decimals = 2)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
}

// A limit as typed in a preset: 5, 2.5 (shortest form).
std::string Plain(double value)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

std::string Counted(std::size_t count, const char* singular, const char* plural)
{
    return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

// "2047", "943..1009, 2047"; "none" for no range.
std::string Ranges(const std::vector<LineRange>& ranges)
{
    if (ranges.empty()) return "none";
    std::string text;
    for (const LineRange& range : ranges) {
        if (!text.empty()) text += ", ";
        text += std::to_string(range.First);
        if (range.Last != range.First) text += ".." + std::to_string(range.Last);
    }
    return text;
}

std::string Counts(const UniformityMetrics& metrics)
{
    return Counted(metrics.RoiCount, "ROI", "ROIs") + ", " +
           Counted(metrics.DeviatingRoiCount, "deviating ROI", "deviating ROIs") + ", " +
           Counted(metrics.DeviatingPixelCount, "deviating pixel", "deviating pixels");
}

std::string LimitsText(const Limits& limits, const char* unit)
{
    std::string text;
    if (limits.Warning) text += "warning above " + Plain(*limits.Warning) + unit;
    if (limits.Action) text += (text.empty() ? "" : ", ") + std::string("action above ") + Plain(*limits.Action) + unit;
    return text.empty() ? "no limits" : text;
}

std::string PadRight(std::string text, std::size_t width)
{
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

namespace {

// The noise power spectrum's lines of the summary.
void SpectrumSummary(std::ostream& text, const SpectrumFindings& spectrum)
{
    text << "Noise power spectrum: ";
    if (!spectrum.NotComputed.empty()) {
        text << "not computed (" << spectrum.NotComputed << ")\n";
        return;
    }
    text << (spectrum.Peaks.PeriodicPattern() ? kPeriodicPatternVerdict : kNoPeriodicPatternVerdict) << " ("
         << (spectrum.Linearised ? "linearised" : "stored") << " values, " << Counted(spectrum.Rois, "ROI", "ROIs")
         << " of " << kSpectrumRoiSize << " x " << kSpectrumRoiSize << " pixels)\n";
    std::ostringstream number;
    number.imbue(std::locale::classic());
    number.precision(4);
    for (const SpectrumMetric& metric : spectrum.Metrics) {
        number.str("");
        number << "  NNPS at " << metric.Frequency << " mm^-1: horizontal " << metric.Horizontal << ", vertical "
               << metric.Vertical << ", radial " << metric.Radial << " mm^2";
        text << number.str() << '\n';
    }
    for (const SpectrumPeak& peak : spectrum.Peaks.Peaks) text << "  peak: " << DescribePeak(peak) << '\n';
}

}  // namespace

std::string ImageSummaryText(const std::string& file, const ImageOutcome& outcome)
{
    const GuidelineVerdict& verdict = outcome.Verdict;
    const DetectorFindings& detector = outcome.Detector;
    std::ostringstream text;
    text << "Image: " << file << '\n';
    text << "Counts: " << Counts(outcome.Metrics) << '\n';
    text << "Area: mean " << Fixed(outcome.AreaMean) << ", SD " << Fixed(outcome.AreaSD) << ", SNR "
         << Fixed(outcome.AreaSNR) << "; ROI SNR: mean " << Fixed(outcome.MeanRoiSNR) << ", SD "
         << Fixed(outcome.RoiSNRSD) << '\n';
    if (outcome.BorderMm > 0.0)
        text << "Border: " << Plain(outcome.BorderMm) << " mm (" << Counted(outcome.BorderPixels, "pixel", "pixels")
             << ") left out on every side; evaluated columns " << outcome.FirstColumn << ".." << outcome.LastColumn
             << ", rows " << outcome.FirstRow << ".." << outcome.LastRow << '\n';
    text << "Metrics and verdicts (preset " << verdict.Preset << "):\n";

    std::size_t nameWidth = 0;
    for (const auto& check : verdict.Checks) nameWidth = std::max(nameWidth, check.Name.size());
    const auto infos = AllMetricInfos();
    const bool anyLeftOut = detector.Metrics.Basis == PixelBasis::WithoutDeviatingPixels &&
                            detector.Metrics.EveryPixel.DeviatingPixelCount > 0;
    for (std::size_t i = 0; i < verdict.Checks.size(); ++i) {
        const CheckVerdict& check = verdict.Checks[i];
        const bool isMetric = i < infos.size();
        const bool isNoise = check.Key == RowNoiseCheckKey || check.Key == ColumnNoiseCheckKey;
        const bool percent = isMetric || isNoise;
        std::string value = "n/a";
        if (check.Value) value = percent ? Fixed(*check.Value) + " %" : Plain(*check.Value);
        if (isMetric) {
            const MetricValue& metric = detector.Metrics.Robust.Values[i];
            if (metric.Where && metric.Value)
                value += " at (" + std::to_string(metric.Where->X) + ", " + std::to_string(metric.Where->Y) + ")";
        }
        text << "  " << PadRight(std::string(check.Name), nameWidth) << "  " << PadRight(value, 24) << "  "
             << PadRight(std::string(VerdictName(check.Result)), 13) << "  "
             << (check.Note.empty() ? LimitsText(check.Limit, percent ? " %" : "") : check.Note);
        if (check.SamplingAllowance > 0.0 && check.Note.empty())
            text << " (incl. " << Plain(check.SamplingAllowance) << " % for ROI sampling)";
        text << '\n';
        if (isMetric) {
            text << "      " << MetricDescription(infos[i].Id, detector.Metrics.Basis) << '\n';
            const MetricValue& every = detector.Metrics.EveryPixel.Values[i];
            if (anyLeftOut) {
                text << "      every pixel included: " << (every.Value ? Fixed(*every.Value) + " %" : "n/a");
                if (every.Where && every.Value) text << " at (" << every.Where->X << ", " << every.Where->Y << ")";
                text << '\n';
            }
        }
        if (isNoise)
            text << "      " << (check.Key == RowNoiseCheckKey ? kRowNoiseInfo : kColumnNoiseInfo).Description << '\n';
    }

    text << "Defects: ";
    if (!detector.PixelsSearched) {
        text << "deviating pixels were not searched";
    } else if (detector.Clusters == 0) {
        text << "no deviating pixels";
    } else {
        text << Counted(detector.Clusters, "cluster", "clusters") << " of deviating pixels ("
             << Counted(detector.Singles, "single pixel", "single pixels") << ", "
             << Counted(detector.Pairs, "pair", "pairs") << ", " << detector.Larger << " larger)";
        const DefectCluster& largest = *detector.Largest;
        text << "; largest " << Counted(largest.Size, "pixel", "pixels") << " at (" << Fixed(largest.CentreX, 1) << ", "
             << Fixed(largest.CentreY, 1) << "), columns " << largest.Left << ".." << largest.Right << ", rows "
             << largest.Top << ".." << largest.Bottom << ", " << largest.Hot << " hot, " << largest.Size - largest.Hot
             << " dead";
    }
    text << '\n';

    text << "Outside the ROI grid: ";
    if (detector.GapColumns.empty() && detector.GapRows.empty()) {
        text << "none, every pixel lies in an ROI";
    } else {
        text << "columns " << Ranges(detector.GapColumns) << "; rows " << Ranges(detector.GapRows);
        if (detector.PixelsSearched)
            text << "; " << Counted(detector.GapPixels, "deviating pixel", "deviating pixels")
                 << " there (against the mean of a box around each)";
    }
    text << '\n';

    text << "Line defects: ";
    if (!detector.LinesSearched) {
        text << "not searched (" << detector.LinesNotSearched << ")";
    } else if (detector.Lines.empty()) {
        text << "none";
    } else {
        const char* separator = "";
        for (const LineDefect& line : detector.Lines) {
            text << separator << OrientationName(line.Orientation) << ' ' << line.Index << " ("
                 << (line.DeviationPercent >= 0.0 ? "+" : "") << Fixed(line.DeviationPercent) << " %"
                 << (line.DeviatingPixels ? ", mostly deviating pixels" : "") << ')';
            separator = ", ";
        }
    }
    text << '\n';

    // The rim's border is relative to the area evaluated; with a border given
    // already, the suggestion counts it in.
    text << "Rim: " << DescribeRims(detector.Rims, outcome.BorderPixels > 0 ? 0.0 : outcome.PixelSpacing);
    if (detector.Rims.Found() && !detector.Rims.Interior.Empty() && outcome.PixelSpacing > 0.0) {
        const double suggested =
            std::ceil((outcome.BorderPixels + detector.Rims.WidestSide()) * outcome.PixelSpacing * 10.0 - 1e-9) / 10.0;
        text << "; to leave it out: --border-mm " << Plain(suggested);
    }
    text << '\n';

    const StructuredNoise& noise = detector.Noise;
    text << "Structured noise: ";
    if (!noise.PixelNoise) {
        text << "not measured";
    } else {
        text << "pixel noise SD " << Fixed(*noise.PixelNoise);
        const auto direction = [&](const char* name, const LineNoise& line) {
            text << "; " << name << " means: ";
            if (line.Ratio)
                text << Fixed(*line.Ratio) << " x the SD that pixel noise gives them (" << line.Lines << " lines)";
            else
                text << "not measured";
        };
        direction("row", noise.Rows);
        direction("column", noise.Columns);
    }
    text << '\n';
    if (outcome.Spectrum) SpectrumSummary(text, *outcome.Spectrum);
    text << "Overall verdict: " << VerdictName(verdict.Overall) << '\n';
    return text.str();
}

std::string ImageSummaryLine(const std::string& file, const ImageOutcome& outcome)
{
    return file + ": " + std::string(VerdictName(outcome.Verdict.Overall)) + " (" + Counts(outcome.Metrics) + ")";
}

std::string PresetListText()
{
    std::string text;
    for (const auto& preset : AllPresets()) {
        text += std::string(preset.Name);
        if (preset.Name == DefaultPreset().Name) text += " (default)";
        text += "\n    " + std::string(preset.Description) + "\n";
        if (!preset.DetectorDescription.empty()) text += "    " + std::string(preset.DetectorDescription) + "\n";
        text += "    A line defect also departs by more than " + FormatReal(preset.LineFloorPercent) +
                " % of the median line mean (the line floor).\n";
    }
    return text;
}

}  // namespace evenor

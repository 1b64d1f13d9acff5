#include "cli/CliSummary.h"

#include <algorithm>
#include <locale>
#include <sstream>

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

std::string ImageSummaryText(const std::string& file, const ImageOutcome& outcome)
{
    const GuidelineVerdict& verdict = outcome.Verdict;
    std::ostringstream text;
    text << "Image: " << file << '\n';
    text << "Counts: " << Counts(outcome.Metrics) << '\n';
    text << "Area: mean " << Fixed(outcome.AreaMean) << ", SD " << Fixed(outcome.AreaSD) << ", SNR "
         << Fixed(outcome.AreaSNR) << "; ROI SNR: mean " << Fixed(outcome.MeanRoiSNR) << ", SD "
         << Fixed(outcome.RoiSNRSD) << '\n';
    text << "Metrics and verdicts (preset " << verdict.Preset << "):\n";

    std::size_t nameWidth = 0;
    for (const auto& check : verdict.Checks) nameWidth = std::max(nameWidth, check.Name.size());
    const auto infos = AllMetricInfos();
    for (std::size_t i = 0; i < verdict.Checks.size(); ++i) {
        const CheckVerdict& check = verdict.Checks[i];
        const bool isMetric = i < infos.size();
        std::string value = "n/a";
        if (check.Value) value = isMetric ? Fixed(*check.Value) + " %" : Plain(*check.Value);
        if (isMetric) {
            const MetricValue& metric = outcome.Metrics.Values[i];
            if (metric.Where && metric.Value)
                value += " at (" + std::to_string(metric.Where->X) + ", " + std::to_string(metric.Where->Y) + ")";
        }
        text << "  " << PadRight(std::string(check.Name), nameWidth) << "  " << PadRight(value, 24) << "  "
             << PadRight(std::string(VerdictName(check.Result)), 13) << "  "
             << (check.Note.empty() ? LimitsText(check.Limit, isMetric ? " %" : "") : check.Note) << '\n';
        if (isMetric) text << "      " << infos[i].Description << '\n';
    }
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
    }
    return text;
}

}  // namespace evenor

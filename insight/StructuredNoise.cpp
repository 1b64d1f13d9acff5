#include "insight/StructuredNoise.h"

#include <algorithm>
#include <cmath>

#include "insight/Metrics.h"
#include "insight/RobustScale.h"

namespace evenor {

namespace {

// Half the sample variance of the differences of consecutive lines that
// are both kept, and how many lines took part.
std::optional<double> LineToLineVariance(const std::vector<double>& means, const std::vector<bool>& skip,
                                         std::size_t& lines)
{
    std::vector<double> differences;
    std::vector<bool> used(means.size(), false);
    for (std::size_t i = 0; i + 1 < means.size(); ++i) {
        if (skip[i] || skip[i + 1]) continue;
        differences.push_back(means[i + 1] - means[i]);
        used[i] = used[i + 1] = true;
    }
    lines = static_cast<std::size_t>(std::count(used.begin(), used.end(), true));
    if (differences.size() < 2) return std::nullopt;
    double sum = 0.0;
    for (const double d : differences) sum += d;
    const double mean = sum / static_cast<double>(differences.size());
    double acc = 0.0;
    for (const double d : differences) acc += (d - mean) * (d - mean);
    return acc / static_cast<double>(differences.size() - 1) / 2.0;
}

double MeanCount(const std::vector<std::uint32_t>& counts)
{
    double sum = 0.0;
    for (const auto c : counts) sum += c;
    return counts.empty() ? 0.0 : sum / static_cast<double>(counts.size());
}

void Finish(LineNoise& noise, std::optional<double> variance, double sigma, double pixelsPerLine)
{
    if (!variance || !(pixelsPerLine > 0.0) || !(sigma > 0.0)) return;
    const double white = sigma * sigma / pixelsPerLine;
    noise.LineSD = std::sqrt(*variance);
    noise.WhiteSD = std::sqrt(white);
    noise.Ratio = *noise.LineSD / *noise.WhiteSD;
    noise.CorrelatedPercent = std::sqrt(std::max(0.0, *variance - white)) / sigma * 100.0;
}

}  // namespace

std::optional<double> MedianRoiVariance(const TMeetSerie& rois, std::uint32_t boxPixels, const PixelRect& rect)
{
    if (rois.empty() || boxPixels < 2) return std::nullopt;
    std::vector<double> inside, all;
    for (const RoiResult& roi : rois) {
        const double variance = roi.SD * roi.SD;
        all.push_back(variance);
        if (rect.Contains(roi.X, roi.Y) && rect.Contains(roi.X + boxPixels - 1, roi.Y + boxPixels - 1))
            inside.push_back(variance);
    }
    const double k = static_cast<double>(boxPixels) * boxPixels - 1.0;
    const double bias = std::pow(1.0 - 2.0 / (9.0 * k), 3.0);
    return MedianOf(inside.empty() ? std::move(all) : std::move(inside)) / bias;
}

StructuredNoise MeasureStructuredNoise(const LineProfiles& without, const std::vector<LineDefect>& lines,
                                       std::optional<double> roiVariance)
{
    StructuredNoise noise;
    std::vector<bool> skipRows(without.RowSum.size(), false), skipColumns(without.ColumnSum.size(), false);
    // Lines made mostly of deviating pixels have means of another precision
    // (and another selection); they take no part, like the line defects.
    for (std::size_t i = 0; i < skipRows.size(); ++i) skipRows[i] = without.RowCount[i] * 2 < without.Rect.Width;
    for (std::size_t i = 0; i < skipColumns.size(); ++i)
        skipColumns[i] = without.ColumnCount[i] * 2 < without.Rect.Height;
    for (const LineDefect& line : lines) {
        if (line.Orientation == LineOrientation::Row && without.Rect.Contains(without.Rect.Left, line.Index))
            skipRows[line.Index - without.Rect.Top] = true;
        if (line.Orientation == LineOrientation::Column && without.Rect.Contains(line.Index, without.Rect.Top))
            skipColumns[line.Index - without.Rect.Left] = true;
    }
    const auto rowVariance = LineToLineVariance(without.RowMeans(), skipRows, noise.Rows.Lines);
    const auto columnVariance = LineToLineVariance(without.ColumnMeans(), skipColumns, noise.Columns.Lines);
    if (!roiVariance || !(*roiVariance > 0.0)) return noise;

    const double perRow = MeanCount(without.RowCount), perColumn = MeanCount(without.ColumnCount);
    double variance = *roiVariance;
    if (rowVariance && columnVariance && perRow > 1.0 && perColumn > 1.0) {
        const double corrected =
            (*roiVariance - *rowVariance - *columnVariance) / (1.0 - 1.0 / perRow - 1.0 / perColumn);
        variance = std::max(corrected, *roiVariance / 4.0);
    }
    const double sigma = std::sqrt(variance);
    noise.PixelNoise = sigma;
    Finish(noise.Rows, rowVariance, sigma, perRow);
    Finish(noise.Columns, columnVariance, sigma, perColumn);
    return noise;
}

std::vector<std::optional<double>> RoiNoiseDeviationPercent(const TMeetSerie& rois)
{
    double sum = 0.0;
    for (const RoiResult& roi : rois) sum += roi.SD;
    const double mean = rois.empty() ? 0.0 : sum / static_cast<double>(rois.size());
    std::vector<std::optional<double>> deviations(rois.size());
    for (std::size_t i = 0; i < rois.size(); ++i) deviations[i] = DeviationPercent(rois[i].SD, mean);
    return deviations;
}

}  // namespace evenor

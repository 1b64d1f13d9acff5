#include "insight/DetectorInsight.h"

#include <algorithm>
#include <cmath>

#include "insight/Guidelines.h"
#include "insight/SideTask.h"

namespace evenor {

namespace {

// From this many area pixels on, the inspection's independent passes share
// the two cores; below, a thread costs more than it saves.
constexpr std::uint64_t kSideTaskPixels = std::uint64_t{1} << 20;

}  // namespace

PixelRect LineSearchArea(const RimReport& rims, std::uint32_t boxPixels)
{
    if (!rims.Found() || rims.Interior.Empty()) return rims.Interior;
    const auto band = [&](const RimSide& side) { return side.Lines > 0 ? boxPixels : 0u; };
    const std::uint64_t left = band(rims.Left), right = band(rims.Right), top = band(rims.Top),
                        bottom = band(rims.Bottom);
    // Keep enough lines for the search; else the interior as it is.
    const std::uint64_t minimum = 2 * kLineNeighbours + 1;
    if (left + right + minimum > rims.Interior.Width || top + bottom + minimum > rims.Interior.Height)
        return rims.Interior;
    return PixelRect{rims.Interior.Left + static_cast<std::uint32_t>(left),
                     rims.Interior.Top + static_cast<std::uint32_t>(top),
                     rims.Interior.Width - static_cast<std::uint32_t>(left + right),
                     rims.Interior.Height - static_cast<std::uint32_t>(top + bottom)};
}

DetectorInsight InspectDetector(const AnalysisSettings& settings, const AnalysisOutcome& outcome)
{
    return InspectDetector(settings, outcome.Result, outcome.Pixels, outcome.Columns);
}

DetectorInsight InspectDetector(const AnalysisSettings& settings, const AnalysisResult& result,
                                std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                std::optional<double> lineFloorFraction)
{
    DetectorInsight insight;
    insight.PixelsSearched = settings.DetectDeviatingPixels;
    const PixelRect area{settings.FirstColumn, settings.FirstRow, settings.LastColumn - settings.FirstColumn + 1,
                         settings.LastRow - settings.FirstRow + 1};
    const std::uint64_t areaPixels = static_cast<std::uint64_t>(area.Width) * area.Height;

    // The gaps' search and the judging of the deviating pixels go to a
    // second thread, beside the line profiles and the robust statistics.
    auto judgePixels = [&] {
        insight.Gaps = FindGridGaps(settings, result, pixels, columns);
        if (!settings.DetectDeviatingPixels) return;
        // The pixels of the gaps count as the grid's do, for the clusters and
        // for the defect pixels (their RoiMean is the mean of the box around
        // each).
        const auto judge = [&](const TBadPixelMap& pixelsFound) {
            insight.Clusters = FindDefectClusters(pixelsFound);
            insight.DefectPixels = CountDefectPixels(pixelsFound, result.Rois, areaPixels);
        };
        if (insight.Gaps.Pixels.empty()) {
            judge(result.BadPixelMap);
        } else {
            TBadPixelMap every = result.BadPixelMap;
            TBadPixelMap gapPixels = insight.Gaps.Pixels;
            every.Append(std::move(gapPixels));
            judge(every);
        }
    };
    SideTask pixelJudging(judgePixels, settings.DetectDeviatingPixels && areaPixels >= kSideTaskPixels);
    const LineProfiles areaProfiles = MeasureLineProfiles(pixels, columns, area);
    insight.RobustRois = ComputeRobustRoiStatistics(result, settings, pixels, columns, areaProfiles.Total);
    insight.Metrics = ComputeRobustMetrics(result, settings, insight.RobustRois);
    pixelJudging.Join();
    if (insight.DefectPixels.Counted) insight.Metrics.Robust.DefectPixelCount = insight.DefectPixels.Count;
    insight.RoiNoiseDeviation = RoiNoiseDeviationPercent(insight.RobustRois.Rois);

    insight.Rims = FindRims(areaProfiles);
    if (insight.Rims.Interior.Empty()) return insight;
    const PixelRect lineArea = LineSearchArea(insight.Rims, result.BoxPixels);
    LineProfiles every = insight.Rims.Found() ? MeasureLineProfiles(pixels, columns, lineArea) : areaProfiles;
    LineProfiles without = every;
    LeaveOut(without, result.BadPixelMap);
    LeaveOut(without, insight.Gaps.Pixels);

    const std::optional<double> roiVariance = MedianRoiVariance(insight.RobustRois.Rois, result.BoxPixels, lineArea);
    const double pixelNoise = roiVariance ? std::sqrt(*roiVariance) : 0.0;
    if (insight.PixelsSearched) {
        insight.LineFloorFraction = lineFloorFraction.value_or(LowestLineFloorFraction());
        LineSearch lines = FindLineDefects(every, without, pixelNoise, insight.LineFloorFraction);
        insight.Lines = std::move(lines.Lines);
        insight.LargestOtherLineSigmas = lines.LargestOtherSigmas;
        insight.LinesSearched = true;
    }
    insight.Noise = MeasureStructuredNoise(without, insight.Lines, roiVariance);
    return insight;
}

const char* LinesNotSearchedReason(const DetectorInsight& insight)
{
    if (insight.LinesSearched) return "";
    if (insight.Rims.Interior.Empty()) return "the rims cover the whole area";
    return "deviating pixels were not searched, and a single hot pixel cannot be told from a line";
}

}  // namespace evenor

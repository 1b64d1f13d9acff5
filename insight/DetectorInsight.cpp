#include "DetectorInsight.h"

#include <cmath>

namespace evenor {

DetectorInsight InspectDetector(const AnalysisSettings& settings, const AnalysisOutcome& outcome)
{
    return InspectDetector(settings, outcome.Result, outcome.Pixels, outcome.Columns);
}

DetectorInsight InspectDetector(const AnalysisSettings& settings, const AnalysisResult& result,
                                std::span<const std::uint16_t> pixels, std::uint32_t columns)
{
    DetectorInsight insight;
    insight.PixelsSearched = settings.DetectDeviatingPixels;
    const PixelRect area{settings.FirstColumn, settings.FirstRow, settings.LastColumn - settings.FirstColumn + 1,
                         settings.LastRow - settings.FirstRow + 1};
    const LineProfiles areaProfiles = MeasureLineProfiles(pixels, columns, area);

    insight.RobustRois = ComputeRobustRoiStatistics(result, settings, pixels, columns, areaProfiles.Total);
    insight.Metrics = ComputeRobustMetrics(result, settings, insight.RobustRois);
    if (settings.DetectDeviatingPixels) insight.Clusters = FindDefectClusters(result.BadPixelMap);
    insight.RoiNoiseDeviation = RoiNoiseDeviationPercent(result.Rois);

    insight.Rims = FindRims(areaProfiles);
    if (insight.Rims.Interior.Empty()) return insight;
    LineProfiles every = insight.Rims.Found() ? MeasureLineProfiles(pixels, columns, insight.Rims.Interior)
                                              : areaProfiles;
    LineProfiles without = every;
    LeaveOut(without, result.BadPixelMap);

    const std::optional<double> roiVariance =
        MedianRoiVariance(insight.RobustRois.Rois, result.BoxPixels, insight.Rims.Interior);
    const double pixelNoise = roiVariance ? std::sqrt(*roiVariance) : 0.0;
    insight.Lines = FindLineDefects(every, without, pixelNoise);
    insight.Noise = MeasureStructuredNoise(without, insight.Lines, roiVariance);
    return insight;
}

}  // namespace evenor

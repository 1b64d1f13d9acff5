#include "insight/DefectPixels.h"

#include <cmath>

#include "insight/Defects.h"
#include "insight/RobustScale.h"

namespace evenor {

namespace {

// The z with 0.5 erfc(z / sqrt 2) = tail, by bisection.
double UpperNormalQuantile(double tail)
{
    double low = 0.0, high = 40.0;
    for (int i = 0; i < 100; ++i) {
        const double mid = 0.5 * (low + high);
        (0.5 * std::erfc(mid / std::sqrt(2.0)) > tail ? low : high) = mid;
    }
    return high;
}

}  // namespace

double DefectPixelSigmas(std::uint64_t areaPixels)
{
    if (areaPixels == 0) return 0.0;
    return UpperNormalQuantile(0.005 / static_cast<double>(areaPixels)) + 0.5;
}

DefectPixelSummary CountDefectPixels(const TBadPixelMap& map, const TMeetSerie& rois, std::uint64_t areaPixels)
{
    DefectPixelSummary summary;
    if (rois.empty()) return summary;
    std::vector<double> sds;
    sds.reserve(rois.size());
    for (const auto& roi : rois) sds.push_back(roi.SD);
    summary.Counted = true;
    summary.PixelNoise = MedianInPlace(sds);
    summary.Sigmas = DefectPixelSigmas(areaPixels);
    const double bound = summary.Sigmas * summary.PixelNoise;
    TBadPixelMap defects;
    for (const auto& pixel : map)
        if (std::fabs(pixel.Value - pixel.RoiMean) > bound) defects.Add(pixel);
    summary.Count = defects.size();
    if (!defects.empty()) summary.LargestCluster = FindDefectClusters(defects).Clusters.front().Size;
    return summary;
}

}  // namespace evenor

#pragma once
// Robust summary metrics: the uniformity metrics of Metrics.h computed from
// ROI statistics without the deviating pixels, so that a few hot or dead
// pixels do not decide how uniform the detector is. The deviating pixels are
// those of the run's BadPixelMap (each pixel that deviates from the mean of a
// ROI it lies in); the report and its deviating ROIs and pixels stay as they
// are, only these summary numbers leave the pixels out.
//
// Numbers: a ROI that holds no deviating pixel keeps its statistics bit for
// bit. A ROI that holds some is computed again from the prepared pixels
// without them, by the rules of WordMeanSD: an exact 64-bit integer sum for
// the mean, then a sequential double sum of (mean - v)^2 over the remaining
// pixels in index order (row by row, left to right), divisor n - 1; SNR is
// Mean / SD, 0 when SD is 0. A ROI left with fewer than 2 pixels keeps its
// every-pixel statistics (counted in KeptWholeRois). The area mean leaves the
// same pixels out of the area's exact sum; the mean ROI SNR is RealMeanSD of
// the robust ROI SNRs.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "insight/Metrics.h"

namespace evenor {

// Which pixels a set of metrics was computed from.
enum class PixelBasis : std::uint8_t {
    EveryPixel,              // the report's ROI statistics, every pixel included
    WithoutDeviatingPixels,  // deviating pixels were searched and are left out (there may be none)
    EveryPixelNotSearched,   // deviating pixels were not searched, so every pixel is included
};

struct RobustRoiStatistics {
    TMeetSerie Rois;  // result.Rois, same order and positions, the ROIs with deviating pixels recomputed
    std::vector<std::uint32_t> LeftOut;  // per ROI: pixels left out (0: the ROI is the result's, bit for bit)
    std::size_t RecomputedRois = 0;
    std::size_t KeptWholeRois = 0;  // ROIs with fewer than 2 pixels left, kept as they were
    double AreaMean = 0.0;          // without the deviating pixels
    double MeanRoiSNR = 0.0;        // of Rois' SNR values
    double RoiSNRSD = 0.0;
};

// The ROI statistics of result without its deviating pixels. pixels are the
// prepared values the run analysed (AnalysisOutcome::Pixels), `columns` to a
// row; areaSum is the exact integer sum of the evaluated area with every
// pixel (LineProfiles::Total of the area). With an empty BadPixelMap the
// result's own numbers are returned. Cost: one pass over each ROI that holds
// a deviating pixel, plus a bitmap of the area (one bit per pixel) when there
// is any.
RobustRoiStatistics ComputeRobustRoiStatistics(const AnalysisResult& result, const AnalysisSettings& settings,
                                               std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                               std::uint64_t areaSum);

struct RobustMetrics {
    UniformityMetrics Robust;      // the metrics that describe the detector (see Basis)
    UniformityMetrics EveryPixel;  // ComputeMetrics(result), every pixel included
    PixelBasis Basis = PixelBasis::EveryPixelNotSearched;
};

// Robust and every-pixel metrics. When settings.DetectDeviatingPixels is off,
// Robust equals EveryPixel and Basis says so. The counts (ROIs, deviating ROIs
// and pixels) are the result's in both.
RobustMetrics ComputeRobustMetrics(const AnalysisResult& result, const AnalysisSettings& settings,
                                   const RobustRoiStatistics& statistics);

// The one-line description of a metric computed on basis: the metric's own
// description followed by which pixels it includes.
std::string MetricDescription(MetricId id, PixelBasis basis);

}  // namespace evenor

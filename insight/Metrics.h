#pragma once
// Summary metrics of one uniformity analysis: single numbers that say how far
// the detector image is from uniform, computed from the ROI statistics of an
// AnalysisResult alone (no pixel values needed).
//
// Every percentage is relative to a reference (the area mean, the mean ROI SNR
// or the mean ROI SD). A reference of 0, or a quotient that is not finite,
// makes the metric "not available": its optional Value is empty. No metric
// ever holds NaN or infinity.
//
// Grid neighbours: the ROIs of a run lie on a lattice of distinct left columns
// (X) and distinct top rows (Y); the far-edge column and row of the grid are
// simply further distinct positions. The left and right neighbours of a ROI
// are the ROIs at the same Y whose X is the next smaller and next larger
// distinct X that has a ROI at that Y; up and down likewise along its X. A
// ROI has up to four neighbours. When several ROIs share one position (a
// far-edge box that coincides with a grid box), the first of them in series
// order stands for that position.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "analysis/RoiGrid.h"

namespace evenor {

enum class MetricId : std::uint8_t {
    GlobalUniformity,  // (max - min of ROI means) / AreaMean, %
    LocalUniformity,   // largest |ROI mean - mean of its neighbours' means| / AreaMean, %
    NoiseUniformity,   // the same on ROI SD, relative to the mean ROI SD, %
    RoiMeanDeviation,  // signed largest (ROI mean - AreaMean) / AreaMean, %
    RoiSnrDeviation,   // signed largest (ROI SNR - MeanRoiSNR) / MeanRoiSNR, %
};
inline constexpr std::size_t MetricCount = 5;

// The fixed texts of one metric.
struct MetricInfo {
    MetricId Id;
    std::string_view Key;          // machine name: "global_uniformity", ...
    std::string_view Name;         // "Global uniformity", ...
    std::string_view Unit;         // "%"
    std::string_view Description;  // one line, shown wherever the metric is shown
};

// The metrics in MetricId order.
std::span<const MetricInfo> AllMetricInfos();
const MetricInfo& InfoOf(MetricId id);

struct RoiPosition {
    std::uint32_t X = 0;  // left column of the ROI
    std::uint32_t Y = 0;  // top row of the ROI
    friend bool operator==(const RoiPosition&, const RoiPosition&) = default;
};

struct MetricValue {
    std::optional<double> Value;       // percent; empty when not available
    std::optional<RoiPosition> Where;  // the ROI where it occurs (not for global uniformity)
};

struct UniformityMetrics {
    std::array<MetricValue, MetricCount> Values;  // indexed by MetricId
    std::size_t RoiCount = 0;
    std::uint32_t BoxPixels = 0;          // side of one ROI in pixels; 0 when unknown
    std::size_t DeviatingRoiCount = 0;    // entries of BadROIMap
    std::size_t DeviatingPixelCount = 0;  // entries of BadPixelMap
    // Of those, the defect pixels (DefectPixels.h): also beyond the pixel
    // noise. Empty when not counted (no detector inspection).
    std::optional<std::size_t> DefectPixelCount;
    // The highest and the lowest ROI SNR, as deviations from the mean ROI SNR
    // (%), each with its ROI: RoiSnrDeviation is the one farther out. The
    // sampling spread of an SNR is skewed, so each side is judged by itself.
    MetricValue HighestRoiSnr;
    MetricValue LowestRoiSnr;
    // ROIs by their number of grid neighbours (0 to 4); the spread of the
    // noise uniformity statistic depends on it.
    std::array<std::size_t, 5> RoisByNeighbourCount{};
    // The pixel noise as a fraction of the signal: the median ROI SD (hardly
    // moved by the few ROIs a sharp defect edge crosses) over the reference
    // of the ROI means. An ROI mean of n pixels scatters by this over
    // sqrt(n) from sampling alone. 0 when not available.
    double RelativePixelNoise = 0.0;

    const MetricValue& operator[](MetricId id) const& { return Values[static_cast<std::size_t>(id)]; }
    MetricValue& operator[](MetricId id) & { return Values[static_cast<std::size_t>(id)]; }
    // On a temporary (ComputeMetrics(result)[id]) a copy, never a dangling reference.
    MetricValue operator[](MetricId id) const&& { return Values[static_cast<std::size_t>(id)]; }
};

UniformityMetrics ComputeMetrics(const AnalysisResult& result);

// The same metrics from any ROI statistics on the grid of a run (the robust
// ones of RobustMetrics.h too): areaMean is the reference of global and local
// uniformity and of the ROI mean deviation, meanRoiSnr that of the ROI SNR
// deviation. The deviating-ROI and deviating-pixel counts and BoxPixels are
// left 0.
// ComputeMetrics(result) is this call on result.Rois, result.AreaMean and
// result.MeanRoiSNR, plus the counts.
UniformityMetrics ComputeMetrics(const TMeetSerie& rois, double areaMean, double meanRoiSnr);

// (value - reference) / reference * 100; empty when reference is 0 or the
// quotient is not finite.
std::optional<double> DeviationPercent(double value, double reference);

// The lattice of ROI positions, used by the metrics and by the heat maps.
struct RoiLattice {
    std::vector<std::uint32_t> Xs;  // distinct ROI left columns, ascending
    std::vector<std::uint32_t> Ys;  // distinct ROI top rows, ascending
    // Per ROI (series order): its column index into Xs and row index into Ys.
    std::vector<std::uint32_t> Column;
    std::vector<std::uint32_t> Row;
    // Per ROI: the series index of the ROI that stands for its position (itself
    // unless an earlier ROI has the same position).
    std::vector<std::size_t> Representative;
    // Per ROI: the series indices of the representatives of its up to four
    // neighbours (left, right, up, down, in that order, those that exist).
    struct NeighbourSet {
        std::array<std::size_t, 4> Index{};
        std::uint8_t Count = 0;
    };
    std::vector<NeighbourSet> Neighbours;
};

RoiLattice BuildRoiLattice(const TMeetSerie& rois);

}  // namespace evenor

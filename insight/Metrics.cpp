#include "insight/Metrics.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace evenor {

namespace {

constexpr std::array<MetricInfo, MetricCount> kMetricInfos{{
    {MetricId::GlobalUniformity, "global_uniformity", "Global uniformity", "%",
     "Spread of the ROI means: (largest - smallest ROI mean) / area mean, in %"},
    {MetricId::LocalUniformity, "local_uniformity", "Local uniformity", "%",
     "Largest difference between a ROI mean and the mean of its up to four grid neighbours' means, "
     "in % of the area mean"},
    {MetricId::NoiseUniformity, "noise_uniformity", "Noise uniformity", "%",
     "Largest difference between a ROI SD and the mean of its up to four grid neighbours' SDs, "
     "in % of the mean ROI SD"},
    {MetricId::RoiMeanDeviation, "roi_mean_deviation", "Largest ROI mean deviation", "%",
     "ROI mean farthest from the area mean: (ROI mean - area mean) / area mean, in %, signed"},
    {MetricId::RoiSnrDeviation, "roi_snr_deviation", "Largest ROI SNR deviation", "%",
     "ROI SNR farthest from the mean ROI SNR: (ROI SNR - mean ROI SNR) / mean ROI SNR, in %, signed"},
}};

// value / reference * 100, empty when the reference is 0 or the result is not finite.
std::optional<double> PercentOf(double value, double reference)
{
    if (reference == 0.0) return std::nullopt;
    const double percent = value / reference * 100.0;
    if (!std::isfinite(percent)) return std::nullopt;
    return percent;
}

RoiPosition PositionOf(const RoiResult& roi) { return {roi.X, roi.Y}; }

// The largest |quantity(roi) - mean of quantity over its neighbours|, with the
// ROI where it occurs (the first in series order on a tie). Empty when no ROI
// has a neighbour.
template <typename Quantity>
std::optional<std::pair<double, std::size_t>> LargestLocalDifference(const TMeetSerie& rois, const RoiLattice& lattice,
                                                                     Quantity quantity)
{
    std::optional<std::pair<double, std::size_t>> largest;
    for (std::size_t i = 0; i < rois.size(); ++i) {
        const auto& set = lattice.Neighbours[i];
        if (set.Count == 0) continue;
        double sum = 0.0;
        for (std::uint8_t k = 0; k < set.Count; ++k) sum += quantity(rois[set.Index[k]]);
        const double difference = std::fabs(quantity(rois[i]) - sum / set.Count);
        if (!largest || difference > largest->first) largest = std::pair{difference, i};
    }
    return largest;
}

// The signed deviation (in % of reference) with the largest magnitude, and
// where; the first ROI in series order on a tie.
template <typename Quantity> MetricValue LargestDeviation(const TMeetSerie& rois, double reference, Quantity quantity)
{
    MetricValue metric;
    if (reference == 0.0 || rois.empty()) return metric;
    std::size_t at = 0;
    double largest = -1.0;
    for (std::size_t i = 0; i < rois.size(); ++i) {
        const double magnitude = std::fabs(quantity(rois[i]) - reference);
        if (magnitude > largest) {
            largest = magnitude;
            at = i;
        }
    }
    metric.Value = DeviationPercent(quantity(rois[at]), reference);
    if (metric.Value) metric.Where = PositionOf(rois[at]);
    return metric;
}

}  // namespace

std::span<const MetricInfo> AllMetricInfos() { return kMetricInfos; }

const MetricInfo& InfoOf(MetricId id) { return kMetricInfos[static_cast<std::size_t>(id)]; }

std::optional<double> DeviationPercent(double value, double reference)
{
    return PercentOf(value - reference, reference);
}

RoiLattice BuildRoiLattice(const TMeetSerie& rois)
{
    RoiLattice lattice;
    const std::size_t n = rois.size();
    for (const auto& roi : rois) {
        lattice.Xs.push_back(roi.X);
        lattice.Ys.push_back(roi.Y);
    }
    for (auto* axis : {&lattice.Xs, &lattice.Ys}) {
        std::sort(axis->begin(), axis->end());
        axis->erase(std::unique(axis->begin(), axis->end()), axis->end());
    }
    lattice.Column.resize(n);
    lattice.Row.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        lattice.Column[i] = static_cast<std::uint32_t>(
            std::lower_bound(lattice.Xs.begin(), lattice.Xs.end(), rois[i].X) - lattice.Xs.begin());
        lattice.Row[i] = static_cast<std::uint32_t>(std::lower_bound(lattice.Ys.begin(), lattice.Ys.end(), rois[i].Y) -
                                                    lattice.Ys.begin());
    }

    // Walk the ROIs ordered along one axis within lines of the other; equal
    // positions are adjacent in that order with the earliest ROI first.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    lattice.Representative.resize(n);
    lattice.Neighbours.resize(n);

    const auto link = [&](const std::vector<std::uint32_t>& line, const std::vector<std::uint32_t>& along,
                          bool assignRepresentatives) {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return line[a] != line[b] ? line[a] < line[b] : along[a] < along[b];
        });
        // Distinct positions of one line, each with its representative.
        std::size_t start = 0;
        while (start < n) {
            std::size_t end = start;
            while (end < n && line[order[end]] == line[order[start]]) ++end;
            std::vector<std::pair<std::size_t, std::size_t>> groups;  // [first, last) ranges in order
            for (std::size_t k = start; k < end;) {
                std::size_t next = k;
                while (next < end && along[order[next]] == along[order[k]]) ++next;
                groups.emplace_back(k, next);
                k = next;
            }
            for (std::size_t g = 0; g < groups.size(); ++g) {
                const std::size_t representative = order[groups[g].first];
                for (std::size_t k = groups[g].first; k < groups[g].second; ++k) {
                    const std::size_t roi = order[k];
                    if (assignRepresentatives) lattice.Representative[roi] = representative;
                    auto& set = lattice.Neighbours[roi];
                    if (g > 0) set.Index[set.Count++] = order[groups[g - 1].first];
                    if (g + 1 < groups.size()) set.Index[set.Count++] = order[groups[g + 1].first];
                }
            }
            start = end;
        }
    };
    link(lattice.Row, lattice.Column, true);   // left, right
    link(lattice.Column, lattice.Row, false);  // up, down
    return lattice;
}

UniformityMetrics ComputeMetrics(const AnalysisResult& result)
{
    UniformityMetrics metrics = ComputeMetrics(result.Rois, result.AreaMean, result.MeanRoiSNR);
    metrics.BoxPixels = result.BoxPixels;
    metrics.DeviatingRoiCount = result.BadROIMap.size();
    metrics.DeviatingPixelCount = result.BadPixelMap.size();
    return metrics;
}

UniformityMetrics ComputeMetrics(const TMeetSerie& rois, double areaMean, double meanRoiSnr)
{
    UniformityMetrics metrics;
    metrics.RoiCount = rois.size();
    if (rois.empty()) return metrics;

    const auto [lowest, highest] = std::minmax_element(
        rois.begin(), rois.end(), [](const RoiResult& a, const RoiResult& b) { return a.Mean < b.Mean; });
    metrics[MetricId::GlobalUniformity].Value = PercentOf(highest->Mean - lowest->Mean, areaMean);

    const RoiLattice lattice = BuildRoiLattice(rois);
    const auto mean = [](const RoiResult& roi) { return roi.Mean; };
    const auto sd = [](const RoiResult& roi) { return roi.SD; };
    if (const auto local = LargestLocalDifference(rois, lattice, mean)) {
        auto& metric = metrics[MetricId::LocalUniformity];
        metric.Value = PercentOf(local->first, areaMean);
        if (metric.Value) metric.Where = PositionOf(rois[local->second]);
    }
    if (const auto local = LargestLocalDifference(rois, lattice, sd)) {
        double sdSum = 0.0;
        for (const auto& roi : rois) sdSum += roi.SD;
        auto& metric = metrics[MetricId::NoiseUniformity];
        metric.Value = PercentOf(local->first, sdSum / static_cast<double>(rois.size()));
        if (metric.Value) metric.Where = PositionOf(rois[local->second]);
    }

    metrics[MetricId::RoiMeanDeviation] = LargestDeviation(rois, areaMean, mean);
    const auto snr = [](const RoiResult& roi) { return roi.SNR; };
    metrics[MetricId::RoiSnrDeviation] = LargestDeviation(rois, meanRoiSnr, snr);
    const auto [lowestSnr, highestSnr] = std::minmax_element(
        rois.begin(), rois.end(), [](const RoiResult& a, const RoiResult& b) { return a.SNR < b.SNR; });
    for (auto [at, side] : {std::pair{lowestSnr, &metrics.LowestRoiSnr}, std::pair{highestSnr, &metrics.HighestRoiSnr}}) {
        side->Value = DeviationPercent(at->SNR, meanRoiSnr);
        if (side->Value) side->Where = PositionOf(*at);
    }
    for (const auto& set : lattice.Neighbours) ++metrics.RoisByNeighbourCount[set.Count];
    return metrics;
}

}  // namespace evenor

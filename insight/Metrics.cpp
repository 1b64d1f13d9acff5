#include "insight/Metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "insight/RobustScale.h"

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

namespace {

// Positions up to this value are indexed through a table as long as the
// largest position (an image's columns or rows); larger ones are sorted.
constexpr std::uint32_t kDenseAxis = 1u << 22;

// The distinct values of one position of the ROIs, ascending, into values,
// and each ROI's index into them.
void IndexAxis(const TMeetSerie& rois, std::uint32_t RoiResult::*position, std::vector<std::uint32_t>& values,
               std::vector<std::uint32_t>& index)
{
    const std::size_t n = rois.size();
    index.resize(n);
    std::uint32_t largest = 0;
    for (const auto& roi : rois) largest = std::max(largest, roi.*position);
    values.clear();
    if (largest < kDenseAxis) {
        constexpr std::uint32_t absent = std::numeric_limits<std::uint32_t>::max();
        std::vector<std::uint32_t> slot(std::size_t{largest} + 1, absent);
        for (const auto& roi : rois) slot[roi.*position] = 0;
        for (std::uint32_t value = 0; value <= largest; ++value)
            if (slot[value] != absent) {
                slot[value] = static_cast<std::uint32_t>(values.size());
                values.push_back(value);
            }
        for (std::size_t i = 0; i < n; ++i) index[i] = slot[rois[i].*position];
        return;
    }
    for (const auto& roi : rois) values.push_back(roi.*position);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    for (std::size_t i = 0; i < n; ++i)
        index[i] = static_cast<std::uint32_t>(std::lower_bound(values.begin(), values.end(), rois[i].*position) -
                                              values.begin());
}

// The links through a table of the lattice's cells, column by column: for a
// grid (nearly every cell holds a ROI) every pass is sequential. Needs fewer
// ROIs than the largest 32-bit number.
void LinkThroughCells(RoiLattice& lattice)
{
    constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
    const std::size_t n = lattice.Column.size();
    const std::size_t rows = lattice.Ys.size();
    const std::size_t cells = lattice.Xs.size() * rows;
    const auto cellOf = [&](std::size_t roi) { return std::size_t{lattice.Column[roi]} * rows + lattice.Row[roi]; };
    // The first ROI in the series at each cell stands for it.
    std::vector<std::uint32_t> first(cells, none);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t& at = first[cellOf(i)];
        if (at == none) at = static_cast<std::uint32_t>(i);
        lattice.Representative[i] = at;
    }
    // The nearest occupied cell before and after each cell along its row
    // (left, right) and its column (up, down).
    std::vector<std::uint32_t> left(cells, none), right(cells, none), up(cells, none), down(cells, none);
    std::vector<std::uint32_t> lastInRow(rows, none);
    for (std::size_t c = 0; c < cells; ++c) {
        if (first[c] == none) continue;
        left[c] = lastInRow[c % rows];
        lastInRow[c % rows] = first[c];
    }
    std::fill(lastInRow.begin(), lastInRow.end(), none);
    for (std::size_t c = cells; c-- > 0;) {
        if (first[c] == none) continue;
        right[c] = lastInRow[c % rows];
        lastInRow[c % rows] = first[c];
    }
    for (std::size_t column = 0; column * rows < cells; ++column) {
        std::uint32_t above = none;
        for (std::size_t c = column * rows; c < (column + 1) * rows; ++c)
            if (first[c] != none) {
                up[c] = above;
                above = first[c];
            }
        std::uint32_t below = none;
        for (std::size_t c = (column + 1) * rows; c-- > column * rows;)
            if (first[c] != none) {
                down[c] = below;
                below = first[c];
            }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t c = cellOf(i);
        auto& set = lattice.Neighbours[i];
        for (const std::uint32_t neighbour : {left[c], right[c], up[c], down[c]})
            if (neighbour != none) set.Index[set.Count++] = neighbour;
    }
}

// The ROIs' indices ordered by line index, then by index along the line,
// then by series index: two stable counting sorts, linear in the ROIs.
std::vector<std::size_t> LineOrder(const std::vector<std::uint32_t>& line, std::size_t lines,
                                   const std::vector<std::uint32_t>& along, std::size_t alongs)
{
    const std::size_t n = line.size();
    const auto countingSort = [n](const std::vector<std::uint32_t>& key, std::size_t keys, const auto& input,
                                  std::vector<std::size_t>& output) {
        std::vector<std::size_t> next(keys + 1, 0);
        for (std::size_t i = 0; i < n; ++i) ++next[key[input(i)] + 1];
        for (std::size_t k = 1; k <= keys; ++k) next[k] += next[k - 1];
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t roi = input(i);
            output[next[key[roi]]++] = roi;
        }
    };
    std::vector<std::size_t> byAlong(n), order(n);
    countingSort(
        along, alongs, [](std::size_t i) { return i; }, byAlong);
    countingSort(
        line, lines, [&byAlong](std::size_t i) { return byAlong[i]; }, order);
    return order;
}

// The links of ROIs scattered over a lattice with far more cells than ROIs:
// the ROIs walked along each line of the lattice.
void LinkAlongLines(RoiLattice& lattice)
{
    const std::size_t n = lattice.Column.size();
    const auto link = [&](const std::vector<std::uint32_t>& line, std::size_t lines,
                          const std::vector<std::uint32_t>& along, std::size_t alongs, bool assignRepresentatives) {
        const std::vector<std::size_t> order = LineOrder(line, lines, along, alongs);
        // Distinct positions of one line, each with its representative.
        std::vector<std::pair<std::size_t, std::size_t>> groups;  // [first, last) ranges in order
        std::size_t start = 0;
        while (start < n) {
            std::size_t end = start;
            while (end < n && line[order[end]] == line[order[start]]) ++end;
            groups.clear();
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
    const std::size_t columns = lattice.Xs.size(), rows = lattice.Ys.size();
    link(lattice.Row, rows, lattice.Column, columns, true);   // left, right
    link(lattice.Column, columns, lattice.Row, rows, false);  // up, down
}

}  // namespace

RoiLattice BuildRoiLattice(const TMeetSerie& rois)
{
    // Linear in the ROIs: a small box on a large image has hundreds of
    // thousands of them, and the metrics and each heat map build a lattice.
    RoiLattice lattice;
    const std::size_t n = rois.size();
    IndexAxis(rois, &RoiResult::X, lattice.Xs, lattice.Column);
    IndexAxis(rois, &RoiResult::Y, lattice.Ys, lattice.Row);
    lattice.Representative.resize(n);
    lattice.Neighbours.resize(n);
    // Each ROI's neighbours are the representatives of the nearest occupied
    // positions left, right, up and down; equal positions share them, the
    // earliest ROI standing for its position.
    const std::size_t cells = lattice.Xs.size() * lattice.Ys.size();
    if (cells <= 4 * n + 4096 && n < std::numeric_limits<std::uint32_t>::max())
        LinkThroughCells(lattice);
    else
        LinkAlongLines(lattice);
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
    for (auto [at, side] :
         {std::pair{lowestSnr, &metrics.LowestRoiSnr}, std::pair{highestSnr, &metrics.HighestRoiSnr}}) {
        side->Value = DeviationPercent(at->SNR, meanRoiSnr);
        if (side->Value) side->Where = PositionOf(*at);
    }
    for (const auto& set : lattice.Neighbours) ++metrics.RoisByNeighbourCount[set.Count];
    std::vector<double> sds(rois.size());
    std::transform(rois.begin(), rois.end(), sds.begin(), sd);
    if (const auto noise = PercentOf(MedianInPlace(sds), areaMean); noise && *noise > 0.0)
        metrics.RelativePixelNoise = *noise / 100.0;
    return metrics;
}

}  // namespace evenor

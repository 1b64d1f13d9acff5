#include "insight/RobustMetrics.h"

#include <algorithm>
#include <cmath>

#include "insight/LineProfiles.h"
#include "stats/SignalToNoise.h"

namespace evenor {

namespace {

// One bit per pixel of the evaluated area: set for a deviating pixel.
class AreaMask {
public:
    AreaMask(const AnalysisSettings& s, const TBadPixelMap& map)
        : left_(s.FirstColumn), top_(s.FirstRow), width_(s.LastColumn - s.FirstColumn + 1),
          height_(s.LastRow - s.FirstRow + 1), bits_((std::size_t{width_} * height_ + 63) / 64, 0)
    {
        for (const BadPixel& pixel : map)
            if (pixel.X - left_ < width_ && pixel.Y - top_ < height_) {
                const std::size_t bit = Bit(pixel.X, pixel.Y);
                bits_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
            }
    }
    bool Test(std::uint32_t x, std::uint32_t y) const
    {
        const std::size_t bit = Bit(x, y);
        return (bits_[bit >> 6] >> (bit & 63)) & 1u;
    }

private:
    std::size_t Bit(std::uint32_t x, std::uint32_t y) const
    {
        return static_cast<std::size_t>(y - top_) * width_ + (x - left_);
    }
    std::uint32_t left_, top_, width_, height_;
    std::vector<std::uint64_t> bits_;
};

// The statistics of one box without the masked pixels; false (roi unchanged)
// when fewer than 2 pixels remain. left is set to the number left out.
bool RecomputeWithout(RoiResult& roi, std::uint32_t side, std::span<const std::uint16_t> pixels, std::uint32_t columns,
                      const AreaMask& mask, std::uint32_t& left)
{
    std::uint64_t sum = 0, n = 0;
    std::uint16_t maximum = 0, minimum = 0xFFFF;
    for (std::uint32_t r = 0; r < side; ++r) {
        const std::uint16_t* row = pixels.data() + static_cast<std::size_t>(roi.Y + r) * columns + roi.X;
        for (std::uint32_t c = 0; c < side; ++c) {
            if (mask.Test(roi.X + c, roi.Y + r)) continue;
            sum += row[c];
            ++n;
            maximum = std::max(maximum, row[c]);
            minimum = std::min(minimum, row[c]);
        }
    }
    left = static_cast<std::uint32_t>(std::uint64_t{side} * side - n);
    if (n < 2) return false;
    const double mean = static_cast<double>(sum) / static_cast<double>(n);
    double acc = 0.0;
    for (std::uint32_t r = 0; r < side; ++r) {
        const std::uint16_t* row = pixels.data() + static_cast<std::size_t>(roi.Y + r) * columns + roi.X;
        for (std::uint32_t c = 0; c < side; ++c) {
            if (mask.Test(roi.X + c, roi.Y + r)) continue;
            const double d = mean - static_cast<double>(row[c]);
            acc = acc + d * d;
        }
    }
    roi.Maximum = maximum;
    roi.Minimum = minimum;
    roi.Mean = mean;
    roi.SD = std::sqrt(acc / static_cast<double>(n - 1));
    roi.SNR = SignalToNoise(roi.Mean, roi.SD);
    return true;
}

// Indices into the ascending positions of the boxes of `side` that contain
// coordinate v: positions p with p <= v < p + side.
std::pair<std::size_t, std::size_t> Covering(const std::vector<std::uint32_t>& positions, std::uint32_t v,
                                             std::uint32_t side)
{
    const auto end = std::upper_bound(positions.begin(), positions.end(), v);
    auto begin = end;
    while (begin != positions.begin() && std::uint64_t{*(begin - 1)} + side > v) --begin;
    return {static_cast<std::size_t>(begin - positions.begin()), static_cast<std::size_t>(end - positions.begin())};
}

constexpr std::string_view kWithoutText = "; ROI statistics without the deviating pixels";
constexpr std::string_view kEveryPixelText = "; every pixel included";
constexpr std::string_view kNotSearchedText = "; every pixel included (deviating pixels were not searched)";

}  // namespace

RobustRoiStatistics ComputeRobustRoiStatistics(const AnalysisResult& result, const AnalysisSettings& settings,
                                               std::span<const std::uint16_t> pixels, std::uint32_t columns,
                                               std::uint64_t areaSum)
{
    RobustRoiStatistics robust;
    robust.Rois = result.Rois;
    robust.LeftOut.assign(result.Rois.size(), 0);
    robust.AreaMean = result.AreaMean;
    robust.MeanRoiSNR = result.MeanRoiSNR;
    robust.RoiSNRSD = result.RoiSNRSD;
    const TBadPixelMap& map = result.BadPixelMap;
    if (map.empty() || result.Rois.empty()) return robust;

    // Which grid positions hold a deviating pixel.
    const RoiLattice lattice = BuildRoiLattice(result.Rois);
    const std::uint32_t side = result.BoxPixels;
    std::vector<std::uint8_t> touched(lattice.Xs.size() * lattice.Ys.size(), 0);
    std::uint64_t leftSum = 0, leftCount = 0;
    const PixelRect area{settings.FirstColumn, settings.FirstRow, settings.LastColumn - settings.FirstColumn + 1,
                         settings.LastRow - settings.FirstRow + 1};
    for (const BadPixel& pixel : map) {
        if (pixel.X - area.Left >= area.Width || pixel.Y - area.Top >= area.Height) continue;
        leftSum += pixel.Value;
        ++leftCount;
        const auto [x0, x1] = Covering(lattice.Xs, pixel.X, side);
        const auto [y0, y1] = Covering(lattice.Ys, pixel.Y, side);
        for (std::size_t i = x0; i < x1; ++i)
            for (std::size_t k = y0; k < y1; ++k) touched[i * lattice.Ys.size() + k] = 1;
    }

    const AreaMask mask(settings, map);
    for (std::size_t i = 0; i < robust.Rois.size(); ++i) {
        if (!touched[std::size_t{lattice.Column[i]} * lattice.Ys.size() + lattice.Row[i]]) continue;
        if (RecomputeWithout(robust.Rois[i], side, pixels, columns, mask, robust.LeftOut[i]))
            ++robust.RecomputedRois;
        else
            ++robust.KeptWholeRois;
    }

    const std::uint64_t areaCount = std::uint64_t{area.Width} * area.Height;
    if (leftCount < areaCount)
        robust.AreaMean = static_cast<double>(areaSum - leftSum) / static_cast<double>(areaCount - leftCount);
    std::vector<double> snrs(robust.Rois.size());
    for (std::size_t i = 0; i < snrs.size(); ++i) snrs[i] = robust.Rois[i].SNR;
    RealMeanSD(snrs, robust.MeanRoiSNR, robust.RoiSNRSD);
    return robust;
}

RobustMetrics ComputeRobustMetrics(const AnalysisResult& result, const AnalysisSettings& settings,
                                   const RobustRoiStatistics& statistics)
{
    RobustMetrics metrics;
    metrics.EveryPixel = ComputeMetrics(result);
    if (!settings.DetectDeviatingPixels) {
        metrics.Robust = metrics.EveryPixel;
        metrics.Basis = PixelBasis::EveryPixelNotSearched;
        return metrics;
    }
    metrics.Basis = PixelBasis::WithoutDeviatingPixels;
    if (result.BadPixelMap.empty()) {
        metrics.Robust = metrics.EveryPixel;  // nothing to leave out
        return metrics;
    }
    metrics.Robust = ComputeMetrics(statistics.Rois, statistics.AreaMean, statistics.MeanRoiSNR);
    metrics.Robust.DeviatingRoiCount = metrics.EveryPixel.DeviatingRoiCount;
    metrics.Robust.DeviatingPixelCount = metrics.EveryPixel.DeviatingPixelCount;
    return metrics;
}

std::string MetricDescription(MetricId id, PixelBasis basis)
{
    std::string text(InfoOf(id).Description);
    switch (basis) {
    case PixelBasis::WithoutDeviatingPixels:
        text += kWithoutText;
        break;
    case PixelBasis::EveryPixelNotSearched:
        text += kNotSearchedText;
        break;
    case PixelBasis::EveryPixel:
        text += kEveryPixelText;
        break;
    }
    return text;
}

}  // namespace evenor

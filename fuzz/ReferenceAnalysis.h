#pragma once
// A plain reference of the ROI grid analysis, written for clarity, not speed:
// the area, the half-shifted grid with its far edges, two-pass statistics in
// index order, and the two deviation maps with their duplicate rule. The
// analysis run's fuzzer compares the program's result with it to the last bit,
// so every shortcut the real code takes (strip copies, batched sums, a second
// thread, word-wise pixel search) must give exactly these numbers.
#include <cmath>
#include <cstdint>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "AnalysisSettings.h"
#include "RoiGrid.h"

namespace evenor::fuzz {

struct Reference {
    std::uint32_t BoxPixels = 0;
    AnalysisResult Result;           // everything but the pixel map
    std::vector<BadPixel> BadPixels;  // the pixel map, in order of discovery
};

// Mean and sample SD of values taken in the given order: an exact integer sum,
// then the squared differences added one by one in double.
inline void ReferenceWordMeanSD(const std::vector<std::uint16_t>& values, double& mean, double& sd)
{
    const std::size_t n = values.size();
    if (n == 1) {
        mean = sd = values[0];
        return;
    }
    std::uint64_t sum = 0;
    for (std::uint16_t v : values) sum += v;
    mean = static_cast<double>(sum) / static_cast<double>(n);
    double acc = 0.0;
    for (std::uint16_t v : values) {
        const double d = mean - static_cast<double>(v);
        const double square = d * d;
        acc = acc + square;
    }
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

inline void ReferenceRealMeanSD(const std::vector<double>& values, double& mean, double& sd)
{
    const std::size_t n = values.size();
    if (n == 1) {
        mean = sd = values[0];
        return;
    }
    double sum = 0.0;
    for (double v : values) sum = sum + v;
    mean = sum / static_cast<double>(n);
    double acc = 0.0;
    for (double v : values) {
        const double d = mean - v;
        const double square = d * d;
        acc = acc + square;
    }
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

// The grid positions along one direction: half-box steps from first, and the
// far-edge position last - box when whole boxes leave a strip.
inline std::vector<std::uint32_t> ReferencePositions(std::uint32_t first, std::uint32_t last, std::uint32_t box,
                                                     bool& farEdge, std::uint32_t& farPosition)
{
    const std::uint32_t extent = last - first + 1;
    const std::uint32_t step = box / 2;
    const std::uint32_t whole = extent / box;
    const std::uint32_t rest = extent - whole * box;
    const std::uint32_t count = rest < step ? 2 * whole - 1 : 2 * whole;
    std::vector<std::uint32_t> positions;
    for (std::uint32_t k = 0; k < count; ++k) positions.push_back(first + k * step);
    farEdge = rest > 0;
    farPosition = last - box;
    return positions;
}

// pixels: the prepared image, row-major, columns wide.
inline Reference ReferenceAnalyse(std::span<const std::uint16_t> pixels, std::uint32_t columns, double pixelSpacing,
                                  const AnalysisSettings& s)
{
    Reference ref;
    const long double quotient = 10.0L * static_cast<long double>(s.BoxDimension) / static_cast<long double>(pixelSpacing);
    ref.BoxPixels = static_cast<std::uint32_t>(static_cast<std::uint64_t>(quotient) & 0xFFFF);
    const std::uint32_t box = ref.BoxPixels;
    AnalysisResult& r = ref.Result;
    r.BoxPixels = box;

    auto at = [&](std::uint32_t x, std::uint32_t y) { return pixels[static_cast<std::size_t>(y) * columns + x]; };
    std::vector<std::uint16_t> area;
    for (std::uint32_t y = s.FirstRow; y <= s.LastRow; ++y)
        for (std::uint32_t x = s.FirstColumn; x <= s.LastColumn; ++x) area.push_back(at(x, y));
    ReferenceWordMeanSD(area, r.AreaMean, r.AreaSD);
    r.AreaSNR = r.AreaSD != 0.0 ? r.AreaMean / r.AreaSD : 0.0;

    bool farColumn = false, farRow = false;
    std::uint32_t farX = 0, farY = 0;
    const auto xs = ReferencePositions(s.FirstColumn, s.LastColumn, box, farColumn, farX);
    const auto ys = ReferencePositions(s.FirstRow, s.LastRow, box, farRow, farY);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> places;
    for (std::uint32_t x : xs)
        for (std::uint32_t y : ys) places.emplace_back(x, y);
    if (farColumn)
        for (std::uint32_t y : ys) places.emplace_back(farX, y);
    if (farRow)
        for (std::uint32_t x : xs) places.emplace_back(x, farY);
    if (farColumn && farRow) places.emplace_back(farX, farY);

    std::set<std::pair<std::uint32_t, std::uint32_t>> found;
    std::vector<BadPixel> badPixels;
    std::vector<double> snrs;
    for (const auto& [x0, y0] : places) {
        RoiResult roi;
        roi.X = x0;
        roi.Y = y0;
        std::vector<std::uint16_t> block;
        for (std::uint32_t y = y0; y < y0 + box; ++y)
            for (std::uint32_t x = x0; x < x0 + box; ++x) block.push_back(at(x, y));
        roi.Maximum = block[0];
        roi.Minimum = block[0];
        for (std::uint16_t v : block) {
            if (v > roi.Maximum) roi.Maximum = v;
            if (v < roi.Minimum) roi.Minimum = v;
        }
        ReferenceWordMeanSD(block, roi.Mean, roi.SD);
        roi.SNR = roi.SD != 0.0 ? roi.Mean / roi.SD : 0.0;
        r.Rois.push_back(roi);
        snrs.push_back(roi.SNR);
        if (s.DetectDeviatingPixels) {
            const double tolerance = s.PixelDeviationPercent / 100.0 * roi.Mean;
            const double above = roi.Mean + tolerance;
            const double below = roi.Mean - tolerance;
            for (std::size_t k = 0; k < block.size(); ++k) {
                const double v = block[k];
                if (!(v > above || v < below)) continue;
                const std::uint32_t x = x0 + static_cast<std::uint32_t>(k % box);
                const std::uint32_t y = y0 + static_cast<std::uint32_t>(k / box);
                if (found.insert({x, y}).second) badPixels.push_back(BadPixel{x, y, block[k], roi.Mean});
            }
        }
    }
    ReferenceRealMeanSD(snrs, r.MeanRoiSNR, r.RoiSNRSD);
    const double meanTolerance = s.RoiDeviationPercent / 100.0 * r.AreaMean;
    const double snrTolerance = s.RoiDeviationPercent / 100.0 * r.MeanRoiSNR;
    for (const RoiResult& roi : r.Rois) {
        if (roi.Mean > r.AreaMean + meanTolerance || roi.Mean < r.AreaMean - meanTolerance ||
            roi.SNR > r.MeanRoiSNR + snrTolerance || roi.SNR < r.MeanRoiSNR - snrTolerance)
            r.BadROIMap.push_back(BadROI{roi.X, roi.Y, roi.Mean, roi.SD});
    }
    // The reference's pixel map is kept as a plain list in Result's stead.
    ref.BadPixels = std::move(badPixels);
    return ref;
}

}  // namespace evenor::fuzz

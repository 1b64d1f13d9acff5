#pragma once
// The plain reference of the statistics and of the ROI grid analysis,
// written for clarity, not speed: the area, the half-shifted grid with its far
// edges, two-pass statistics in index order on copies, and the two deviation
// maps with their duplicate rule. The unit tests, the analysis run's fuzzer
// and the benchmarks compare the program's results with it to the last bit,
// so every shortcut the real code takes (strip copies, batched sums, a second
// thread, word-wise pixel search) must give exactly these numbers.
#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "tests/support/ReferenceStatistics.h"

namespace evenor::test {

struct Reference {
    std::uint32_t BoxPixels = 0;
    AnalysisResult Result;            // everything but the pixel map
    std::vector<BadPixel> BadPixels;  // the pixel map, in order of discovery
};

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
    const long double quotient =
        10.0L * static_cast<long double>(s.BoxDimension) / static_cast<long double>(pixelSpacing);
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

    std::vector<bool> found(pixels.size());  // by image position: already in the pixel map
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
                const std::size_t position = static_cast<std::size_t>(y) * columns + x;
                if (found[position]) continue;
                found[position] = true;
                badPixels.push_back(BadPixel{x, y, block[k], roi.Mean});
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

// The first difference between a result and the reference, in words; empty
// when every number is the same to the last bit and in the same order.
inline std::string FirstDifference(const AnalysisResult& result, const Reference& ref)
{
    std::ostringstream out;
    const AnalysisResult& r = ref.Result;
    if (result.BoxPixels != ref.BoxPixels)
        out << "BoxPixels " << result.BoxPixels << " != " << ref.BoxPixels;
    else if (!SameBits(result.AreaMean, r.AreaMean) || !SameBits(result.AreaSD, r.AreaSD) ||
             !SameBits(result.AreaSNR, r.AreaSNR))
        out << "area statistics";
    else if (!SameBits(result.MeanRoiSNR, r.MeanRoiSNR) || !SameBits(result.RoiSNRSD, r.RoiSNRSD))
        out << "mean ROI SNR or its SD";
    else if (result.Rois.size() != r.Rois.size())
        out << "ROI count " << result.Rois.size() << " != " << r.Rois.size();
    else if (result.BadROIMap.size() != r.BadROIMap.size())
        out << "deviating ROI count " << result.BadROIMap.size() << " != " << r.BadROIMap.size();
    else if (result.BadPixelMap.size() != ref.BadPixels.size())
        out << "deviating pixel count " << result.BadPixelMap.size() << " != " << ref.BadPixels.size();
    if (!out.str().empty()) return out.str();
    for (std::size_t i = 0; i < r.Rois.size(); ++i) {
        const RoiResult &a = result.Rois[i], &b = r.Rois[i];
        if (a.X != b.X || a.Y != b.Y || a.Maximum != b.Maximum || a.Minimum != b.Minimum || !SameBits(a.Mean, b.Mean) ||
            !SameBits(a.SD, b.SD) || !SameBits(a.SNR, b.SNR)) {
            out << "ROI " << i << " at " << b.X << "," << b.Y;
            return out.str();
        }
    }
    for (std::size_t i = 0; i < r.BadROIMap.size(); ++i) {
        const BadROI &a = result.BadROIMap[i], &b = r.BadROIMap[i];
        if (a.X != b.X || a.Y != b.Y || !SameBits(a.Mean, b.Mean) || !SameBits(a.SD, b.SD)) {
            out << "deviating ROI " << i << " at " << b.X << "," << b.Y;
            return out.str();
        }
    }
    for (std::size_t i = 0; i < ref.BadPixels.size(); ++i) {
        const BadPixel &a = result.BadPixelMap[i], &b = ref.BadPixels[i];
        if (a.X != b.X || a.Y != b.Y || a.Value != b.Value || !SameBits(a.RoiMean, b.RoiMean)) {
            out << "deviating pixel " << i << " at " << b.X << "," << b.Y;
            return out.str();
        }
    }
    return {};
}

}  // namespace evenor::test

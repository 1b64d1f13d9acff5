#pragma once
// Synthetic flat fields with planted faults and a plain reference analysis of
// them (half-overlapping boxes with far-edge boxes, two-pass mean and sample
// SD, strict deviation bands), so tests get realistic results without DICOM.
#include <cmath>
#include <cstdint>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"

namespace evenor::testing {

struct Phantom {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    std::vector<std::uint16_t> Pixels;  // row-major

    std::uint16_t& At(std::uint32_t x, std::uint32_t y) { return Pixels[std::size_t{y} * Width + x]; }
};

// base +/- amplitude like a chessboard: every even-sized block has mean base.
inline Phantom Checkerboard(std::uint32_t width, std::uint32_t height, int base, int amplitude)
{
    Phantom phantom{width, height, std::vector<std::uint16_t>(std::size_t{width} * height)};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            phantom.At(x, y) = static_cast<std::uint16_t>((x + y) % 2 == 0 ? base + amplitude : base - amplitude);
    return phantom;
}

// Applies set to every pixel of a rectangle.
template <typename Set> void Paint(Phantom& phantom, std::uint32_t left, std::uint32_t top, std::uint32_t size, Set set)
{
    for (std::uint32_t y = top; y < top + size; ++y)
        for (std::uint32_t x = left; x < left + size; ++x)
            phantom.At(x, y) = static_cast<std::uint16_t>(set(phantom.At(x, y)));
}

inline AnalysisSettings WholeArea(const Phantom& phantom, double roiPercent, double pixelPercent, bool detectPixels)
{
    AnalysisSettings settings;
    settings.LastColumn = phantom.Width - 1;
    settings.LastRow = phantom.Height - 1;
    settings.BoxDimension = 2.0;
    settings.RoiDeviationPercent = roiPercent;
    settings.PixelDeviationPercent = pixelPercent;
    settings.DetectDeviatingPixels = detectPixels;
    settings.DicomFileName = "/data/phantom.dcm";
    return settings;
}

inline void MeanSD(const std::vector<double>& values, double& mean, double& sd)
{
    double sum = 0.0, squares = 0.0;
    for (const double v : values) sum += v;
    mean = sum / static_cast<double>(values.size());
    for (const double v : values) squares += (v - mean) * (v - mean);
    sd = values.size() > 1 ? std::sqrt(squares / static_cast<double>(values.size() - 1)) : mean;
}

// Grid positions along one direction, followed by the far-edge position if any.
inline std::vector<std::uint32_t> Positions(std::uint32_t first, std::uint32_t last, std::uint32_t box, bool& farEdge)
{
    const std::uint32_t size = last - first + 1, step = box / 2, whole = size / box, rem = size - whole * box;
    std::vector<std::uint32_t> positions;
    for (std::uint32_t k = 0; k < (rem < step ? 2 * whole - 1 : 2 * whole); ++k) positions.push_back(first + k * step);
    farEdge = rem > 0;
    positions.push_back(last - box);
    return positions;
}

// The analysis of the area of settings with boxes of box pixels.
inline AnalysisResult Analyse(Phantom phantom, const AnalysisSettings& settings, std::uint32_t box)
{
    AnalysisResult result;
    result.BoxPixels = box;
    std::vector<double> area;
    for (std::uint32_t y = settings.FirstRow; y <= settings.LastRow; ++y)
        for (std::uint32_t x = settings.FirstColumn; x <= settings.LastColumn; ++x) area.push_back(phantom.At(x, y));
    MeanSD(area, result.AreaMean, result.AreaSD);
    result.AreaSNR = result.AreaSD != 0.0 ? result.AreaMean / result.AreaSD : 0.0;

    bool farColumn = false, farRow = false;
    auto columns = Positions(settings.FirstColumn, settings.LastColumn, box, farColumn);
    auto rows = Positions(settings.FirstRow, settings.LastRow, box, farRow);
    const std::uint32_t lastColumn = columns.back(), lastRow = rows.back();
    columns.pop_back();
    rows.pop_back();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order;
    for (const auto x : columns)
        for (const auto y : rows) order.emplace_back(x, y);
    for (const auto y : rows)
        if (farColumn) order.emplace_back(lastColumn, y);
    for (const auto x : columns)
        if (farRow) order.emplace_back(x, lastRow);
    if (farColumn && farRow) order.emplace_back(lastColumn, lastRow);

    std::vector<double> snrs;
    for (const auto& [x0, y0] : order) {
        RoiResult roi{x0, y0, 0, 65535};
        std::vector<double> block;
        for (std::uint32_t y = y0; y < y0 + box; ++y)
            for (std::uint32_t x = x0; x < x0 + box; ++x) {
                block.push_back(phantom.At(x, y));
                roi.Maximum = std::max(roi.Maximum, phantom.At(x, y));
                roi.Minimum = std::min(roi.Minimum, phantom.At(x, y));
            }
        MeanSD(block, roi.Mean, roi.SD);
        roi.SNR = roi.SD != 0.0 ? roi.Mean / roi.SD : 0.0;
        const double tolerance = settings.PixelDeviationPercent / 100.0 * roi.Mean;
        for (std::uint32_t y = y0; y < y0 + box && settings.DetectDeviatingPixels; ++y)
            for (std::uint32_t x = x0; x < x0 + box; ++x)
                if (std::fabs(phantom.At(x, y) - roi.Mean) > tolerance)
                    result.BadPixelMap.Add({x, y, phantom.At(x, y), roi.Mean});
        result.Rois.push_back(roi);
        snrs.push_back(roi.SNR);
    }
    MeanSD(snrs, result.MeanRoiSNR, result.RoiSNRSD);
    const double percent = settings.RoiDeviationPercent / 100.0;
    for (const auto& roi : result.Rois)
        if (std::fabs(roi.Mean - result.AreaMean) > percent * result.AreaMean ||
            std::fabs(roi.SNR - result.MeanRoiSNR) > percent * result.MeanRoiSNR)
            result.BadROIMap.push_back({roi.X, roi.Y, roi.Mean, roi.SD});
    return result;
}

// A ROI built by hand.
inline RoiResult Roi(std::uint32_t x, std::uint32_t y, double mean, double sd = 10.0)
{
    return {x,
            y,
            static_cast<std::uint16_t>(mean + 3 * sd),
            static_cast<std::uint16_t>(std::max(0.0, mean - 3 * sd)),
            mean,
            sd,
            sd != 0.0 ? mean / sd : 0.0};
}

// The blotch phantom: 100 x 100, 1000 +/- 10, a 10 x 10 blotch 100 deeper at
// columns and rows 40..49, boxes of 20 (81 ROIs). The area mean is 999; the
// four ROIs at (30|40, 30|40) hold the whole blotch (mean 975) and deviate at
// 10 % by their SNR; every other ROI has mean 1000.
inline Phantom BlotchPhantom()
{
    Phantom phantom = Checkerboard(100, 100, 1000, 10);
    Paint(phantom, 40, 40, 10, [](int v) { return v - 100; });
    return phantom;
}

}  // namespace evenor::testing

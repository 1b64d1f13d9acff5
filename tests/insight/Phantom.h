#pragma once
// Synthetic flat-field images with planted faults, and a plain reference
// analysis of them (grid of half-overlapping boxes with far-edge boxes,
// two-pass mean and sample SD, strict deviation bands), so the tests get
// realistic AnalysisResult values without a DICOM file.
#include <cmath>
#include <cstdint>
#include <vector>

#include "AnalysisSettings.h"
#include "RoiGrid.h"

namespace evenor::testing {

struct Phantom {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    std::vector<std::uint16_t> Pixels;  // row-major

    std::uint16_t& At(std::uint32_t x, std::uint32_t y) { return Pixels[std::size_t{y} * Width + x]; }
    std::uint16_t At(std::uint32_t x, std::uint32_t y) const { return Pixels[std::size_t{y} * Width + x]; }
};

// base + amplitude and base - amplitude alternating like a chessboard: every
// even-sized block has mean base.
inline Phantom Checkerboard(std::uint32_t width, std::uint32_t height, int base, int amplitude)
{
    Phantom phantom{width, height, std::vector<std::uint16_t>(std::size_t{width} * height)};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            phantom.At(x, y) = static_cast<std::uint16_t>((x + y) % 2 == 0 ? base + amplitude : base - amplitude);
    return phantom;
}

// Adds delta to a rectangle of pixels.
inline void AddTo(Phantom& phantom, std::uint32_t left, std::uint32_t top, std::uint32_t width, std::uint32_t height,
                  int delta)
{
    for (std::uint32_t y = top; y < top + height; ++y)
        for (std::uint32_t x = left; x < left + width; ++x)
            phantom.At(x, y) = static_cast<std::uint16_t>(phantom.At(x, y) + delta);
}

inline void SetTo(Phantom& phantom, std::uint32_t left, std::uint32_t top, std::uint32_t width, std::uint32_t height,
                  std::uint16_t value)
{
    for (std::uint32_t y = top; y < top + height; ++y)
        for (std::uint32_t x = left; x < left + width; ++x) phantom.At(x, y) = value;
}

inline AnalysisSettings WholeArea(const Phantom& phantom, double roiPercent, double pixelPercent, bool detectPixels)
{
    AnalysisSettings settings;
    settings.FirstColumn = 0;
    settings.LastColumn = phantom.Width - 1;
    settings.FirstRow = 0;
    settings.LastRow = phantom.Height - 1;
    settings.BoxDimension = 2.0;
    settings.RoiDeviationPercent = roiPercent;
    settings.PixelDeviationPercent = pixelPercent;
    settings.DetectDeviatingPixels = detectPixels;
    settings.DicomFileName = "/data/phantom.dcm";
    return settings;
}

namespace detail {

inline void MeanSD(const std::vector<double>& values, double& mean, double& sd)
{
    double sum = 0.0;
    for (const double v : values) sum += v;
    mean = sum / static_cast<double>(values.size());
    if (values.size() < 2) {
        sd = values.empty() ? 0.0 : values[0];
        return;
    }
    double squares = 0.0;
    for (const double v : values) squares += (v - mean) * (v - mean);
    sd = std::sqrt(squares / static_cast<double>(values.size() - 1));
}

// Grid positions along one direction, then the far-edge position if any.
inline std::vector<std::uint32_t> Positions(std::uint32_t first, std::uint32_t last, std::uint32_t box,
                                            std::uint32_t& farEdge, bool& hasFarEdge)
{
    const std::uint32_t size = last - first + 1;
    const std::uint32_t step = box / 2;
    const std::uint32_t whole = size / box;
    const std::uint32_t rem = size - whole * box;
    const std::uint32_t count = rem < step ? 2 * whole - 1 : 2 * whole;
    std::vector<std::uint32_t> positions;
    for (std::uint32_t k = 0; k < count; ++k) positions.push_back(first + k * step);
    hasFarEdge = rem > 0;
    farEdge = last - box;
    return positions;
}

}  // namespace detail

// The analysis of the area of settings with boxes of box pixels.
inline AnalysisResult Analyse(const Phantom& phantom, const AnalysisSettings& settings, std::uint32_t box)
{
    AnalysisResult result;
    result.BoxPixels = box;
    std::vector<double> area;
    for (std::uint32_t y = settings.FirstRow; y <= settings.LastRow; ++y)
        for (std::uint32_t x = settings.FirstColumn; x <= settings.LastColumn; ++x) area.push_back(phantom.At(x, y));
    detail::MeanSD(area, result.AreaMean, result.AreaSD);
    result.AreaSNR = result.AreaSD != 0.0 ? result.AreaMean / result.AreaSD : 0.0;

    std::uint32_t farColumn = 0, farRow = 0;
    bool hasFarColumn = false, hasFarRow = false;
    const auto columns = detail::Positions(settings.FirstColumn, settings.LastColumn, box, farColumn, hasFarColumn);
    const auto rows = detail::Positions(settings.FirstRow, settings.LastRow, box, farRow, hasFarRow);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order;
    for (const auto x : columns)
        for (const auto y : rows) order.emplace_back(x, y);
    if (hasFarColumn)
        for (const auto y : rows) order.emplace_back(farColumn, y);
    if (hasFarRow)
        for (const auto x : columns) order.emplace_back(x, farRow);
    if (hasFarColumn && hasFarRow) order.emplace_back(farColumn, farRow);

    std::vector<double> snrs;
    for (const auto& [x0, y0] : order) {
        RoiResult roi;
        roi.X = x0;
        roi.Y = y0;
        std::vector<double> block;
        roi.Minimum = 65535;
        for (std::uint32_t y = y0; y < y0 + box; ++y)
            for (std::uint32_t x = x0; x < x0 + box; ++x) {
                const std::uint16_t v = phantom.At(x, y);
                block.push_back(v);
                roi.Maximum = std::max(roi.Maximum, v);
                roi.Minimum = std::min(roi.Minimum, v);
            }
        detail::MeanSD(block, roi.Mean, roi.SD);
        roi.SNR = roi.SD != 0.0 ? roi.Mean / roi.SD : 0.0;
        if (settings.DetectDeviatingPixels) {
            const double tolerance = settings.PixelDeviationPercent / 100.0 * roi.Mean;
            for (std::uint32_t y = y0; y < y0 + box; ++y)
                for (std::uint32_t x = x0; x < x0 + box; ++x) {
                    const double v = phantom.At(x, y);
                    if (v > roi.Mean + tolerance || v < roi.Mean - tolerance)
                        result.BadPixelMap.Add({x, y, phantom.At(x, y), roi.Mean});
                }
        }
        result.Rois.push_back(roi);
        snrs.push_back(roi.SNR);
    }
    detail::MeanSD(snrs, result.MeanRoiSNR, result.RoiSNRSD);
    const double meanTolerance = settings.RoiDeviationPercent / 100.0 * result.AreaMean;
    const double snrTolerance = settings.RoiDeviationPercent / 100.0 * result.MeanRoiSNR;
    for (const auto& roi : result.Rois) {
        if (roi.Mean > result.AreaMean + meanTolerance || roi.Mean < result.AreaMean - meanTolerance ||
            roi.SNR > result.MeanRoiSNR + snrTolerance || roi.SNR < result.MeanRoiSNR - snrTolerance)
            result.BadROIMap.push_back({roi.X, roi.Y, roi.Mean, roi.SD});
    }
    return result;
}

// A ROI built by hand.
inline RoiResult Roi(std::uint32_t x, std::uint32_t y, double mean, double sd = 10.0)
{
    RoiResult roi;
    roi.X = x;
    roi.Y = y;
    roi.Mean = mean;
    roi.SD = sd;
    roi.SNR = sd != 0.0 ? mean / sd : 0.0;
    roi.Maximum = static_cast<std::uint16_t>(std::lround(mean + 3 * sd));
    roi.Minimum = static_cast<std::uint16_t>(std::lround(mean - 3 * sd));
    return roi;
}

}  // namespace evenor::testing

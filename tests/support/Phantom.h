#pragma once
// Synthetic flat fields with planted faults, analysed by the shared reference
// analysis (tests/support), so tests get realistic results without DICOM.
#include <cmath>
#include <cstdint>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "stats/SignalToNoise.h"
#include "tests/support/ReferenceAnalysis.h"

namespace evenor::test {

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

// The analysis of the area of settings with boxes of box pixels: the shared
// reference analysis, with a box side and spacing that give exactly box.
inline AnalysisResult Analyse(const Phantom& phantom, const AnalysisSettings& settings, std::uint32_t box)
{
    AnalysisSettings exact = settings;
    exact.BoxDimension = box;  // cm; at 10 mm per pixel exactly box pixels
    test::Reference ref = test::ReferenceAnalyse(phantom.Pixels, phantom.Width, 10.0, exact);
    for (const BadPixel& pixel : ref.BadPixels) ref.Result.BadPixelMap.Add(pixel);
    return std::move(ref.Result);
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
            SignalToNoise(mean, sd)};
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

}  // namespace evenor::test

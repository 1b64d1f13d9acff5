#pragma once
// Flat fields with Poisson noise and planted detector faults (hot and dead
// pixels, clusters, offset lines, collimated rims, correlated line noise),
// analysed by the real ROI grid analysis, for the detector-insight tests.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "insight/DetectorInsight.h"
#include "insight/Guidelines.h"
#include "tests/support/DefectPhantoms.h"

namespace evenor::test {

struct Field {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    std::vector<double> Signal;  // expected value per pixel, row-major

    double& At(std::uint32_t x, std::uint32_t y) { return Signal[std::size_t{y} * Width + x]; }
};

inline Field FlatSignal(std::uint32_t width, std::uint32_t height, double mean)
{
    return {width, height, std::vector<double>(std::size_t{width} * height, mean)};
}

// A Poisson draw per pixel around its signal, clamped to 16 bits. Same seed,
// same image.
inline std::vector<std::uint16_t> Expose(const Field& field, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::vector<std::uint16_t> pixels(field.Signal.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        std::poisson_distribution<int> count(std::max(field.Signal[i], 1e-9));
        pixels[i] = static_cast<std::uint16_t>(std::min(count(rng), 65535));
    }
    return pixels;
}

inline Image PoissonImage(const Field& field, unsigned seed)
{
    return {field.Width, field.Height, Expose(field, seed)};
}

// Whole image, boxes of side / 8 pixels (1 cm at a spacing of 10 / box mm),
// ROI deviation 5 %, pixel deviation 20 %.
inline AnalysisSettings WholeImageSettings(const Image& image, bool detect = true)
{
    AnalysisSettings settings;
    settings.LastColumn = image.Width - 1;
    settings.LastRow = image.Height - 1;
    settings.BoxDimension = 1.0;
    settings.RoiDeviationPercent = 5.0;
    settings.PixelDeviationPercent = 20.0;
    settings.DetectDeviatingPixels = detect;
    return settings;
}

inline double SpacingFor(const Image& image) { return 10.0 / (std::min(image.Width, image.Height) / 8); }

struct Inspection {
    AnalysisSettings Settings;
    AnalysisResult Result;
    DetectorInsight Insight;
};

inline Inspection Inspect(const Image& image, const AnalysisSettings& settings)
{
    Inspection run{settings, AnalyseRoiGrid(image.Pixels, image.Width, image.Height, SpacingFor(image), settings), {}};
    run.Insight = InspectDetector(settings, run.Result, image.Pixels, image.Width);
    return run;
}

inline Inspection Inspect(const Image& image, bool detect = true)
{
    return Inspect(image, WholeImageSettings(image, detect));
}

// The whole image at a pixel spacing of spacingMm with boxes of boxCm.
inline Inspection Inspect(const Image& image, double boxCm, double spacingMm)
{
    AnalysisSettings settings = WholeImageSettings(image);
    settings.BoxDimension = boxCm;
    Inspection run{settings, AnalyseRoiGrid(image.Pixels, image.Width, image.Height, spacingMm, settings), {}};
    run.Insight = InspectDetector(settings, run.Result, image.Pixels, image.Width);
    return run;
}

// The check of that key; null when the verdict has none.
inline const CheckVerdict* FindCheck(const GuidelineVerdict& verdict, std::string_view key)
{
    const auto at = std::find_if(verdict.Checks.begin(), verdict.Checks.end(),
                                 [&](const CheckVerdict& check) { return check.Key == key; });
    return at == verdict.Checks.end() ? nullptr : &*at;
}

}  // namespace evenor::test

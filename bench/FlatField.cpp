#include "bench/FlatField.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace evenor::bench {

std::vector<std::uint16_t> FlatField(std::uint32_t columns, std::uint32_t rows, double noise, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> value(2000.0, noise);
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(columns) * rows);
    for (auto& p : pixels) p = static_cast<std::uint16_t>(std::clamp(std::round(value(rng)), 0.0, 65535.0));
    return pixels;
}

AnalysisSettings WholeImage(std::uint32_t columns, std::uint32_t rows, double pixelPercent)
{
    AnalysisSettings s;
    s.LastColumn = columns - 1;
    s.LastRow = rows - 1;
    s.BoxDimension = 1.0;
    s.RoiDeviationPercent = 5.0;
    s.PixelDeviationPercent = pixelPercent;
    s.DetectDeviatingPixels = true;
    return s;
}

}  // namespace evenor::bench

#pragma once
// Synthetic flat-field images for the benchmarks. The results are checked
// against the plain reference of tests/support.
#include <cstdint>
#include <vector>

#include "analysis/RoiGrid.h"

namespace evenor::bench {

// A homogeneous exposure: mean 2000, Gaussian noise of the given SD, rounded
// and clamped to 16 bits. Same seed, same image.
std::vector<std::uint16_t> FlatField(std::uint32_t columns, std::uint32_t rows, double noise, unsigned seed = 1);

// Settings for the whole image, box 1 cm, ROI deviation 5 %, pixel deviation
// percent, detection on.
AnalysisSettings WholeImage(std::uint32_t columns, std::uint32_t rows, double pixelPercent);

}  // namespace evenor::bench

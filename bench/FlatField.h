#pragma once
// Synthetic flat-field images and a plain single-threaded analysis to check
// the fast one against inside the benchmarks.
#include <cstdint>
#include <vector>

#include "RoiGrid.h"

namespace evenor::bench {

// A homogeneous exposure: mean 2000, Gaussian noise of the given SD, rounded
// and clamped to 16 bits. Same seed, same image.
std::vector<std::uint16_t> FlatField(std::uint32_t columns, std::uint32_t rows, double noise, unsigned seed = 1);

// Settings for the whole image, box 1 cm, ROI deviation 5 %, pixel deviation
// percent, detection on.
AnalysisSettings WholeImage(std::uint32_t columns, std::uint32_t rows, double pixelPercent);

// The analysis written out step by step on copies, one ROI after another.
AnalysisResult PlainAnalysis(const std::vector<std::uint16_t>& pixels, std::uint32_t columns, std::uint32_t rows,
                             double spacing, const AnalysisSettings& s);

// True when both results hold the same numbers, bit for bit, in the same order.
bool Identical(const AnalysisResult& a, const AnalysisResult& b);

}  // namespace evenor::bench

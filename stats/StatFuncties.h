#pragma once
// StatFuncties (statistics functions): extremes, mean and sample standard
// deviation of pixel blocks and of series of reals. TMeetSerie = measurement
// series. The statistics of many boxes at once are in BoxStatistics.h, the
// maps of deviating ROIs and pixels in DeviationMaps.h.
//
// Mean and SD are computed in two passes: an exact 64-bit integer sum (pixel
// blocks) or a sequential double sum (reals) for the mean, then a sequential
// double sum of squared differences in index order,
//     acc = acc + (mean - v)^2   (difference, square and sum each rounded to double),
// and SD = sqrt(acc / (n - 1)); the divisor is n - 1. The order of
// accumulation is part of the result and must not change: the fast routines
// (here and in BoxStatistics.h) vectorise only the exact integer work and
// interleave independent blocks, never one block's floating-point sum. For n = 1 both mean and SD are
// the single value. For an empty input the extremes are 0 and mean and SD 0.0.
//
// No routine allocates memory; none keeps state. They may run concurrently on
// different data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace evenor {

struct RoiResult {
    std::uint32_t X = 0;  // left column
    std::uint32_t Y = 0;  // top row
    std::uint16_t Maximum = 0;
    std::uint16_t Minimum = 0;
    double Mean = 0.0;
    double SD = 0.0;
    double SNR = 0.0;  // Mean / SD, 0 when SD is 0
};
using TMeetSerie = std::vector<RoiResult>;

std::uint16_t WordMax(std::span<const std::uint16_t> values);
std::uint16_t WordMin(std::span<const std::uint16_t> values);
void WordMeanSD(std::span<const std::uint16_t> values, double& mean, double& sd);
void RealMeanSD(std::span<const double> values, double& mean, double& sd);

// A rectangle of a row-major pixel array, read in place: Height rows of Width
// values, row r starting at First + r * Stride. Its values in index order are
// those of its row-by-row copy.
struct WordBlock {
    const std::uint16_t* First = nullptr;
    std::size_t Stride = 0;
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
};

// WordMeanSD of the block's row-by-row copy, without making the copy.
void WordMeanSD(const WordBlock& block, double& mean, double& sd);

}  // namespace evenor

#pragma once
// StatFuncties (statistics functions): extremes, mean and sample standard
// deviation of pixel blocks and of series of reals, and the maps of deviating
// ROIs and pixels. TMeetSerie = measurement series.
//
// Mean and SD are computed in two passes: an exact 64-bit integer sum (pixel
// blocks) or a sequential double sum (reals) for the mean, then a sequential
// double sum of squared differences in index order; the divisor is n - 1. The
// order of accumulation is part of the result and must not change. For n = 1
// both mean and SD are the single value. Every routine needs n >= 1.
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

}  // namespace evenor

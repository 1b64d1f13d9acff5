#include "stats/StatFuncties.h"

#include <algorithm>
#include <cmath>

namespace evenor {

namespace {

// Sum of n values. Partial sums of up to 65,536 values fit 32 bits, which
// lets the compiler vectorise the loop; the total is exact.
std::uint64_t ExactSum(const std::uint16_t* p, std::size_t n)
{
    std::uint64_t total = 0;
    while (n > 0) {
        const std::size_t chunk = std::min<std::size_t>(n, 65536);
        std::uint32_t part = 0;
        for (std::size_t i = 0; i < chunk; ++i) part += p[i];
        total += part;
        p += chunk;
        n -= chunk;
    }
    return total;
}

// Second pass over one run of values: acc = acc + (mean - v)^2 in index order.
double SquaredDifferences(const std::uint16_t* p, std::size_t n, double mean, double acc)
{
    for (std::size_t i = 0; i < n; ++i) {
        const double d = mean - static_cast<double>(p[i]);
        acc = acc + d * d;
    }
    return acc;
}

}  // namespace

std::uint16_t WordMax(std::span<const std::uint16_t> values)
{
    std::uint16_t result = 0;
    for (const std::uint16_t v : values) result = v > result ? v : result;
    return result;
}

std::uint16_t WordMin(std::span<const std::uint16_t> values)
{
    if (values.empty()) return 0;
    std::uint16_t result = 0xFFFF;
    for (const std::uint16_t v : values) result = v < result ? v : result;
    return result;
}

void WordMeanSD(std::span<const std::uint16_t> values, double& mean, double& sd)
{
    const std::size_t n = values.size();
    if (n == 0) {
        mean = 0.0;
        sd = 0.0;
        return;
    }
    if (n == 1) {
        mean = static_cast<double>(values[0]);
        sd = mean;
        return;
    }
    mean = static_cast<double>(ExactSum(values.data(), n)) / static_cast<double>(n);
    sd = std::sqrt(SquaredDifferences(values.data(), n, mean, 0.0) / static_cast<double>(n - 1));
}

void WordMeanSD(const WordBlock& block, double& mean, double& sd)
{
    const std::uint64_t n = static_cast<std::uint64_t>(block.Width) * block.Height;
    if (n == 0) {
        mean = 0.0;
        sd = 0.0;
        return;
    }
    if (n == 1) {
        mean = static_cast<double>(block.First[0]);
        sd = mean;
        return;
    }
    std::uint64_t sum = 0;
    for (std::uint32_t r = 0; r < block.Height; ++r) sum += ExactSum(block.First + r * block.Stride, block.Width);
    mean = static_cast<double>(sum) / static_cast<double>(n);
    double acc = 0.0;
    for (std::uint32_t r = 0; r < block.Height; ++r)
        acc = SquaredDifferences(block.First + r * block.Stride, block.Width, mean, acc);
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

void RealMeanSD(std::span<const double> values, double& mean, double& sd)
{
    const std::size_t n = values.size();
    if (n == 0) {
        mean = 0.0;
        sd = 0.0;
        return;
    }
    if (n == 1) {
        mean = values[0];
        sd = values[0];
        return;
    }
    double sum = 0.0;
    for (const double v : values) sum = sum + v;
    mean = sum / static_cast<double>(n);
    double acc = 0.0;
    for (const double v : values) {
        const double d = mean - v;
        acc = acc + d * d;
    }
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

}  // namespace evenor

#pragma once
// The plain reference of the statistics: mean and sample SD in two passes, each
// sum taken strictly in index order, as simply as it can be written. Every fast
// routine must match it bit for bit.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace evenor::test {

// Mean and sample SD of values taken in the given order: an exact integer sum,
// then the squared differences added one by one in double.
inline void ReferenceWordMeanSD(const std::vector<std::uint16_t>& values, double& mean, double& sd)
{
    const std::size_t n = values.size();
    if (n == 1) {
        mean = sd = values[0];
        return;
    }
    std::uint64_t sum = 0;
    for (std::uint16_t v : values) sum += v;
    mean = static_cast<double>(sum) / static_cast<double>(n);
    double acc = 0.0;
    for (std::uint16_t v : values) {
        const double d = mean - static_cast<double>(v);
        const double square = d * d;
        acc = acc + square;
    }
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

inline void ReferenceRealMeanSD(const std::vector<double>& values, double& mean, double& sd)
{
    const std::size_t n = values.size();
    if (n == 1) {
        mean = sd = values[0];
        return;
    }
    double sum = 0.0;
    for (double v : values) sum = sum + v;
    mean = sum / static_cast<double>(n);
    double acc = 0.0;
    for (double v : values) {
        const double d = mean - v;
        const double square = d * d;
        acc = acc + square;
    }
    sd = std::sqrt(acc / static_cast<double>(n - 1));
}

inline bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace evenor::test

#pragma once
// Median and median absolute deviation of a few thousand reals (line means,
// ROI SDs), for the rim, line-defect and structured-noise searches.
#include <algorithm>
#include <cmath>
#include <vector>

namespace evenor {

// The median (the mean of the two middle values for an even count); 0 when
// empty. Reorders values.
inline double MedianInPlace(std::vector<double>& values)
{
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    double median = *middle;
    if (values.size() % 2 == 0) median = (median + *std::max_element(values.begin(), middle)) / 2.0;
    return median;
}

// The same on a copy.
inline double MedianOf(std::vector<double> values) { return MedianInPlace(values); }

// 1.4826 times the median absolute deviation from the median: the SD of
// normally distributed values, hardly moved by a minority of outliers.
inline double RobustSD(const std::vector<double>& values)
{
    const double median = MedianOf(values);
    std::vector<double> deviations(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) deviations[i] = std::fabs(values[i] - median);
    return 1.4826 * MedianOf(std::move(deviations));
}

}  // namespace evenor

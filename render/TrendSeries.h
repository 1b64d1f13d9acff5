#pragma once
// What a trend chart shows: one number of one detector's records over time,
// the baseline in force and its tolerances. Plain data without Qt, so that the
// command line can fill it without loading the renderer (TrendChart.h draws it).
#include <optional>
#include <string>
#include <vector>

namespace evenor {

struct TrendPoint {
    double Day = 0.0;  // when tested, days since 1970-01-01 (UTC), fractions for the time of day
    double Value = 0.0;
    bool Excluded = false;            // drawn hollow
    std::optional<double> Reference{};  // the baseline value in force; none without a baseline
    // The limits this record was judged with, when OwnLimits; else the series'.
    bool OwnLimits = false;
    std::optional<double> WarningPercent{}, ActionPercent{};
};

struct TrendSeries {
    std::string Title;               // names the detector and the number
    std::string ValueName;           // the y axis label, with its unit
    std::vector<TrendPoint> Points;  // oldest first
    // Percent of the baseline value either side of it; none: no band. The
    // legend shows these (the limits in force now); a point's own limits draw
    // the bands from it to the next point.
    std::optional<double> WarningPercent, ActionPercent;
    // The band's half-width is a percentage of max(reference, MinimumReference)
    // (a count whose baseline is 0 is judged against 1).
    double MinimumReference = 0.0;
};

}  // namespace evenor

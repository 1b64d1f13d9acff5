#pragma once
// What a trend chart shows: one number of one detector's records over time,
// the baselines in force over that time and their tolerances. Plain data
// without Qt, so that the command line can fill it without loading the
// renderer (TrendChart.h draws it, the window's History page too).
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace evenor {

struct TrendPoint {
    double Day = 0.0;  // when tested, days since 1970-01-01 (UTC), fractions for the time of day
    double Value = 0.0;
    bool Excluded = false;              // drawn hollow
    std::optional<double> Reference{};  // the baseline value this record was judged against; none without one
    // Recorded while the detector had no baseline: judged against none (a
    // baseline set from it later may still be drawn over it).
    bool NoBaseline = false;
    // The limits this record was judged with, when OwnLimits; else the series'.
    bool OwnLimits = false;
    std::optional<double> WarningPercent{}, ActionPercent{};
};

// A baseline version on the time axis: in force from FromDay until the next
// version's FromDay, the newest up to the chart's right edge.
struct TrendBaseline {
    double FromDay = 0.0;               // days since 1970-01-01 (UTC)
    std::optional<double> Reference{};  // its value of the number; none: it has none (no band)
};

struct TrendSeries {
    std::string Title;                     // names the detector and the number
    std::string ValueName;                 // the y axis label, with its unit
    std::vector<TrendPoint> Points;        // oldest first
    std::vector<TrendBaseline> Baselines;  // oldest first, FromDay not decreasing
    // Percent of the baseline value either side of it; none: no band. The
    // limits in force now; a point's own limits draw the bands from it to the
    // next point with other limits (TrendStretches).
    std::optional<double> WarningPercent, ActionPercent;
    // The band's half-width is a percentage of max(reference, MinimumReference)
    // (a count whose baseline is 0 is judged against 1).
    double MinimumReference = 0.0;
};

inline std::optional<double> TrendWarningOf(const TrendSeries& series, const TrendPoint& point)
{
    return point.OwnLimits ? point.WarningPercent : series.WarningPercent;
}
inline std::optional<double> TrendActionOf(const TrendSeries& series, const TrendPoint& point)
{
    return point.OwnLimits ? point.ActionPercent : series.ActionPercent;
}

// A stretch of time with one baseline value and one pair of limits.
struct TrendStretch {
    double From = 0.0, To = 0.0;  // days
    double Reference = 0.0;
    std::optional<double> WarningPercent, ActionPercent;
};

// The baselines of series in force between first and last (days), stretch by
// stretch: a new stretch where a baseline version takes over and where the
// limits change. The limits of a stretch are those of the last record judged
// before it under the same baseline version, else of the version's first
// judged record, else the series' (a fresh baseline is judged with the limits
// in force now). A record judged with no baseline (NoBaseline), over which
// a baseline set from it later is drawn, does not count. Times without a
// baseline, or whose baseline has no value of the number, have no stretch.
inline std::vector<TrendStretch> TrendStretches(const TrendSeries& series, double first, double last)
{
    std::vector<double> starts{first};
    for (const TrendBaseline& b : series.Baselines)
        if (b.FromDay > first && b.FromDay < last) starts.push_back(b.FromDay);
    for (const TrendPoint& p : series.Points)
        if (p.Day > first && p.Day < last) starts.push_back(p.Day);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());

    std::vector<TrendStretch> stretches;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const double from = starts[k], to = k + 1 < starts.size() ? starts[k + 1] : last;
        // The version in force at from, and when the next one takes over.
        std::size_t version = series.Baselines.size();
        for (std::size_t v = 0; v < series.Baselines.size(); ++v)
            if (series.Baselines[v].FromDay <= from) version = v;
        if (version == series.Baselines.size() || !series.Baselines[version].Reference) continue;
        const double begins = series.Baselines[version].FromDay;
        const double ends = version + 1 < series.Baselines.size() ? series.Baselines[version + 1].FromDay : 1e300;
        // The record whose limits hold: the last one so far, else the first.
        const TrendPoint* before = nullptr;
        const TrendPoint* earliest = nullptr;
        for (const TrendPoint& p : series.Points) {
            if (p.NoBaseline || p.Day < begins || p.Day >= ends) continue;
            if (p.Day <= from && (before == nullptr || p.Day >= before->Day)) before = &p;
            if (earliest == nullptr || p.Day < earliest->Day) earliest = &p;
        }
        const TrendPoint* judged = before != nullptr ? before : earliest;
        TrendStretch stretch{from, to, *series.Baselines[version].Reference, series.WarningPercent,
                             series.ActionPercent};
        if (judged != nullptr) {
            stretch.WarningPercent = TrendWarningOf(series, *judged);
            stretch.ActionPercent = TrendActionOf(series, *judged);
        }
        if (!stretches.empty() && stretches.back().To == from && stretches.back().Reference == stretch.Reference &&
            stretches.back().WarningPercent == stretch.WarningPercent &&
            stretches.back().ActionPercent == stretch.ActionPercent)
            stretches.back().To = to;
        else
            stretches.push_back(stretch);
    }
    return stretches;
}

// A run of stretches side by side drawn with the same limits.
struct TrendLimitsPeriod {
    double From = 0.0, To = 0.0;  // days
    std::optional<double> WarningPercent, ActionPercent;
};

// The periods of stretches (TrendStretches) that have a band (stretches
// without limits draw none), in order.
inline std::vector<TrendLimitsPeriod> TrendLimitsPeriods(const std::vector<TrendStretch>& stretches)
{
    std::vector<TrendLimitsPeriod> periods;
    for (const TrendStretch& s : stretches) {
        if (!s.WarningPercent && !s.ActionPercent) continue;
        if (!periods.empty() && periods.back().To == s.From && periods.back().WarningPercent == s.WarningPercent &&
            periods.back().ActionPercent == s.ActionPercent)
            periods.back().To = s.To;
        else
            periods.push_back({s.From, s.To, s.WarningPercent, s.ActionPercent});
    }
    return periods;
}

// Whether the periods have more than one pair of limits: then a chart says
// each period's own, not one pair for all.
inline bool TrendLimitsVary(const std::vector<TrendLimitsPeriod>& periods)
{
    return std::any_of(periods.begin(), periods.end(), [&](const TrendLimitsPeriod& p) {
        return p.WarningPercent != periods.front().WarningPercent || p.ActionPercent != periods.front().ActionPercent;
    });
}

}  // namespace evenor

// The trend chart of a hand-made series: the baseline line and the bands lie
// at the rows their values give, in each baseline version's stretch of time;
// a baseline set after the last record shows at once.
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>

#include "render/MapRenderer.h"
#include "render/TrendChart.h"

namespace evenor {
namespace {

TEST(TrendChartTest, BaselineAndBandsLieAtTheirValues)
{
    TrendSeries series;
    series.Title = "DET-1: Area SNR";
    series.ValueName = "Area SNR";
    series.WarningPercent = 10.0;
    series.ActionPercent = 20.0;
    // Days 0 ... 9 against a baseline of 100, days 10 ... 19 against 50 (a
    // new version); one excluded record far off.
    for (int day = 0; day < 20; ++day)
        series.Points.push_back({.Day = 20000.0 + day,
                                 .Value = day < 10 ? 100.0 + day : 45.0 - day % 2,
                                 .Excluded = day == 4,
                                 .Reference = day < 10 ? 100.0 : 50.0});
    series.Baselines = {{.FromDay = 19990.0, .Reference = 100.0}, {.FromDay = 20009.5, .Reference = 50.0}};
    series.Points[4].Value = 10.0;
    // Days 15 ... 19 were judged with narrower limits of their own.
    for (int day = 15; day < 20; ++day) {
        series.Points[day].OwnLimits = true;
        series.Points[day].WarningPercent = 4.0;
        series.Points[day].ActionPercent = 8.0;
    }

    const QImage image = RenderTrendChart(series);
    ASSERT_EQ(image.size(), TrendChartSize);
    const TrendChartFrame frame = TrendChartFrameFor(series);
    EXPECT_LE(frame.Low, 10.0);
    EXPECT_GE(frame.High, 120.0);
    const auto at = [&](double day, double value) {
        return image.pixel(static_cast<int>(std::lround(frame.XOf(day))),
                           static_cast<int>(std::lround(frame.YOf(value))));
    };
    struct Case {
        double day, value;
        QRgb expected;
    };
    // Halfway between records, clear of the dots and the line through them.
    const Case cases[] = {
        {2.5, 100.0, TrendBaselineColour},    {2.5, 94.0, TrendWarningBandColour}, {2.5, 106.0, TrendWarningBandColour},
        {2.5, 85.0, TrendActionBandColour},   {2.5, 116.0, TrendActionBandColour}, {2.5, 76.0, 0xffffffff},
        {9.2, 100.0, TrendBaselineColour},  // the new version took over at 9.5, before its first record
        {9.8, 50.0, TrendBaselineColour},     {14.5, 50.0, TrendBaselineColour},   {14.5, 53.0, TrendWarningBandColour},
        {14.5, 58.0, TrendActionBandColour},  {14.5, 42.0, TrendActionBandColour}, {14.5, 90.0, 0xffffffff},
        {17.5, 51.3, TrendWarningBandColour}, {17.5, 53.0, TrendActionBandColour}, {17.5, 54.5, 0xffffffff},
    };
    for (const Case& c : cases)
        EXPECT_EQ(at(20000.0 + c.day, c.value), c.expected) << "day " << c.day << ", value " << c.value;

    // Excluded: hollow (white inside); included: filled.
    EXPECT_EQ(at(20004.0, 10.0), 0xffffffffu);
    EXPECT_NE(at(20003.0, 103.0), 0xffffffffu);
    EXPECT_NE(at(20003.0, 103.0), TrendWarningBandColour);

    // The same series draws the same bytes.
    EXPECT_EQ(EncodePng(image), EncodePng(RenderTrendChart(series)));
}

// A new baseline set ten days after the last record: the axis reaches it, the
// old version holds until then, the new one from then to the right edge with
// the limits in force now; the records stay coloured by the baseline they
// were judged against.
TEST(TrendChartTest, AFreshBaselineShowsFromWhenItWasSet)
{
    TrendSeries series;
    series.WarningPercent = 10.0;
    series.ActionPercent = 20.0;
    for (int day = 0; day < 10; ++day)
        series.Points.push_back({.Day = 20000.0 + day, .Value = 100.0 + day, .Reference = 100.0});
    series.Points[3].OwnLimits = true;  // judged with 5 and 15 % then
    series.Points[3].WarningPercent = 5.0;
    series.Points[3].ActionPercent = 15.0;
    series.Baselines = {{.FromDay = 20000.0, .Reference = 100.0}, {.FromDay = 20019.0, .Reference = 60.0}};

    const std::vector<TrendStretch> stretches = TrendStretches(series, 19999.0, 20020.0);
    struct Expected {
        double from, to, reference;
        std::optional<double> warning, action;
    };
    const Expected expected[] = {{20000.0, 20003.0, 100.0, 10.0, 20.0},
                                 {20003.0, 20004.0, 100.0, 5.0, 15.0},
                                 {20004.0, 20019.0, 100.0, 10.0, 20.0},
                                 {20019.0, 20020.0, 60.0, 10.0, 20.0}};
    ASSERT_EQ(stretches.size(), std::size(expected));
    for (std::size_t k = 0; k < stretches.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(stretches[k].From, expected[k].from);
        EXPECT_EQ(stretches[k].To, expected[k].to);
        EXPECT_EQ(stretches[k].Reference, expected[k].reference);
        EXPECT_EQ(stretches[k].WarningPercent, expected[k].warning);
        EXPECT_EQ(stretches[k].ActionPercent, expected[k].action);
    }

    const QImage image = RenderTrendChart(series);
    const TrendChartFrame frame = TrendChartFrameFor(series);
    EXPECT_GT(frame.LastDay, 20019.0);
    EXPECT_LE(frame.Low, 60.0 - 12.0);
    const auto at = [&](double day, double value) {
        return image.pixel(static_cast<int>(std::lround(frame.XOf(day))),
                           static_cast<int>(std::lround(frame.YOf(value))));
    };
    EXPECT_EQ(at(20014.0, 100.0), TrendBaselineColour);  // the old one after the last record
    EXPECT_EQ(at(20014.0, 63.0), 0xffffffffu);
    EXPECT_EQ(at(20019.5, 60.0), TrendBaselineColour);  // the new one at once
    EXPECT_EQ(at(20019.5, 64.0), TrendWarningBandColour);
    EXPECT_EQ(at(20019.5, 70.0), TrendActionBandColour);
    EXPECT_EQ(at(20019.5, 103.0), 0xffffffffu);  // no longer the old one's band

    // A band of 100 % reaches 0, not an axis step below it.
    series.ActionPercent = 100.0;
    series.Baselines.back().Reference = 26.251833548202747;  // 100 % of it is a little more than itself
    EXPECT_EQ(TrendChartFrameFor(series).Low, 0.0);
}

}  // namespace
}  // namespace evenor

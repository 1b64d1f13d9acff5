#pragma once
// A trend chart of one number of one detector (TrendSeries.h): the record
// dates along the x axis, the values as dots (excluded records hollow, grey),
// the baselines in force over time (TrendStretches) as a dark green line,
// each version from when it was set until the next took over, the newest up
// to the right edge (the axis reaches it when it was set after the last
// record), stepping where a version took over; around it the warning band
// (light green) and the action band (light amber) as filled areas; a title
// and labelled axes. A dot outside the action band of the baseline its record
// was judged against is red, outside the warning band orange, else blue. The
// legend gives the limits of the bands; when they changed over the chart,
// each period of one pair of limits is labelled with its own instead
// ("from 2026-03-02: warning ±5 %, action ±10 %") above the values.
//
// Needs Qt Gui only and a QGuiApplication (text). The same series draws the
// same pixels.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QSize>

#include "qa/TrendSeries.h"

class QPainter;

namespace evenor {

inline constexpr QSize TrendChartSize{800, 500};

inline constexpr QRgb TrendBaselineColour = 0xff006e00;
inline constexpr QRgb TrendWarningBandColour = 0xffd6f0d6;
inline constexpr QRgb TrendActionBandColour = 0xfffde6be;

// Where the plot lies in the chart and how values and days map onto it.
struct TrendChartFrame {
    QRect Plot;  // the plotting area, in chart pixels
    double FirstDay = 0.0, LastDay = 1.0;
    double Low = 0.0, High = 1.0;  // the value range of the y axis

    double XOf(double day) const;
    double YOf(double value) const;
};

TrendChartFrame TrendChartFrameFor(const TrendSeries& series, QSize size = TrendChartSize);

// The chart laid out on size (logical units: the painter's transform maps
// them onto the target, e.g. a rectangle of a PDF page, where the lines stay
// lines and the text stays text), nothing drawn outside it, the background
// left as it is. The text is in font's family and style at the chart's own
// pixel sizes; the layout takes its widths from the painter's device.
// Leaves the painter's state as it was. Throws EvenorError without a
// QGuiApplication.
void PaintTrendChart(QPainter& painter, const TrendSeries& series, QSize size = TrendChartSize,
                     const QFont& font = QFont());

// The chart on white, laid out on size, drawn scale times as many pixels each way (for
// print; 1 to 8). Throws EvenorError without a QGuiApplication.
QImage RenderTrendChart(const TrendSeries& series, QSize size = TrendChartSize, int scale = 1);

}  // namespace evenor

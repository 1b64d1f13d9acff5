#include "render/TrendChart.h"

#include <QDate>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/Dates.h"
#include "base/EvenorError.h"
#include "insight/ResultExport.h"
#include "render/MapRenderer.h"

namespace evenor {

namespace {

constexpr int kLeft = 84, kRight = 24, kTop = 62, kBottom = 64;
// The share of the value range added above it for the limits' labels: about
// 30 of the plot's 374 pixels.
constexpr double kLabelStrip = 0.09;

// Half the width of a band of percent around reference.
double HalfBand(const TrendSeries& series, double reference, double percent)
{
    return std::max(std::abs(reference), series.MinimumReference) * percent / 100.0;
}

// The lower edge of a band: not below 0 around a reference of 0 or more (the
// numbers are counts, ratios and percentages; a band of 100 % reaches 0, not
// a rounding error below it), as the window's chart draws it.
double BandBottom(const TrendSeries& series, double reference, double percent)
{
    const double bottom = reference - HalfBand(series, reference, percent);
    return reference >= 0.0 ? std::max(bottom, 0.0) : bottom;
}

std::optional<double> WidestPercent(const TrendStretch& stretch)
{
    const std::optional<double> warning = stretch.WarningPercent, action = stretch.ActionPercent;
    if (action && warning) return std::max(*action, *warning);
    return action ? action : warning;
}

QString PercentText(const char* name, double percent)
{
    return QStringLiteral("%1 \u00b1%2 %").arg(QLatin1String(name), QString::fromStdString(FormatReal(percent)));
}

// "warning ±10 %, action ±20 %".
QString LimitsText(const TrendLimitsPeriod& period)
{
    QStringList parts;
    if (period.WarningPercent) parts << PercentText("warning", *period.WarningPercent);
    if (period.ActionPercent) parts << PercentText("action", *period.ActionPercent);
    return parts.join(QStringLiteral(", "));
}

// Ticks on calendar days between first and last (days since 1970-01-01), at
// most maxTicks: every day, every 2nd, Mondays, every 2nd Monday, the first
// of every month, of every 2nd, 3rd or 6th month, of every year, every 2nd,
// 5th or 10th year; the first of these that is sparse enough.
std::vector<double> CalendarTicks(double first, double last, int maxTicks)
{
    const auto everyNthDay = [&](int n, int phase) {
        std::vector<double> days;
        const auto start = static_cast<std::int64_t>(std::ceil(first));
        for (std::int64_t day = start; day <= last; ++day)
            if (((day - phase) % n + n) % n == 0) days.push_back(static_cast<double>(day));
        return days;
    };
    const auto everyNthMonth = [&](int n) {
        std::vector<double> days;
        const QDate epoch(1970, 1, 1);
        QDate at = epoch.addDays(static_cast<qint64>(std::floor(first)));
        at = QDate(at.year(), at.month(), 1);
        for (; epoch.daysTo(at) <= last; at = at.addMonths(1)) {
            const int index = at.year() * 12 + at.month() - 1;
            if (index % n == 0 && epoch.daysTo(at) >= first) days.push_back(static_cast<double>(epoch.daysTo(at)));
        }
        return days;
    };
    constexpr int kMonday = 4;  // 1970-01-05
    const double span = last - first;
    if (span <= maxTicks * 1.0) return everyNthDay(1, 0);
    if (span <= maxTicks * 2.0) return everyNthDay(2, 0);
    if (span <= maxTicks * 7.0) return everyNthDay(7, kMonday);
    if (span <= maxTicks * 14.0) return everyNthDay(14, kMonday);
    for (const int months : {1, 2, 3, 6, 12, 24, 60, 120, 240, 600, 1200}) {
        std::vector<double> days = everyNthMonth(months);
        if (static_cast<int>(days.size()) <= maxTicks) return days;
    }
    return {};
}

// The decimals a number of the axis has (at most 12): 2 for 0.25 and
// 14.75, 1 for 2.5, 0 for 20 (so that steps of 2.5 read 2.5, 5.0, 7.5, not
// 3, 5, 8).
int Decimals(double value)
{
    int decimals = 0;
    for (double scaled = std::abs(value); decimals < 12 && std::abs(scaled - std::round(scaled)) > 1e-6 * scaled;
         scaled *= 10.0)
        ++decimals;
    return decimals;
}

QFont SizedFont(const QFont& base, int pixels, bool bold)
{
    QFont font = base;
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

}  // namespace

double TrendChartFrame::XOf(double day) const
{
    return Plot.left() + (day - FirstDay) / (LastDay - FirstDay) * Plot.width();
}

double TrendChartFrame::YOf(double value) const { return Plot.top() + (High - value) / (High - Low) * Plot.height(); }

TrendChartFrame TrendChartFrameFor(const TrendSeries& series, QSize size)
{
    TrendChartFrame frame;
    frame.Plot =
        QRect(kLeft, kTop, std::max(1, size.width() - kLeft - kRight), std::max(1, size.height() - kTop - kBottom));
    bool any = false;
    double low = 0.0, high = 0.0, first = 0.0, last = 0.0;
    const auto take = [&](double value) {
        if (!std::isfinite(value)) return;
        low = any ? std::min(low, value) : value;
        high = any ? std::max(high, value) : value;
        any = true;
    };
    for (std::size_t i = 0; i < series.Points.size(); ++i) {
        const TrendPoint& p = series.Points[i];
        take(p.Value);
        first = i == 0 ? p.Day : std::min(first, p.Day);
        last = i == 0 ? p.Day : std::max(last, p.Day);
    }
    // Up to the newest baseline, so that one set after the last record shows.
    if (!series.Points.empty() && !series.Baselines.empty()) last = std::max(last, series.Baselines.back().FromDay);
    if (last - first < 1.0) {
        const double middle = (first + last) / 2.0;
        first = middle - 0.5;
        last = middle + 0.5;
    }
    const double pad = (last - first) * 0.04;
    frame.FirstDay = first - pad;
    frame.LastDay = last + pad;
    for (const TrendStretch& stretch : TrendStretches(series, frame.FirstDay, frame.LastDay)) {
        take(stretch.Reference);
        if (const std::optional<double> widest = WidestPercent(stretch)) {
            take(stretch.Reference + HalfBand(series, stretch.Reference, *widest));
            take(BandBottom(series, stretch.Reference, *widest));
        }
    }
    if (!any) low = 0.0, high = 1.0;
    if (high - low < 1e-9) {
        const double pad = std::max(std::abs(high) * 0.1, 1.0);
        low -= pad;
        high += pad;
    }
    // A strip above the values and bands for the labels of the limits, when
    // they changed over the chart.
    if (TrendLimitsVary(TrendLimitsPeriods(TrendStretches(series, frame.FirstDay, frame.LastDay))))
        high += (high - low) * kLabelStrip;
    const double step = NiceLimit((high - low) / 5.0);
    frame.Low = std::floor(low / step) * step;
    frame.High = std::ceil(high / step) * step;
    if (frame.High - frame.Low < step * 0.5) frame.High = frame.Low + step;
    return frame;
}

void PaintTrendChart(QPainter& painter, const TrendSeries& series, QSize size, const QFont& font)
{
    if (QGuiApplication::instance() == nullptr) throw EvenorError("Drawing a trend chart needs a QGuiApplication");
    const TrendChartFrame frame = TrendChartFrameFor(series, size);
    const QRect plot = frame.Plot;
    painter.save();
    const auto PixelFont = [&](int pixels, bool bold = false) { return SizedFont(font, pixels, bold); };

    // Grid and y axis numbers.
    const double step = NiceLimit((frame.High - frame.Low) / 5.0);
    painter.setFont(PixelFont(12));
    const QFontMetrics metrics = painter.fontMetrics();
    // As many decimals as the step and the lowest line have: 0.1 + 0.2 is
    // labelled 0.3, lines from 14.75 a step of 0.5 apart 14.75, 15.25...
    const int decimals = std::max(Decimals(step), Decimals(frame.Low));
    for (int i = 0;; ++i) {
        const double value = frame.Low + i * step;
        if (value > frame.High + step * 1e-6) break;
        const int y = static_cast<int>(std::lround(frame.YOf(value)));
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(plot.left(), y, plot.right(), y);
        painter.setPen(Qt::black);
        const QString label = QString::number(std::abs(value) < step * 1e-6 ? 0.0 : value, 'f', decimals);
        painter.drawText(QRect(0, y - 8, plot.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter, label);
    }
    // Date ticks on calendar days (Mondays, firsts of months...), as many as
    // the labels leave room for; a label at either end is kept inside the
    // chart.
    const int labelWidth = metrics.horizontalAdvance(QStringLiteral("0000-00-00")) + 12;
    const int maxTicks = std::clamp(plot.width() / labelWidth, 2, 8);
    for (const double day : CalendarTicks(frame.FirstDay, frame.LastDay, maxTicks)) {
        const int x = static_cast<int>(std::lround(frame.XOf(day)));
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(x, plot.top(), x, plot.bottom());
        painter.setPen(Qt::black);
        painter.drawLine(x, plot.bottom(), x, plot.bottom() + 4);
        const int left = std::clamp(x - labelWidth / 2, 0, size.width() - labelWidth);
        painter.drawText(QRect(left, plot.bottom() + 6, labelWidth, 16), Qt::AlignHCenter | Qt::AlignTop,
                         QString::fromStdString(DateTextOfDay(day)));
    }

    // The bands and the baseline of each version in force, from when it
    // was set until the next one took over (the newest to the plot's right
    // edge), changing where the limits the records were judged with change.
    const auto& points = series.Points;
    const std::vector<TrendStretch> stretches = TrendStretches(series, frame.FirstDay, frame.LastDay);
    const auto spanOf = [&](const TrendStretch& s) { return std::pair(frame.XOf(s.From), frame.XOf(s.To)); };
    painter.save();
    painter.setClipRect(plot, Qt::IntersectClip);
    // Wider band first, the narrower over it.
    const auto band = [&](bool wider, QRgb colour) {
        for (const TrendStretch& s : stretches) {
            const std::optional<double> warning = s.WarningPercent, action = s.ActionPercent;
            const bool warningInside = !action || !warning || *warning <= *action;
            const std::optional<double> percent = wider == warningInside ? action : warning;
            if (!percent) continue;
            const double half = HalfBand(series, s.Reference, *percent);
            const auto [from, to] = spanOf(s);
            const int top = static_cast<int>(std::lround(frame.YOf(s.Reference + half)));
            const int bottom = static_cast<int>(std::lround(frame.YOf(BandBottom(series, s.Reference, *percent))));
            const int left = static_cast<int>(std::lround(from)), right = static_cast<int>(std::lround(to));
            painter.fillRect(QRect(QPoint(left, top), QPoint(right, bottom)), QColor::fromRgb(colour));
        }
    };
    band(true, TrendActionBandColour);
    band(false, TrendWarningBandColour);
    painter.setPen(QPen(QColor::fromRgb(TrendBaselineColour), 2));
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        const auto [from, to] = spanOf(stretches[i]);
        const int y = static_cast<int>(std::lround(frame.YOf(stretches[i].Reference)));
        painter.drawLine(QPointF(from, y), QPointF(to, y));
        if (i > 0 && stretches[i - 1].To == stretches[i].From && stretches[i - 1].Reference != stretches[i].Reference)
            painter.drawLine(QPointF(from, frame.YOf(stretches[i - 1].Reference)), QPointF(from, y));
    }

    // Limits that changed over the chart: each period labelled with its own
    // at its start, in the strip kept free above the values, a label that
    // would run into the one before moved right, or down a row.
    const std::vector<TrendLimitsPeriod> periods = TrendLimitsPeriods(stretches);
    const bool limitsVary = TrendLimitsVary(periods);
    if (limitsVary) {
        painter.setFont(PixelFont(11));
        painter.setPen(QColor(60, 60, 60));
        const QFontMetrics labelMetrics = painter.fontMetrics();
        std::vector<int> rowEnds;  // where each row's last label ends
        for (const TrendLimitsPeriod& period : periods) {
            QString text = LimitsText(period);
            if (period.From > frame.FirstDay)
                text = QStringLiteral("from %1: %2").arg(QString::fromStdString(DateTextOfDay(period.From)), text);
            const int width = labelMetrics.horizontalAdvance(text);
            const int wanted =
                std::min(static_cast<int>(std::lround(frame.XOf(period.From))) + 4, plot.right() - 4 - width);
            std::size_t row = 0;
            while (row < rowEnds.size() && std::max(wanted, rowEnds[row] + 10) + width > plot.right() - 4) ++row;
            if (row == rowEnds.size()) rowEnds.push_back(plot.left() - 6);
            const int left = std::max({wanted, plot.left() + 4, rowEnds[row] + 10});
            painter.drawText(QRect(left, plot.top() + 3 + static_cast<int>(row) * 14, width + 2, 14),
                             Qt::AlignLeft | Qt::AlignVCenter, text);
            rowEnds[row] = left + width;
        }
    }

    // The values: a thin line through the included ones, then the dots.
    painter.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath path;
    bool started = false;
    for (const TrendPoint& p : points) {
        if (p.Excluded || !std::isfinite(p.Value)) continue;
        const QPointF at(frame.XOf(p.Day), frame.YOf(p.Value));
        started ? path.lineTo(at) : path.moveTo(at);
        started = true;
    }
    painter.setPen(QPen(QColor(70, 110, 170), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    for (const TrendPoint& p : points) {
        if (!std::isfinite(p.Value)) continue;
        const QPointF at(frame.XOf(p.Day), frame.YOf(p.Value));
        if (p.Excluded) {
            painter.setPen(QPen(QColor(128, 128, 128), 1.5));
            painter.setBrush(Qt::white);
        } else {
            QColor colour(30, 90, 200);
            if (p.Reference) {
                const double off = std::abs(p.Value - *p.Reference);
                const std::optional<double> warning = TrendWarningOf(series, p), action = TrendActionOf(series, p);
                if (action && off > HalfBand(series, *p.Reference, *action))
                    colour = QColor(210, 30, 30);
                else if (warning && off > HalfBand(series, *p.Reference, *warning))
                    colour = QColor(235, 140, 0);
            }
            painter.setPen(QPen(colour.darker(130), 1));
            painter.setBrush(colour);
        }
        painter.drawEllipse(at, 4.0, 4.0);
    }
    painter.restore();

    // Frame, title, axis labels, legend.
    painter.setPen(Qt::black);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(plot.adjusted(0, 0, -1, -1));
    painter.setFont(PixelFont(16, true));
    painter.drawText(QRect(0, 6, size.width(), 22), Qt::AlignHCenter | Qt::AlignVCenter,
                     QString::fromStdString(series.Title));
    painter.setFont(PixelFont(13));
    painter.drawText(QRect(plot.left(), size.height() - 24, plot.width(), 20), Qt::AlignHCenter | Qt::AlignVCenter,
                     QStringLiteral("Test date"));
    painter.save();
    painter.translate(16, plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRect(-plot.height() / 2, -10, plot.height(), 20), Qt::AlignHCenter | Qt::AlignVCenter,
                     QString::fromStdString(series.ValueName));
    painter.restore();

    painter.setFont(PixelFont(12));
    int x = plot.left();
    const int y = 36;
    const auto legendText = [&](const QString& text) {
        painter.setPen(Qt::black);
        painter.drawText(QRect(x, y, 400, 16), Qt::AlignLeft | Qt::AlignVCenter, text);
        x += painter.fontMetrics().horizontalAdvance(text) + 18;
    };
    // Only what the chart shows: no baseline entry without a baseline drawn,
    // a band's entry only where it is drawn somewhere, with the limit every
    // band was drawn with (when they changed, the bands' labels give them),
    // the hollow dot only for an excluded record on the chart.
    if (!stretches.empty()) {
        painter.setPen(QPen(QColor::fromRgb(TrendBaselineColour), 2));
        painter.drawLine(x, y + 8, x + 18, y + 8);
        x += 24;
        legendText(QStringLiteral("baseline"));
    }
    const auto swatch = [&](QRgb colour, std::optional<double> TrendLimitsPeriod::*limit, const char* name) {
        const auto drawn =
            std::find_if(periods.begin(), periods.end(), [&](const TrendLimitsPeriod& p) { return p.*limit; });
        if (drawn == periods.end()) return;
        painter.fillRect(QRect(x, y + 2, 18, 12), QColor::fromRgb(colour));
        x += 24;
        legendText(limitsVary ? QLatin1String(name) : PercentText(name, *((*drawn).*limit)));
    };
    swatch(TrendWarningBandColour, &TrendLimitsPeriod::WarningPercent, "warning");
    swatch(TrendActionBandColour, &TrendLimitsPeriod::ActionPercent, "action");
    if (std::any_of(points.begin(), points.end(),
                    [](const TrendPoint& p) { return p.Excluded && std::isfinite(p.Value); })) {
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setPen(QPen(QColor(128, 128, 128), 1.5));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QPointF(x + 5, y + 8), 4.0, 4.0);
        painter.setRenderHint(QPainter::Antialiasing, false);
        x += 16;
        legendText(QStringLiteral("excluded"));
    }
    painter.restore();
}

QImage RenderTrendChart(const TrendSeries& series, QSize size, int scale)
{
    if (QGuiApplication::instance() == nullptr) throw EvenorError("Drawing a trend chart needs a QGuiApplication");
    scale = std::clamp(scale, 1, 8);
    QImage image(size * scale, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.scale(scale, scale);
    PaintTrendChart(painter, series, size);
    painter.end();
    return image;
}

}  // namespace evenor

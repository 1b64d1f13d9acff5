#include "render/TrendChart.h"

#include <QDate>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "dicom/EvenorError.h"
#include "insight/ResultExport.h"
#include "render/MapRenderer.h"

namespace evenor {

namespace {

constexpr int kLeft = 84, kRight = 24, kTop = 62, kBottom = 64;

// Half the width of a band of percent around reference.
double HalfBand(const TrendSeries& series, double reference, double percent)
{
    return std::max(std::abs(reference), series.MinimumReference) * percent / 100.0;
}

std::optional<double> WidestPercent(const TrendSeries& series)
{
    if (series.ActionPercent && series.WarningPercent) return std::max(*series.ActionPercent, *series.WarningPercent);
    return series.ActionPercent ? series.ActionPercent : series.WarningPercent;
}

QString DateText(double day)
{
    return QDate(1970, 1, 1).addDays(static_cast<qint64>(std::floor(day))).toString(QStringLiteral("yyyy-MM-dd"));
}

QFont PixelFont(int pixels, bool bold = false)
{
    QFont font;
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
    const std::optional<double> widest = WidestPercent(series);
    for (std::size_t i = 0; i < series.Points.size(); ++i) {
        const TrendPoint& p = series.Points[i];
        take(p.Value);
        if (p.Reference) {
            take(*p.Reference);
            if (widest) {
                take(*p.Reference + HalfBand(series, *p.Reference, *widest));
                take(*p.Reference - HalfBand(series, *p.Reference, *widest));
            }
        }
        first = i == 0 ? p.Day : std::min(first, p.Day);
        last = i == 0 ? p.Day : std::max(last, p.Day);
    }
    if (!any) low = 0.0, high = 1.0;
    if (high - low < 1e-9) {
        const double pad = std::max(std::abs(high) * 0.1, 1.0);
        low -= pad;
        high += pad;
    }
    const double step = NiceLimit((high - low) / 5.0);
    frame.Low = std::floor(low / step) * step;
    frame.High = std::ceil(high / step) * step;
    if (frame.High - frame.Low < step * 0.5) frame.High = frame.Low + step;
    if (last - first < 1.0) {
        const double middle = (first + last) / 2.0;
        first = middle - 0.5;
        last = middle + 0.5;
    }
    const double pad = (last - first) * 0.04;
    frame.FirstDay = first - pad;
    frame.LastDay = last + pad;
    return frame;
}

QImage RenderTrendChart(const TrendSeries& series, QSize size, int scale)
{
    if (QGuiApplication::instance() == nullptr) throw EvenorError("Drawing a trend chart needs a QGuiApplication");
    const TrendChartFrame frame = TrendChartFrameFor(series, size);
    const QRect plot = frame.Plot;
    scale = std::clamp(scale, 1, 8);
    QImage image(size * scale, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.scale(scale, scale);

    // Grid and y axis numbers.
    const double step = NiceLimit((frame.High - frame.Low) / 5.0);
    painter.setFont(PixelFont(12));
    const QFontMetrics metrics(painter.font());
    for (int i = 0;; ++i) {
        const double value = frame.Low + i * step;
        if (value > frame.High + step * 1e-6) break;
        const int y = static_cast<int>(std::lround(frame.YOf(value)));
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(plot.left(), y, plot.right(), y);
        painter.setPen(Qt::black);
        // Twelve digits: a multiple of the step shows as 0.6, not 0.6000000000000001.
        const QString label = QString::number(std::abs(value) < step * 1e-6 ? 0.0 : value, 'g', 12);
        painter.drawText(QRect(0, y - 8, plot.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter, label);
    }
    // Date ticks: whole days, at most about seven, fewer on a narrow plot so
    // that the dates do not run into each other.
    const double ticks = std::clamp(std::floor(plot.width() / 95.0), 2.0, 7.0);
    const double dayStep = std::max(1.0, std::round(NiceLimit((frame.LastDay - frame.FirstDay) / ticks)));
    for (double day = std::ceil(frame.FirstDay / dayStep) * dayStep; day <= frame.LastDay; day += dayStep) {
        const int x = static_cast<int>(std::lround(frame.XOf(day)));
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(x, plot.top(), x, plot.bottom());
        painter.setPen(Qt::black);
        painter.drawLine(x, plot.bottom(), x, plot.bottom() + 4);
        painter.drawText(QRect(x - 50, plot.bottom() + 6, 100, 16), Qt::AlignHCenter | Qt::AlignTop, DateText(day));
    }

    // The bands and the baseline: each record's reference holds from it to
    // the next record (the last one's to the plot's right edge).
    const auto& points = series.Points;
    const auto spanOf = [&](std::size_t i) {
        const double from = frame.XOf(points[i].Day);
        const double to = i + 1 < points.size() ? frame.XOf(points[i + 1].Day) : plot.right() + 1.0;
        return std::pair(from, to);
    };
    painter.setClipRect(plot);
    const auto band = [&](std::optional<double> percent, QRgb colour) {
        if (!percent) return;
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (!points[i].Reference) continue;
            const double reference = *points[i].Reference;
            const double half = HalfBand(series, reference, *percent);
            const auto [from, to] = spanOf(i);
            const int top = static_cast<int>(std::lround(frame.YOf(reference + half)));
            const int bottom = static_cast<int>(std::lround(frame.YOf(reference - half)));
            const int left = static_cast<int>(std::lround(from)), right = static_cast<int>(std::lround(to));
            painter.fillRect(QRect(QPoint(left, top), QPoint(right, bottom)), QColor::fromRgb(colour));
        }
    };
    const bool warningInside =
        !series.ActionPercent || !series.WarningPercent || *series.WarningPercent <= *series.ActionPercent;
    band(warningInside ? series.ActionPercent : series.WarningPercent, TrendActionBandColour);
    band(warningInside ? series.WarningPercent : series.ActionPercent, TrendWarningBandColour);
    painter.setPen(QPen(QColor::fromRgb(TrendBaselineColour), 2));
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!points[i].Reference) continue;
        const auto [from, to] = spanOf(i);
        const int y = static_cast<int>(std::lround(frame.YOf(*points[i].Reference)));
        painter.drawLine(QPointF(from, y), QPointF(to, y));
        if (i > 0 && points[i - 1].Reference && *points[i - 1].Reference != *points[i].Reference)
            painter.drawLine(QPointF(from, frame.YOf(*points[i - 1].Reference)), QPointF(from, y));
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
                if (series.ActionPercent && off > HalfBand(series, *p.Reference, *series.ActionPercent))
                    colour = QColor(210, 30, 30);
                else if (series.WarningPercent && off > HalfBand(series, *p.Reference, *series.WarningPercent))
                    colour = QColor(235, 140, 0);
            }
            painter.setPen(QPen(colour.darker(130), 1));
            painter.setBrush(colour);
        }
        painter.drawEllipse(at, 4.0, 4.0);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setClipping(false);

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
    painter.setPen(QPen(QColor::fromRgb(TrendBaselineColour), 2));
    painter.drawLine(x, y + 8, x + 18, y + 8);
    x += 24;
    legendText(QStringLiteral("baseline"));
    const auto swatch = [&](QRgb colour, std::optional<double> percent, const char* name) {
        if (!percent) return;
        painter.fillRect(QRect(x, y + 2, 18, 12), QColor::fromRgb(colour));
        x += 24;
        legendText(
            QStringLiteral("%1 \u00b1%2 %").arg(QLatin1String(name), QString::fromStdString(FormatReal(*percent))));
    };
    swatch(TrendWarningBandColour, series.WarningPercent, "warning");
    swatch(TrendActionBandColour, series.ActionPercent, "action");
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QColor(128, 128, 128), 1.5));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(x + 5, y + 8), 4.0, 4.0);
    painter.setRenderHint(QPainter::Antialiasing, false);
    x += 16;
    legendText(QStringLiteral("excluded"));
    painter.end();
    return image;
}

}  // namespace evenor

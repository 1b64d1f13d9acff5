#include "render/SpectrumPlot.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QString>

namespace evenor {

namespace {

QFont PixelFont(int pixels)
{
    QFont font;
    font.setPixelSize(pixels);
    return font;
}

// The decades [low, high] (powers of ten) that hold the positive values.
void Decades(const NoiseSpectrum& s, int& low, int& high)
{
    double smallest = HUGE_VAL, largest = 0.0;
    for (const auto* curve : {&s.Horizontal, &s.Vertical, &s.Radial})
        for (const double v : *curve)
            if (v > 0.0 && std::isfinite(v)) {
                smallest = std::min(smallest, v);
                largest = std::max(largest, v);
            }
    if (!(largest > 0.0)) {
        low = -7;
        high = -6;
        return;
    }
    low = static_cast<int>(std::floor(std::log10(smallest)));
    high = static_cast<int>(std::ceil(std::log10(largest)));
    if (high <= low) high = low + 1;
}

}  // namespace

QImage RenderSpectrumPlot(const NoiseSpectrum& s, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF plot(80, 40, size.width() - 110, size.height() - 100);
    int low = 0, high = 0;
    Decades(s, low, high);
    const double nyquist = s.Frequencies.empty() ? 1.0 : s.Frequencies.back();
    const auto x = [&](double f) { return plot.left() + f / nyquist * plot.width(); };
    const auto y = [&](double v) {
        const double l = std::log10(std::max(v, std::pow(10.0, low)));
        return plot.bottom() - (l - low) / (high - low) * plot.height();
    };

    painter.setFont(PixelFont(14));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(0, 8, size.width(), 24), Qt::AlignHCenter,
                     QString("Normalised noise power spectrum (%1 ROIs, %2 values)")
                         .arg(s.Rois)
                         .arg(s.Linearised ? "linearised" : "stored"));
    painter.setFont(PixelFont(12));
    // Grid and labels: each decade, and frequency steps of a nice size.
    painter.setPen(QColor(220, 220, 220));
    for (int d = low; d <= high; ++d)
        painter.drawLine(QPointF(plot.left(), y(std::pow(10.0, d))), QPointF(plot.right(), y(std::pow(10.0, d))));
    const double step = nyquist > 4.0 ? 1.0 : nyquist > 2.0 ? 0.5 : nyquist > 0.8 ? 0.2 : 0.1;
    for (double f = 0.0; f <= nyquist + 1e-9; f += step)
        painter.drawLine(QPointF(x(f), plot.top()), QPointF(x(f), plot.bottom()));
    painter.setPen(Qt::black);
    painter.drawRect(plot);
    for (int d = low; d <= high; ++d)
        painter.drawText(QRectF(0, y(std::pow(10.0, d)) - 8, plot.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                         QString("1e%1").arg(d));
    for (double f = 0.0; f <= nyquist + 1e-9; f += step)
        painter.drawText(QRectF(x(f) - 30, plot.bottom() + 4, 60, 16), Qt::AlignHCenter, QString::number(f, 'g', 3));
    painter.drawText(QRectF(plot.left(), plot.bottom() + 22, plot.width(), 18), Qt::AlignHCenter, "Frequency (mm^-1)");
    painter.save();
    painter.translate(16, plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-100, -10, 200, 20), Qt::AlignCenter, "NNPS (mm^2)");
    painter.restore();

    struct Curve {
        const std::vector<double>* Values;
        QColor Colour;
        const char* Name;
    } curves[] = {{&s.Horizontal, QColor(0, 90, 200), "horizontal"},
                  {&s.Vertical, QColor(210, 60, 30), "vertical"},
                  {&s.Radial, QColor(40, 150, 40), "radial"}};
    painter.setClipRect(plot);
    for (const Curve& curve : curves) {
        QPainterPath path;
        for (std::size_t i = 0; i < curve.Values->size() && i < s.Frequencies.size(); ++i) {
            const QPointF point(x(s.Frequencies[i]), y((*curve.Values)[i]));
            if (i == 0)
                path.moveTo(point);
            else
                path.lineTo(point);
        }
        painter.setPen(QPen(curve.Colour, 1.5));
        painter.drawPath(path);
    }
    painter.setClipping(false);
    double legendX = plot.left() + 10;
    for (const Curve& curve : curves) {
        painter.setPen(QPen(curve.Colour, 2.5));
        painter.drawLine(QPointF(legendX, size.height() - 12), QPointF(legendX + 24, size.height() - 12));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(legendX + 30, size.height() - 20, 100, 16), Qt::AlignLeft | Qt::AlignVCenter,
                         curve.Name);
        legendX += 130;
    }
    return image;
}

QImage RenderSpectrumPicture(const NoiseSpectrum& s, const PeakSearch& peaks)
{
    const int n = static_cast<int>(s.RoiSize), half = n / 2, scale = SpectrumPictureScale;
    // Logarithmic grey levels between the 1st and the 99.9th percentile of
    // the positive values (the detrended lowest frequencies and the peaks
    // would take the whole range otherwise).
    std::vector<double> logs;
    logs.reserve(s.Nnps2D.size());
    for (const double v : s.Nnps2D)
        if (v > 0.0 && std::isfinite(v)) logs.push_back(std::log10(v));
    double low = 0.0, high = 1.0;
    if (!logs.empty()) {
        std::sort(logs.begin(), logs.end());
        low = logs[logs.size() / 100];
        high = logs[std::min(logs.size() - 1, logs.size() * 999 / 1000)];
        if (!(high > low)) high = low + 1.0;
    }
    QImage image(n * scale, n * scale, QImage::Format_RGB32);
    // Row r of the picture is v = half - 1 - r .. ; column c is u = c - half.
    for (int r = 0; r < n; ++r) {
        const int v = half - r;
        for (int c = 0; c < n; ++c) {
            const int u = c - half + 1;
            const double value = s.At(u, v);
            const double t = value > 0.0 ? std::clamp((std::log10(value) - low) / (high - low), 0.0, 1.0) : 0.0;
            const int grey = static_cast<int>(std::lround(t * 255.0));
            const QRgb rgb = qRgb(grey, grey, grey);
            for (int dy = 0; dy < scale; ++dy) {
                auto* line = reinterpret_cast<QRgb*>(image.scanLine(r * scale + dy));
                for (int dx = 0; dx < scale; ++dx) line[c * scale + dx] = rgb;
            }
        }
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(230, 40, 40), 2.0));
    painter.setBrush(Qt::NoBrush);
    for (const SpectrumPeak& peak : peaks.Peaks)
        for (const int sign : {1, -1}) {  // the peak and its mirror image
            const double cx = (sign * peak.U + half - 1 + 0.5) * scale;
            const double cy = (half - sign * peak.V + 0.5) * scale;
            painter.drawEllipse(QPointF(cx, cy), 6.0 * scale, 6.0 * scale);
        }
    return image;
}

}  // namespace evenor

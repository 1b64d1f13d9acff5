#include <QLinearGradient>
#include <algorithm>
#include <cmath>

#include "analysis/AnalysisSettings.h"
#include "base/EvenorError.h"
#include "insight/DetectorInsight.h"
#include "render/MapRenderer.h"
#include "render/PdfPictures.h"
#include "render/TrendChart.h"

namespace evenor {

namespace pdf {

namespace {

// The box the area map is fitted into, in points: what is left of either
// paper's width beside the grey bar, and of its height below the page's
// heading and caption. The map's resolution is planned for it
// (ReportAreaMapPlanFor), so that it is the same on A4 and Letter.
constexpr double kAreaMapBoxWidth = 420.0, kAreaMapBoxHeight = 600.0;

// A vertical scale beside a picture: gradient fills bar (its top at stop 0),
// a tick with its label right of it at the top, the quarters and the bottom.
void DrawScaleBar(QPainter& p, const QRectF& bar, const QGradientStops& stops, const QStringList& labels,
                  const QFont& font)
{
    QLinearGradient gradient(bar.topLeft(), bar.bottomLeft());
    gradient.setStops(stops);
    p.fillRect(bar, gradient);
    p.setPen(QPen(kText, Pt(0.5)));
    p.setBrush(Qt::NoBrush);
    p.drawRect(bar);
    p.setFont(font);
    const QFontMetricsF metrics(font, p.device());
    for (int k = 0; k < labels.size(); ++k) {
        const double y = bar.top() + k * bar.height() / (labels.size() - 1);
        p.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + Pt(3), y));
        p.drawText(QRectF(bar.right() + Pt(5), y - metrics.height() / 2, metrics.horizontalAdvance(labels[k]) + Pt(2),
                          metrics.height()),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, labels[k]);
    }
}

double LabelsWidth(const QStringList& labels, const QFont& font, const QPaintDevice* device)
{
    const QFontMetricsF metrics(font, const_cast<QPaintDevice*>(device));
    double width = 0;
    for (const QString& label : labels) width = std::max(width, metrics.horizontalAdvance(label));
    return width + Pt(2);
}

// The grey bar's labels, top (white) to bottom (black): the pixel values, the
// ends and the middle named when the scale is the area mean +/- 3 SD.
QStringList GreyLabels(const AreaMapGreyScale& grey, const AnalysisResult& result)
{
    const double step = (grey.High - grey.Low) / 4.0;
    // Two significant digits of the step.
    const int decimals = std::clamp(1 - static_cast<int>(std::floor(std::log10(std::max(step, 1e-12)))), 0, 6);
    const bool threeSd = result.AreaSD > 0.0 && grey.High == result.AreaMean + 3.0 * result.AreaSD;
    QStringList labels;
    for (int k = 0; k <= 4; ++k) {
        const double value = grey.High - k * step;
        QString label = QString::number(std::abs(value) < step * 1e-9 ? 0.0 : value, 'f', decimals);
        if (threeSd && k == 0) label += QStringLiteral(" (+3 SD)");
        if (threeSd && k == 2) label += QStringLiteral(" (mean)");
        if (threeSd && k == 4) label += QStringLiteral(" (-3 SD)");
        labels << label;
    }
    return labels;
}

}  // namespace

QSizeF AreaMapPrintSize(double width, double height)
{
    const double scale = std::min(kAreaMapBoxWidth / std::max(width, 1.0), kAreaMapBoxHeight / std::max(height, 1.0));
    return {width * scale, height * scale};
}

void AreaMapPicture(Document& doc, const ReportPictures& pictures, const AnalysisResult& result)
{
    const QImage& grey = pictures.AreaMap;
    const QImage& marks = pictures.AreaMarks;
    if (grey.isNull()) return;
    const QFont font = doc.F().Small;
    const QStringList labels = GreyLabels(pictures.Grey, result);
    const double barWidth = Pt(9), barGap = Pt(8);
    const double side = barGap + barWidth + Pt(5) + LabelsWidth(labels, font, doc.Device());
    // Half a label above the map and below it, for the labels at the bar's ends.
    const double pad = QFontMetricsF(font, doc.Device()).height() / 2;
    const QSizeF print = AreaMapPrintSize(grey.width(), grey.height());
    // Smaller only where the page has less room than the box (it has not on A4 or Letter).
    const double fit = std::min(
        {1.0, (doc.Width() - side) / Pt(print.width()), (doc.Remaining() - 2 * pad - Pt(4)) / Pt(print.height())});
    const double w = Pt(print.width()) * fit, h = Pt(print.height()) * fit;
    const QGradientStops stops{{0.0, QColor(255, 255, 255)}, {1.0, QColor(0, 0, 0)}};
    doc.Add(h + 2 * pad, [=](QPainter& p, const QRectF& r) {
        const QRectF target(r.left() + (r.width() - w - side) / 2, r.top() + pad, w, h);
        // The grey is a noisy photograph-like picture: JPEG (Qt's quality 94)
        // keeps it at half its lossless size or less. Magnified, each image
        // pixel a square of equal pixels, it would pack tighter losslessly,
        // but Qt's Flate takes up to a second for it (a 1500 x 1200 area:
        // 1.06 s against 0.40 s, 2.9 MB against 4.6 MB); at this resolution
        // the squares stay square in JPEG too. The marks, lines and text
        // over it are lossless always.
        p.setRenderHint(QPainter::LosslessImageRendering, false);
        p.drawImage(target, grey);
        p.setRenderHint(QPainter::LosslessImageRendering, true);
        if (!marks.isNull()) p.drawImage(target, marks);
        p.setPen(QPen(kRule, Pt(0.5)));
        p.setBrush(Qt::NoBrush);
        p.drawRect(target);
        DrawScaleBar(p, QRectF(target.right() + barGap, target.top(), barWidth, h), stops, labels, font);
    });
}

void DrawHeatMap(QPainter& p, const QRectF& r, const HeatMap& map, const QString& title, const QString& note,
                 const Fonts& fonts, const QPaintDevice* device)
{
    const QFontMetricsF titleMetrics(fonts.SmallBold, device);
    const QFontMetricsF labelMetrics(fonts.Small, device);
    p.setFont(fonts.SmallBold);
    p.setPen(kText);
    const QRectF titleRect(r.left(), r.top(), r.width(),
                           titleMetrics.boundingRect(r, Qt::AlignLeft | Qt::TextWordWrap, title).height());
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, title);
    QStringList labels;
    for (int k = 0; k <= 4; ++k) {
        const double value = map.Limit - k * map.Limit / 2.0;
        labels << TickText(std::abs(value) < 1e-12 ? 0.0 : value);
    }
    const double labelWidth = LabelsWidth(labels, fonts.Small, device) + Pt(5);
    const double barWidth = Pt(9);
    // Room above the cells for the top tick label, centred on the bar's top.
    const double top = titleRect.bottom() + labelMetrics.height() / 2 + Pt(3);
    const double side =
        std::min(r.width() - barWidth - labelWidth - Pt(8), r.bottom() - top - labelMetrics.height() * 2.4);
    const QRect grid = map.Layout.Grid;
    double w = side, h = side;
    if (grid.width() > grid.height())
        h = side * grid.height() / grid.width();
    else
        w = side * grid.width() / std::max(1, grid.height());
    const QRectF cells(r.left(), top, w, h);
    // Each cell a whole number of pixels, enough for the resolution.
    const int columns = std::max(1, map.Layout.Columns), rows = std::max(1, map.Layout.Rows);
    const double pixels = std::max(w, h) / kResolution * ReportPictureResolution;
    const int cell = std::max(1, static_cast<int>(std::ceil(pixels / std::max(columns, rows))));
    const QImage source = map.Image.copy(grid);
    p.drawImage(cells, source.scaled(columns * cell, rows * cell, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    // The deviating ROIs' cells framed inside, when the cells are big enough
    // to show it.
    const double cellWidth = w / columns, cellHeight = h / rows;
    const bool outlined = std::min(cellWidth, cellHeight) >= Pt(3);
    if (outlined) {
        const double pen = std::clamp(std::min(cellWidth, cellHeight) / 12.0, Pt(0.5), Pt(1.5));
        p.setPen(QPen(kText, pen, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        p.setBrush(Qt::NoBrush);
        for (const QPoint& at : map.Outlined)
            p.drawRect(
                QRectF(cells.left() + at.x() * cellWidth, cells.top() + at.y() * cellHeight, cellWidth, cellHeight)
                    .adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2));
    }
    p.setPen(QPen(kText, Pt(0.5)));
    p.setBrush(Qt::NoBrush);
    p.drawRect(cells);

    const QGradientStops stops{{0.0, DivergingColour(map.Limit, map.Limit)},
                               {0.5, DivergingColour(0.0, map.Limit)},
                               {1.0, DivergingColour(-map.Limit, map.Limit)}};
    DrawScaleBar(p, QRectF(cells.right() + Pt(8), top, barWidth, h), stops, labels, fonts.Small);
    p.setPen(kMuted);
    QString text = note;
    if (!map.Outlined.empty())
        text += outlined ? QStringLiteral("; deviating ROIs outlined")
                         : QStringLiteral("; cells too small to outline the deviating ROIs (see their table)");
    p.drawText(QRectF(r.left(), cells.bottom() + Pt(3), r.width(), labelMetrics.height() * 2.4),
               Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
}

QString GridNote(const AnalysisResult& result)
{
    const RoiLattice lattice = BuildRoiLattice(result.Rois);
    QString note =
        QStringLiteral("%1 x %2 grid %3")
            .arg(lattice.Xs.size())
            .arg(lattice.Ys.size())
            .arg(lattice.Xs.size() * lattice.Ys.size() == 1 ? QStringLiteral("position") : QStringLiteral("positions"));
    return note;
}

void TrendCharts(Document& doc, const std::vector<TrendSeries>& trends, int perRow)
{
    const double gap = Pt(10);
    const double width = (doc.Width() - (perRow - 1) * gap) / perRow;
    const QSize logical = perRow == 1 ? QSize(800, 360) : QSize(520, 330);
    const double height = width * logical.height() / logical.width();
    // The report's font, unhinted: its advances are the outlines' own, the
    // same at the chart's pixel sizes as scaled onto the page.
    QFont font = doc.F().Small;
    font.setHintingPreference(QFont::PreferNoHinting);
    for (std::size_t k = 0; k < trends.size(); k += perRow) {
        const auto first = trends.begin() + static_cast<std::ptrdiff_t>(k);
        const std::vector<TrendSeries> row(first, first + std::min<std::ptrdiff_t>(perRow, trends.end() - first));
        doc.Add(height + Pt(6), [=](QPainter& p, const QRectF& r) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                p.save();
                p.translate(r.left() + i * (width + gap), r.top());
                p.scale(width / logical.width(), height / logical.height());
                PaintTrendChart(p, row[i], logical, font);
                p.restore();
            }
        });
    }
}

}  // namespace pdf

using namespace pdf;

ReportAreaMapPlan ReportAreaMapPlanFor(const AnalysisSettings& settings)
{
    const AreaMapGeometry area = AreaMapGeometryFor(settings);
    const double width = area.AreaWidth, height = area.AreaHeight;
    const double longSide = std::max(width, height);
    const QSizeF print = AreaMapPrintSize(width, height);
    // Map pixels along the long side at the resolution, and the fewest the map may have.
    const double wanted = std::max(print.width(), print.height()) / 72.0 * ReportPictureResolution;
    const double least = 0.8 * wanted;
    ReportAreaMapPlan plan;
    plan.PrintWidth = print.width();
    plan.PrintHeight = print.height();
    int maxSide = 0;
    if (longSide >= least) {
        // Bin a whole number of image pixels onto a map pixel, the number
        // that comes nearest the resolution without going below the least:
        // uneven bins would show as stripes in the noise.
        const double binning = std::clamp(std::round(longSide / wanted), 1.0, std::floor(longSide / least));
        maxSide = static_cast<int>(std::ceil(longSide / binning));
    } else {
        maxSide = static_cast<int>(longSide);
        // The fewest pixels that reach the least: every pixel of a magnified
        // map costs time in the PDF.
        plan.Magnify = static_cast<int>(std::ceil(least / longSide));
    }
    plan.Geometry = AreaMapGeometryFor(settings, maxSide);
    plan.MarkScale = std::max(1, static_cast<int>(std::lround(std::max(plan.Geometry.Width, plan.Geometry.Height) /
                                                              static_cast<double>(MaxAreaMapSide))));
    return plan;
}

QImage RenderReportAreaGrey(std::span<const std::uint16_t> pixels, std::uint32_t columns,
                            const AnalysisSettings& settings, const AnalysisResult& result)
{
    return RenderAreaMapGrey(pixels, columns, settings, result, ReportAreaMapPlanFor(settings).Geometry);
}

ReportPictures DrawReportPictures(const QImage& areaGrey, const AnalysisSettings& settings,
                                  const AnalysisResult& result, const DetectorInsight& insight)
{
    ReportPictures pictures;
    pictures.Grey = AreaMapGreyScaleOf(result);
    if (!areaGrey.isNull()) {
        const ReportAreaMapPlan plan = ReportAreaMapPlanFor(settings);
        if (areaGrey.size() != QSize(plan.Geometry.Width, plan.Geometry.Height))
            throw EvenorError("The area map's grey does not fit its area");
        QImage marks(areaGrey.size(), QImage::Format_ARGB32_Premultiplied);
        marks.fill(Qt::transparent);
        DrawAreaMapMarks(marks, plan.Geometry, settings, result, AreaMapDefectsOf(insight), plan.MarkScale);
        QImage grey = areaGrey.convertToFormat(QImage::Format_RGB32);
        if (plan.Magnify > 1) {
            const QSize size = grey.size() * plan.Magnify;
            grey = grey.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
            marks = marks.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        }
        pictures.AreaMap = std::move(grey);
        pictures.AreaMarks = std::move(marks);
    }
    pictures.HeatMaps[0] = RenderHeatMapCells(result, HeatMapKind::RoiMeanDeviation);
    pictures.HeatMaps[1] = RenderHeatMapCells(result, HeatMapKind::RoiSnrDeviation);
    pictures.HeatMaps[2] = RenderHeatMapCells(result, HeatMapKind::RoiNoiseDeviation, &insight.RobustRois.Rois);
    return pictures;
}

}  // namespace evenor

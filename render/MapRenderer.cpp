#include "render/MapRenderer.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <ostream>
#include <vector>

#include "base/EvenorError.h"
#include "insight/Metrics.h"
#include "insight/ResultExport.h"
#include "insight/StructuredNoise.h"

namespace evenor {

namespace {

const QColor kGridColour(0, 170, 255, 120);
const QColor kOutlineColour(255, 0, 0);
const QColor kMarkerColour(255, 255, 0);
const QColor kMarkerFrameColour(0, 0, 0);
const QColor kNoValueColour(128, 128, 128);
const QColor kClusterColour(255, 0, 255);  // magenta
const QColor kLineColour(255, 140, 0);     // orange
const QColor kRimColour(0, 200, 0);        // green
const QColor kNegativeEnd(33, 102, 172);   // blue
const QColor kPositiveEnd(178, 24, 43);    // red
constexpr int kMinGridLineGap = 3;         // map pixels between drawn grid lines

// A map coordinate as a pixel index, kept in int range for positions far
// outside the map (a hand-built result may hold any position).
int PixelIndex(double coordinate) { return static_cast<int>(std::clamp(coordinate, -1.0e6, 1.0e6)); }

void FillClipped(QImage& image, int left, int top, int width, int height, QRgb colour)
{
    const int x0 = std::max(left, 0);
    const int y0 = std::max(top, 0);
    const int x1 = std::min(left + width, image.width());
    const int y1 = std::min(top + height, image.height());
    for (int y = y0; y < y1; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        std::fill(line + x0, line + std::max(x0, x1), colour);
    }
}

// Frame of thickness t inside the rectangle (left, top) .. (right, bottom), inclusive.
void FrameInside(QImage& image, int left, int top, int right, int bottom, int thickness, QRgb colour)
{
    const int width = right - left + 1;
    const int height = bottom - top + 1;
    if (width <= 0 || height <= 0) return;
    const int t = std::min({thickness, width, height});
    FillClipped(image, left, top, width, t, colour);
    FillClipped(image, left, bottom - t + 1, width, t, colour);
    FillClipped(image, left, top, t, height, colour);
    FillClipped(image, right - t + 1, top, t, height, colour);
}

void CheckArea(std::span<const std::uint16_t> pixels, std::uint32_t columns, const AnalysisSettings& settings)
{
    const bool inside = columns > 0 && settings.FirstColumn <= settings.LastColumn && settings.LastColumn < columns &&
                        settings.FirstRow <= settings.LastRow &&
                        (std::uint64_t{settings.LastRow} + 1) * columns <= pixels.size();
    if (!inside) throw EvenorError("The area to map lies outside the image");
}

// Lines s map pixels wide, at least 3s apart.
void DrawGrid(QImage& image, const AreaMapGeometry& geometry, const AnalysisResult& result, int s)
{
    if (result.Rois.empty()) return;
    const RoiLattice lattice = BuildRoiLattice(result.Rois);
    const double box = result.BoxPixels;
    const auto edges = [&](const std::vector<std::uint32_t>& positions, bool columns) {
        std::vector<int> lines;
        for (const std::uint32_t position : positions) {
            for (const double edge : {double(position), position + box}) {
                const QPointF at =
                    columns ? geometry.ToMap(edge, geometry.FirstRow) : geometry.ToMap(geometry.FirstColumn, edge);
                const double coordinate = columns ? at.x() : at.y();
                const int limit = (columns ? geometry.Width : geometry.Height) - 1;
                lines.push_back(std::clamp(PixelIndex(std::floor(coordinate)), 0, limit));
            }
        }
        std::sort(lines.begin(), lines.end());
        lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
        std::vector<int> kept;
        for (const int line : lines)
            if (kept.empty() || line - kept.back() >= kMinGridLineGap * s) kept.push_back(line);
        return kept;
    };
    const std::vector<int> verticals = edges(lattice.Xs, true);
    const std::vector<int> horizontals = edges(lattice.Ys, false);
    // The lines span the part of the area the ROIs cover.
    const int top = horizontals.front();
    const int bottom = horizontals.back();
    const int left = verticals.front();
    const int right = verticals.back();

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (const int x : verticals) painter.fillRect(x, top, s, bottom - top + s, kGridColour);
    for (const int y : horizontals) painter.fillRect(left, y, right - left + s, s, kGridColour);
}

bool HaveGuiApplication() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

bool InsideArea(const AreaMapGeometry& geometry, const LineDefect& line)
{
    return line.Orientation == LineOrientation::Column
               ? line.Index >= geometry.FirstColumn && line.Index - geometry.FirstColumn < geometry.AreaWidth
               : line.Index >= geometry.FirstRow && line.Index - geometry.FirstRow < geometry.AreaHeight;
}

// On each side with a rim, a band 2u wide inside the rim along the interior.
void AddRimEdges(std::vector<AreaMapShape>& shapes, const AreaMapGeometry& geometry, const RimReport& rims, int unit)
{
    if (!rims.Found() || rims.Interior.Empty()) return;
    const PixelRect& inner = rims.Interior;
    const int band = 2 * unit;
    const QPointF from = geometry.ToMap(inner.Left, inner.Top);
    const QPointF to = geometry.ToMap(double(inner.Right()) + 1.0, double(inner.Bottom()) + 1.0);
    const int left = PixelIndex(std::floor(from.x()));
    const int top = PixelIndex(std::floor(from.y()));
    const int right = PixelIndex(std::ceil(to.x()));  // first map column past the interior
    const int bottom = PixelIndex(std::ceil(to.y()));
    const auto fill = [&](int x, int y, int width, int height) {
        shapes.push_back({AreaMapShape::Fill, QRect(x, y, width, height), {}, 0.0, 0.0, kRimColour});
    };
    if (rims.Top.Lines > 0) fill(0, top - band, geometry.Width, band);
    if (rims.Bottom.Lines > 0) fill(0, bottom, geometry.Width, band);
    if (rims.Left.Lines > 0) fill(left - band, 0, band, geometry.Height);
    if (rims.Right.Lines > 0) fill(right, 0, band, geometry.Height);
}

// A dashed line along the defect's row or column and solid ticks at both
// edges of the map.
void AddLineDefects(std::vector<AreaMapShape>& shapes, const AreaMapGeometry& geometry,
                    std::span<const LineDefect> lines, int unit)
{
    const int tick = 8 * unit;
    const int dash = 2 * unit;
    const int period = 6 * unit;
    const int thinStart = -(unit - 1) / 2;  // the dashed line's first offset from the line's centre
    const auto fill = [&](int x, int y, int width, int height) {
        shapes.push_back({AreaMapShape::Fill, QRect(x, y, width, height), {}, 0.0, 0.0, kLineColour});
    };
    for (const LineDefect& line : lines) {
        const bool column = line.Orientation == LineOrientation::Column;
        if (!InsideArea(geometry, line)) continue;
        const QPoint at = column ? geometry.PixelOf(line.Index, geometry.FirstRow)
                                 : geometry.PixelOf(geometry.FirstColumn, line.Index);
        const int length = column ? geometry.Height : geometry.Width;
        for (int k = 0; k < length; k += period) {
            if (column)
                fill(at.x() + thinStart, k, unit, std::min(dash, length - k));
            else
                fill(k, at.y() + thinStart, std::min(dash, length - k), unit);
        }
        for (const int start : {0, length - tick}) {
            if (column)
                fill(at.x() - unit, start, 2 * unit + 1, tick);
            else
                fill(start, at.y() - unit, tick, 2 * unit + 1);
        }
    }
}

// A ring 2u wide around each cluster of two pixels or more, the largest first.
void AddClusterRings(std::vector<AreaMapShape>& shapes, const AreaMapGeometry& geometry,
                     std::span<const DefectCluster> clusters, int unit, int markScale)
{
    std::size_t drawn = 0;
    for (const DefectCluster& cluster : clusters) {
        if (drawn == MaxCircledClusters) break;
        if (cluster.Size < 2) continue;
        ++drawn;
        const QPointF from = geometry.ToMap(cluster.Left, cluster.Top);
        const QPointF to = geometry.ToMap(double(cluster.Right) + 1.0, double(cluster.Bottom) + 1.0);
        // Clear of the box's corners and of the 5s x 5s markers of its pixels
        // (up to 2.5s * sqrt(2) beyond a corner pixel's centre).
        const double halfDiagonal = std::hypot(to.x() - from.x(), to.y() - from.y()) / 2.0;
        const double inner = std::max(halfDiagonal + 4.0 * markScale, 6.0 * unit);
        shapes.push_back({AreaMapShape::Ring, {}, (from + to) / 2.0, inner, inner + 2.0 * unit, kClusterColour});
    }
}

void PaintShape(QImage& image, const AreaMapShape& shape)
{
    const QRgb colour = shape.Colour.rgb();
    if (shape.Kind == AreaMapShape::Fill) {
        FillClipped(image, shape.Rect.x(), shape.Rect.y(), shape.Rect.width(), shape.Rect.height(), colour);
        return;
    }
    const QPointF& centre = shape.Centre;
    const int x0 = std::max(0, PixelIndex(std::floor(centre.x() - shape.Outer)));
    const int x1 = std::min(image.width() - 1, PixelIndex(std::ceil(centre.x() + shape.Outer)));
    const int y0 = std::max(0, PixelIndex(std::floor(centre.y() - shape.Outer)));
    const int y1 = std::min(image.height() - 1, PixelIndex(std::ceil(centre.y() + shape.Outer)));
    for (int y = y0; y <= y1; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = x0; x <= x1; ++x) {
            const double distance = std::hypot(x + 0.5 - centre.x(), y + 0.5 - centre.y());
            if (distance >= shape.Inner && distance < shape.Outer) row[x] = colour;
        }
    }
}

// The index of each line defect beside its first tick: right of the top tick
// of a column (left of it where the map ends), below the left tick of a row
// (above it where the map ends), orange on black. Needs a QGuiApplication.
void WriteLineNames(QImage& image, const AreaMapGeometry& geometry, std::span<const LineDefect> lines, int unit)
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(10 * unit);
    font.setBold(true);
    const QFontMetrics metrics(font);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setFont(font);
    painter.setPen(kLineColour);
    for (const LineDefect& line : lines) {
        if (!InsideArea(geometry, line)) continue;
        const bool column = line.Orientation == LineOrientation::Column;
        const QString text =
            QStringLiteral("%1 %2").arg(column ? QStringLiteral("column") : QStringLiteral("row")).arg(line.Index);
        const QSize size(metrics.horizontalAdvance(text) + 4, metrics.height());
        QPoint corner;
        if (column) {
            const int along = geometry.PixelOf(line.Index, geometry.FirstRow).x();
            int x = along + unit + 2;
            if (x + size.width() > image.width()) x = along - unit - 2 - size.width();
            corner = QPoint(x, 0);
        } else {
            const int along = geometry.PixelOf(geometry.FirstColumn, line.Index).y();
            int y = along + unit + 2;
            if (y + size.height() > image.height()) y = along - unit - 2 - size.height();
            corner = QPoint(0, y);
        }
        const QRect box(corner, size);
        painter.fillRect(box, Qt::black);
        painter.drawText(box, Qt::AlignCenter, text);
    }
}

}  // namespace

QString TickText(double value)
{
    QString text = QString::number(value, 'g', 4);
    if (value > 0) text.prepend('+');
    return text + " %";
}

QPointF AreaMapGeometry::ToMap(double column, double row) const
{
    return {(column - FirstColumn) * Width / AreaWidth, (row - FirstRow) * Height / AreaHeight};
}

QPoint AreaMapGeometry::PixelOf(std::uint32_t column, std::uint32_t row) const
{
    // The same integer mapping that bins the grey values.
    const std::uint64_t x = std::uint64_t{column - FirstColumn} * static_cast<std::uint64_t>(Width) / AreaWidth;
    const std::uint64_t y = std::uint64_t{row - FirstRow} * static_cast<std::uint64_t>(Height) / AreaHeight;
    return {static_cast<int>(x), static_cast<int>(y)};
}

int AreaMapLineUnit(const AreaMapGeometry& geometry)
{
    return std::max(1, (std::max(geometry.Width, geometry.Height) + 200) / 400);
}

AreaMapDefects AreaMapDefectsOf(const DetectorInsight& insight)
{
    return AreaMapDefects{insight.Clusters.Clusters, insight.Lines, &insight.Rims};
}

std::vector<AreaMapShape> AreaMapDefectShapes(const AreaMapGeometry& geometry, const AreaMapDefects& defects,
                                              int markScale)
{
    const int unit = AreaMapLineUnit(geometry);
    std::vector<AreaMapShape> shapes;
    if (defects.Rims != nullptr) AddRimEdges(shapes, geometry, *defects.Rims, unit);
    AddLineDefects(shapes, geometry, defects.Lines, unit);
    AddClusterRings(shapes, geometry, defects.Clusters, unit, std::max(1, markScale));
    return shapes;
}

AreaMapGeometry AreaMapGeometryFor(const AnalysisSettings& settings, int maxSide)
{
    maxSide = std::max(1, maxSide);
    AreaMapGeometry geometry;
    geometry.FirstColumn = settings.FirstColumn;
    geometry.FirstRow = settings.FirstRow;
    const auto side = [](std::uint32_t first, std::uint32_t last) {
        return last >= first
                   ? static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{last} - first + 1, UINT32_MAX))
                   : 1u;
    };
    geometry.AreaWidth = side(settings.FirstColumn, settings.LastColumn);
    geometry.AreaHeight = side(settings.FirstRow, settings.LastRow);
    const std::uint32_t longSide = std::max(geometry.AreaWidth, geometry.AreaHeight);
    if (longSide <= static_cast<std::uint32_t>(maxSide)) {
        geometry.Width = static_cast<int>(geometry.AreaWidth);
        geometry.Height = static_cast<int>(geometry.AreaHeight);
    } else {
        const double scale = static_cast<double>(maxSide) / longSide;
        geometry.Width = std::max(1, static_cast<int>(std::lround(geometry.AreaWidth * scale)));
        geometry.Height = std::max(1, static_cast<int>(std::lround(geometry.AreaHeight * scale)));
    }
    return geometry;
}

AreaMapGreyScale AreaMapGreyScaleOf(const AnalysisResult& result)
{
    double low = result.AreaMean - 3.0 * result.AreaSD;
    double high = result.AreaMean + 3.0 * result.AreaSD;
    if (!(high > low) || !std::isfinite(low) || !std::isfinite(high)) {
        low = result.AreaMean - 1.0;
        high = result.AreaMean + 1.0;
    }
    return {low, high};
}

QImage RenderAreaMapGrey(std::span<const std::uint16_t> pixels, std::uint32_t columns, const AnalysisSettings& settings,
                         const AnalysisResult& result, const AreaMapGeometry& geometry)
{
    CheckArea(pixels, columns, settings);
    const auto [low, high] = AreaMapGreyScaleOf(result);
    QImage image(geometry.Width, geometry.Height, QImage::Format_Grayscale8);

    // Mean of the image pixels that fall on each map pixel, one map row at a
    // time: the image rows of a map row are summed per map column, the count
    // is the map column's image columns times the map row's image rows.
    std::vector<int> mapColumn(geometry.AreaWidth);
    std::vector<std::uint64_t> columnCount(static_cast<std::size_t>(geometry.Width), 0);
    for (std::uint32_t c = 0; c < geometry.AreaWidth; ++c) {
        mapColumn[c] = geometry.PixelOf(settings.FirstColumn + c, settings.FirstRow).x();
        ++columnCount[static_cast<std::size_t>(mapColumn[c])];
    }
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(geometry.Width));
    std::uint32_t r = 0;
    for (int y = 0; y < geometry.Height; ++y) {
        std::fill(sums.begin(), sums.end(), 0);
        std::uint64_t rows = 0;
        for (; r < geometry.AreaHeight && geometry.PixelOf(settings.FirstColumn, settings.FirstRow + r).y() == y;
             ++r, ++rows) {
            const std::uint16_t* source =
                pixels.data() + (std::size_t{settings.FirstRow} + r) * columns + settings.FirstColumn;
            for (std::uint32_t c = 0; c < geometry.AreaWidth; ++c)
                sums[static_cast<std::size_t>(mapColumn[c])] += source[c];
        }
        uchar* line = image.scanLine(y);
        for (int x = 0; x < geometry.Width; ++x) {
            const std::uint64_t count = columnCount[static_cast<std::size_t>(x)] * rows;
            const double mean = count ? static_cast<double>(sums[static_cast<std::size_t>(x)]) / count : 0.0;
            const double level = std::clamp((mean - low) / (high - low) * 255.0, 0.0, 255.0);
            line[x] = static_cast<uchar>(std::isfinite(level) ? std::lround(level) : 0);
        }
    }
    return image;
}

void DrawAreaMapMarks(QImage& image, const AreaMapGeometry& geometry, const AnalysisSettings& settings,
                      const AnalysisResult& result, const AreaMapDefects& defects, int markScale)
{
    const int s = std::max(1, markScale);
    DrawGrid(image, geometry, result, s);

    for (const BadROI& bad : result.BadROIMap) {
        const QPointF from = geometry.ToMap(bad.X, bad.Y);
        const QPointF to = geometry.ToMap(double(bad.X) + result.BoxPixels, double(bad.Y) + result.BoxPixels);
        FrameInside(image, PixelIndex(std::floor(from.x())), PixelIndex(std::floor(from.y())),
                    PixelIndex(std::ceil(to.x())) - 1, PixelIndex(std::ceil(to.y())) - 1, 2 * s, kOutlineColour.rgb());
    }

    // Frames first, then the centres, so a cluster reads as one yellow patch
    // with a black border.
    std::vector<QPoint> marks;
    marks.reserve(result.BadPixelMap.size());
    for (const BadPixel& bad : result.BadPixelMap) {
        if (bad.X < settings.FirstColumn || bad.X > settings.LastColumn || bad.Y < settings.FirstRow ||
            bad.Y > settings.LastRow)
            continue;
        marks.push_back(geometry.PixelOf(bad.X, bad.Y));
    }
    const int frame = 5 * s, centre = 3 * s;
    for (const QPoint& at : marks)
        FillClipped(image, at.x() - (frame - 1) / 2, at.y() - (frame - 1) / 2, frame, frame, kMarkerFrameColour.rgb());
    for (const QPoint& at : marks)
        FillClipped(image, at.x() - (centre - 1) / 2, at.y() - (centre - 1) / 2, centre, centre, kMarkerColour.rgb());

    for (const AreaMapShape& shape : AreaMapDefectShapes(geometry, defects, s)) PaintShape(image, shape);
    if (HaveGuiApplication()) WriteLineNames(image, geometry, defects.Lines, AreaMapLineUnit(geometry));
}

QImage RenderAreaMap(std::span<const std::uint16_t> pixels, std::uint32_t columns, const AnalysisSettings& settings,
                     const AnalysisResult& result, const AreaMapDefects& defects)
{
    const AreaMapGeometry geometry = AreaMapGeometryFor(settings);
    QImage image = RenderAreaMapGrey(pixels, columns, settings, result, geometry).convertToFormat(QImage::Format_RGB32);
    DrawAreaMapMarks(image, geometry, settings, result, defects);
    return image;
}

double NiceLimit(double value)
{
    if (!(value > 0.0) || !std::isfinite(value)) return 1.0;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double step : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        // A small tolerance keeps 5 at 5 when log10 and pow round unfavourably.
        if (step * power >= value * (1.0 - 1e-12)) return step * power;
    }
    return 10.0 * power;
}

QColor DivergingColour(double value, double limit)
{
    const double t = std::clamp(value / limit, -1.0, 1.0);
    const QColor end = t < 0 ? kNegativeEnd : kPositiveEnd;
    const double f = std::fabs(t);
    const auto mix = [f](int to) { return static_cast<int>(std::lround(255.0 + (to - 255.0) * f)); };
    return QColor(mix(end.red()), mix(end.green()), mix(end.blue()));
}

QRect HeatMapLayout::CellRect(int column, int row) const
{
    const int left = Grid.left() + column * Grid.width() / Columns;
    const int top = Grid.top() + row * Grid.height() / Rows;
    const int right = Grid.left() + (column + 1) * Grid.width() / Columns;
    const int bottom = Grid.top() + (row + 1) * Grid.height() / Rows;
    return QRect(left, top, right - left, bottom - top);
}

bool HeatMapLayout::CellAt(QPoint position, int& column, int& row) const
{
    if (!Grid.contains(position)) return false;
    // A first guess never lies past the cell (CellRect rounds its edges down),
    // then step to the last cell whose edge is at or before the position.
    column = static_cast<int>(std::int64_t{position.x() - Grid.left()} * Columns / Grid.width());
    row = static_cast<int>(std::int64_t{position.y() - Grid.top()} * Rows / Grid.height());
    while (column + 1 < Columns && CellRect(column + 1, 0).left() <= position.x()) ++column;
    while (row + 1 < Rows && CellRect(0, row + 1).top() <= position.y()) ++row;
    return true;
}

namespace {

// What a heat map shows: each ROI's deviation, the colour scale's limit, the
// cells of the deviating ROIs.
struct HeatValues {
    RoiLattice Lattice;
    int Columns = 1, Rows = 1;
    std::vector<std::optional<double>> Deviations;
    double Limit = 1.0;
    bool Available = false;  // some ROI has a value
    std::vector<QPoint> Outlined;
};

HeatValues HeatValuesOf(const AnalysisResult& result, HeatMapKind kind, const TMeetSerie* noiseRois)
{
    HeatValues v;
    v.Lattice = BuildRoiLattice(result.Rois);
    v.Columns = std::max<int>(1, static_cast<int>(v.Lattice.Xs.size()));
    v.Rows = std::max<int>(1, static_cast<int>(v.Lattice.Ys.size()));

    v.Deviations.resize(result.Rois.size());
    switch (kind) {
    case HeatMapKind::RoiMeanDeviation:
        for (std::size_t i = 0; i < result.Rois.size(); ++i)
            v.Deviations[i] = DeviationPercent(result.Rois[i].Mean, result.AreaMean);
        break;
    case HeatMapKind::RoiSnrDeviation:
        for (std::size_t i = 0; i < result.Rois.size(); ++i)
            v.Deviations[i] = DeviationPercent(result.Rois[i].SNR, result.MeanRoiSNR);
        break;
    case HeatMapKind::RoiNoiseDeviation:
        v.Deviations = RoiNoiseDeviationPercent(noiseRois != nullptr ? *noiseRois : result.Rois);
        break;
    }
    double largest = 0.0;
    for (std::size_t i = 0; i < result.Rois.size(); ++i) {
        if (v.Deviations[i]) {
            v.Available = true;
            largest = std::max(largest, std::fabs(*v.Deviations[i]));
        }
    }
    v.Limit = NiceLimit(largest);

    // The cells of the deviating ROIs, in the order of the ROIs that stand
    // for them: each deviating ROI's cell marked first (a small box on a
    // large image has hundreds of thousands of both).
    if (result.BadROIMap.empty()) return v;
    const RoiLattice& lattice = v.Lattice;
    const auto indexOf = [](const std::vector<std::uint32_t>& axis,
                            std::uint32_t position) -> std::optional<std::size_t> {
        const auto at = std::lower_bound(axis.begin(), axis.end(), position);
        if (at == axis.end() || *at != position) return std::nullopt;
        return static_cast<std::size_t>(at - axis.begin());
    };
    const std::size_t rows = lattice.Ys.size();
    std::vector<bool> deviatingCell(lattice.Xs.size() * rows, false);
    for (const BadROI& roi : result.BadROIMap) {
        const auto column = indexOf(lattice.Xs, roi.X);
        const auto row = indexOf(lattice.Ys, roi.Y);
        if (column && row) deviatingCell[*column * rows + *row] = true;
    }
    for (std::size_t i = 0; i < result.Rois.size(); ++i) {
        if (lattice.Representative[i] == i && deviatingCell[std::size_t{lattice.Column[i]} * rows + lattice.Row[i]])
            v.Outlined.emplace_back(static_cast<int>(lattice.Column[i]), static_cast<int>(lattice.Row[i]));
    }
    return v;
}

// Grey where no ROI lies, then each position's cell; a cell narrower than a
// pixel (more positions than pixels) still gets one.
void PaintCells(QImage& image, const HeatMapLayout& layout, const AnalysisResult& result, const HeatValues& v)
{
    // Solid rectangles straight into the pixels: as a painter fills them
    // without antialiasing, without its cost per call (one cell per ROI).
    const QRect bounds = image.rect();
    const auto fill = [&](const QRect& rect, const QColor& colour) {
        const QRect clipped = rect.intersected(bounds);
        const QRgb pixel = colour.rgb();
        for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            std::fill(line + clipped.left(), line + clipped.right() + 1, pixel);
        }
    };
    if (image.format() != QImage::Format_RGB32) throw EvenorError("A heat map is drawn on 32-bit RGB");
    fill(layout.Grid, kNoValueColour);
    for (std::size_t i = 0; i < result.Rois.size(); ++i) {
        if (v.Lattice.Representative[i] != i || !v.Deviations[i]) continue;
        QRect cell = layout.CellRect(static_cast<int>(v.Lattice.Column[i]), static_cast<int>(v.Lattice.Row[i]));
        cell.setWidth(std::max(cell.width(), 1));
        cell.setHeight(std::max(cell.height(), 1));
        fill(cell, DivergingColour(*v.Deviations[i], v.Limit));
    }
}

}  // namespace

HeatMap RenderHeatMapCells(const AnalysisResult& result, HeatMapKind kind, const TMeetSerie* noiseRois)
{
    const HeatValues v = HeatValuesOf(result, kind, noiseRois);
    HeatMapLayout layout{QRect(0, 0, v.Columns, v.Rows), v.Columns, v.Rows};
    QImage image(v.Columns, v.Rows, QImage::Format_RGB32);
    PaintCells(image, layout, result, v);
    return HeatMap{std::move(image), layout, v.Limit, v.Outlined};
}

HeatMap RenderHeatMap(const AnalysisResult& result, HeatMapKind kind, const TMeetSerie* noiseRois)
{
    if (!HaveGuiApplication()) throw EvenorError("Drawing a heat map needs a QGuiApplication");

    const HeatValues v = HeatValuesOf(result, kind, noiseRois);
    const RoiLattice& lattice = v.Lattice;
    const int nx = v.Columns;
    const int ny = v.Rows;
    const double limit = v.Limit;
    const bool available = v.Available;

    // Layout: title on top, the cells, the colour bar with its numbers on the right.
    const int cellSide = std::clamp(480 / std::max(nx, ny), 1, 120);
    int gridWidth = nx * cellSide;
    int gridHeight = ny * cellSide;
    if (gridWidth > MaxAreaMapSide || gridHeight > MaxAreaMapSide) {
        const double scale = static_cast<double>(MaxAreaMapSide) / std::max(gridWidth, gridHeight);
        gridWidth = std::max(1, static_cast<int>(gridWidth * scale));
        gridHeight = std::max(1, static_cast<int>(gridHeight * scale));
    }
    QFont titleFont = QGuiApplication::font();
    titleFont.setPixelSize(15);
    titleFont.setBold(true);
    QFont labelFont = QGuiApplication::font();
    labelFont.setPixelSize(12);

    QString title;
    switch (kind) {
    case HeatMapKind::RoiMeanDeviation:
        title = QStringLiteral("ROI mean deviation from the area mean (%)");
        break;
    case HeatMapKind::RoiSnrDeviation:
        title = QStringLiteral("ROI SNR deviation from the mean ROI SNR (%)");
        break;
    case HeatMapKind::RoiNoiseDeviation:
        title = QStringLiteral("ROI noise (SD) deviation from the mean ROI SD (%)");
        break;
    }
    if (!available) title += QStringLiteral(" - not available, the reference is 0");
    QString footer = QStringLiteral("%1 x %2 grid positions, ROI columns %3-%4, rows %5-%6")
                         .arg(nx)
                         .arg(ny)
                         .arg(lattice.Xs.empty() ? 0 : lattice.Xs.front())
                         .arg(lattice.Xs.empty() ? 0 : lattice.Xs.back())
                         .arg(lattice.Ys.empty() ? 0 : lattice.Ys.front())
                         .arg(lattice.Ys.empty() ? 0 : lattice.Ys.back());
    if (!result.BadROIMap.empty()) footer += QStringLiteral("; deviating ROIs outlined");

    const QFontMetrics titleMetrics(titleFont);
    const QFontMetrics labelMetrics(labelFont);
    const int margin = 16;
    const int top = margin + titleMetrics.height() + 12;
    const int barWidth = 20;
    const int barHeight = std::max(gridHeight, 200);
    const int barLeft = margin + gridWidth + 24;
    int labelsWidth = 0;
    for (int k = 0; k <= 4; ++k)
        labelsWidth = std::max(labelsWidth, labelMetrics.horizontalAdvance(TickText(limit - k * limit / 2.0)) + 12);
    const int width = std::max({barLeft + barWidth + 6 + labelsWidth + margin,
                                margin + titleMetrics.horizontalAdvance(title) + margin,
                                margin + labelMetrics.horizontalAdvance(footer) + margin});
    const int height = top + barHeight + 12 + labelMetrics.height() + margin;

    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);

    HeatMapLayout layout;
    layout.Grid = QRect(margin, top, gridWidth, gridHeight);
    layout.Columns = nx;
    layout.Rows = ny;
    const QRect& grid = layout.Grid;
    PaintCells(image, layout, result, v);

    // Deviating ROIs: a black frame inside their cells, when cells are big
    // enough to show one.
    if (gridWidth / nx >= 6 && gridHeight / ny >= 6) {
        for (const QPoint& at : v.Outlined) {
            const QRect cell = layout.CellRect(at.x(), at.y());
            FrameInside(image, cell.left(), cell.top(), cell.right(), cell.bottom(), 2, qRgb(0, 0, 0));
        }
    }

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setPen(Qt::black);
    painter.drawRect(grid.adjusted(-1, -1, 0, 0));

    // Colour bar, +limit at the top.
    for (int y = 0; y < barHeight; ++y) {
        const double value = limit - (y + 0.5) / barHeight * 2.0 * limit;
        painter.fillRect(barLeft, top + y, barWidth, 1, DivergingColour(value, limit));
    }
    painter.setPen(Qt::black);
    painter.drawRect(barLeft - 1, top - 1, barWidth + 1, barHeight + 1);
    painter.setFont(labelFont);
    for (int k = 0; k <= 4; ++k) {
        const double value = limit - k * limit / 2.0;
        const int y = top + static_cast<int>(std::lround(k * (barHeight - 1) / 4.0));
        painter.drawLine(barLeft + barWidth, y, barLeft + barWidth + 4, y);
        const QRect label(barLeft + barWidth + 7, y - labelMetrics.height() / 2, labelsWidth, labelMetrics.height());
        painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter, TickText(value));
    }

    painter.setFont(titleFont);
    painter.drawText(QRect(margin, margin, width - 2 * margin, titleMetrics.height()), Qt::AlignLeft, title);
    painter.setFont(labelFont);
    painter.drawText(QRect(margin, top + barHeight + 12, width - 2 * margin, labelMetrics.height()), Qt::AlignLeft,
                     footer);
    painter.end();
    return HeatMap{std::move(image), layout, limit, v.Outlined};
}

QByteArray EncodePng(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly) || image.isNull() || !image.save(&buffer, "PNG"))
        throw EvenorError("The map could not be encoded as PNG");
    return bytes;
}

void SaveMapPng(const QImage& image, const std::string& path)
{
    const QByteArray bytes = EncodePng(image);
    WriteFile(path, [&](std::ostream& out) { out.write(bytes.constData(), bytes.size()); });
}

}  // namespace evenor

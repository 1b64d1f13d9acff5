#pragma once
// Pictures of one analysis: where the detector image is not uniform.
//
// The area map shows the evaluated area in grey with the ROI grid, the
// deviating ROIs outlined in red and the deviating pixels marked, and, when
// the caller has inspected the detector, its defects: clusters circled, line
// defects marked at their row or column, the edge of a rim. The heat maps
// show, one cell per ROI grid position, how far each ROI's mean (or SNR, or
// SD) lies from the whole, on a blue-white-red scale symmetric around 0, with
// a colour bar, its numbers and a title.
//
// Needs Qt Gui only (QImage, QPainter), no widgets. Text is drawn with
// QPainter, which needs a QGuiApplication: the heat maps require the caller to
// have one (a command-line program can create it with the offscreen
// platform); the area map writes the indices of line defects only when there
// is one, and needs none otherwise.
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "insight/DetectorInsight.h"

namespace evenor {

// The long side of the area map, at most, in pixels.
inline constexpr int MaxAreaMapSide = 1024;

// How image coordinates land on the area map. The map covers the area's
// columns FirstColumn ... LastColumn and rows FirstRow ... LastRow; an area
// with a side above MaxAreaMapSide is scaled down, keeping its aspect.
struct AreaMapGeometry {
    std::uint32_t FirstColumn = 0;
    std::uint32_t FirstRow = 0;
    std::uint32_t AreaWidth = 1;  // image pixels
    std::uint32_t AreaHeight = 1;
    int Width = 1;  // map pixels
    int Height = 1;

    // Map position of an image position given as pixel edges (column, row):
    // (FirstColumn, FirstRow) is the map's top-left corner.
    QPointF ToMap(double column, double row) const;
    // The map pixel that holds the centre of image pixel (column, row).
    QPoint PixelOf(std::uint32_t column, std::uint32_t row) const;
};

// The geometry of the area map of settings whose long side is at most maxSide
// map pixels (a finer map than the screen's for print).
AreaMapGeometry AreaMapGeometryFor(const AnalysisSettings& settings, int maxSide = MaxAreaMapSide);

// The pixel values the area map's grey runs between: black at Low, white at
// High (AreaMean - 3 AreaSD and AreaMean + 3 AreaSD; with an SD of 0, or
// bounds that are not finite, AreaMean - 1 and AreaMean + 1).
struct AreaMapGreyScale {
    double Low = 0.0, High = 1.0;
};
AreaMapGreyScale AreaMapGreyScaleOf(const AnalysisResult& result);

// What the area map marks of a detector inspection (InspectDetector): views
// into lists the caller keeps alive during RenderAreaMap. Empty: nothing.
struct AreaMapDefects {
    std::span<const DefectCluster> Clusters;  // largest first, as ClusterSummary holds them
    std::span<const LineDefect> Lines;
    const RimReport* Rims = nullptr;  // null: no rim search
};

// The defects of insight, as views into it.
AreaMapDefects AreaMapDefectsOf(const DetectorInsight& insight);

// At most this many clusters are circled, the largest; more would cover the map.
inline constexpr std::size_t MaxCircledClusters = 200;

// The evaluated area in grey. pixels are the prepared pixel values of the
// whole image, row-major with columns values to a row; settings give the area.
// Grey levels: black at AreaMean - 3 AreaSD, white at AreaMean + 3 AreaSD
// (values beyond are clipped; with an SD of 0, AreaMean +/- 1). A scaled map
// shows the mean of the image pixels that fall on each map pixel.
// Drawn on top: the ROI grid as thin lines at the distinct ROI edges (lines
// closer than 3 map pixels to the previous one are left out, so a dense grid
// shows the boundaries of fewer, larger cells); each deviating ROI outlined 2
// map pixels wide in red inside its box; each deviating pixel as a yellow
// square of 3 x 3 map pixels framed in black (5 x 5 in all), whatever the
// scale.
// Then the defects, in lines whose width grows with the map (the unit u is
// max(1, (long side + 200) / 400) map pixels: 1 up to a long side of 599, 2
// up to 999, 3 above), so they stay visible when a front end shows the map
// smaller: on each side
// with a rim, a green line 2u wide inside the rim along its edge with the
// interior; each line defect as a dashed orange line 1u wide along its row or
// column (2u on, 4u off) with solid ticks 2u + 1 wide and 8u long at both
// edges of the map, its index ("column 37") written beside the first tick
// when a QGuiApplication exists; each of the MaxCircledClusters largest
// clusters of 2 pixels or more circled in magenta, a ring 2u wide centred on
// its bounding box, clear of the box's corners and its pixels' markers, with
// a radius of at least 6u.
// Throws EvenorError when the area is empty or does not lie inside pixels.
QImage RenderAreaMap(std::span<const std::uint16_t> pixels, std::uint32_t columns, const AnalysisSettings& settings,
                     const AnalysisResult& result, const AreaMapDefects& defects = {});

// The two layers of RenderAreaMap, for a map at another resolution than the
// screen's (a printed one). The grey alone (Format_Grayscale8) on geometry, a
// geometry of settings (AreaMapGeometryFor); throws as RenderAreaMap does.
QImage RenderAreaMapGrey(std::span<const std::uint16_t> pixels, std::uint32_t columns, const AnalysisSettings& settings,
                         const AnalysisResult& result, const AreaMapGeometry& geometry);
// The marks drawn onto image (geometry's size): onto the grey, or onto a
// transparent image laid over it. markScale (1 or more) multiplies the width
// of the grid lines, the ROI outlines and the pixel markers and the markers'
// clearance from the cluster rings, for a map finer than the screen's; the
// defect lines grow with the map as they do anyway.
void DrawAreaMapMarks(QImage& image, const AreaMapGeometry& geometry, const AnalysisSettings& settings,
                      const AnalysisResult& result, const AreaMapDefects& defects = {}, int markScale = 1);

// The line width unit u of an area map of this geometry (see RenderAreaMap).
int AreaMapLineUnit(const AreaMapGeometry& geometry);

// The defect marks of RenderAreaMap as shapes in map pixels, in the order it
// paints them, so that a front end showing the map scaled down can draw them
// again at screen size over its own marks (its index labels aside).
struct AreaMapShape {
    enum ShapeKind { Fill, Ring } Kind = Fill;
    QRect Rect;          // Fill: the map pixels filled
    QPointF Centre;      // Ring: the map pixels whose centres lie at a distance
    double Inner = 0.0;  // in [Inner, Outer) from Centre
    double Outer = 0.0;
    QColor Colour;
};
std::vector<AreaMapShape> AreaMapDefectShapes(const AreaMapGeometry& geometry, const AreaMapDefects& defects,
                                              int markScale = 1);

enum class HeatMapKind {
    RoiMeanDeviation,   // (ROI mean - AreaMean) / AreaMean, %
    RoiSnrDeviation,    // (ROI SNR - MeanRoiSNR) / MeanRoiSNR, %
    RoiNoiseDeviation,  // (ROI SD - mean ROI SD) / mean ROI SD, % (RoiNoiseDeviationPercent)
};

// Where the cells of a heat map lie, so a front end can name the ROI under
// the mouse. Cell (column, row) is grid position (Xs[column], Ys[row]) of
// BuildRoiLattice.
struct HeatMapLayout {
    QRect Grid;       // all cells, in image pixels
    int Columns = 1;  // distinct ROI columns
    int Rows = 1;     // distinct ROI rows

    QRect CellRect(int column, int row) const;
    // The cell under an image position; false outside the grid.
    bool CellAt(QPoint position, int& column, int& row) const;
};

struct HeatMap {
    QImage Image;
    HeatMapLayout Layout;
    double Limit = 1.0;  // the colour bar runs from -Limit to +Limit (%)
    // The cells (column, row) of deviating ROIs, which are outlined.
    std::vector<QPoint> Outlined;
};

// One cell per ROI grid position (distinct ROI columns across, distinct ROI
// rows down; the far-edge positions get cells of the same size as the others),
// the deviating ROIs outlined in black when cells are large enough, a colour
// bar from -limit to +limit (the largest deviation rounded up to 1, 2, 2.5 or
// 5 times a power of ten) with five numbered ticks, and a title. Cells of
// positions without a ROI, and all cells when the reference is 0, are grey.
// Requires a QGuiApplication (text); throws EvenorError without one.
// noiseRois: the ROI statistics the noise map shows (a detector inspection's
// robust ones, RobustRois.Rois, so that hot pixels do not hide the detector's
// noise); result's own when null.
HeatMap RenderHeatMap(const AnalysisResult& result, HeatMapKind kind, const TMeetSerie* noiseRois = nullptr);

// The cells of RenderHeatMap alone, one image pixel per cell (Layout.Grid is
// (0, 0, Columns, Rows)), without outlines, title or colour bar, for a front
// end that draws those itself at its own size (scaled up without smoothing,
// the cells stay sharp). Needs no QGuiApplication.
HeatMap RenderHeatMapCells(const AnalysisResult& result, HeatMapKind kind, const TMeetSerie* noiseRois = nullptr);

// The colour of value on the diverging scale: white at 0, blue at -limit, red
// at +limit, clipped beyond. limit must be positive.
QColor DivergingColour(double value, double limit);

// A scale's tick label of a percentage: 4 significant digits, a sign when
// positive, " %".
QString TickText(double value);

// The smallest of 1, 2, 2.5, 5 times a power of ten that is >= value (> 0).
double NiceLimit(double value);

// PNG bytes of image (Qt's encoder). Throws EvenorError when encoding fails.
QByteArray EncodePng(const QImage& image);

// Writes image as a PNG file. Throws InOutError when the file cannot be
// written, EvenorError when encoding fails.
void SaveMapPng(const QImage& image, const std::string& path);

}  // namespace evenor

#pragma once
// The pictures of the PDF reports placed in a document (internal to the
// render library): the area map with its grey bar, a heat map with its colour
// bar, the trend charts.
#include <QSizeF>
#include <QString>
#include <vector>

#include "qa/TrendSeries.h"
#include "render/PdfDocument.h"
#include "render/ReportPdf.h"

namespace evenor {
struct AnalysisResult;
}

namespace evenor::pdf {

// The printed size (points) of an area width x height fitted into the box
// the area map is given on either paper.
QSizeF AreaMapPrintSize(double width, double height);

// The area map as planned (its grey as JPEG, its marks losslessly over it,
// framed), the grey bar right of it, kept whole on one page.
void AreaMapPicture(Document& doc, const ReportPictures& pictures, const AnalysisResult& result);

// A heat map as the report draws it: its cells scaled up without smoothing
// to at least ReportPictureResolution, the deviating ROIs' cells outlined, a
// colour bar with five numbered ticks, a title and a line about the grid,
// the text as text.
void DrawHeatMap(QPainter& p, const QRectF& r, const HeatMap& map, const QString& title, const QString& note,
                 const Fonts& fonts, const QPaintDevice* device);

// "7 x 5 grid positions": the ROI grid under the heat maps.
QString GridNote(const AnalysisResult& result);

// Trend charts two to a row (one per row when wide), drawn as lines and
// text: the chart laid out on a logical size, scaled onto its place.
void TrendCharts(Document& doc, const std::vector<TrendSeries>& trends, int perRow);

}  // namespace evenor::pdf

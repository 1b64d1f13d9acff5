#pragma once
// The printed reports as PDF: one test's report (who tested which detector
// when, with what settings, the results against the limits and the baseline,
// the pictures, the deviating ROIs and pixels, every warning, a sign-off
// block) and one detector's history (its records with their verdicts, the
// baselines, a trend chart per baseline check, whether a test is overdue).
//
// Drawn with QPdfWriter and QPainter: the text stays text (searchable and
// copyable, fonts embedded as subsets), the pictures are embedded at about
// 300 pixels per inch of paper (ReportPictureResolution), scaled without
// smoothing: the area map's grey as JPEG (a noisy flat field costs half its
// lossless size or less), its marks losslessly over it, the heat maps' cells
// losslessly; colour bars, the grey bar and the trend charts are vector
// graphics. Every page has a footer with the program's name and version and
// "Page X of Y".
//
// The bytes depend on the content alone: the creation date is SOURCE_DATE_EPOCH
// (seconds since 1970, UTC) when set, else now; the document ID is derived
// from the content, so that two runs with SOURCE_DATE_EPOCH set give the
// same file.
//
// Needs a QGuiApplication (fonts); throws EvenorError without one, or when the
// data lacks what it must hold (settings, result, context with insight and
// preset).
#include <QByteArray>
#include <QImage>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "qa/ReportData.h"
#include "render/MapRenderer.h"

namespace evenor {

struct DetectorInsight;

// Pixels per inch of paper the pictures are embedded with: at least this
// (the area map: about this, see ReportAreaMapPlanFor).
inline constexpr int ReportPictureResolution = 300;

// How the area map of a report is drawn: binned onto Geometry (a whole number
// of image pixels to a map pixel, as far as the area's size allows), then
// each map pixel made Magnify x Magnify pixels (small areas), so that the map
// is embedded at 0.8 times ReportPictureResolution at least (areas of a few
// pixels aside): binned to the resolution nearest ReportPictureResolution,
// magnified to the least; the marks MarkScale times as wide as on the screen's map, so they
// keep their size on paper.
struct ReportAreaMapPlan {
    AreaMapGeometry Geometry;
    int Magnify = 1;
    int MarkScale = 1;
    double PrintWidth = 0.0, PrintHeight = 0.0;  // points on paper, the same on A4 and Letter
};
ReportAreaMapPlan ReportAreaMapPlanFor(const AnalysisSettings& settings);

// The grey of a report's area map (RenderAreaMapGrey on the plan's geometry,
// Format_Grayscale8, not magnified). Throws as RenderAreaMap does.
QImage RenderReportAreaGrey(std::span<const std::uint16_t> pixels, std::uint32_t columns,
                            const AnalysisSettings& settings, const AnalysisResult& result);

// The pictures of a test's report: the area map as its grey and its marks
// (the ROI grid, deviating ROIs and pixels, the detector's defects) on a
// transparent layer of the same size, both magnified as planned; and the
// mean, SNR and noise heat maps, one pixel per cell (RenderHeatMapCells).
struct ReportPictures {
    QImage AreaMap;    // Format_RGB32
    QImage AreaMarks;  // Format_ARGB32_Premultiplied
    AreaMapGreyScale Grey;
    std::array<HeatMap, 3> HeatMaps;  // HeatMapKind order
};

// Draws the marks and the heat maps of result (the noise map from the
// insight's robust ROI statistics) with the grey of RenderReportAreaGrey,
// which the caller has drawn already (it needs the pixels).
ReportPictures DrawReportPictures(const QImage& areaGrey, const AnalysisSettings& settings,
                                  const AnalysisResult& result, const DetectorInsight& insight);

// At most this many deviating ROIs and as many deviating pixels are listed,
// each table running on over as many pages as it needs (about 58 rows to an
// A4 page, its header repeated); "and N more" says how many a table leaves
// out (the text report lists them all).
inline constexpr std::size_t ReportTableRows = 1000;

QByteArray RenderTestReportPdf(const TestReportData& data, const ReportPictures& pictures);
QByteArray RenderHistoryReportPdf(const HistoryReportData& data);

// Makes the bytes of a PDF written by QPdfWriter depend on its content
// alone: the creation dates (of the information dictionary and the XMP
// metadata) become SOURCE_DATE_EPOCH's when it is set, the trailer's document
// ID and the XMP's UUIDs are derived from the content. Nothing else changes:
// the pictures', fonts' and pages' streams keep every byte, and so does the
// length of the file. RenderTestReportPdf and RenderHistoryReportPdf do this.
void MakePdfReproducible(QByteArray& bytes);

// Writes bytes as the file path; throws InOutError when it cannot.
void SaveReportPdf(const QByteArray& bytes, const std::string& path);

}  // namespace evenor

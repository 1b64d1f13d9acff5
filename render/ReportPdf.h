#pragma once
// The printed reports as PDF: one test's report (who tested which detector
// when, with what settings, the results against the limits and the baseline,
// the pictures, the deviating ROIs and pixels, every warning, a sign-off
// block) and one detector's history (its records with their verdicts, the
// baselines, a trend chart per baseline check, whether a test is overdue).
//
// Drawn with QPdfWriter and QPainter: the text stays text (searchable and
// copyable, fonts embedded as subsets), the pictures are embedded at their
// own resolution, drawn without smoothing. Every page has a footer with the
// program's name and version and "Page X of Y".
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
#include <string>

#include "render/MapRenderer.h"
#include "render/ReportData.h"

namespace evenor {

struct DetectorInsight;

// The pictures of a test's report: the area map (RenderAreaMap with the
// detector's defects) and the mean, SNR and noise heat maps.
struct ReportPictures {
    QImage AreaMap;
    std::array<HeatMap, 3> HeatMaps;  // HeatMapKind order
};

// Draws the heat maps of result (the noise map from the insight's robust ROI
// statistics) beside areaMap, which the caller has drawn already.
ReportPictures DrawReportPictures(QImage areaMap, const AnalysisResult& result, const DetectorInsight& insight);

// At most this many deviating ROIs and pixels are listed; "and N more" says
// how many the table leaves out (the text report lists them all).
inline constexpr std::size_t ReportTableRows = 40;

QByteArray RenderTestReportPdf(const TestReportData& data, const ReportPictures& pictures);
QByteArray RenderHistoryReportPdf(const HistoryReportData& data);

// Writes bytes as the file path; throws InOutError when it cannot.
void SaveReportPdf(const QByteArray& bytes, const std::string& path);

}  // namespace evenor

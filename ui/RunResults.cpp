#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <future>
#include <span>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QPen>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QTextBrowser>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "analysis/AnalysisRun.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "dicom/DicomTags.h"
#include "history/QaRecord.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"
#include "qa/TestRun.h"
#include "render/MapRenderer.h"
#include "render/ReportPdf.h"
#include "ui/Dialogs.h"
#include "ui/Evenor.h"
#include "ui/Preferences.h"
#include "ui/ResultsPage.h"
#include "ui/ResultsText.h"
#include "ui/RunProgress.h"

// The results of a run as the page shows them: their pictures, drawn when
// first shown, the text of the ROI under the mouse, the PDF report.
namespace evenor {

using namespace resultstext;

namespace {

// Marks beyond these many would cover the picture anyway.
constexpr std::size_t MaxMarks = 100000;

// Draws one picture; a failure is kept as the picture's text instead of
// ending the run, whose report does not depend on it.
template <class Draw> ResultPicture DrawPicture(Draw&& draw)
{
    ResultPicture picture;
    try {
        picture.Image = draw();
    } catch (const std::exception& error) {
        picture.Image = QImage();
        picture.Error = QString::fromLocal8Bit(error.what());
    }
    if (picture.Image.isNull() && picture.Error.isEmpty()) picture.Error = QStringLiteral("nothing to draw");
    return picture;
}

// A heat map with its legend (the colour bar's range) and its cells.
ResultPicture DrawHeatMap(const AnalysisResult& result, HeatMapKind kind, const TMeetSerie* noiseRois)
{
    double limit = 0.0;
    HeatMapLayout cells;
    ResultPicture picture = DrawPicture([&] {
        HeatMap map = RenderHeatMap(result, kind, noiseRois);
        limit = map.Limit;
        cells = map.Layout;
        return map.Image;
    });
    if (!picture.Image.isNull()) {
        picture.Legend = QStringLiteral("Blue -%1 %, white 0 %, red +%1 %. Black frames: deviating ROIs.")
                             .arg(QString::number(limit, 'g', 4));
        picture.Cells = cells;
    }
    return picture;
}

}  // namespace

std::vector<bool> DeviatingRoiFlags(const TMeetSerie& rois, const TBadROIMap& bad)
{
    // One pass over each list: a small box on a large image has hundreds of
    // thousands of ROIs, of which a large share may deviate.
    const auto key = [](std::uint32_t x, std::uint32_t y) { return (std::uint64_t{x} << 32) | y; };
    std::unordered_set<std::uint64_t> deviating;
    deviating.reserve(bad.size());
    for (const BadROI& roi : bad) deviating.insert(key(roi.X, roi.Y));
    std::vector<bool> flags(rois.size(), false);
    if (deviating.empty()) return flags;
    for (std::size_t i = 0; i < rois.size(); ++i) flags[i] = deviating.contains(key(rois[i].X, rois[i].Y));
    return flags;
}

RunResults PrepareRunResults(const AnalysisSettings& settings, const AnalysisOutcome& outcome, const TDicomBeeld& image,
                             RunProgress* progress, const std::function<void()>& beside)
{
    const AnalysisResult& result = outcome.Result;
    RunResults results;
    results.AnalysedAt = AnalysisTimeNow();
    results.AnalysedBy = Preferences::AnalysedBy().trimmed().toStdString();
    if (results.AnalysedBy.empty()) results.AnalysedBy = OperatingSystemUser();
    const auto step = [progress](int index, const char* text) {
        if (progress != nullptr) progress->Step(index, text);
    };
    step(1, "inspecting the detector");
    // Beside the inspection, on a thread of its own, the PDF report's grey:
    // finer than the page's map, it needs the pixels, which the run does not
    // keep. Null when it cannot be drawn (the area map says why). Its future
    // waits for it however this function ends.
    const std::span<const std::uint16_t> pixels(outcome.Pixels);
    const std::uint32_t columns = outcome.Columns;
    const auto drawEarly = [&] {
        try {
            return RenderReportAreaGrey(pixels, columns, settings, result);
        } catch (const std::exception&) {
            return QImage();
        }
    };
    std::future<QImage> drawing;
    try {
        drawing = std::async(std::launch::async, drawEarly);
    } catch (const std::system_error&) {
        // No thread to be had: drawn below, after the inspection.
    }
    results.FileName = QFile::decodeName(QByteArray::fromStdString(FileNamePart(settings.DicomFileName)));
    results.Processed = ReadImageInfo(image.TagTable()).IsProcessed();
    results.LossyCompressed = image.LossyCompressed();
    results.Settings = settings;
    results.Insight = InspectDetector(settings, outcome);
    results.RimText = QString::fromStdString(DescribeRims(results.Insight.Rims, image.PixelSpacing()));
    results.Rois = result.Rois;
    results.RoiDeviating = DeviatingRoiFlags(result.Rois, result.BadROIMap);
    results.BoxPixels = result.BoxPixels;
    results.AreaMean = result.AreaMean;
    results.MeanRoiSNR = result.MeanRoiSNR;
    results.AreaGeometry = AreaMapGeometryFor(settings);
    const RoiLattice lattice = BuildRoiLattice(result.Rois);
    results.RoiColumns = lattice.Xs;
    results.RoiRows = lattice.Ys;
    results.Result = result;
    results.Preparation = outcome.Preparation;
    const TagDefaults tagDefaults = DefaultsFromTags(image.TagList());
    ImageFacts facts = ReadImageFacts(image, tagDefaults);
    results.PixelSpacing = facts.PixelSpacing;
    results.Image = std::move(facts.Image);
    results.DeviceSerialNumber = std::move(facts.DeviceSerialNumber);
    results.SoftwareVersions = std::move(facts.SoftwareVersions);
    results.AcquisitionTime = std::move(facts.AcquisitionTime);
    results.Warnings = std::move(facts.Warnings);
    const std::string sign = "tag 0028,1041 (Pixel Intensity Relationship Sign) ";
    if (!tagDefaults.Inverted)
        results.InversionReason = "set in the window; " + sign + "is missing or not 1 or -1";
    else if (*tagDefaults.Inverted == settings.Inverted)
        results.InversionReason = sign + "is " + (settings.Inverted ? "-1" : "1");
    else
        results.InversionReason =
            "set in the window against " + sign + "(" + (*tagDefaults.Inverted ? "-1" : "1") + ")";

    step(2, "drawing the pictures, writing the report");
    std::future<void> besideDone;
    if (beside) {
        try {
            besideDone = std::async(std::launch::async, beside);
        } catch (const std::system_error&) {
            beside();
        }
    }
    auto& pictures = results.Pictures;
    ResultPicture& area = pictures[std::size_t(ResultPictureKind::AreaMap)];
    const DetectorInsight& insight = results.Insight;
    area = DrawPicture([&] { return RenderAreaMap(pixels, columns, settings, result, AreaMapDefectsOf(insight)); });
    area.Legend = QStringLiteral("Grey: mean \u00b1 3 SD. Red: deviating ROIs. Yellow: deviating pixels.");
    // The defect marks only where the map has them (a ring around a cluster
    // that covers most of the area lies outside the map).
    const AreaMapGeometry mapGeometry = AreaMapGeometryFor(settings);
    const QRectF mapRect(0, 0, mapGeometry.Width, mapGeometry.Height);
    const auto ringOnMap = [&](const AreaMapShape& shape) {
        if (shape.Kind != AreaMapShape::Ring) return false;
        const QPointF nearest(std::clamp(shape.Centre.x(), mapRect.left(), mapRect.right()),
                              std::clamp(shape.Centre.y(), mapRect.top(), mapRect.bottom()));
        const double farthest = std::hypot(std::max(shape.Centre.x(), mapRect.right() - shape.Centre.x()),
                                           std::max(shape.Centre.y(), mapRect.bottom() - shape.Centre.y()));
        return std::hypot(nearest.x() - shape.Centre.x(), nearest.y() - shape.Centre.y()) < shape.Outer &&
               farthest >= shape.Inner;
    };
    const std::vector<AreaMapShape> shapes = AreaMapDefectShapes(mapGeometry, AreaMapDefectsOf(insight));
    if (std::any_of(shapes.begin(), shapes.end(), ringOnMap))
        area.Legend += QStringLiteral(" Magenta rings: clusters.");
    if (!insight.Lines.empty()) area.Legend += QStringLiteral(" Orange: line defects.");
    if (insight.Rims.Found() && !insight.Rims.Interior.Empty())
        area.Legend += QStringLiteral(" Green: inner edge of the rim.");
    if (!area.Image.isNull()) {
        const AreaMapGeometry geometry = AreaMapGeometryFor(settings);
        area.Marks.reserve(std::min<std::size_t>(result.BadPixelMap.size(), MaxMarks));
        for (const BadPixel& bad : result.BadPixelMap) {
            if (area.Marks.size() == MaxMarks) break;
            if (bad.X < settings.FirstColumn || bad.X > settings.LastColumn || bad.Y < settings.FirstRow ||
                bad.Y > settings.LastRow)
                continue;
            area.Marks.push_back(geometry.PixelOf(bad.X, bad.Y));
        }
        area.Shapes = shapes;
    }

    // The heat maps are drawn when first shown (ResultPictureOf).
    results.ReportAreaGrey = drawing.valid() ? drawing.get() : drawEarly();
    if (besideDone.valid()) besideDone.get();
    return results;
}

const ResultPicture& ResultPictureOf(RunResults& results, ResultPictureKind kind)
{
    ResultPicture& picture = results.Pictures[std::size_t(kind)];
    if (!picture.Image.isNull() || !picture.Error.isEmpty()) return picture;
    switch (kind) {
    case ResultPictureKind::AreaMap:
        break;
    case ResultPictureKind::MeanHeatMap:
        picture = DrawHeatMap(results.Result, HeatMapKind::RoiMeanDeviation, nullptr);
        break;
    case ResultPictureKind::SnrHeatMap:
        picture = DrawHeatMap(results.Result, HeatMapKind::RoiSnrDeviation, nullptr);
        break;
    case ResultPictureKind::NoiseHeatMap:
        // The robust ROI statistics of the inspection.
        picture = DrawHeatMap(results.Result, HeatMapKind::RoiNoiseDeviation, &results.Insight.RobustRois.Rois);
        break;
    }
    return picture;
}

namespace {

// One ROI as the tooltips name it.
QString RoiText(const RunResults& results, std::size_t index, ResultPictureKind kind)
{
    const RoiResult& roi = results.Rois[index];
    QString text = QStringLiteral("ROI X %1, Y %2").arg(roi.X).arg(roi.Y);
    if (results.RoiDeviating[index]) text += QStringLiteral(", deviating");
    const auto deviation = [](double value, double reference) {
        return reference != 0.0 ? Signed((value - reference) / reference * 100.0) + QStringLiteral(" %")
                                : QStringLiteral("not available");
    };
    text += QStringLiteral("\nMean %1 (%2 from the area mean)")
                .arg(Number(roi.Mean), deviation(roi.Mean, results.AreaMean));
    text += QStringLiteral("\nSD %1, SNR %2 (%3 from the mean ROI SNR)")
                .arg(Number(roi.SD), Number(roi.SNR), deviation(roi.SNR, results.MeanRoiSNR));
    if (kind == ResultPictureKind::NoiseHeatMap) {
        const auto& noise = results.Insight.RoiNoiseDeviation;
        text += QStringLiteral("\nSD %1 from the mean ROI SD")
                    .arg(index < noise.size() ? Percent(noise[index], true) : QStringLiteral("not available"));
    }
    return text;
}

}  // namespace

QString DescribePicturePoint(const RunResults& results, ResultPictureKind kind, QPoint pixel)
{
    if (results.Rois.empty() || results.RoiDeviating.size() != results.Rois.size()) return {};
    const ResultPicture& picture = results.Pictures[std::size_t(kind)];
    if (picture.Image.isNull() || !picture.Image.rect().contains(pixel)) return {};

    if (kind == ResultPictureKind::AreaMap) {
        // The image pixel in the middle of those binned into this map pixel.
        const AreaMapGeometry& geometry = results.AreaGeometry;
        const auto imageAt = [](int mapPixel, int mapSide, std::uint32_t first, std::uint32_t side) {
            const auto offset = static_cast<std::uint32_t>((mapPixel + 0.5) * side / std::max(mapSide, 1));
            return first + std::min(offset, side - 1);
        };
        const std::uint32_t column = imageAt(pixel.x(), geometry.Width, geometry.FirstColumn, geometry.AreaWidth);
        const std::uint32_t row = imageAt(pixel.y(), geometry.Height, geometry.FirstRow, geometry.AreaHeight);
        // Of the ROIs whose box holds the pixel, the one with the nearest centre.
        std::optional<std::size_t> best;
        double bestDistance = 0.0;
        for (std::size_t i = 0; i < results.Rois.size(); ++i) {
            const RoiResult& roi = results.Rois[i];
            if (column < roi.X || column - roi.X >= results.BoxPixels || row < roi.Y ||
                row - roi.Y >= results.BoxPixels)
                continue;
            const double dx = column + 0.5 - (roi.X + results.BoxPixels / 2.0);
            const double dy = row + 0.5 - (roi.Y + results.BoxPixels / 2.0);
            const double distance = dx * dx + dy * dy;
            if (!best || distance < bestDistance) {
                best = i;
                bestDistance = distance;
            }
        }
        const QString where = QStringLiteral("Pixel X %1, Y %2").arg(column).arg(row);
        return best ? where + QLatin1Char('\n') + RoiText(results, *best, kind) : where;
    }

    if (!picture.Cells) return {};
    int cellColumn = 0;
    int cellRow = 0;
    if (!picture.Cells->CellAt(pixel, cellColumn, cellRow)) return {};
    if (std::size_t(cellColumn) >= results.RoiColumns.size() || std::size_t(cellRow) >= results.RoiRows.size())
        return {};
    const std::uint32_t x = results.RoiColumns[std::size_t(cellColumn)];
    const std::uint32_t y = results.RoiRows[std::size_t(cellRow)];
    for (std::size_t i = 0; i < results.Rois.size(); ++i)
        if (results.Rois[i].X == x && results.Rois[i].Y == y) return RoiText(results, i, kind);
    return {};
}

QByteArray ResultsReportPdf(const RunResults& results, const GuidelinePreset& preset, PaperSize paper,
                            std::optional<ReportBaseline> history)
{
    ResultContext context;
    context.Preparation = results.Preparation;
    context.PixelSpacing = results.PixelSpacing;
    context.Image = results.Image;
    context.Preset = &preset;
    context.Insight = &results.Insight;
    const ImageFacts facts{.Image = results.Image,
                           .PixelSpacing = results.PixelSpacing,
                           .DeviceSerialNumber = results.DeviceSerialNumber,
                           .SoftwareVersions = results.SoftwareVersions,
                           .AcquisitionTime = results.AcquisitionTime,
                           .Warnings = results.Warnings};
    TestReportData data = TestReportDataOf(results.Settings, results.Result, context, facts);
    data.FileSha256 = results.FileSha256;
    data.InversionReason = results.InversionReason;
    data.AnalysedAt = results.AnalysedAt;
    data.AnalysedBy = results.AnalysedBy;
    data.Paper = paper;
    data.History = std::move(history);
    return RenderTestReportPdf(
        data, DrawReportPictures(results.ReportAreaGrey, results.Settings, results.Result, results.Insight));
}

}  // namespace evenor

#include "analysis/RoiGrid.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "base/EvenorError.h"
#include "dicom/DicomLib.h"
#include "stats/BoxStatistics.h"
#include "stats/SignalToNoise.h"

namespace evenor {

namespace {

// Below this many pixel visits (area plus all boxes) a second thread costs
// more than it saves.
constexpr std::uint64_t kTwoThreadWork = 2'000'000;

// Time of one area pixel against one box pixel. The area's second pass is one
// long chain of dependent additions, the boxes' passes overlap several chains.
constexpr double kAreaPixelCost = 1.6;

// Lays the ROIs in list order: the grid column by column (each column from
// the top), then the far-edge column, the far-edge row, and the corner.
TMeetSerie LayRois(const AnalysisSettings& s, std::uint32_t boxPixels, const GridAxis& columns, const GridAxis& rows)
{
    const std::uint64_t columnCount = columns.Positions + (columns.FarEdge ? 1u : 0u);
    const std::uint64_t rowCount = rows.Positions + (rows.FarEdge ? 1u : 0u);
    TMeetSerie rois;
    rois.reserve(columnCount * rowCount);
    auto add = [&rois](std::uint32_t x, std::uint32_t y) {
        RoiResult roi;
        roi.X = x;
        roi.Y = y;
        rois.push_back(roi);
    };
    const std::uint32_t farColumn = s.LastColumn - boxPixels;
    const std::uint32_t farRow = s.LastRow - boxPixels;
    for (std::uint32_t i = 0; i < columns.Positions; ++i)
        for (std::uint32_t k = 0; k < rows.Positions; ++k)
            add(s.FirstColumn + i * columns.Step, s.FirstRow + k * rows.Step);
    if (columns.FarEdge)
        for (std::uint32_t k = 0; k < rows.Positions; ++k) add(farColumn, s.FirstRow + k * rows.Step);
    if (rows.FarEdge)
        for (std::uint32_t i = 0; i < columns.Positions; ++i) add(s.FirstColumn + i * columns.Step, farRow);
    if (columns.FarEdge && rows.FarEdge) add(farColumn, farRow);
    return rois;
}

// Statistics of the ROIs and, when a map is given, their deviating pixels,
// in list order.
void AnalyseRois(std::span<const std::uint16_t> pixels, std::uint32_t columns, std::uint32_t boxPixels,
                 std::span<RoiResult> rois, const AnalysisSettings& settings, TBadPixelMap* map)
{
    const PixelDeviationSearch search{settings.PixelDeviationPercent, map};
    BoxStatistics(pixels, columns, boxPixels, rois, map != nullptr ? &search : nullptr);
}

void AreaStatistics(std::span<const std::uint16_t> pixels, std::uint32_t columns, std::uint32_t rows,
                    const AnalysisSettings& s, AnalysisResult& result)
{
    const std::uint32_t width = s.LastColumn - s.FirstColumn + 1;
    const std::uint32_t height = s.LastRow - s.FirstRow + 1;
    if (width == columns && height == rows) {
        WordMeanSD(pixels, result.AreaMean, result.AreaSD);
    } else {
        // In place, row by row: the values and their order are those of the area's copy.
        const WordBlock area{pixels.data() + static_cast<std::size_t>(s.FirstRow) * columns + s.FirstColumn, columns,
                             width, height};
        WordMeanSD(area, result.AreaMean, result.AreaSD);
    }
    result.AreaSNR = SignalToNoise(result.AreaMean, result.AreaSD);
}

AnalysisResult AnalyseGridChecked(std::span<const std::uint16_t> pixels, std::uint32_t columns, std::uint32_t rows,
                                  double pixelSpacing, const AnalysisSettings& s, unsigned threads)
{
    if (static_cast<std::uint64_t>(columns) * rows != pixels.size() || pixels.empty())
        throw EvenorError("The pixel values of the image are not loaded");
    if (s.FirstColumn > s.LastColumn || s.FirstRow > s.LastRow || s.LastColumn >= columns || s.LastRow >= rows)
        throw EvenorError("The area does not lie inside the image");
    const std::uint32_t boxPixels = BoxPixelsFor(s.BoxDimension, pixelSpacing);
    if (boxPixels < 2) throw EvenorError("The box is smaller than two pixels");
    const std::uint32_t width = s.LastColumn - s.FirstColumn + 1;
    const std::uint32_t height = s.LastRow - s.FirstRow + 1;
    if (width < boxPixels || height < boxPixels) throw EvenorError("Area smaller than box dimension");

    AnalysisResult result;
    result.BoxPixels = boxPixels;
    result.Rois = LayRois(s, boxPixels, GridAxisFor(s.FirstColumn, s.LastColumn, boxPixels),
                          GridAxisFor(s.FirstRow, s.LastRow, boxPixels));
    std::span<RoiResult> rois(result.Rois);

    const double boxArea = static_cast<double>(boxPixels) * boxPixels;
    const double areaPixels = static_cast<double>(width) * height;
    const double roiWork = boxArea * static_cast<double>(rois.size());
    if (threads == 0) threads = areaPixels + roiWork < static_cast<double>(kTwoThreadWork) ? 1 : 2;
    threads = std::min(threads, 2u);

    TBadPixelMap& firstMap = result.BadPixelMap;
    TBadPixelMap secondMap;
    const bool detect = s.DetectDeviatingPixels;
    if (detect) firstMap.SetExtent(s.FirstColumn, s.FirstRow, width, height);

    if (threads < 2 || rois.size() < 2) {
        AreaStatistics(pixels, columns, rows, s, result);
        AnalyseRois(pixels, columns, boxPixels, rois, s, detect ? &firstMap : nullptr);
    } else {
        // The calling thread takes the area and the first part of the list,
        // a second thread the rest; each writes only its own ROIs' slots and
        // its own map, so the list order is untouched. The split evens out
        // the expected work.
        const double share = (roiWork - areaPixels * kAreaPixelCost) / (2.0 * boxArea);
        const std::size_t split =
            static_cast<std::size_t>(std::clamp(share, 1.0, static_cast<double>(rois.size() - 1)));
        if (detect) secondMap.SetExtent(s.FirstColumn, s.FirstRow, width, height);
        std::exception_ptr secondFailure;
        auto secondPart = [&] {
            try {
                AnalyseRois(pixels, columns, boxPixels, rois.subspan(split), s, detect ? &secondMap : nullptr);
            } catch (...) {
                secondFailure = std::current_exception();
            }
        };
        std::jthread second;
        try {
            second = std::jthread(secondPart);
        } catch (const std::system_error&) {
            // No thread to be had: the calling thread does both parts.
        }
        AreaStatistics(pixels, columns, rows, s, result);
        AnalyseRois(pixels, columns, boxPixels, rois.first(split), s, detect ? &firstMap : nullptr);
        if (second.joinable())
            second.join();
        else
            secondPart();
        if (secondFailure) std::rethrow_exception(secondFailure);
        // The second part's pixels come after all of the first part's.
        if (detect) firstMap.Append(std::move(secondMap));
    }

    std::vector<double> snrs(rois.size());
    for (std::size_t i = 0; i < rois.size(); ++i) snrs[i] = rois[i].SNR;
    RealMeanSD(snrs, result.MeanRoiSNR, result.RoiSNRSD);
    MakeBadROIMap(result.Rois, result.BadROIMap, result.AreaMean, result.MeanRoiSNR, s.RoiDeviationPercent);
    return result;
}

}  // namespace

std::uint32_t BoxPixelsFor(double boxDimension, double pixelSpacing)
{
    const long double quotient =
        10.0L * static_cast<long double>(boxDimension) / static_cast<long double>(pixelSpacing);
    if (!std::isfinite(quotient) || !(quotient >= 1.0L)) return 0;
    return static_cast<std::uint32_t>(std::fmod(std::trunc(quotient), 65536.0L));
}

GridAxis GridAxisFor(std::uint32_t first, std::uint32_t last, std::uint32_t boxPixels)
{
    GridAxis axis;
    if (boxPixels == 0 || last < first) return axis;
    const std::uint64_t extent = static_cast<std::uint64_t>(last) - first + 1;
    const std::uint64_t whole = extent / boxPixels;
    const std::uint64_t rest = extent - whole * boxPixels;
    axis.Step = boxPixels / 2;
    if (whole > 0) axis.Positions = static_cast<std::uint32_t>(rest < axis.Step ? 2 * whole - 1 : 2 * whole);
    axis.FarEdge = rest > 0;
    return axis;
}

AnalysisResult AnalyseRoiGrid(std::span<const std::uint16_t> pixels, std::uint32_t columns, std::uint32_t rows,
                              double pixelSpacing, const AnalysisSettings& settings, unsigned threads)
{
    try {
        return AnalyseGridChecked(pixels, columns, rows, pixelSpacing, settings, threads);
    } catch (const std::bad_alloc&) {
        throw EvenorError("Not enough memory for the analysis");
    } catch (const std::length_error&) {
        throw EvenorError("Not enough memory for the analysis");
    }
}

AnalysisResult AnalyseRoiGrid(const TDicomBeeld& image, const AnalysisSettings& settings)
{
    if (image.Rows() < 0 || image.Columns() < 0) throw EvenorError("The pixel values of the image are not loaded");
    return AnalyseRoiGrid(image.Pixels(), static_cast<std::uint32_t>(image.Columns()),
                          static_cast<std::uint32_t>(image.Rows()), image.PixelSpacing(), settings);
}

}  // namespace evenor

#pragma once
// The ROI grid analysis: statistics of the evaluated area and of a grid of
// half-overlapping square boxes (ROIs), with the deviation maps.
#include <cstdint>
#include <span>

#include "analysis/AnalysisSettings.h"
#include "stats/DeviationMaps.h"
#include "stats/StatFuncties.h"

namespace evenor {

class TDicomBeeld;

// Everything one analysis hands to the report.
struct AnalysisResult {
    double AreaMean = 0.0;
    double AreaSD = 0.0;
    double AreaSNR = 0.0;  // AreaMean / AreaSD, 0 when AreaSD is 0
    TMeetSerie Rois;       // in the order the ROIs are laid (column-major)
    double MeanRoiSNR = 0.0;
    double RoiSNRSD = 0.0;
    TBadROIMap BadROIMap;
    TBadPixelMap BadPixelMap;     // empty when DetectDeviatingPixels is off
    std::uint32_t BoxPixels = 0;  // side of one ROI in pixels
};

// Box side in pixels: 10 * boxDimension (cm) / pixelSpacing (mm), evaluated in
// 80-bit extended precision, truncated toward zero, low 16 bits kept. 1 cm at
// 0.1 mm gives 99, not 100. Returns 0 for a quotient below 1, a non-positive
// or non-finite one.
std::uint32_t BoxPixelsFor(double boxDimension, double pixelSpacing);

// The positions of the grid along one direction of the area (first ... last,
// inclusive) for a box of boxPixels: the half-box grid positions from first
// on, and whether a far-edge box at last - boxPixels follows them.
struct GridAxis {
    std::uint32_t Step = 0;       // boxPixels div 2
    std::uint32_t Positions = 0;  // number of grid positions, first + k * Step
    bool FarEdge = false;         // the leftover strip is not empty
};
GridAxis GridAxisFor(std::uint32_t first, std::uint32_t last, std::uint32_t boxPixels);

// Analyses the area of settings on the prepared image. Preconditions (checked
// by the run): the area lies inside the loaded image, is at least one box in
// each direction, and BoxPixels is at least 2. When one of them fails, throws
// EvenorError instead of reading outside the image. Throws EvenorError when
// memory runs out.
AnalysisResult AnalyseRoiGrid(const TDicomBeeld& image, const AnalysisSettings& settings);

// The same on a bare row-major pixel array of rows x columns values with the
// given pixel spacing (mm). threads: how many threads share the ROIs; 0 lets
// the analysis choose (one for small grids, else two). The result does not
// depend on the number of threads.
AnalysisResult AnalyseRoiGrid(std::span<const std::uint16_t> pixels, std::uint32_t columns, std::uint32_t rows,
                              double pixelSpacing, const AnalysisSettings& settings, unsigned threads = 0);

}  // namespace evenor

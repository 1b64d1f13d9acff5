#pragma once
// The ROI grid analysis: statistics of the evaluated area and of a grid of
// half-overlapping square boxes (ROIs), with the deviation maps.
#include <cstdint>

#include "AnalysisSettings.h"
#include "StatFuncties.h"

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
    TBadPixelMap BadPixelMap;  // empty when DetectDeviatingPixels is off
    std::uint32_t BoxPixels = 0;  // side of one ROI in pixels
};

// Box side in pixels: 10 * boxDimension (cm) / pixelSpacing (mm), evaluated in
// 80-bit extended precision, truncated toward zero, low 16 bits kept. 1 cm at
// 0.1 mm gives 99, not 100. Returns 0 for a quotient below 1, a non-positive
// or non-finite one.
std::uint32_t BoxPixelsFor(double boxDimension, double pixelSpacing);

// Analyses the area of settings on the prepared image. Preconditions (checked
// by the run): the area lies inside the loaded image, is at least one box in
// each direction, and BoxPixels is at least 2.
AnalysisResult AnalyseRoiGrid(const TDicomBeeld& image, const AnalysisSettings& settings);

}  // namespace evenor

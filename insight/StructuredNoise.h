#pragma once
// Structured noise: noise that rows or columns share (row- and
// column-correlated noise, from readout electronics), measured as the spread
// of the row means and of the column means against what the pixel noise
// alone would give them; and the ROI noise deviation that the noise heat map
// shows.
//
// Method, on the line means of the area (rims left out) without the
// deviating pixels, line defects and lines with fewer than half their pixels
// left out:
//  - line-to-line variance V of one direction: half the sample variance
//    (divisor n - 1) of the differences of consecutive line means. The
//    differences cancel shading that changes slowly across the lines (heel
//    effect, gradients); what stays is the noise that changes from one line
//    to the next;
//  - pixel noise: from the median ROI variance s^2 (the median of the robust
//    ROI SDs squared, corrected for the median's bias with k = box pixels - 1
//    degrees of freedom: divided by (1 - 2 / (9k))^3). A ROI variance holds
//    the pixel noise and both correlated parts, so
//        sigma^2 = (s^2 - V_rows - V_columns) / (1 - 1/W - 1/H)
//    (W, H: mean pixels per row and per column), never below s^2 / 4;
//  - white noise gives a line mean the SD sigma / sqrt(pixels of the line);
//    Ratio = sqrt(V) / that (about 1 for pixel noise only); the correlated
//    part sqrt(max(0, V - sigma^2 / pixels)), in % of sigma, is the metric.
#include <optional>
#include <string_view>
#include <vector>

#include "insight/Defects.h"
#include "insight/LineProfiles.h"
#include "stats/StatFuncties.h"

namespace evenor {

struct LineNoise {
    std::optional<double> LineSD;             // sqrt(V): SD of the line means from line to line
    std::optional<double> WhiteSD;            // what the pixel noise alone gives a line mean
    std::optional<double> Ratio;              // LineSD / WhiteSD
    std::optional<double> CorrelatedPercent;  // the correlated part in % of the pixel noise
    std::size_t Lines = 0;                    // lines that took part
};

struct StructuredNoise {
    std::optional<double> PixelNoise;  // sigma, in pixel values
    LineNoise Rows;                    // row-correlated noise: rows that share an offset
    LineNoise Columns;                 // column-correlated noise
};

// The texts of the two metrics (their values: CorrelatedPercent).
struct StructuredNoiseInfo {
    std::string_view Key;
    std::string_view Name;
    std::string_view Unit;
    std::string_view Description;
};
inline constexpr StructuredNoiseInfo kRowNoiseInfo{
    "row_correlated_noise", "Row correlated noise", "%",
    "Noise shared by the pixels of a row: line-to-line SD of the row means beyond what the pixel noise gives "
    "them, in % of the pixel noise"};
inline constexpr StructuredNoiseInfo kColumnNoiseInfo{
    "column_correlated_noise", "Column correlated noise", "%",
    "Noise shared by the pixels of a column: line-to-line SD of the column means beyond what the pixel noise "
    "gives them, in % of the pixel noise"};

// The median of the ROI SDs squared, corrected for the median's bias, of the
// ROIs of rois that lie inside rect (all of them when none does); empty
// without ROIs. boxPixels: the side of a ROI.
std::optional<double> MedianRoiVariance(const TMeetSerie& rois, std::uint32_t boxPixels, const PixelRect& rect);

// The structured noise of the profiles (deviating pixels left out), leaving
// out the lines of lines; roiVariance from MedianRoiVariance. Directions with
// fewer than 3 lines, or without a variance, stay empty.
StructuredNoise MeasureStructuredNoise(const LineProfiles& without, const std::vector<LineDefect>& lines,
                                       std::optional<double> roiVariance);

// Per ROI (series order): (ROI SD - mean ROI SD) / mean ROI SD * 100, the
// values of the noise deviation heat map; empty when the mean ROI SD is 0.
std::vector<std::optional<double>> RoiNoiseDeviationPercent(const TMeetSerie& rois);

}  // namespace evenor
